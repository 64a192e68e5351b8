/* SPDX-License-Identifier: Apache-2.0 */
/*
 * ABI of the data-protection library libhxbQor.so: authenticated encryption of
 * short secrets under a domain's master key. Results are unsigned machine
 * words, 0 meaning success.
 */
#ifndef TELMOR_VAQ_QOR_API_H
#define TELMOR_VAQ_QOR_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Algorithm 5: AES-256-GCM. */
enum { QOR_ALG_AES256_GCM = 5 };

enum QorResult {
    QOR_OK = 0,
    QOR_ERR_KEY_NOT_LOADED = 268, /* the cipher names a key the keystore in memory lacks */
    QOR_ERR_NULL_ARG = 3001,
    QOR_ERR_BAD_ALGORITHM = 3002,
    QOR_ERR_BAD_LENGTH = 3003, /* a length whose result would not fit in 32 bits */
    QOR_ERR_BUFFER_TOO_SMALL = 3004,
    QOR_ERR_FORMAT = 3005,          /* not our cipher format, or truncated */
    QOR_ERR_WRONG_DOMAIN = 3006,    /* cipher made under another domain */
    QOR_ERR_AUTH = 3007,            /* authentication failed: tampered or wrong key */
    QOR_ERR_NOT_INITIALIZED = 3008, /* no keystore loaded */
    QOR_ERR_NO_ACTIVE_KEY = 3009,   /* the domain is unknown or has no active key */
    QOR_ERR_CRYPTO = 3010,
    QOR_ERR_ENTROPY = 3011
};

/* On 0, *cipherLen holds the cipher bytes that plainLen plain bytes need. */
unsigned long QorGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen);
/* *cipherLen: capacity of cipher on entry, bytes written on return. */
unsigned long QorEncryptEx(uint32_t domainId, uint32_t algorithm, const unsigned char *plain, uint32_t plainLen,
                           unsigned char *cipher, uint32_t *cipherLen);
/* *plainLen: capacity of plain on entry, plain length on return. Bytes after
 * the cipher's declared length are ignored. */
unsigned long QorDecryptEx(uint32_t domainId, const unsigned char *cipher, uint32_t cipherLen, unsigned char *plain,
                           uint32_t *plainLen);

#ifdef __cplusplus
}
#endif

#endif /* TELMOR_VAQ_QOR_API_H */
