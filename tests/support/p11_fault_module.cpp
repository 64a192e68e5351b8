// SPDX-License-Identifier: Apache-2.0
// A PKCS#11 module for tests: SoftHSM2 with faults. Every call goes to
// SoftHSM2, but C_Encrypt and C_Decrypt answer the error named in
// TELMOR_TEST_P11_FAIL_ENCRYPT or TELMOR_TEST_P11_FAIL_DECRYPT (a CKR_ value,
// e.g. 0x30 for CKR_DEVICE_ERROR) when set, read at each call: a token that
// stops working under a process that already uses it, as an HSM whose
// network or device fails does. The real call runs first, so the token's
// operation ends as a failed one would.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>

namespace {

CK_FUNCTION_LIST *real = nullptr;
CK_FUNCTION_LIST faulty;

CK_RV fault(const char *name, CK_RV rv) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<CK_RV>(std::strtoul(v, nullptr, 0)) : rv;
}

CK_RV encrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return fault("TELMOR_TEST_P11_FAIL_ENCRYPT", real->C_Encrypt(s, in, n, out, outLen));
}

CK_RV decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return fault("TELMOR_TEST_P11_FAIL_DECRYPT", real->C_Decrypt(s, in, n, out, outLen));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    if (real == nullptr) {
        void *lib = dlopen(TELMOR_SOFTHSM_MODULE, RTLD_NOW | RTLD_LOCAL);
        auto get = lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
        if (get == nullptr || get(&real) != CKR_OK || real == nullptr) return CKR_GENERAL_ERROR;
        faulty = *real;
        faulty.C_Encrypt = encrypt;
        faulty.C_Decrypt = decrypt;
    }
    *list = &faulty;
    return CKR_OK;
}
