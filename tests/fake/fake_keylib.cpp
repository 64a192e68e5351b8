// SPDX-License-Identifier: Apache-2.0
// The scripted fake of libhxbVaq.so and libhxbQor.so: see fake_keylib.h.
#include "fake_keylib.h"

#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "telmor_vaq_api.h"
#include "vaq/qor_api.h"
#include "vaq/vaq_api.h"

namespace fake {
namespace {

struct State {
    std::mutex mu;
    std::vector<Call> calls;
    std::map<std::string, std::function<unsigned long(const Call &)>> handlers;
    std::map<std::string, std::deque<unsigned long>> queues;
    std::map<std::string, unsigned long> defaults;
    Inventory inventory;
    const VaqHostServices *table = nullptr;
    uint32_t createdKeys = 0;
};

// Never destroyed: a host may still call in from its exit handlers.
State &state() {
    static State *s = new State;
    return *s;
}

enum class Source { kHandler, kQueue, kDefault, kNone };

struct Answer {
    Source source;
    unsigned long code;
    // The fake's own behaviour (filling records, round-trip cipher) runs unless
    // a handler took the call or the scripted code is a failure.
    bool acts() const { return source != Source::kHandler && code == 0; }
};

uint64_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

std::vector<uint8_t> copy_bytes(const void *p, size_t n) {
    if (p == nullptr) return {};
    const auto *b = static_cast<const uint8_t *>(p);
    return std::vector<uint8_t>(b, b + n);
}

std::string copy_text(const char *s) { return s == nullptr ? std::string() : std::string(s); }

Answer dispatch(Call call) {
    State &st = state();
    std::function<unsigned long(const Call &)> handler;
    {
        std::lock_guard<std::mutex> g(st.mu);
        st.calls.push_back(call);
        if (auto h = st.handlers.find(call.fn); h != st.handlers.end()) {
            handler = h->second;
        } else if (auto q = st.queues.find(call.fn); q != st.queues.end() && !q->second.empty()) {
            unsigned long code = q->second.front();
            q->second.pop_front();
            return {Source::kQueue, code};
        } else if (auto d = st.defaults.find(call.fn); d != st.defaults.end()) {
            return {Source::kDefault, d->second};
        } else {
            return {Source::kNone, 0};
        }
    }
    return {Source::kHandler, handler(call)};
}

Call make(const char *fn, std::vector<uint64_t> args) { return Call{fn, std::move(args), {}, {}}; }

}  // namespace

void reset() {
    State &st = state();
    std::lock_guard<std::mutex> g(st.mu);
    st.calls.clear();
    st.handlers.clear();
    st.queues.clear();
    st.defaults.clear();
    st.inventory = Inventory{};
    st.table = nullptr;
    st.createdKeys = 0;
}

void answer(const std::string &fn, unsigned long code) {
    std::lock_guard<std::mutex> g(state().mu);
    state().defaults[fn] = code;
}

void queue(const std::string &fn, std::initializer_list<unsigned long> codes) {
    std::lock_guard<std::mutex> g(state().mu);
    auto &q = state().queues[fn];
    q.insert(q.end(), codes.begin(), codes.end());
}

void on(const std::string &fn, std::function<unsigned long(const Call &)> handler) {
    std::lock_guard<std::mutex> g(state().mu);
    if (handler) {
        state().handlers[fn] = std::move(handler);
    } else {
        state().handlers.erase(fn);
    }
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> g(state().mu);
    return state().calls;
}

std::vector<Call> calls(const std::string &fn) {
    std::lock_guard<std::mutex> g(state().mu);
    std::vector<Call> out;
    for (const auto &c : state().calls) {
        if (c.fn == fn) out.push_back(c);
    }
    return out;
}

std::vector<std::string> call_names() {
    std::lock_guard<std::mutex> g(state().mu);
    std::vector<std::string> out;
    for (const auto &c : state().calls) out.push_back(c.fn);
    return out;
}

Inventory &inventory() { return state().inventory; }

const VaqHostServices *registered_table() {
    std::lock_guard<std::mutex> g(state().mu);
    return state().table;
}

}  // namespace fake

