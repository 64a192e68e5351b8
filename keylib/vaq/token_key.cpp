// SPDX-License-Identifier: Apache-2.0
// A token key: 32 secret bytes sealed with AES-256-GCM inside the token, under
// a key the token never lets out; the nonce comes from the host's entropy
// service, the context is the associated data.
//
// Sealed blob, 61 bytes: the mechanism (1 byte: 1, AES-GCM with a 12-byte
// nonce and a 16-byte tag), the nonce (12), the sealed secret (32) and its
// tag (16). The byte leaves room for a token without AES-GCM (AES key wrap
// with padding) without a new layout around it.
#include <cstring>

#include "crypto.h"
#include "protector.h"
#include "token_key.h"
#include "token_module.h"

namespace vaq {

namespace {

constexpr uint8_t kAesGcm = 1;
constexpr size_t kSecretBytes = 32;
constexpr size_t kBlobBytes = 1 + kGcmNonceBytes + kSecretBytes + kGcmTagBytes;

class Pkcs11Key final : public TokenKey {
public:
    Pkcs11Key(const Host &host, TokenUri uri, Token *token) : host_(host), uri_(std::move(uri)), token_(token) {}

    const TokenUri &uri() const override { return uri_; }

    // Finds the key and checks it; the caller holds the token's mutex.
    Status find() {
        CK_FUNCTION_LIST *f = token_->f();
        std::vector<CK_ATTRIBUTE> want = {{CKA_LABEL, const_cast<char *>(uri_.object.data()), uri_.object.size()}};
        if (!uri_.id.empty()) want.push_back({CKA_ID, const_cast<char *>(uri_.id.data()), uri_.id.size()});
        CK_RV rv = f->C_FindObjectsInit(token_->session, want.data(), want.size());
        findRv_ = rv;
        if (rv != CKR_OK) return refused("looking for the key", rv);
        CK_OBJECT_HANDLE found[2];
        CK_ULONG n = 0;
        rv = f->C_FindObjects(token_->session, found, 2, &n);
        f->C_FindObjectsFinal(token_->session);
        findRv_ = rv;
        if (rv != CKR_OK) return refused("looking for the key", rv);
        const char *named = uri_.id.empty() ? "label" : "label and id";
        if (n == 0) return wrong_key("there is no object with that ", named);
        if (n > 1) return wrong_key("more than one object has that label; name one with id=");
        CK_OBJECT_CLASS cls = 0;
        CK_KEY_TYPE type = 0;
        CK_ULONG length = 0;
        CK_BBOOL encrypt = CK_FALSE, decrypt = CK_FALSE, extractable = CK_TRUE, sensitive = CK_FALSE,
                 neverExtractable = CK_FALSE, alwaysSensitive = CK_FALSE;
        CK_ATTRIBUTE attrs[] = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_KEY_TYPE, &type, sizeof type},
            {CKA_VALUE_LEN, &length, sizeof length},
            {CKA_ENCRYPT, &encrypt, sizeof encrypt},
            {CKA_DECRYPT, &decrypt, sizeof decrypt},
            {CKA_EXTRACTABLE, &extractable, sizeof extractable},
            {CKA_SENSITIVE, &sensitive, sizeof sensitive},
            {CKA_NEVER_EXTRACTABLE, &neverExtractable, sizeof neverExtractable},
            {CKA_ALWAYS_SENSITIVE, &alwaysSensitive, sizeof alwaysSensitive},
        };
        rv = f->C_GetAttributeValue(token_->session, found[0], attrs, std::size(attrs));
        // A key that does not have one of these is not a secret key.
        if (rv == CKR_ATTRIBUTE_TYPE_INVALID || cls != CKO_SECRET_KEY) return wrong_key("it is not a secret key");
        if (rv != CKR_OK) return refused("reading the key's attributes", rv);
        if (type != CKK_AES) return wrong_key("it is not an AES key (CKA_KEY_TYPE)");
        if (length != kSecretBytes) return wrong_key("it is not a 256-bit AES key (CKA_VALUE_LEN is not 32)");
        if (encrypt != CK_TRUE) return wrong_key("the token does not let it encrypt (CKA_ENCRYPT is false)");
        if (decrypt != CK_TRUE) return wrong_key("the token does not let it decrypt (CKA_DECRYPT is false)");
        // A key the token would let out, in clear or wrapped under another
        // key, protects nothing the token's holder could not copy.
        if (extractable != CK_FALSE)
            return wrong_key(
                "the token would let it out (CKA_EXTRACTABLE is true; it must be sensitive and never "
                "extractable)");
        if (sensitive != CK_TRUE)
            return wrong_key(
                "the token would let it out (CKA_SENSITIVE is false; it must be sensitive and never "
                "extractable)");
        // Locked now is not enough: a key imported with a known value, or
        // read out before it was locked, is still known to whoever had it,
        // who opens what it sealed with no token at all. Only the token's
        // own record that the key never left it counts.
        if (neverExtractable != CK_TRUE)
            return wrong_key(
                "its value may have left the token before it was locked (CKA_NEVER_EXTRACTABLE is "
                "false: imported, or once extractable)");
        if (alwaysSensitive != CK_TRUE)
            return wrong_key(
                "its value may have been read before it was locked (CKA_ALWAYS_SENSITIVE is false: "
                "imported, or once readable)");
        key_ = found[0];

