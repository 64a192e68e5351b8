/* SPDX-License-Identifier: Apache-2.0 */
/*
 * key_follower: a long-running host process that follows key changes made by
 * other processes on the node.
 *
 *   key_follower [ROLE [DOMAIN]]      (defaults: HXA 50)
 *
 * For every line read on stdin it prints the domain's active master key and
 * encrypts and decrypts a secret with it. When another process changes keys
 * and announces it (telmor-vaq create-key does), the next line shows the new
 * key: the library reloads the keystore at its next key operation.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <telmor_vaq_api.h>

static long active_key(uint32_t domain) {
    HX_VAQ_MK_LIST *list = NULL;
    long id = -1;
    if (TELMOR_VAQ_Query_Mk_Info(&list) != 0) {
        return -1;
    }
    for (int32_t i = 0; i < list->count; ++i) {
        if (list->items[i]->domainId == domain && list->items[i]->mkAttrA == 1) {
            id = (long)list->items[i]->keyId;
        }
    }
    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, __FILE__, list);
    return id;
}

static int round_trip(uint32_t domain) {
    static const char secret[] = "chap-secret-0042";
    char *text = NULL;
    uint32_t textLen = 0;
    unsigned char *plain = NULL;
    uint32_t plainLen = 0;
    if (TELMOR_VAQ_Encrypt(domain, (const unsigned char *)secret, sizeof secret - 1, &text, &textLen) != 0) {
        return 0;
    }
    unsigned long rc = TELMOR_VAQ_Decrypt(domain, text, (uint32_t)strlen(text), &plain, &plainLen);
    int ok = rc == 0 && plainLen == sizeof secret - 1 && memcmp(plain, secret, plainLen) == 0;
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    return ok;
}

int main(int argc, char **argv) {
    const char *role = argc > 1 ? argv[1] : "HXA";
    uint32_t domain = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 10) : 50;
    if (TELMOR_VAQ_Initialize(role) != 0) {
        fprintf(stderr, "initialise as %s failed\n", role);
        return 1;
    }
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL) {
        int ok = round_trip(domain);
        printf("follower: active key of domain %u is %ld; round trip %s\n", domain, active_key(domain),
               ok ? "ok" : "FAILED");
        fflush(stdout);
    }
    TELMOR_VAQ_Finalize();
    return 0;
}
