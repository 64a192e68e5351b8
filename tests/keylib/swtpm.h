/* SPDX-License-Identifier: Apache-2.0 */
// A software TPM 2.0 (swtpm) for the tpm2 protector's tests: started on
// 127.0.0.1 with a state directory of its own, stopped with the object. Two
// state directories are two machines; the same directory after a restart is
// the same machine rebooted (PCRs back to zero).
#ifndef TELMOR_TEST_KEYLIB_SWTPM_H
#define TELMOR_TEST_KEYLIB_SWTPM_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kltest {

class Swtpm {
public:
    // A new state directory under /opt/telmor/keylib-tests (the sandbox's tmpfs).
    Swtpm();
    ~Swtpm();
    Swtpm(const Swtpm &) = delete;
    Swtpm &operator=(const Swtpm &) = delete;

    // Starts swtpm on free ports and waits until it answers; false if it
    // cannot be started (swtpm not installed, say).
    bool start();
    void stop();
    // The TCTI configuration that reaches it.
    std::string tcti() const;
    // Extends PCR `pcr` (SHA-256 bank) with a fixed digest; resets it when
    // `reset` (PCR 16, the debug PCR, can be reset at any time).
    bool extend_pcr(int pcr);
    bool reset_pcr(int pcr);

    const std::string &state_dir() const { return dir_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The sealed root of a keystore image (docs/keystore-format.md), empty if
// the image is too short to hold one.
std::vector<uint8_t> sealed_root_of(const std::vector<uint8_t> &image);

// What any user who reaches the TPM can do with a keystore's sealed root of
// the bound layout, without this library: load the sealed object under the
// owner's storage key and ask for it to be unsealed, in a plain policy session
// (PCRs, then the authorisation value `authValue`, empty for none; no salt,
// no parameter encryption), or with `password` a password session. The
// TPM's answer, and what it unsealed.
struct Unsealing {
    uint32_t rc = 0xffffffff;
    std::vector<uint8_t> data;
};
Unsealing unseal_without_library(const std::string &tcti, const std::vector<uint8_t> &sealedRoot,
                                 const std::vector<uint8_t> &authValue, bool password = false);

// A sealed root of the layout written before seals were bound: the bare
// root under an empty authorisation, as anyone who reaches the TPM can make
// one. Empty on failure.
std::vector<uint8_t> seal_unbound(const std::string &tcti, const std::vector<uint8_t> &root);

// Points the library's tpm2 protector at `tcti` (TELMOR_VAQ_TCTI).
void use_tcti(const std::string &tcti);

}  // namespace kltest

#endif
