/* SPDX-License-Identifier: Apache-2.0 */
// A software TPM 2.0 (swtpm) for the tpm2 protector's tests: started on
// 127.0.0.1 with a state directory of its own, stopped with the object. Two
// state directories are two machines; the same directory after a restart is
// the same machine rebooted (PCRs back to zero).
#ifndef TELMOR_TEST_KEYLIB_SWTPM_H
#define TELMOR_TEST_KEYLIB_SWTPM_H

#include <sys/types.h>

#include <string>

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

// Points the library's tpm2 protector at `tcti` (TELMOR_VAQ_TCTI).
void use_tcti(const std::string &tcti);

}  // namespace kltest

#endif
