// SPDX-License-Identifier: Apache-2.0
// The `tpm2` root protector: the root material sealed to the node's TPM 2.0,
// under a primary key made anew each time from the owner hierarchy's standard
// storage template (the same key on the same TPM; nothing persistent is
// needed), optionally bound to PCR values by a policy.
//
// What reaching the TPM is not enough for: the sealed object's authorisation
// value is 32 random bytes kept in the keystore's authorisation file in the
// node-secret directory (tpm2_auth_path: 0400, read and made like the node
// secret), and its policy asks for it, so a member of `tss` or a user of a TCP
// simulator who holds the keystore files still cannot unseal. What is sealed
// is the root material behind a binding to its keystore pair (HMAC of the
// pair's name and primary path), checked after unsealing: another keystore's
// sealed root, put in this one's files, is refused as foreign. Create and
// Unseal run in a session salted by the storage key with AES-128-CFB parameter
// encryption, so neither the root nor the authorisation value crosses the bus
// in clear.
//
// The TPM libraries (ESYS, the TCTI loader, marshalling) are loaded when a
// keystore first needs them, not linked: a node without them loads every
// keystore that does not use the TPM, and one that does answers "TPM absent".
// The TCTI comes from TELMOR_VAQ_TCTI, by default "device:/dev/tpmrm0".
//
// Sealed root (docs/keystore-format.md): a 32-bit word, the PCR mask in its
// low 24 bits (bit n for PCR n of the SHA-256 bank) and the layout in its top
// byte, then the sealed object's TPM2B_PUBLIC and TPM2B_PRIVATE as the TPM
// marshals them. Layout 1 is the bound one above; layout 0, written before it,
// seals the bare root under an empty authorisation and is still opened while
// the keystore has no authorisation file, so that a node upgrading keeps its
// keys, and refused once it has one (no way back to a seal anyone can open).
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
#include "log.h"
#include "protector.h"
#include "secret_file.h"

namespace vaq {

namespace {

constexpr char kDefaultTcti[] = "device:/dev/tpmrm0";
constexpr uint32_t kPcrCount = 24;
constexpr uint32_t kPcrBits = (1u << kPcrCount) - 1;
// The layouts of the sealed root, in the top byte of its first word.
constexpr uint32_t kUnbound = 0, kBound = 1;
constexpr size_t kBindingBytes = 32;
constexpr SecretFileKind kAuthFile = {{'H', 'X', 'B', 'V', 'A', 'Q', 'T', 'A'}, "tpm2 protector", "authorisation file"};

// The TPM library writes its own lines to standard error when it fails: a
// tool's one sentence would come after three to eight of them. Quiet unless
// the operator asked for them (TSS2_LOG), decided when this library is loaded:
// the TPM library reads the variable at its first line, and the environment is
// changed here, before main() of a program linked with us (or inside dlopen),
// where no thread of ours reads it, rather than at first use, when the host's
// threads may be calling getenv.
__attribute__((constructor)) void quiet_tpm_library() { setenv("TSS2_LOG", "all+none", 0); }

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
    decltype(&Esys_TRSess_SetAttributes) sessionAttributes = nullptr;
    decltype(&Esys_TR_SetAuth) setAuth = nullptr;
    decltype(&Esys_PolicyPCR) policyPcr = nullptr;
    decltype(&Esys_PolicyAuthValue) policyAuthValue = nullptr;
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
                   bind(esys, "Esys_TRSess_SetAttributes", t.sessionAttributes) &&
                   bind(esys, "Esys_TR_SetAuth", t.setAuth) && bind(esys, "Esys_PolicyPCR", t.policyPcr) &&
                   bind(esys, "Esys_PolicyAuthValue", t.policyAuthValue) &&
                   bind(esys, "Esys_PolicyGetDigest", t.policyDigest) && bind(esys, "Esys_FlushContext", t.flush) &&
                   bind(esys, "Esys_Free", t.free) && bind(mu, "Tss2_MU_TPM2B_PUBLIC_Marshal", t.pubMarshal) &&
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
bool tpm_says(TSS2_RC rc, TSS2_RC code) { return tpm_layer(rc) && fmt1(rc) == code; }

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

// What authorises the use of the sealed object: the PCRs' values (when the
// mask is not 0) and, in the bound layout, the authorisation value.
struct Policy {
    uint32_t pcrMask = 0;
    bool authValue = false;
};

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

