// SPDX-License-Identifier: Apache-2.0
// PKCS5_PBKDF2_HMAC, taken over by the test program (the dynamic linker binds
// the key library's call to this definition), for the fault loops that export
// and import in every run:
// - it is one allocation point: OpenSSL allocates at each of its hundreds of
//   thousands of iterations, and failing each of those would test OpenSSL,
//   not us;
// - it derives at one iteration, whatever the count asked: every export these
//   programs import was written by the same program (or a child forked from
//   it), so the keys still agree, and an export's salt is new each time, so
//   no memo of a result could spare a loop of exports the full work factor
//   in every run. The count stays recorded in each file as asked; the export
//   tests check the full derivation.
#include <dlfcn.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "alloc_hook.h"

extern "C" __attribute__((visibility("default"))) int PKCS5_PBKDF2_HMAC(const char *pass, int passlen,
                                                                        const unsigned char *salt, int saltlen,
                                                                        int iter, const EVP_MD *digest, int keylen,
                                                                        unsigned char *out) {
    if (reltest::alloc::attempt()) return 0;
    reltest::alloc::Uncounted quiet;
    using Pbkdf2Fn = int (*)(const char *, int, const unsigned char *, int, int, const EVP_MD *, int, unsigned char *);
    static Pbkdf2Fn real = reinterpret_cast<Pbkdf2Fn>(dlsym(RTLD_NEXT, "PKCS5_PBKDF2_HMAC"));
    if (real == nullptr) std::abort();
    return real(pass, passlen, salt, saltlen, iter > 1 ? 1 : iter, digest, keylen, out);
}
