// SPDX-License-Identifier: Apache-2.0
// Makes, in a test token, the keys pkcs11-tool cannot: keys whose value has
// been known outside the token although they look locked now. Run as its own
// process so that the test's own use of the module is not disturbed.
//
//   vaq-test-token-key import MODULE SLOT PIN LABEL HEX   an AES key created with
//       the value HEX, sensitive and not extractable
//   vaq-test-token-key lock MODULE SLOT PIN LABEL         an AES-256 key generated
//       extractable and readable, read out (its value printed in hex), then made
//       sensitive and not extractable
//   vaq-test-token-key serial MODULE SLOT                 the token's serial number
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

CK_FUNCTION_LIST *f = nullptr;

int fail(const char *what, CK_RV rv) {
    std::fprintf(stderr, "vaq-test-token-key: %s: 0x%lx\n", what, static_cast<unsigned long>(rv));
    return 1;
}

std::string trimmed(const CK_UTF8CHAR *p, size_t n) {
    while (n > 0 && p[n - 1] == ' ') --n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

bool from_hex(const std::string &hex, std::vector<CK_BYTE> &out) {
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(hex.c_str() + i, "%2x", &v) != 1) return false;
        out.push_back(static_cast<CK_BYTE>(v));
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: vaq-test-token-key import|lock|serial MODULE SLOT [PIN LABEL [HEX]]\n");
        return 2;
    }
    const std::string mode = argv[1];
    void *lib = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return fail(dlerror(), 0);
    auto get = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST **)>(dlsym(lib, "C_GetFunctionList"));
    if (get == nullptr || get(&f) != CKR_OK) return fail("C_GetFunctionList", 0);
    CK_RV rv = f->C_Initialize(nullptr);
    if (rv != CKR_OK) return fail("C_Initialize", rv);
    const CK_SLOT_ID slot = std::strtoul(argv[3], nullptr, 10);
    if (mode == "serial") {
        CK_TOKEN_INFO info{};
        rv = f->C_GetTokenInfo(slot, &info);
        if (rv != CKR_OK) return fail("C_GetTokenInfo", rv);
        std::printf("%s\n", trimmed(info.serialNumber, sizeof info.serialNumber).c_str());
        f->C_Finalize(nullptr);
        return 0;
    }
    if (argc < 6 || (mode == "import" && argc < 7)) return 2;
    CK_SESSION_HANDLE session = 0;
    rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK) return fail("C_OpenSession", rv);
    rv = f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(argv[4]), std::strlen(argv[4]));
    if (rv != CKR_OK) return fail("C_Login", rv);

    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_AES;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ULONG length = 32;
    char *label = argv[5];
    CK_OBJECT_HANDLE key = 0;
    if (mode == "import") {
        std::vector<CK_BYTE> value;
        if (!from_hex(argv[6], value)) return 2;
        CK_ATTRIBUTE t[] = {
            {CKA_CLASS, &cls, sizeof cls},          {CKA_KEY_TYPE, &type, sizeof type},
            {CKA_TOKEN, &yes, sizeof yes},          {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_LABEL, label, std::strlen(label)}, {CKA_VALUE, value.data(), value.size()},
            {CKA_ENCRYPT, &yes, sizeof yes},        {CKA_DECRYPT, &yes, sizeof yes},
            {CKA_SENSITIVE, &yes, sizeof yes},      {CKA_EXTRACTABLE, &no, sizeof no},
        };
        rv = f->C_CreateObject(session, t, std::size(t), &key);
        if (rv != CKR_OK) return fail("C_CreateObject", rv);
    } else if (mode == "lock") {
        CK_MECHANISM mech{CKM_AES_KEY_GEN, nullptr, 0};
        CK_ATTRIBUTE t[] = {
            {CKA_TOKEN, &yes, sizeof yes},          {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_LABEL, label, std::strlen(label)}, {CKA_VALUE_LEN, &length, sizeof length},
            {CKA_ENCRYPT, &yes, sizeof yes},        {CKA_DECRYPT, &yes, sizeof yes},
            {CKA_SENSITIVE, &no, sizeof no},        {CKA_EXTRACTABLE, &yes, sizeof yes},
        };
        rv = f->C_GenerateKey(session, &mech, t, std::size(t), &key);
        if (rv != CKR_OK) return fail("C_GenerateKey", rv);
        CK_BYTE value[32];
        CK_ATTRIBUTE read{CKA_VALUE, value, sizeof value};
        rv = f->C_GetAttributeValue(session, key, &read, 1);
        if (rv != CKR_OK || read.ulValueLen != sizeof value) return fail("reading CKA_VALUE", rv);
        for (CK_BYTE b : value) std::printf("%02x", b);
        std::printf("\n");
        CK_ATTRIBUTE lock[] = {{CKA_SENSITIVE, &yes, sizeof yes}, {CKA_EXTRACTABLE, &no, sizeof no}};
        rv = f->C_SetAttributeValue(session, key, lock, std::size(lock));
        if (rv != CKR_OK) return fail("C_SetAttributeValue", rv);
    } else {
        return 2;
    }
    f->C_Logout(session);
    f->C_CloseSession(session);
    f->C_Finalize(nullptr);
    return 0;
}