    // Opens the TCTI and ESYS and makes the storage key.
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
        TPM2B_SENSITIVE_CREATE sensitive{};
        TPM2B_PUBLIC tmpl = storage_template();
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION none{};
        rc = t_.createPrimary(ctx_, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &tmpl,
                              &outside, &none, &primary_, nullptr, nullptr, nullptr, nullptr);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "making the storage key", rc);
        handles_.push_back(primary_);
        return Ok();
    }

    ESYS_TR primary() const { return primary_; }

    // A session salted by the storage key (its secret reaches the TPM
    // encrypted to that key, so nobody on the bus can work out the session
    // key) with AES-128-CFB parameter encryption in the direction `attributes`
    // names. A trial session, only to compute a policy digest, carries no
    // secret and is neither salted nor encrypting.
    Status session(TPM2_SE type, TPMA_SESSION attributes, ESYS_TR &out) {
        const bool trial = type == TPM2_SE_TRIAL;
        TPMT_SYM_DEF sym{};
        sym.algorithm = trial ? TPM2_ALG_NULL : TPM2_ALG_AES;
        if (!trial) {
            sym.keyBits.aes = 128;
            sym.mode.aes = TPM2_ALG_CFB;
        }
        TSS2_RC rc = t_.startSession(ctx_, trial ? ESYS_TR_NONE : primary_, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                     ESYS_TR_NONE, nullptr, type, &sym, TPM2_ALG_SHA256, &out);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "starting a session", rc);
        handles_.push_back(out);
        if (!trial) {
            rc = t_.sessionAttributes(ctx_, out, attributes | TPMA_SESSION_CONTINUESESSION, 0xff);
            if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "setting the session's attributes", rc);
        }
        return Ok();
    }

    // Runs `policy` in a policy session (trial: only to compute the digest).
    Status policy_session(const Policy &policy, bool trial, ESYS_TR &session) {
        Status s = this->session(trial ? TPM2_SE_TRIAL : TPM2_SE_POLICY, TPMA_SESSION_ENCRYPT, session);
        if (!s.ok()) return s;
        if (policy.pcrMask != 0) {
            TPM2B_DIGEST current{};  // empty: the TPM takes the PCRs' present values
            TPML_PCR_SELECTION pcrs = pcr_selection(policy.pcrMask);
            TSS2_RC rc = t_.policyPcr(ctx_, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &current, &pcrs);
            if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "the PCR policy", rc);
        }
        if (policy.authValue) {
            TSS2_RC rc = t_.policyAuthValue(ctx_, session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE);
            if (rc != TSS2_RC_SUCCESS) return tpm_failure(tcti_, "the authorisation policy", rc);
        }
        return Ok();
    }

    ESYS_CONTEXT *ctx() { return ctx_; }
    void keep(ESYS_TR h) { handles_.push_back(h); }

private:
    const Tss &t_;
    std::string tcti_;
    TSS2_TCTI_CONTEXT *tctiCtx_ = nullptr;
    ESYS_CONTEXT *ctx_ = nullptr;
    ESYS_TR primary_ = ESYS_TR_NONE;
    std::vector<ESYS_TR> handles_;
};

Status libraries_missing() {
    return Fail(VAQ_ERR_TPM_ABSENT,
                "tpm2 protector: the TPM libraries (libtss2-esys, libtss2-tctildr, libtss2-mu) "
                "cannot be loaded");
}

// The authorisation value as the TPM takes it.
TPM2B_AUTH auth_of(const SecretArray<kKeyBytes> &value) {
    TPM2B_AUTH a{};
    a.size = kKeyBytes;
    std::memcpy(a.buffer, value.data(), kKeyBytes);
    return a;
}

class Tpm2Protector final : public RootProtector {
public:
    Tpm2Protector(const Host &host, const std::string &primaryPath)
        : host_(host), auth_(host, tpm2_auth_path(host, primaryPath), kAuthFile), stem_(keystore_stem(primaryPath)) {
        // Made now, not at each seal: what is bound does not change.
        const std::string bound = stem_ + '\0' + primaryPath;
        static const uint8_t kLabel[] = {'h', 'x', 'b', 'V', 'a', 'q', ' ', 't', 'p', 'm', '2',
                                         ' ', 'b', 'i', 'n', 'd', 'i', 'n', 'g', ' ', 'v', '1'};
        bindingOk_ = hmac_sha256(kLabel, {reinterpret_cast<const uint8_t *>(bound.data()), bound.size()}, binding_);
    }

    ProtectorKind kind() const override { return ProtectorKind::kTpm2; }
    std::string location() const override { return tcti_config(); }

    ProtectorOptions options_of(ByteView sealed) const override {
        ProtectorOptions o;
        Reader r(sealed);
        uint32_t word = r.u32();
        if (r.ok()) o.pcrMask = word & kPcrBits;
        return o;
    }

