// SPDX-License-Identifier: Apache-2.0
// A host process of role HXA for the audit tests: changes keys through the
// main library as the role's own processes do, and says what it got.
//
//   audit_host create DOMAIN [TIMES]   prints each new key id
//   audit_host delete DOMAIN KEY       prints the code
//   audit_host encrypt DOMAIN TIMES    encrypts TIMES secrets, then finalises
//   audit_host usage DOMAIN KEY N      records N encryptions under the key, as
//                                      the data-protection library does
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "telmor_vaq_api.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: audit_host create|delete|encrypt DOMAIN [N]\n");
        return 2;
    }
    const std::string what = argv[1];
    const auto domain = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const unsigned long n = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1;
    if (TELMOR_VAQ_Initialize("HXA") != 0) {
        std::fprintf(stderr, "audit_host: cannot initialise\n");
        return 1;
    }
    int status = 0;
    if (what == "create") {
        for (unsigned long i = 0; i < n; ++i) {
            uint32_t id = 0;
            const unsigned long rc = TELMOR_VAQ_CreateMK(domain, &id);
            std::printf("%lu %u\n", rc, id);
            if (rc != 0) status = 1;
        }
    } else if (what == "delete") {
        std::printf("%lu\n", TELMOR_VAQ_Delete(domain, static_cast<uint32_t>(n)));
    } else if (what == "usage" && argc == 5) {
        using UsageFn = uint32_t (*)(uint32_t, uint32_t, uint64_t);
        auto usage = reinterpret_cast<UsageFn>(dlsym(RTLD_DEFAULT, "VaqPrivAuditUsage"));
        const uint32_t key = static_cast<uint32_t>(n);
        std::printf("%u\n", usage ? usage(domain, key, std::strtoull(argv[4], nullptr, 10)) : 9999u);
    } else if (what == "encrypt") {
        for (unsigned long i = 0; i < n; ++i) {
            char *text = nullptr;
            uint32_t textLen = 0;
            if (TELMOR_VAQ_Encrypt(domain, reinterpret_cast<const unsigned char *>("hello"), 5, &text, &textLen) != 0)
                status = 1;
            if (text != nullptr) HX_VAQ_MemFree(__LINE__, __FILE__, text);
        }
    }
    TELMOR_VAQ_Finalize();
    return status;
}
