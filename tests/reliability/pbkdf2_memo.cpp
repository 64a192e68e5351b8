// SPDX-License-Identifier: Apache-2.0
// PKCS5_PBKDF2_HMAC, taken over by the test program (the dynamic linker binds
// the key library's call to this definition). Allocation-failure loops count
// it as one allocation point: OpenSSL allocates at each of its hundreds of
// thousands of iterations, and failing each of those would test OpenSSL, not
// us. The last result is kept with its inputs, so a loop that imports one file
// in every run derives its key once; the answer is the one OpenSSL gives. One
// result only: the memory a run holds must not grow with the runs.
#include <dlfcn.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>

#include "alloc_hook.h"

namespace {

using Pbkdf2Fn = int (*)(const char *, int, const unsigned char *, int, int, const EVP_MD *, int, unsigned char *);

using Inputs = std::tuple<std::string, std::string, int, std::string, int>;

struct Memo {
    std::mutex mutex;
    Inputs inputs;
    std::string result;
};

Memo &memo() {
    static Memo *m = new Memo;
    return *m;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int PKCS5_PBKDF2_HMAC(const char *pass, int passlen,
                                                                        const unsigned char *salt, int saltlen,
                                                                        int iter, const EVP_MD *digest, int keylen,
                                                                        unsigned char *out) {
    if (reltest::alloc::attempt()) return 0;
    reltest::alloc::Uncounted quiet;
    static Pbkdf2Fn real = reinterpret_cast<Pbkdf2Fn>(dlsym(RTLD_NEXT, "PKCS5_PBKDF2_HMAC"));
    if (real == nullptr) std::abort();
    if (pass == nullptr || salt == nullptr || passlen < 0 || saltlen < 0 || keylen <= 0 || digest == nullptr)
        return real(pass, passlen, salt, saltlen, iter, digest, keylen, out);
    auto key = std::make_tuple(std::string(pass, static_cast<size_t>(passlen)),
                               std::string(reinterpret_cast<const char *>(salt), static_cast<size_t>(saltlen)), iter,
                               std::string(EVP_MD_get0_name(digest)), keylen);
    Memo &m = memo();
    {
        std::lock_guard<std::mutex> g(m.mutex);
        if (!m.result.empty() && m.inputs == key) {
            std::memcpy(out, m.result.data(), static_cast<size_t>(keylen));
            return 1;
        }
    }
    int rc = real(pass, passlen, salt, saltlen, iter, digest, keylen, out);
    if (rc == 1) {
        std::lock_guard<std::mutex> g(m.mutex);
        m.inputs = key;
        m.result.assign(reinterpret_cast<char *>(out), static_cast<size_t>(keylen));
    }
    return rc;
}
