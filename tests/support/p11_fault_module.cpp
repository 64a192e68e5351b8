// SPDX-License-Identifier: Apache-2.0
// A PKCS#11 module for tests: SoftHSM2 with faults. Every call goes to
// SoftHSM2, with these faults on demand, read from the environment at each
// call:
//
// - TELMOR_TEST_P11_FAIL_ENCRYPT, TELMOR_TEST_P11_FAIL_DECRYPT: C_Encrypt or
//   C_Decrypt answers this error (a CKR_ value, e.g. 0x30 for
//   CKR_DEVICE_ERROR) after the real call: a token that stops working under
//   a process that already uses it, as an HSM whose network or device fails
//   does.
// - TELMOR_TEST_P11_AT="FUNCTION:N:ACTION[:RV]": at the N-th call of FUNCTION
//   (C_EncryptInit, C_Encrypt, C_DecryptInit, C_Decrypt, C_Login,
//   C_OpenSession, C_FindObjectsInit, C_GetTokenInfo) in this process:
//     fail    the call is not made and answers RV (default CKR_DEVICE_ERROR);
//     lose    the call is made but its answer is lost: RV is answered
//             (default CKR_DEVICE_ERROR), and an operation it started stays
//             active in the token;
//     remove  the call is made, then the directory TELMOR_TEST_P11_REMOVE_DIR
//             is renamed to TELMOR_TEST_P11_STASH: the token's files vanish
//             (the test renames them back when the token is to return).
//   Every later call of FUNCTION goes through unchanged. Calls are counted
//   from the first call that sees this value of TELMOR_TEST_P11_AT: a test
//   that sets another plan counts afresh.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST *real = nullptr;
CK_FUNCTION_LIST faulty;

CK_RV fault(const char *name, CK_RV rv) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<CK_RV>(std::strtoul(v, nullptr, 0)) : rv;
}

enum class Action { kNone, kFail, kLose, kRemove };

struct Planned {
    Action action = Action::kNone;
    CK_RV rv = CKR_DEVICE_ERROR;
};

std::atomic<unsigned long> g_encrypt_init, g_encrypt, g_decrypt_init, g_decrypt, g_login, g_open, g_find_init,
    g_token_info;

// The plan the counters count for; a new plan starts them at 0. Calls of a
// test module come from one thread at a time (the library holds the token's
// lock, or the test runs one process per plan).
char g_plan[128] = {};

void count_for(const char *at) {
    const char *plan = at != nullptr ? at : "";
    if (std::strncmp(plan, g_plan, sizeof g_plan) == 0) return;
    std::snprintf(g_plan, sizeof g_plan, "%s", plan);
    for (auto *c :
         {&g_encrypt_init, &g_encrypt, &g_decrypt_init, &g_decrypt, &g_login, &g_open, &g_find_init, &g_token_info})
        *c = 0;
}

// Counts calls of `function` and tells what the plan asks of this one.
Planned plan_for(const char *function, std::atomic<unsigned long> &calls) {
    const char *at = std::getenv("TELMOR_TEST_P11_AT");
    count_for(at);
    const unsigned long n = ++calls;
    Planned p;
    if (at == nullptr) return p;
    char name[64] = {}, action[16] = {};
    unsigned long want = 0;
    long rv = 0;
    const int got = std::sscanf(at, "%63[^:]:%lu:%15[^:]:%li", name, &want, action, &rv);
    if (got < 3 || std::strcmp(name, function) != 0 || want != n) return p;
    if (got == 4) p.rv = static_cast<CK_RV>(rv);
    if (std::strcmp(action, "fail") == 0) p.action = Action::kFail;
    if (std::strcmp(action, "lose") == 0) p.action = Action::kLose;
    if (std::strcmp(action, "remove") == 0) p.action = Action::kRemove;
    return p;
}

void remove_token_files() {
    const char *dir = std::getenv("TELMOR_TEST_P11_REMOVE_DIR");
    const char *stash = std::getenv("TELMOR_TEST_P11_STASH");
    if (dir != nullptr && stash != nullptr && std::rename(dir, stash) != 0) std::perror("p11_fault: rename");
}

// Runs `call` as the plan for this call of `function` asks.
template <class Call>
CK_RV planned(const char *function, std::atomic<unsigned long> &calls, Call call) {
    const Planned p = plan_for(function, calls);
    if (p.action == Action::kFail) return p.rv;
    const CK_RV rv = call();
    if (p.action == Action::kLose) return p.rv;
    if (p.action == Action::kRemove) remove_token_files();
    return rv;
}

CK_RV encrypt_init(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
    return planned("C_EncryptInit", g_encrypt_init, [&] { return real->C_EncryptInit(s, m, k); });
}

CK_RV encrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return planned("C_Encrypt", g_encrypt,
                   [&] { return fault("TELMOR_TEST_P11_FAIL_ENCRYPT", real->C_Encrypt(s, in, n, out, outLen)); });
}

CK_RV decrypt_init(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
    return planned("C_DecryptInit", g_decrypt_init, [&] { return real->C_DecryptInit(s, m, k); });
}

CK_RV decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return planned("C_Decrypt", g_decrypt,
                   [&] { return fault("TELMOR_TEST_P11_FAIL_DECRYPT", real->C_Decrypt(s, in, n, out, outLen)); });
}

CK_RV login(CK_SESSION_HANDLE s, CK_USER_TYPE who, CK_UTF8CHAR_PTR pin, CK_ULONG n) {
    return planned("C_Login", g_login, [&] { return real->C_Login(s, who, pin, n); });
}

CK_RV open_session(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR s) {
    return planned("C_OpenSession", g_open, [&] { return real->C_OpenSession(slot, flags, app, notify, s); });
}

CK_RV find_init(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n) {
    return planned("C_FindObjectsInit", g_find_init, [&] { return real->C_FindObjectsInit(s, t, n); });
}

CK_RV token_info(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return planned("C_GetTokenInfo", g_token_info, [&] { return real->C_GetTokenInfo(slot, info); });
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    if (real == nullptr) {
        void *lib = dlopen(TELMOR_SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
        auto get = lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
        if (get == nullptr || get(&real) != CKR_OK || real == nullptr) return CKR_GENERAL_ERROR;
        faulty = *real;
        faulty.C_EncryptInit = encrypt_init;
        faulty.C_Encrypt = encrypt;
        faulty.C_DecryptInit = decrypt_init;
        faulty.C_Decrypt = decrypt;
        faulty.C_Login = login;
        faulty.C_OpenSession = open_session;
        faulty.C_FindObjectsInit = find_init;
        faulty.C_GetTokenInfo = token_info;
    }
    *list = &faulty;
    return CKR_OK;
}