using fake::addr;
using fake::Answer;
using fake::Call;
using fake::dispatch;
using fake::make;

// ---- Key-management library -------------------------------------------------

extern "C" uint32_t IvexRegFuncEx(const VaqHostServices *table) {
    Call c = make("IvexRegFuncEx", {addr(table)});
    c.bytes = fake::copy_bytes(table, sizeof(VaqHostServices));
    Answer a = dispatch(std::move(c));
    if (a.code == 0) {
        std::lock_guard<std::mutex> g(fake::state().mu);
        fake::state().table = table;
    }
    return static_cast<uint32_t>(a.code);
}

extern "C" unsigned long IvexInitializeEx(uint32_t reserved1, const HX_VAQ_KEYSTORE_FILES *files, uint32_t reserved2,
                                          void *reserved3) {
    Call c = make("IvexInitializeEx", {reserved1, addr(files), reserved2, addr(reserved3)});
    if (files != nullptr) {
        c.texts = {fake::copy_text(files->primary), fake::copy_text(files->standby)};
    }
    return dispatch(std::move(c)).code;
}

extern "C" unsigned long IvexSetRole(uint32_t role) { return dispatch(make("IvexSetRole", {role})).code; }

extern "C" unsigned long IvexFinalizeEx(void) { return dispatch(make("IvexFinalizeEx", {})).code; }

extern "C" unsigned long VaqRmvDomainEx(uint32_t domainId) { return dispatch(make("VaqRmvDomainEx", {domainId})).code; }

extern "C" unsigned long VaqAddDomainEx(const VaqDomainRecord *domain) {
    Call c = make("VaqAddDomainEx", {addr(domain)});
    c.bytes = fake::copy_bytes(domain, sizeof(VaqDomainRecord));
    return dispatch(std::move(c)).code;
}

extern "C" unsigned long VaqAddDomainKeyTypeEx(uint32_t domainId, const VaqKeyTypeRecord *keyType) {
    Call c = make("VaqAddDomainKeyTypeEx", {domainId, addr(keyType)});
    c.bytes = fake::copy_bytes(keyType, sizeof(VaqKeyTypeRecord));
    return dispatch(std::move(c)).code;
}

extern "C" int32_t VaqGetMkCount(void) {
    Answer a = dispatch(make("VaqGetMkCount", {}));
    if (a.source != fake::Source::kNone) return static_cast<int32_t>(a.code);
    std::lock_guard<std::mutex> g(fake::state().mu);
    const auto &inv = fake::state().inventory;
    return inv.overrideMkCount ? inv.mkCount : static_cast<int32_t>(inv.mks.size());
}

extern "C" unsigned long VaqGetMk(uint32_t index, VaqMkRecord *record) {
    Answer a = dispatch(make("VaqGetMk", {index, addr(record)}));
    if (!a.acts()) return a.code;
    std::lock_guard<std::mutex> g(fake::state().mu);
    const auto &mks = fake::state().inventory.mks;
    if (index >= mks.size()) return VAQ_ERR_INDEX_RANGE;
    if (record == nullptr) return VAQ_ERR_NULL_ARG;
    *record = mks[index];
    return 0;
}

extern "C" unsigned long VaqGetMkDetail(uint32_t domainId, uint32_t keyId, void *record, void *key, void *keyLen) {
    Answer a = dispatch(make("VaqGetMkDetail", {domainId, keyId, addr(record), addr(key), addr(keyLen)}));
    if (!a.acts()) return a.code;
    std::lock_guard<std::mutex> g(fake::state().mu);
    const auto &inv = fake::state().inventory;
    for (size_t i = 0; i < inv.mks.size(); ++i) {
        if (inv.mks[i].domainId != domainId || inv.mks[i].keyId != keyId) continue;
        const std::vector<uint8_t> none;
        const auto &material = i < inv.mkMaterial.size() ? inv.mkMaterial[i] : none;
        if (keyLen != nullptr) {
            auto *len = static_cast<uint32_t *>(keyLen);
            if (material.size() > *len) return VAQ_ERR_BUFFER_TOO_SMALL;
            if (key != nullptr && !material.empty()) std::memcpy(key, material.data(), material.size());
            *len = static_cast<uint32_t>(material.size());
        }
        if (record != nullptr) std::memcpy(record, &inv.mks[i], sizeof(VaqMkRecord));
        return 0;
    }
    return VAQ_ERR_UNKNOWN_KEY;
}