        CK_MECHANISM_INFO info{};
        rv = f->C_GetMechanismInfo(token_->slot, CKM_AES_GCM, &info);
        if (rv != CKR_OK || (info.flags & (CKF_ENCRYPT | CKF_DECRYPT)) != (CKF_ENCRYPT | CKF_DECRYPT))
            return Fail(VAQ_ERR_TOKEN_REFUSED,
                        reason("pkcs11: the token %s does not offer AES-GCM encryption and decryption (%s)",
                               token_->label.c_str(), ckr_name(rv)));
        return Ok();
    }

    Status seal(const uint8_t secret[32], ByteView context, Bytes &sealed) override {
        Bytes out(kBlobBytes, 0);
        out[0] = kAesGcm;
        uint8_t *nonce = out.data() + 1;
        Status s = host_.entropy(nonce, kGcmNonceBytes);
        if (!s.ok()) return s;
        s = with_session("sealing", [&](CK_FUNCTION_LIST *f) {
            CK_GCM_PARAMS gcm = params(nonce, context);
            CK_MECHANISM mech{CKM_AES_GCM, &gcm, sizeof gcm};
            CK_RV rv = f->C_EncryptInit(token_->session, &mech, key_);
            if (rv != CKR_OK) return rv;
            CK_ULONG n = kSecretBytes + kGcmTagBytes;
            rv = f->C_Encrypt(token_->session, const_cast<uint8_t *>(secret), kSecretBytes, nonce + kGcmNonceBytes, &n);
            if (rv == CKR_OK && n != kSecretBytes + kGcmTagBytes) rv = CKR_GENERAL_ERROR;
            return rv;
        });
        if (!s.ok()) return s;
        sealed = std::move(out);
        return Ok();
    }

    Unsealed unseal(ByteView sealed, ByteView context, uint8_t secret[32], Status &why) override {
        if (sealed.size() != kBlobBytes || sealed[0] != kAesGcm) return Unsealed::kDamaged;
        uint8_t nonce[kGcmNonceBytes];
        std::memcpy(nonce, sealed.data() + 1, kGcmNonceBytes);
        uint8_t in[kSecretBytes + kGcmTagBytes];
        std::memcpy(in, sealed.data() + 1 + kGcmNonceBytes, sizeof in);
        // Room for what a module may want to write before it has checked
        // the tag; only the secret's 32 bytes are ever kept.
        uint8_t plain[kSecretBytes + kGcmTagBytes];
        bool rejected = false;
        why = with_session("unsealing", [&](CK_FUNCTION_LIST *f) {
            CK_GCM_PARAMS gcm = params(nonce, context);
            CK_MECHANISM mech{CKM_AES_GCM, &gcm, sizeof gcm};
            CK_RV rv = f->C_DecryptInit(token_->session, &mech, key_);
            if (rv != CKR_OK) return rv;
            CK_ULONG n = sizeof plain;
            rv = f->C_Decrypt(token_->session, in, sizeof in, plain, &n);
            if (rv == CKR_OK && n != kSecretBytes) rv = CKR_GENERAL_ERROR;
            // Tokens answer a tag that does not verify in more than one way
            // (SoftHSM2: a general error). Whether the token works is asked
            // of a seal of its own: if that opens, these bytes are not this
            // key's, or not this context's.
            if (rv == CKR_ENCRYPTED_DATA_INVALID || rv == CKR_ENCRYPTED_DATA_LEN_RANGE || rv == CKR_GENERAL_ERROR ||
                rv == CKR_FUNCTION_FAILED) {
                if (round_trip(f) == CKR_OK) {
                    rejected = true;
                    return CKR_OK;
                }
            }
            return rv;
        });
        if (!why.ok() || rejected) {
            OPENSSL_cleanse(plain, sizeof plain);
            if (!rejected) return Unsealed::kFailed;
            why = Fail(VAQ_ERR_ROOT_FOREIGN,
                       reason("pkcs11: the sealed bytes do not open under the key %s of the token %s (sealed under "
                              "another key, or for another keystore)",
                              uri_.object.c_str(), token_->label.c_str()));
            return Unsealed::kForeign;
        }
        std::memcpy(secret, plain, kSecretBytes);
        OPENSSL_cleanse(plain, sizeof plain);
        return Unsealed::kYes;
    }

