/* SPDX-License-Identifier: Apache-2.0 */
// One owner type for OpenSSL objects in both key libraries, with one deleter
// per object type: an object is freed by its owner, never by hand on each
// exit path.
#ifndef HXB_OPENSSL_OWNER_H
#define HXB_OPENSSL_OWNER_H

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>

namespace hxb {

template <typename T>
struct OpenSslFree;

#define HXB_OPENSSL_DELETER(type, freeFn)                       \
    template <>                                                 \
    struct OpenSslFree<type> {                                  \
        void operator()(type *object) const { freeFn(object); } \
    }

HXB_OPENSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
HXB_OPENSSL_DELETER(EVP_CIPHER, EVP_CIPHER_free);
HXB_OPENSSL_DELETER(EVP_MAC_CTX, EVP_MAC_CTX_free);
HXB_OPENSSL_DELETER(EVP_MAC, EVP_MAC_free);
HXB_OPENSSL_DELETER(EVP_KDF_CTX, EVP_KDF_CTX_free);
HXB_OPENSSL_DELETER(EVP_KDF, EVP_KDF_free);
HXB_OPENSSL_DELETER(EVP_MD, EVP_MD_free);

#undef HXB_OPENSSL_DELETER

template <typename T>
using OpenSslOwner = std::unique_ptr<T, OpenSslFree<T>>;

}  // namespace hxb

#endif