    Status seal(ByteView root, const ProtectorOptions &options, Bytes &sealed) override {
        const Tss &t = tss();
        if (!t.loaded) return libraries_missing();
        if (options.pcrMask >> kPcrCount != 0)
            return Fail(VAQ_ERR_BAD_ARG, "tpm2 protector: PCRs are numbered 0 to 23");
        if (!bindingOk_ || root.size() != kKeyBytes)
            return Fail(VAQ_ERR_CRYPTO, "tpm2 protector: the keystore binding could not be made");
        Conversation c(t);
        Status s = c.open();
        if (!s.ok()) return s;
        // On disk and synced before a keystore refers to it.
        SecretArray<kKeyBytes> authValue;
        s = auth_.read_or_create(authValue);
        if (!s.ok()) return s;

        const Policy policy{options.pcrMask, true};
        TPM2B_PUBLIC tmpl{};
        tmpl.publicArea.type = TPM2_ALG_KEYEDHASH;
        tmpl.publicArea.nameAlg = TPM2_ALG_SHA256;
        // No userWithAuth: the authorisation value is asked for through the
        // policy, together with the PCRs. noDA: a wrong value (another
        // keystore's seal tried) must not lock the TPM's other users out.
        tmpl.publicArea.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_NODA;
        tmpl.publicArea.parameters.keyedHashDetail.scheme.scheme = TPM2_ALG_NULL;
        ESYS_TR trial = ESYS_TR_NONE;
        s = c.policy_session(policy, true, trial);
        if (!s.ok()) return s;
        TPM2B_DIGEST *digest = nullptr;
        TSS2_RC rc = t.policyDigest(c.ctx(), trial, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &digest);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(c.tcti(), "the policy digest", rc);
        tmpl.publicArea.authPolicy = *digest;
        t.free(digest);

        // The storage key's authorisation is empty; the session is there to
        // encrypt the sensitive part (the authorisation value and the data).
        ESYS_TR salted = ESYS_TR_NONE;
        s = c.session(TPM2_SE_HMAC, TPMA_SESSION_DECRYPT, salted);
        if (!s.ok()) return s;
        TPM2B_SENSITIVE_CREATE sensitive{};
        sensitive.sensitive.userAuth = auth_of(authValue);
        sensitive.sensitive.data.size = kBindingBytes + kKeyBytes;
        std::memcpy(sensitive.sensitive.data.buffer, binding_, kBindingBytes);
        std::memcpy(sensitive.sensitive.data.buffer + kBindingBytes, root.data(), kKeyBytes);
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION none{};
        TPM2B_PRIVATE *priv = nullptr;
        TPM2B_PUBLIC *pub = nullptr;
        rc = t.create(c.ctx(), c.primary(), salted, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &tmpl, &outside, &none,
                      &priv, &pub, nullptr, nullptr, nullptr);
        OPENSSL_cleanse(&sensitive, sizeof sensitive);
        if (rc != TSS2_RC_SUCCESS) return tpm_failure(c.tcti(), "sealing the root material", rc);

        const uint32_t word = options.pcrMask | kBound << kPcrCount;
        sealed.assign(4 + sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE), 0);
        for (int i = 0; i < 4; ++i) sealed[i] = static_cast<uint8_t>(word >> (8 * i));
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
        const uint32_t word = r.u32();
        const uint32_t layout = word >> kPcrCount;
        TPM2B_PUBLIC pub{};
        TPM2B_PRIVATE priv{};
        size_t at = 4;
        if (!r.ok() || layout > kBound || t.pubUnmarshal(sealed.data(), sealed.size(), &at, &pub) != TSS2_RC_SUCCESS ||
            t.privUnmarshal(sealed.data(), sealed.size(), &at, &priv) != TSS2_RC_SUCCESS || at != sealed.size())
            return Unsealed::kDamaged;
        const Policy policy{word & kPcrBits, layout == kBound};
        if (policy.authValue && !bindingOk_) {
            why = Fail(VAQ_ERR_CRYPTO, "tpm2 protector: the keystore binding could not be made");
            return Unsealed::kFailed;
        }

        SecretArray<kKeyBytes> authValue;
        if (policy.authValue) {
            why = auth_.read(authValue);
            if (!why.ok()) return Unsealed::kFailed;
        } else if (auth_.exists()) {
            why = Fail(VAQ_ERR_ROOT_FOREIGN, reason("tpm2 protector: the keystore copy is sealed without binding or "
                                                    "authorisation, and this keystore has been sealed with them "
                                                    "(%s); such a seal is not taken",
                                                    auth_.path().c_str()));
            return Unsealed::kForeign;
        }

