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
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <algorithm>
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

// The owner hierarchy's standard storage key: ECC P-256, AES-128-CFB.
uint32_t storage_key(ESYS_CONTEXT *ctx, ESYS_TR &primary) {
    TPM2B_PUBLIC tmpl{};
    tmpl.publicArea.type = TPM2_ALG_ECC;
    tmpl.publicArea.nameAlg = TPM2_ALG_SHA256;
    tmpl.publicArea.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                       TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA |
                                       TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;
    auto &ecc = tmpl.publicArea.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    tmpl.publicArea.unique.ecc.x.size = 32;
    tmpl.publicArea.unique.ecc.y.size = 32;
    TPM2B_SENSITIVE_CREATE sensitive{};
    TPM2B_DATA outside{};
    TPML_PCR_SELECTION none{};
    return Esys_CreatePrimary(ctx, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &tmpl,
                              &outside, &none, &primary, nullptr, nullptr, nullptr, nullptr);
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

std::vector<uint8_t> sealed_root_of(const std::vector<uint8_t> &image) {
    if (image.size() < 56) return {};
    const size_t length = image[44] | image[45] << 8 | image[46] << 16 | static_cast<size_t>(image[47]) << 24;
    if (image.size() < 56 + length) return {};
    return std::vector<uint8_t>(image.begin() + 56, image.begin() + 56 + static_cast<long>(length));
}

Unsealing unseal_without_library(const std::string &tcti, const std::vector<uint8_t> &sealedRoot,
                                 const std::vector<uint8_t> &authValue, bool password) {
    Unsealing out;
    if (sealedRoot.size() < 4) return out;
    const uint32_t pcrMask =
        (sealedRoot[0] | sealedRoot[1] << 8 | static_cast<uint32_t>(sealedRoot[2]) << 16) & 0xffffff;
    TPM2B_PUBLIC pub{};
    TPM2B_PRIVATE priv{};
    size_t at = 4;
    if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(sealedRoot.data(), sealedRoot.size(), &at, &pub) != TSS2_RC_SUCCESS ||
        Tss2_MU_TPM2B_PRIVATE_Unmarshal(sealedRoot.data(), sealedRoot.size(), &at, &priv) != TSS2_RC_SUCCESS)
        return out;
    with_esys(tcti, [&](ESYS_CONTEXT *ctx) {
        ESYS_TR primary = ESYS_TR_NONE, item = ESYS_TR_NONE, session = ESYS_TR_PASSWORD;
        out.rc = storage_key(ctx, primary);
        if (out.rc == TSS2_RC_SUCCESS)
            out.rc = Esys_Load(ctx, primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &priv, &pub, &item);
        TPM2B_AUTH auth{};
        auth.size = static_cast<UINT16>(std::min(authValue.size(), sizeof auth.buffer));
        if (auth.size > 0) std::memcpy(auth.buffer, authValue.data(), auth.size);
        if (out.rc == TSS2_RC_SUCCESS) out.rc = Esys_TR_SetAuth(ctx, item, &auth);
        if (out.rc == TSS2_RC_SUCCESS && !password) {
            TPMT_SYM_DEF sym{};
            sym.algorithm = TPM2_ALG_NULL;
            out.rc = Esys_StartAuthSession(ctx, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                           nullptr, TPM2_SE_POLICY, &sym, TPM2_ALG_SHA256, &session);
            TPM2B_DIGEST current{};
            TPML_PCR_SELECTION pcrs{};
            pcrs.count = 1;
            pcrs.pcrSelections[0].hash = TPM2_ALG_SHA256;
            pcrs.pcrSelections[0].sizeofSelect = 3;
            for (int i = 0; i < 3; ++i) pcrs.pcrSelections[0].pcrSelect[i] = static_cast<uint8_t>(pcrMask >> (8 * i));
            if (out.rc == TSS2_RC_SUCCESS && pcrMask != 0)
                out.rc = Esys_PolicyPCR(ctx, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &current, &pcrs);
            if (out.rc == TSS2_RC_SUCCESS)
                out.rc = Esys_PolicyAuthValue(ctx, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE);
        }
        TPM2B_SENSITIVE_DATA *data = nullptr;
        if (out.rc == TSS2_RC_SUCCESS) out.rc = Esys_Unseal(ctx, item, session, ESYS_TR_NONE, ESYS_TR_NONE, &data);
        if (data != nullptr) {
            out.data.assign(data->buffer, data->buffer + data->size);
            Esys_Free(data);
        }
        for (ESYS_TR h : {session, item, primary})
            if (h != ESYS_TR_NONE && h != ESYS_TR_PASSWORD) Esys_FlushContext(ctx, h);
        return true;
    });
    return out;
}

std::vector<uint8_t> seal_unbound(const std::string &tcti, const std::vector<uint8_t> &root) {
    std::vector<uint8_t> sealed;
    with_esys(tcti, [&](ESYS_CONTEXT *ctx) {
        ESYS_TR primary = ESYS_TR_NONE;
        if (storage_key(ctx, primary) != TSS2_RC_SUCCESS) return false;
        TPM2B_PUBLIC tmpl{};
        tmpl.publicArea.type = TPM2_ALG_KEYEDHASH;
        tmpl.publicArea.nameAlg = TPM2_ALG_SHA256;
        tmpl.publicArea.objectAttributes =
            TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_NODA | TPMA_OBJECT_USERWITHAUTH;
        tmpl.publicArea.parameters.keyedHashDetail.scheme.scheme = TPM2_ALG_NULL;
        TPM2B_SENSITIVE_CREATE sensitive{};
        sensitive.sensitive.data.size = static_cast<UINT16>(root.size());
        std::memcpy(sensitive.sensitive.data.buffer, root.data(), root.size());
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION none{};
        TPM2B_PRIVATE *priv = nullptr;
        TPM2B_PUBLIC *pub = nullptr;
        const bool made = Esys_Create(ctx, primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &tmpl,
                                      &outside, &none, &priv, &pub, nullptr, nullptr, nullptr) == TSS2_RC_SUCCESS;
        Esys_FlushContext(ctx, primary);
        if (!made) return false;
        sealed.assign(4 + sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE), 0);
        size_t at = 4;
        const bool ok = Tss2_MU_TPM2B_PUBLIC_Marshal(pub, sealed.data(), sealed.size(), &at) == TSS2_RC_SUCCESS &&
                        Tss2_MU_TPM2B_PRIVATE_Marshal(priv, sealed.data(), sealed.size(), &at) == TSS2_RC_SUCCESS;
        Esys_Free(pub);
        Esys_Free(priv);
        sealed.resize(ok ? at : 0);
        return ok;
    });
    return sealed;
}

void use_tcti(const std::string &tcti) { setenv("TELMOR_VAQ_TCTI", tcti.c_str(), 1); }

}  // namespace kltest