    // Runs op on the token's session, holding its mutex; a session the module
    // lost (token reinserted, process forked) is opened again once.
    template <class Op>
    Status with_session(const char *what, Op op) {
        std::lock_guard<std::mutex> g(token_->mutex);
        for (int attempt = 0;; ++attempt) {
            Status s = ready_and_found();
            if (!s.ok()) return s;
            const CK_RV rv = op(token_->f());
            if (rv == CKR_OK) return Ok();
            if (attempt == 0 && retry_on_new_session(rv)) {
                token_->drop();
                continue;
            }
            return refused(what, rv);
        }
    }

    // The session open and logged in, and the key found on it; the caller
    // holds the token's mutex.
    Status ready_and_found() {
        for (int attempt = 0;; ++attempt) {
            // A handle found before the session was dropped or the module
            // restarted may name another object now, or none.
            if (keyGeneration_ != token_->generation) key_ = CK_INVALID_HANDLE;
            Status s = token_->ready(host_, uri_);
            if (!s.ok() || key_ != CK_INVALID_HANDLE) return s;
            findRv_ = CKR_OK;
            s = find();
            keyGeneration_ = token_->generation;
            // The search is the first call on a session an earlier lost
            // answer may have left busy.
            if (s.ok() || attempt > 0 || !retry_on_new_session(findRv_)) return s;
            token_->drop();
        }
    }

private:
    // Seals random bytes and opens them again; the caller holds the mutex.
    CK_RV round_trip(CK_FUNCTION_LIST *f) {
        uint8_t nonce[kGcmNonceBytes], probe[kSecretBytes], sealed[kSecretBytes + kGcmTagBytes],
            opened[kSecretBytes + kGcmTagBytes];
        if (!host_.entropy(nonce, sizeof nonce).ok() || !host_.entropy(probe, sizeof probe).ok())
            return CKR_FUNCTION_FAILED;
        static const uint8_t kProbe[] = {'p', 'r', 'o', 'b', 'e'};
        CK_GCM_PARAMS gcm = params(nonce, kProbe);
        CK_MECHANISM mech{CKM_AES_GCM, &gcm, sizeof gcm};
        CK_ULONG n = sizeof sealed;
        CK_RV rv = f->C_EncryptInit(token_->session, &mech, key_);
        if (rv == CKR_OK) rv = f->C_Encrypt(token_->session, probe, sizeof probe, sealed, &n);
        if (rv != CKR_OK) return rv;
        CK_ULONG m = sizeof opened;
        rv = f->C_DecryptInit(token_->session, &mech, key_);
        if (rv == CKR_OK) rv = f->C_Decrypt(token_->session, sealed, n, opened, &m);
        if (rv == CKR_OK && (m != sizeof probe || std::memcmp(opened, probe, m) != 0)) rv = CKR_GENERAL_ERROR;
        return rv;
    }

    static CK_GCM_PARAMS params(uint8_t *nonce, ByteView context) {
        CK_GCM_PARAMS gcm{};
        gcm.iv_ptr = nonce;
        gcm.iv_len = kGcmNonceBytes;
        gcm.iv_bits = kGcmNonceBytes * 8;
        gcm.aad_ptr = const_cast<uint8_t *>(context.data());
        gcm.aad_len = context.size();
        gcm.tag_bits = kGcmTagBytes * 8;
        return gcm;
    }

    Status refused(const char *what, CK_RV rv) const {
        return Fail(session_gone(rv) ? VAQ_ERR_TOKEN_ABSENT : VAQ_ERR_TOKEN_REFUSED,
                    reason("pkcs11: the token %s refused %s (%s)", token_->label.c_str(), what, ckr_name(rv)));
    }

    Status wrong_key(const char *why, const char *more = "") const {
        return Fail(VAQ_ERR_TOKEN_KEY, reason("pkcs11: the key %s in the token %s is not used: %s%s",
                                              uri_.object.c_str(), token_->label.c_str(), why, more));
    }

    const Host &host_;
    TokenUri uri_;
    Token *token_;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
    uint64_t keyGeneration_ = 0;
    CK_RV findRv_ = CKR_OK;  // the search's last answer
};

}  // namespace

Status TokenKey::open(const Host &host, const std::string &uri, std::shared_ptr<TokenKey> &key) {
    TokenUri parsed;
    Status s = parse_token_uri(uri, parsed);
    if (!s.ok()) return s;
    // A token found by its label but whose session, login or key lookup
    // says it is gone is asked once more after its module is started again:
    // the module may hold on to a token it lost until then.
    for (int attempt = 0;; ++attempt) {
        Token *token = nullptr;
        s = find_token(parsed, token);
        if (!s.ok()) return s;
        auto k = std::make_shared<Pkcs11Key>(host, parsed, token);
        {
            std::lock_guard<std::mutex> g(token->mutex);
            s = k->ready_and_found();
        }
        if (s.ok()) {
            key = std::move(k);
            return Ok();
        }
        if (attempt > 0 || s.code != VAQ_ERR_TOKEN_ABSENT) return s;
        restart_module(*token);
    }
}

}  // namespace vaq