        Conversation c(t);
        why = c.open();
        if (!why.ok()) return Unsealed::kFailed;
        ESYS_TR item = ESYS_TR_NONE;
        TSS2_RC rc = t.load(c.ctx(), c.primary(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &priv, &pub, &item);
        if (rc != TSS2_RC_SUCCESS) {
            // Made under another TPM's storage key: its integrity check fails here.
            if (tpm_says(rc, TPM2_RC_INTEGRITY)) {
                why = Fail(VAQ_ERR_ROOT_FOREIGN, reason("tpm2 protector: the keystore is sealed to another TPM than "
                                                        "the one at %s",
                                                        c.tcti().c_str()));
                return Unsealed::kForeign;
            }
            why = tpm_failure(c.tcti(), "loading the sealed root", rc);
            return Unsealed::kFailed;
        }
        c.keep(item);
        if (policy.authValue) {
            TPM2B_AUTH a = auth_of(authValue);
            rc = t.setAuth(c.ctx(), item, &a);
            OPENSSL_cleanse(&a, sizeof a);
            if (rc != TSS2_RC_SUCCESS) {
                why = tpm_failure(c.tcti(), "taking the authorisation value", rc);
                return Unsealed::kFailed;
            }
        }
        // The session encrypts what Unseal answers; the first layout without
        // PCRs asks for an empty authorisation, which an HMAC session gives.
        ESYS_TR session = ESYS_TR_NONE;
        why = policy.pcrMask == 0 && !policy.authValue ? c.session(TPM2_SE_HMAC, TPMA_SESSION_ENCRYPT, session)
                                                       : c.policy_session(policy, false, session);
        if (!why.ok()) return Unsealed::kFailed;
        TPM2B_SENSITIVE_DATA *data = nullptr;
        rc = t.unseal(c.ctx(), item, session, ESYS_TR_NONE, ESYS_TR_NONE, &data);
        if (rc != TSS2_RC_SUCCESS) {
            if (tpm_says(rc, TPM2_RC_POLICY_FAIL))
                why = Fail(VAQ_ERR_TPM_PCR_MISMATCH,
                           reason("tpm2 protector: the PCRs of the TPM at %s no longer hold the "
                                  "values the root was sealed to (PCR mask 0x%x)",
                                  c.tcti().c_str(), policy.pcrMask));
            else if (tpm_says(rc, TPM2_RC_BAD_AUTH) || tpm_says(rc, TPM2_RC_AUTH_FAIL)) {
                why = Fail(VAQ_ERR_ROOT_FOREIGN, reason("tpm2 protector: the keystore copy is sealed under another "
                                                        "authorisation value than %s (another keystore's seal)",
                                                        auth_.path().c_str()));
                return Unsealed::kForeign;
            } else
                why = tpm_failure(c.tcti(), "unsealing the root material", rc);
            return Unsealed::kFailed;
        }
        Unsealed u = take(*data, policy.authValue, root, why);
        OPENSSL_cleanse(data, sizeof *data);
        t.free(data);
        return u;
    }

private:
    // The unsealed data: the bare root (first layout), or the binding and the root.
    Unsealed take(const TPM2B_SENSITIVE_DATA &data, bool bound, uint8_t root[32], Status &why) const {
        if (!bound) {
            if (data.size != kKeyBytes) return Unsealed::kDamaged;
            std::memcpy(root, data.buffer, kKeyBytes);
            log_to(host_, LogLevel::kWarn, kVaqModule, __FILE_NAME__, __LINE__,
                   "tpm2 protector: the keystore is sealed without binding or authorisation (an older layout): "
                   "whoever reaches the TPM can unseal its root; renew the root key to seal it bound\n");
            return Unsealed::kYes;
        }
        if (data.size != kBindingBytes + kKeyBytes) return Unsealed::kDamaged;
        if (CRYPTO_memcmp(data.buffer, binding_, kBindingBytes) != 0) {
            why = Fail(VAQ_ERR_ROOT_FOREIGN,
                       reason("tpm2 protector: the keystore copy holds the sealed root of another keystore than "
                              "this one (%s)",
                              stem_.c_str()));
            return Unsealed::kForeign;
        }
        std::memcpy(root, data.buffer + kBindingBytes, kKeyBytes);
        return Unsealed::kYes;
    }

    const Host &host_;
    SecretFile auth_;
    std::string stem_;
    uint8_t binding_[kBindingBytes] = {};
    bool bindingOk_ = false;
};

}  // namespace

std::unique_ptr<RootProtector> make_tpm2_protector(const Host &host, const std::string &primaryPath) {
    return std::make_unique<Tpm2Protector>(host, primaryPath);
}

}  // namespace vaq
