/* SPDX-License-Identifier: Apache-2.0 */
// A reload that cannot open the keystore for want of its root protector (the
// token away or its files gone, its login refused, a device error, the TPM
// unreachable) keeps serving the keys this process already holds: texts made
// under them still decrypt, and encryption goes on under the last active key.
// The reload is tried again at the first key operation after a back-off, its
// lines held back while the same cause lasts, with one WARN line per cause a
// minute in their place. The own version stays behind meanwhile, so the
// first try that loads puts the process back in step.
#ifndef TELMOR_VAQ_KEYSTORE_HELD_KEYSTORE_H
#define TELMOR_VAQ_KEYSTORE_HELD_KEYSTORE_H

namespace tv {

// How long a reload that kept the keys waits before it is tried again.
inline constexpr int kHeldRetryMs = 1000;

// The keystore loaded before a reload, out of use while the reload loads the
// new one. Taken by the constructor when the key library can hand it over;
// dropped (wiped) by the destructor unless put back.
class HeldKeystore {
public:
    HeldKeystore();
    ~HeldKeystore();
    HeldKeystore(const HeldKeystore &) = delete;
    HeldKeystore &operator=(const HeldKeystore &) = delete;

    // After a load that failed with the key library's code `code`: puts the
    // held keystore back in use when the failure is the root protector's
    // (nothing said against the files), and tells whether it did.
    bool restore_after(unsigned long code);

private:
    void *held_ = nullptr;
};

// Whether the keys in use are held from before a reload that failed.
bool serving_held_keys();
// Whether they are, and the next try of the reload is not due yet. Reads a
// clock, no system call.
bool reload_backing_off();
// A reload ended without keeping the keys held before: it loaded the
// keystore, or failed with `code` for a cause that does not keep them. Held
// keys, if any, are served no longer, and a line says so.
void reload_ended(bool loaded, unsigned long code);
// The library is finalised: nothing is held, and nothing is said.
void forget_held_keys();

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_HELD_KEYSTORE_H
