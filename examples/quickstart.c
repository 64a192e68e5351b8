/* SPDX-License-Identifier: Apache-2.0 */
/*
 * quickstart: encrypt a secret under a key domain and decrypt it again.
 *
 *   quickstart [ROLE [DOMAIN [SECRET]]]     (defaults: HXA 50 "correct horse battery staple")
 *
 * The role's primary keystore file must exist (it may be empty: a new keystore
 * is then made). Run it inside scripts/sandbox to keep off the node's own
 * keystores and logs.
 *
 * The length the library reports for a text stops at 2048 characters, which
 * is the text's length only for secrets of up to 1492 bytes; the text itself
 * is always whole and zero-terminated, so strlen() works for any length.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <telmor_vaq_api.h>

int main(int argc, char **argv) {
    const char *role = argc > 1 ? argv[1] : "HXA";
    uint32_t domain = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 10) : 50;
    const char *secret = argc > 3 ? argv[3] : "correct horse battery staple";

    unsigned long rc = TELMOR_VAQ_Initialize(role);
    if (rc != 0) {
        fprintf(stderr, "initialise as %s failed: %lu\n", role, rc);
        return 1;
    }

    char *text = NULL;
    uint32_t textLen = 0;
    rc = TELMOR_VAQ_Encrypt(domain, (const unsigned char *)secret, (uint32_t)strlen(secret), &text, &textLen);
    if (rc != 0) {
        fprintf(stderr, "encrypt failed: %lu\n", rc);
        TELMOR_VAQ_Finalize();
        return 1;
    }
    printf("cipher text: %s\n", text);

    unsigned char *plain = NULL;
    uint32_t plainLen = 0;
    rc = TELMOR_VAQ_Decrypt(domain, text, (uint32_t)strlen(text), &plain, &plainLen);
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    /* On failure plain may still hold a block to release. */
    if (rc != 0) {
        fprintf(stderr, "decrypt failed: %lu\n", rc);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        TELMOR_VAQ_Finalize();
        return 1;
    }
    printf("plain text:  %.*s\n", (int)plainLen, (const char *)plain);
    int same = plainLen == strlen(secret) && memcmp(plain, secret, plainLen) == 0;
    HX_VAQ_MemFree(__LINE__, __FILE__, plain);

    TELMOR_VAQ_Finalize();
    return same ? 0 : 1;
}