extern "C" int32_t VaqGetDomainCount(void) {
    Answer a = dispatch(make("VaqGetDomainCount", {}));
    if (a.source != fake::Source::kNone) return static_cast<int32_t>(a.code);
    std::lock_guard<std::mutex> g(fake::state().mu);
    const auto &inv = fake::state().inventory;
    return inv.overrideDomainCount ? inv.domainCount : static_cast<int32_t>(inv.domains.size());
}

extern "C" unsigned long VaqGetDomain(uint32_t index, VaqDomainRecord *record) {
    Answer a = dispatch(make("VaqGetDomain", {index, addr(record)}));
    if (!a.acts()) return a.code;
    std::lock_guard<std::mutex> g(fake::state().mu);
    const auto &domains = fake::state().inventory.domains;
    if (index >= domains.size()) return VAQ_ERR_INDEX_RANGE;
    if (record == nullptr) return VAQ_ERR_NULL_ARG;
    *record = domains[index];
    return 0;
}

extern "C" unsigned long VaqGetRootKeyInfo(VaqRootKeyRecord *record) {
    Answer a = dispatch(make("VaqGetRootKeyInfo", {addr(record)}));
    if (!a.acts()) return a.code;
    if (record == nullptr) return VAQ_ERR_NULL_ARG;
    std::lock_guard<std::mutex> g(fake::state().mu);
    *record = fake::state().inventory.rootKey;
    return 0;
}

extern "C" unsigned long VaqGetRootKeyCfg(VaqRootKeyCfgRecord *record) {
    Answer a = dispatch(make("VaqGetRootKeyCfg", {addr(record)}));
    if (!a.acts()) return a.code;
    if (record == nullptr) return VAQ_ERR_NULL_ARG;
    std::lock_guard<std::mutex> g(fake::state().mu);
    *record = fake::state().inventory.rootKeyCfg;
    return 0;
}

extern "C" unsigned long VaqUpdateRootKey(const void *entropy, uint32_t entropyLen) {
    Call c = make("VaqUpdateRootKey", {addr(entropy), entropyLen});
    c.bytes = fake::copy_bytes(entropy, entropyLen);
    return dispatch(std::move(c)).code;
}

// By default a new key gets the id 1, 2, 3... in the order of the calls.
extern "C" unsigned long VaqCreateMkEx(uint32_t domainId, uint32_t *keyId) {
    Answer a = dispatch(make("VaqCreateMkEx", {domainId, addr(keyId)}));
    if (a.acts() && keyId != nullptr) {
        std::lock_guard<std::mutex> g(fake::state().mu);
        *keyId = ++fake::state().createdKeys;
    }
    return a.code;
}

extern "C" unsigned long VaqRegisterMkEx(uint32_t domainId, uint32_t keyId, const unsigned char *key, uint32_t keyLen) {
    Call c = make("VaqRegisterMkEx", {domainId, keyId, addr(key), keyLen});
    c.bytes = fake::copy_bytes(key, keyLen);
    return dispatch(std::move(c)).code;
}

extern "C" unsigned long VaqActivateMk(uint32_t domainId, uint32_t keyId) {
    return dispatch(make("VaqActivateMk", {domainId, keyId})).code;
}

extern "C" unsigned long VaqRmvMk(uint32_t domainId, uint32_t keyId) {
    return dispatch(make("VaqRmvMk", {domainId, keyId})).code;
}

