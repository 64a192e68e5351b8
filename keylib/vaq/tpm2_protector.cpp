// SPDX-License-Identifier: Apache-2.0
// The `tpm2` root protector: the root material sealed to the node's TPM 2.0,
// under a primary key made anew each time from the owner hierarchy's standard
// storage template (the same key on the same TPM; nothing persistent is
// needed), optionally bound to PCR values by a policy.
//
// The TPM libraries (ESYS, the TCTI loader, marshalling) are loaded when a
// keystore first needs them, not linked: a node without them loads every
// keystore that does not use the TPM, and one that does answers "TPM absent".
// The TCTI comes from TELMOR_VAQ_TCTI, by default "device:/dev/tpmrm0".
//
// Sealed root: PCR mask (4 bytes, bit n for PCR n of the SHA-256 bank), then
// the sealed object's TPM2B_PUBLIC and TPM2B_PRIVATE as the TPM marshals them.
#include <dlfcn.h>
#include <stdlib.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "crypto.h"
#include "protector.h"

namespace vaq {

namespace {

constexpr char kDefaultTcti[] = "device:/dev/tpmrm0";
constexpr uint32_t kPcrCount = 24;

// The entries of the TPM libraries this protector calls.
struct Tss {
    decltype(&Tss2_TctiLdr_Initialize) tctiInit = nullptr;
    decltype(&Tss2_TctiLdr_Finalize) tctiFinalize = nullptr;
    decltype(&Esys_Initialize) init = nullptr;
    decltype(&Esys_Finalize) finalize = nullptr;
    decltype(&Esys_CreatePrimary) createPrimary = nullptr;
    decltype(&Esys_Create) create = nullptr;
    decltype(&Esys_Load) load = nullptr;
    decltype(&Esys_Unseal) unseal = nullptr;
    decltype(&Esys_StartAuthSession) startSession = nullptr;
    decltype(&Esys_PolicyPCR) policyPcr = nullptr;
    decltype(&Esys_PolicyGetDigest) policyDigest = nullptr;
    decltype(&Esys_FlushContext) flush = nullptr;
    decltype(&Esys_Free) free = nullptr;
    decltype(&Tss2_MU_TPM2B_PUBLIC_Marshal) pubMarshal = nullptr;
    decltype(&Tss2_MU_TPM2B_PUBLIC_Unmarshal) pubUnmarshal = nullptr;
    decltype(&Tss2_MU_TPM2B_PRIVATE_Marshal) privMarshal = nullptr;
    decltype(&Tss2_MU_TPM2B_PRIVATE_Unmarshal) privUnmarshal = nullptr;
    bool loaded = false;
};

template <class F>
bool bind(void *lib, const char *name, F &slot) {
    slot = reinterpret_cast<F>(dlsym(lib, name));
    return slot != nullptr;
}

// Loaded once per process; the libraries stay loaded (ESYS keeps state in
// them that a later unload would cut off).
const Tss &tss() {
    static Tss t;
    static std::once_flag once;
    std::call_once(once, [] {
        void *esys = dlopen("libtss2-esys.so.0", RTLD_NOW | RTLD_LOCAL);
        void *ldr = dlopen("libtss2-tctildr.so.0", RTLD_NOW | RTLD_LOCAL);
        void *mu = dlopen("libtss2-mu.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!esys || !ldr || !mu) return;
        t.loaded = bind(ldr, "Tss2_TctiLdr_Initialize", t.tctiInit) &&
                   bind(ldr, "Tss2_TctiLdr_Finalize", t.tctiFinalize) && bind(esys, "Esys_Initialize", t.init) &&
                   bind(esys, "Esys_Finalize", t.finalize) && bind(esys, "Esys_CreatePrimary", t.createPrimary) &&
                   bind(esys, "Esys_Create", t.create) && bind(esys, "Esys_Load", t.load) &&
                   bind(esys, "Esys_Unseal", t.unseal) && bind(esys, "Esys_StartAuthSession", t.startSession) &&
                   bind(esys, "Esys_PolicyPCR", t.policyPcr) && bind(esys, "Esys_PolicyGetDigest", t.policyDigest) &&
                   bind(esys, "Esys_FlushContext", t.flush) && bind(esys, "Esys_Free", t.free) &&
                   bind(mu, "Tss2_MU_TPM2B_PUBLIC_Marshal", t.pubMarshal) &&
                   bind(mu, "Tss2_MU_TPM2B_PUBLIC_Unmarshal", t.pubUnmarshal) &&
                   bind(mu, "Tss2_MU_TPM2B_PRIVATE_Marshal", t.privMarshal) &&
                   bind(mu, "Tss2_MU_TPM2B_PRIVATE_Unmarshal", t.privUnmarshal);
    });
    return t;
}

std::string tcti_config() {
    const char *env = secure_getenv("TELMOR_VAQ_TCTI");
    return env != nullptr && *env != '\0' ? env : kDefaultTcti;
}

bool tpm_layer(TSS2_RC rc) { return (rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER; }
// A format-one response code without its handle, session or parameter number.
TSS2_RC fmt1(TSS2_RC rc) { return (rc & TPM2_RC_FMT1) ? (rc & 0xbf) : rc & 0xfff; }

// The TPM's own refusals are answered as such; a failure to talk to it at all
// (no device, nothing listening, libraries missing) as an absent TPM.
Status tpm_failure(const std::string &tcti, const char *step, TSS2_RC rc) {
    if (tpm_layer(rc))
        return Fail(VAQ_ERR_TPM_REFUSED, reason("tpm2 protector: the TPM at %s refused %s (0x%x)", tcti.c_str(), step,
                                                static_cast<unsigned>(rc)));
    return Fail(VAQ_ERR_TPM_ABSENT, reason("tpm2 protector: no TPM reached at %s: %s failed (0x%x)", tcti.c_str(), step,
                                           static_cast<unsigned>(rc)));
}

// The standard storage key template of the owner hierarchy: ECC P-256,
// AES-128-CFB, restricted decryption key.
TPM2B_PUBLIC storage_template() {
    TPM2B_PUBLIC p{};
    p.publicArea.type = TPM2_ALG_ECC;
    p.publicArea.nameAlg = TPM2_ALG_SHA256;
    p.publicArea.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
                                    TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED |
                                    TPMA_OBJECT_DECRYPT;
    auto &ecc = p.publicArea.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    p.publicArea.unique.ecc.x.size = 32;
    p.publicArea.unique.ecc.y.size = 32;
    return p;
}

TPML_PCR_SELECTION pcr_selection(uint32_t mask) {
    TPML_PCR_SELECTION s{};
    s.count = 1;
    s.pcrSelections[0].hash = TPM2_ALG_SHA256;
    s.pcrSelections[0].sizeofSelect = 3;
    for (int i = 0; i < 3; ++i) s.pcrSelections[0].pcrSelect[i] = static_cast<uint8_t>(mask >> (8 * i));
    return s;
}

// One conversation with the TPM: TCTI, ESYS context and every transient
// handle made on the way, flushed and closed when it ends.
class Conversation {
public:
    explicit Conversation(const Tss &t) : t_(t), tcti_(tcti_config()) {}
    ~Conversation() {
        for (ESYS_TR h : handles_) t_.flush(ctx_, h);
        if (ctx_) t_.finalize(&ctx_);
        if (tctiCtx_) t_.tctiFinalize(&tctiCtx_);
    }
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;

    const std::string &tcti() const { return tcti_; }

    Status open() {
        TSS2_RC rc = t_.tctiInit(tcti_.c_str(), &tctiCtx_);
        if (rc != TSS2_RC_SUCCESS) {
            tctiCtx_ = nullptr;
            return tpm_failure(tcti_, "opening the TCTI", rc);
        }
        rc = t_.init(&ctx_, tctiCtx_, nullptr);
        if (rc != TSS2_RC_SUCCESS) {
            ctx_ = nullptr;
            return tpm_failure(tcti_, "starting ESYS", rc);
        }
        return Ok();
    }

    Status primary(ESYS_TR &out) {
        TPM2B_SENSITIVE_CREATE sensitive{};
        TPM2B_PUBLIC tmpl = storage_template();
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION none{};
        TSS2_RC rc = t_.createPrimary(ctx_, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                                      &tmpl, &outside, &none, &out, nullptr, nullptr, nullptr, nullptr);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "making the storage key", rc);
        handles_.push_back(out);
        return Ok();
    }

    // A policy session (trial: only to compute the digest) bound to the PCRs.
    Status pcr_session(uint32_t mask, bool trial, ESYS_TR &session) {
        TPMT_SYM_DEF sym{};
        sym.algorithm = TPM2_ALG_NULL;
        TSS2_RC rc = t_.startSession(ctx_, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                     nullptr, trial ? TPM2_SE_TRIAL : TPM2_SE_POLICY, &sym, TPM2_ALG_SHA256, &session);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "starting a policy session", rc);
        handles_.push_back(session);
        TPM2B_DIGEST current{};  // empty: the TPM takes the PCRs' present values
        TPML_PCR_SELECTION pcrs = pcr_selection(mask);
        rc = t_.policyPcr(ctx_, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &current, &pcrs);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "the PCR policy", rc);
        return Ok();
    }

