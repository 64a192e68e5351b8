// SPDX-License-Identifier: Apache-2.0
#include "swtpm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

namespace kltest {

namespace {

// Binds (to see the port is free) or connects (to see swtpm answers) on
// loopback.
bool loopback(int port, bool connectTo) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto *addr = reinterpret_cast<sockaddr *>(&a);
    bool ok = (connectTo ? connect(fd, addr, sizeof a) : bind(fd, addr, sizeof a)) == 0;
    close(fd);
    return ok;
}

bool port_free(int port) { return loopback(port, false); }
bool answers(int port) { return loopback(port, true); }

// Runs `step` in an ESYS conversation with the TPM at `tcti`.
template <class Step>
bool with_esys(const std::string &tcti, Step step) {
    TSS2_TCTI_CONTEXT *t = nullptr;
    if (Tss2_TctiLdr_Initialize(tcti.c_str(), &t) != TSS2_RC_SUCCESS) return false;
    ESYS_CONTEXT *ctx = nullptr;
    bool ok = Esys_Initialize(&ctx, t, nullptr) == TSS2_RC_SUCCESS && step(ctx);
    if (ctx) Esys_Finalize(&ctx);
    Tss2_TctiLdr_Finalize(&t);
    return ok;
}

}  // namespace

Swtpm::Swtpm() {
    mkdir("/opt/telmor/keylib-tests", 0700);
    char tmpl[] = "/opt/telmor/keylib-tests/tpmXXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

Swtpm::~Swtpm() { stop(); }

bool Swtpm::start() {
    std::mt19937 rng(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
        int port = 20000 + static_cast<int>(rng() % 20000) * 2;
        if (!port_free(port) || !port_free(port + 1)) continue;
        pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            std::string state = "dir=" + dir_;
            std::string server = "type=tcp,port=" + std::to_string(port) + ",bindaddr=127.0.0.1";
            std::string ctrl = "type=tcp,port=" + std::to_string(port + 1) + ",bindaddr=127.0.0.1";
            execlp("swtpm", "swtpm", "socket", "--tpm2", "--tpmstate", state.c_str(), "--server", server.c_str(),
                   "--ctrl", ctrl.c_str(), "--flags", "not-need-init,startup-clear", static_cast<char *>(nullptr));
            _exit(127);
        }
        // A minute: only a hang reaches it, whatever the machine's load.
        for (int i = 0; i < 2400; ++i) {
            if (answers(port)) {
                pid_ = pid;
                port_ = port;
                return true;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) break;  // exited: port taken, or no swtpm
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return false;
}

void Swtpm::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Swtpm::tcti() const { return "swtpm:host=127.0.0.1,port=" + std::to_string(port_); }

bool Swtpm::extend_pcr(int pcr) {
    return with_esys(tcti(), [&](ESYS_CONTEXT *ctx) {
        TPML_DIGEST_VALUES v{};
        v.count = 1;
        v.digests[0].hashAlg = TPM2_ALG_SHA256;
        std::memset(v.digests[0].digest.sha256, 0x42, 32);
        return Esys_PCR_Extend(ctx, ESYS_TR_PCR0 + pcr, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &v) ==
               TSS2_RC_SUCCESS;
    });
}

bool Swtpm::reset_pcr(int pcr) {
    return with_esys(tcti(), [&](ESYS_CONTEXT *ctx) {
        return Esys_PCR_Reset(ctx, ESYS_TR_PCR0 + pcr, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE) == TSS2_RC_SUCCESS;
    });
}

void use_tcti(const std::string &tcti) { setenv("TELMOR_VAQ_TCTI", tcti.c_str(), 1); }

}  // namespace kltest