extern "C" unsigned long VaqExportMkFileEx(const char *file, const unsigned char *password, uint32_t passwordLen,
                                           uint32_t workFactor) {
    Call c = make("VaqExportMkFileEx", {addr(file), addr(password), passwordLen, workFactor});
    c.texts = {fake::copy_text(file)};
    c.bytes = fake::copy_bytes(password, passwordLen);
    return dispatch(std::move(c)).code;
}

extern "C" unsigned long VaqImportMkFileEx(const char *file, const unsigned char *password, uint32_t passwordLen) {
    Call c = make("VaqImportMkFileEx", {addr(file), addr(password), passwordLen});
    c.texts = {fake::copy_text(file)};
    c.bytes = fake::copy_bytes(password, passwordLen);
    return dispatch(std::move(c)).code;
}

// By default both copies are reported good (bits 0 and 1).
extern "C" unsigned long VaqCheckKeyStore(uint32_t repair, uint32_t *result) {
    Answer a = dispatch(make("VaqCheckKeyStore", {repair, addr(result)}));
    if (a.acts() && result != nullptr) *result = 3;
    return a.code;
}

// ---- Data-protection library -------------------------------------------------
// Default cipher: the plain length as 4 bytes in host order, then the plain bytes.

namespace {
constexpr uint32_t kFakeHeader = 4;
}

extern "C" unsigned long QorGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen) {
    Answer a = dispatch(make("QorGetCipherDataLenEx", {plainLen, addr(cipherLen)}));
    if (!a.acts()) return a.code;
    if (cipherLen == nullptr) return QOR_ERR_NULL_ARG;
    if (plainLen > UINT32_MAX - kFakeHeader) return QOR_ERR_BAD_LENGTH;
    *cipherLen = plainLen + kFakeHeader;
    return 0;
}

extern "C" unsigned long QorEncryptEx(uint32_t domainId, uint32_t algorithm, const unsigned char *plain,
                                      uint32_t plainLen, unsigned char *cipher, uint32_t *cipherLen) {
    Call c = make("QorEncryptEx", {domainId, algorithm, addr(plain), plainLen, addr(cipher), addr(cipherLen)});
    c.bytes = fake::copy_bytes(plain, plainLen);
    Answer a = dispatch(std::move(c));
    if (!a.acts()) return a.code;
    if ((plain == nullptr && plainLen != 0) || cipher == nullptr || cipherLen == nullptr) {
        return QOR_ERR_NULL_ARG;
    }
    if (plainLen > UINT32_MAX - kFakeHeader) return QOR_ERR_BAD_LENGTH;
    if (*cipherLen < plainLen + kFakeHeader) return QOR_ERR_BUFFER_TOO_SMALL;
    std::memcpy(cipher, &plainLen, kFakeHeader);
    if (plainLen != 0) std::memcpy(cipher + kFakeHeader, plain, plainLen);
    *cipherLen = plainLen + kFakeHeader;
    return 0;
}

extern "C" unsigned long QorDecryptEx(uint32_t domainId, const unsigned char *cipher, uint32_t cipherLen,
                                      unsigned char *plain, uint32_t *plainLen) {
    Call c = make("QorDecryptEx", {domainId, addr(cipher), cipherLen, addr(plain), addr(plainLen)});
    c.bytes = fake::copy_bytes(cipher, cipherLen);
    Answer a = dispatch(std::move(c));
    if (!a.acts()) return a.code;
    if (cipher == nullptr || plain == nullptr || plainLen == nullptr) return QOR_ERR_NULL_ARG;
    if (cipherLen < kFakeHeader) return QOR_ERR_FORMAT;
    uint32_t len = 0;
    std::memcpy(&len, cipher, kFakeHeader);
    if (len > cipherLen - kFakeHeader) return QOR_ERR_FORMAT;
    if (len > *plainLen) return QOR_ERR_BUFFER_TOO_SMALL;
    if (len != 0) std::memcpy(plain, cipher + kFakeHeader, len);
    *plainLen = len;
    return 0;
}