    ESYS_CONTEXT *ctx() { return ctx_; }
    void keep(ESYS_TR h) { handles_.push_back(h); }

private:
    const Tss &t_;
    std::string tcti_;
    TSS2_TCTI_CONTEXT *tctiCtx_ = nullptr;
    ESYS_CONTEXT *ctx_ = nullptr;
    std::vector<ESYS_TR> handles_;
};

Status libraries_missing() {
    return Fail(VAQ_ERR_TPM_ABSENT,
                "tpm2 protector: the TPM libraries (libtss2-esys, libtss2-tctildr, libtss2-mu) "
                "cannot be loaded");
}

class Tpm2Protector final : public RootProtector {
public:
    ProtectorKind kind() const override { return ProtectorKind::kTpm2; }
    std::string location() const override { return tcti_config(); }

    ProtectorOptions options_of(ByteView sealed) const override {
        ProtectorOptions o;
        Reader r(sealed);
        uint32_t mask = r.u32();
        if (r.ok()) o.pcrMask = mask;
        return o;
    }

    Status seal(ByteView root, const ProtectorOptions &options, Bytes &sealed) override {
        const Tss &t = tss();
        if (!t.loaded) return libraries_missing();
        if (options.pcrMask >> kPcrCount != 0)
            return Fail(VAQ_ERR_BAD_ARG, "tpm2 protector: PCRs are numbered 0 to 23");
        Conversation c(t);
        Status s = c.open();
        ESYS_TR parent = ESYS_TR_NONE;
        if (s.ok()) s = c.primary(parent);
        if (!s.ok()) return s;

        TPM2B_PUBLIC tmpl{};
        tmpl.publicArea.type = TPM2_ALG_KEYEDHASH;
        tmpl.publicArea.nameAlg = TPM2_ALG_SHA256;
        tmpl.publicArea.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_NODA;
        tmpl.publicArea.parameters.keyedHashDetail.scheme.scheme = TPM2_ALG_NULL;
        if (options.pcrMask != 0) {
            ESYS_TR trial = ESYS_TR_NONE;
            s = c.pcr_session(options.pcrMask, true, trial);
            if (!s.ok()) return s;
            TPM2B_DIGEST *digest = nullptr;
            TSS2_RC rc = t.policyDigest(c.ctx(), trial, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &digest);
            if (rc != TSS2_RC_SUCCESS) return tpm_failure(c.tcti(), "the policy digest", rc);
            tmpl.publicArea.authPolicy = *digest;
            t.free(digest);
        } else {
            tmpl.publicArea.objectAttributes |= TPMA_OBJECT_USERWITHAUTH;
        }
        TPM2B_SENSITIVE_CREATE sensitive{};
        sensitive.sensitive.data.size = static_cast<UINT16>(root.size());
        std::memcpy(sensitive.sensitive.data.buffer, root.data(), root.size());
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION none{};
        TPM2B_PRIVATE *priv = nullptr;
        TPM2B_PUBLIC *pub = nullptr;
        TSS2_RC rc = t.create(c.ctx(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &tmpl,
                              &outside, &none, &priv, &pub, nullptr, nullptr, nullptr);
        OPENSSL_cleanse(&sensitive, sizeof sensitive);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(c.tcti(), "sealing the root material", rc);

        sealed.assign(4 + sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE), 0);
        for (int i = 0; i < 4; ++i) sealed[i] = static_cast<uint8_t>(options.pcrMask >> (8 * i));
        size_t at = 4;
        bool ok = t.pubMarshal(pub, sealed.data(), sealed.size(), &at) == TSS2_RC_SUCCESS &&
                  t.privMarshal(priv, sealed.data(), sealed.size(), &at) == TSS2_RC_SUCCESS;
        t.free(pub);
        t.free(priv);
        if (!ok || at > kTpm2MaxSealedRootBytes)
            return Fail(VAQ_ERR_INTERNAL, "tpm2 protector: the sealed object does not fit");
        sealed.resize(at);
        return Ok();
    }

    Unsealed unseal(ByteView sealed, uint8_t root[32], Status &why) override {
        const Tss &t = tss();
        if (!t.loaded) {
            why = libraries_missing();
            return Unsealed::kFailed;
        }
        Reader r(sealed);
        uint32_t mask = r.u32();
        TPM2B_PUBLIC pub{};
        TPM2B_PRIVATE priv{};
        size_t at = 4;
        if (!r.ok() || mask >> kPcrCount != 0 ||
            t.pubUnmarshal(sealed.data(), sealed.size(), &at, &pub) != TSS2_RC_SUCCESS ||
            t.privUnmarshal(sealed.data(), sealed.size(), &at, &priv) != TSS2_RC_SUCCESS || at != sealed.size())
            return Unsealed::kDamaged;

        Conversation c(t);
        why = c.open();
        ESYS_TR parent = ESYS_TR_NONE;
        if (why.ok()) why = c.primary(parent);
        if (!why.ok()) return Unsealed::kFailed;
        ESYS_TR item = ESYS_TR_NONE;
        TSS2_RC rc = t.load(c.ctx(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &priv, &pub, &item);
        if (rc != TSS2_RC_SUCCESS) {
            // Made under another TPM's storage key: its integrity check fails here.
            if (tpm_layer(rc) && fmt1(rc) == TPM2_RC_INTEGRITY) {
                why = Fail(VAQ_ERR_ROOT_FOREIGN, reason("tpm2 protector: the keystore is sealed to another TPM than "
                                                        "the one at %s",
                                                        c.tcti().c_str()));
                return Unsealed::kForeign;
            }
            why = tpm_failure(c.tcti(), "loading the sealed root", rc);
            return Unsealed::kFailed;
        }
        c.keep(item);
        ESYS_TR auth = ESYS_TR_PASSWORD;
        if (mask != 0) {
            why = c.pcr_session(mask, false, auth);
            if (!why.ok()) return Unsealed::kFailed;
        }
        TPM2B_SENSITIVE_DATA *data = nullptr;
        rc = t.unseal(c.ctx(), item, auth, ESYS_TR_NONE, ESYS_TR_NONE, &data);
        if (rc != TSS2_RC_SUCCESS) {
            if (tpm_layer(rc) && fmt1(rc) == TPM2_RC_POLICY_FAIL)
                why = Fail(VAQ_ERR_TPM_PCR_MISMATCH,
                           reason("tpm2 protector: the PCRs of the TPM at %s no longer hold the "
                                  "values the root was sealed to (PCR mask 0x%x)",
                                  c.tcti().c_str(), mask));
            else
                why = tpm_failure(c.tcti(), "unsealing the root material", rc);
            return Unsealed::kFailed;
        }
        const bool fits = data->size == kKeyBytes;
        if (fits) std::memcpy(root, data->buffer, kKeyBytes);
        OPENSSL_cleanse(data, sizeof *data);
        t.free(data);
        return fits ? Unsealed::kYes : Unsealed::kDamaged;
    }
};

}  // namespace

std::unique_ptr<RootProtector> make_tpm2_protector(const Host &) { return std::make_unique<Tpm2Protector>(); }

}  // namespace vaq
