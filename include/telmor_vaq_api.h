/* SPDX-License-Identifier: Apache-2.0 */
/*
 * telmor_vaq_api: one small C interface to a node's keys.
 *
 * Encrypt and decrypt short secrets into printable Base64 under a numbered key
 * domain, list the key inventory, and run the key lifecycle. A host process
 * calls TELMOR_VAQ_Initialize once with its role ("HXA", "HXM" or
 * "HXM_CLIENT"), then any number of threads may call the key operations.
 *
 * Return codes are unsigned machine words: 0 success, 1 this library's own
 * generic failure, 11 neither keystore file exists, 51 a path buffer could not
 * be allocated, 151 unknown role, 268 no master key in the asked domain; any
 * other value is a code of the key libraries, passed through.
 *
 * Every buffer and record handed to a caller comes from HX_VAQ_MemAlloc and
 * goes back through HX_VAQ_MemFree or the matching *_FREE function.
 */
#ifndef TELMOR_VAQ_API_H
#define TELMOR_VAQ_API_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#if defined(__GNUC__)
#define TELMOR_VAQ_EXPORT __attribute__((visibility("default")))
#else
#define TELMOR_VAQ_EXPORT
#endif

#ifdef __cplusplus
#define TELMOR_VAQ_NOTHROW noexcept
extern "C" {
#else
#define TELMOR_VAQ_NOTHROW
#endif

/* ------------------------------------------------------------------------ */
/* Result records of the queries. Natural alignment, not packed.            */
/* ------------------------------------------------------------------------ */

/* A UTC date and time as the key library reports it. */
typedef struct HX_VAQ_DATE_TIME {
    uint16_t year;   /* e.g. 2026 */
    uint8_t month;   /* 1..12 */
    uint8_t day;     /* 1..31 */
    uint8_t hour;    /* 0..23 */
    uint8_t minute;  /* 0..59 */
    uint8_t second;  /* 0..60 */
    uint8_t weekday; /* 0 = Sunday .. 6 */
} HX_VAQ_DATE_TIME;

/* One master key. With our key library: mkAttr16 is the key material's length
 * in bytes, mkAttrA is 1 for the domain's active key and 0 otherwise, mkAttrB
 * is 0 for a generated key and 1 for a registered or imported one, mkTimeA is
 * the creation time and mkTimeB the expiry time. */
typedef struct HX_VAQ_MK {
    uint32_t domainId;
    uint32_t keyId;
    uint32_t mkAttr16;
    uint32_t mkAttrA;
    uint32_t mkAttrB;
    HX_VAQ_DATE_TIME *mkTimeA;
    HX_VAQ_DATE_TIME *mkTimeB;
} HX_VAQ_MK;

/* The root key. With our key library: rkAttr16 is the root key's version
 * (1 for the first, raised by each update), rkAttr32 is 1 while the root key is
 * valid, rkTimeA the creation and rkTimeB the expiry time, rkValue the number
 * of master keys wrapped under it. */
typedef struct HX_VAQ_RK {
    uint16_t rkAttr16;
    uint32_t rkAttr32;
    HX_VAQ_DATE_TIME *rkTimeA;
    HX_VAQ_DATE_TIME *rkTimeB;
    uint32_t rkValue;
} HX_VAQ_RK;

/* Root-key configuration. With our key library: cfgValueA is the root key's
 * life in days, cfgValueB the strength of the key hierarchy in bits. */
typedef struct HX_VAQ_RK_CFG {
    uint32_t cfgValueA;
    uint32_t cfgValueB;
} HX_VAQ_RK_CFG;

typedef struct HX_VAQ_DOMAIN {
    uint32_t domainId;
    uint8_t domainAttr;
} HX_VAQ_DOMAIN;

typedef struct HX_VAQ_MK_LIST {
    int32_t count;     /* filled entries */
    HX_VAQ_MK **items; /* one slot per key the key library reported */
} HX_VAQ_MK_LIST;

typedef struct HX_VAQ_DOMAIN_LIST {
    int32_t count;
    HX_VAQ_DOMAIN **items;
} HX_VAQ_DOMAIN_LIST;

typedef struct HX_VAQ_ROOT_KEY {
    HX_VAQ_RK *rk;
    HX_VAQ_RK_CFG *rkCfg;
    uint8_t reserved[80]; /* always zero */
} HX_VAQ_ROOT_KEY;

/* A data-protection setting and a key type; no operation of this library
 * builds them, the free functions are offered to hosts that do. */
typedef struct HX_VAQ_DP {
    uint32_t domainId;
    uint32_t algorithm;
} HX_VAQ_DP;

typedef struct HX_VAQ_KT {
    uint32_t domainId;
    uint16_t keyType;
    uint32_t keyAttr;
    uint32_t lifeDays;
} HX_VAQ_KT;

/* Node of the singly linked lists of HX_VAQ_KT or HX_VAQ_MK records. */
typedef struct HX_VAQ_LIST_NODE {
    void *payload;
    struct HX_VAQ_LIST_NODE *next;
} HX_VAQ_LIST_NODE;

/* The keystore pair: two heap buffers of 1024 bytes, primary first. Both
 * pointers are null while the library is not initialised. */
typedef struct HX_VAQ_KEYSTORE_FILES {
    char *primary;
    char *standby;
} HX_VAQ_KEYSTORE_FILES;

/* The host-service table handed to the key library (29 slots). */
struct HX_VAQ_HOST_SERVICES;

/* ------------------------------------------------------------------------ */
/* Globals                                                                   */
/* ------------------------------------------------------------------------ */

extern TELMOR_VAQ_EXPORT struct HX_VAQ_HOST_SERVICES g_pstCallBack;
extern TELMOR_VAQ_EXPORT HX_VAQ_KEYSTORE_FILES g_pstFileName;
extern TELMOR_VAQ_EXPORT int32_t g_init_flag;
extern TELMOR_VAQ_EXPORT int32_t g_node_type;
extern TELMOR_VAQ_EXPORT void *g_shm_addr;
extern TELMOR_VAQ_EXPORT uint32_t g_self_keystore_version;
/* Its type exists only under POSIX 2001 or later (or in C++); a strict ISO C
 * build sees every other name. */
#if defined(__cplusplus) || (defined(_POSIX_C_SOURCE) && _POSIX_C_SOURCE >= 200112L) || \
    (defined(_XOPEN_SOURCE) && _XOPEN_SOURCE >= 500)
extern TELMOR_VAQ_EXPORT pthread_rwlock_t g_vaq_reload_rwlock;
#endif
extern TELMOR_VAQ_EXPORT int32_t g_vaq_pid;
extern TELMOR_VAQ_EXPORT pthread_mutex_t *lock_cs;

/* Log thresholds: lines below them are not written. */
extern TELMOR_VAQ_EXPORT int32_t g_vaq_log_level;  /* key library's lines, 2 at load */
extern TELMOR_VAQ_EXPORT uint32_t g_api_log_level; /* this library's lines, 0 at load */
extern TELMOR_VAQ_EXPORT char g_log_name[512];
extern TELMOR_VAQ_EXPORT int32_t logInitFlag;

/* The Base64 alphabet, '=' last. */
extern TELMOR_VAQ_EXPORT const char base[66];

/* ------------------------------------------------------------------------ */
/* Initialisation and finalisation                                           */
/* ------------------------------------------------------------------------ */

TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Initialize(const char *role);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Finalize(void);
TELMOR_VAQ_EXPORT unsigned long load_keystore_version(void);
TELMOR_VAQ_EXPORT unsigned long CRYPTO_thread_setup(void);
TELMOR_VAQ_EXPORT void CRYPTO_thread_cleanup(void);
TELMOR_VAQ_EXPORT void pthreads_locking_callback(int32_t mode, int32_t index, const char *file, int32_t line);
TELMOR_VAQ_EXPORT void pthreads_thread_id(void *thread_id);

/* Keystore load and domain provisioning (called by initialisation and reload;
 * a host calling them directly must keep every key operation away). */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Loadkeystore(void);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Unloadkeystore(void);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_delete_domain(void);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_add_domain(void);

/* Keystore version check and reload. */
TELMOR_VAQ_EXPORT int32_t wrlock_vaq_mem(void);
TELMOR_VAQ_EXPORT int32_t rdlock_vaq_mem(void);
TELMOR_VAQ_EXPORT int32_t unlock_vaq_mem(void);
TELMOR_VAQ_EXPORT int32_t is_file_error(const char *path);
TELMOR_VAQ_EXPORT unsigned long reload_keystore_mem(void);
TELMOR_VAQ_EXPORT unsigned long check_modified_and_load_key(void);
/* Announce a keystore change: every process of the node, the caller included,
 * reloads at its next key operation. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_update_shm(void);

/* ------------------------------------------------------------------------ */
/* Encryption and decryption                                                 */
/* ------------------------------------------------------------------------ */

/* Cipher bytes that encrypting plainLen bytes needs (before Base64). */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_GetCipherDataLen(uint32_t plainLen, uint32_t *cipherDataLen);
/* On 0, *cipherText is a new zero-terminated Base64 text (release it with
 * HX_VAQ_MemFree) and *cipherLen its length, reported as at most 2048. The
 * text is always whole: it has 4 * ceil((plainLen + 44) / 3) characters, so
 * *cipherLen is its length only for secrets of up to 1492 bytes; for longer
 * ones use strlen(*cipherText). */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Encrypt(uint32_t domainId, const unsigned char *plainText, uint32_t plainLen,
                                                   char **cipherText, uint32_t *cipherLen);
/* On 0, *plainText holds *plainLen plain bytes and a zero byte (release it with
 * HX_VAQ_MemFree). cipherLen counts the characters of cipherText. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Decrypt(uint32_t domainId, const char *cipherText, uint32_t cipherLen,
                                                   unsigned char **plainText, uint32_t *plainLen);

/* ------------------------------------------------------------------------ */
/* Key and domain queries                                                    */
/* ------------------------------------------------------------------------ */

TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_GetKeyId_List(uint32_t ulDomainId, uint32_t **keyIdList, uint32_t *count);
/* Passed to the key library unchanged. With ours: the key's 28-byte record, a
 * buffer for its material and a uint32_t holding that buffer's capacity on
 * entry and the material's length on return. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_GetMkInfo(uint32_t domainId, uint32_t keyId, void *mkRecord, void *keyBuf,
                                                     void *keyLen);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_GetMkNum(int32_t *count);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Query_Mk_Info(HX_VAQ_MK_LIST **list);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Query_Root_Key(HX_VAQ_ROOT_KEY **rootKey);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Query_Domain_Info(HX_VAQ_DOMAIN_LIST **list);

/* Free functions: each tolerates null. The list containers and
 * HX_VAQ_ROOT_KEY are released with HX_VAQ_MemFree after their members. */
TELMOR_VAQ_EXPORT void HX_VAQ_DATE_TIME_FREE(HX_VAQ_DATE_TIME *record);
TELMOR_VAQ_EXPORT void HX_VAQ_RK_CFG_FREE(HX_VAQ_RK_CFG *record);
TELMOR_VAQ_EXPORT void HX_VAQ_DOMAIN_FREE(HX_VAQ_DOMAIN *record);
TELMOR_VAQ_EXPORT void HX_VAQ_DP_FREE(HX_VAQ_DP *record);
TELMOR_VAQ_EXPORT void HX_VAQ_KT_FREE(HX_VAQ_KT *record);
TELMOR_VAQ_EXPORT void HX_VAQ_RK_FREE(HX_VAQ_RK *record);
TELMOR_VAQ_EXPORT void HX_VAQ_MK_FREE(HX_VAQ_MK *record);
TELMOR_VAQ_EXPORT void HX_VAQ_DOMAIN_FREE_ARRAY(HX_VAQ_DOMAIN **items, int32_t count);
TELMOR_VAQ_EXPORT void HX_VAQ_MK_FREE_ARRAY(HX_VAQ_MK **items, int32_t count);
TELMOR_VAQ_EXPORT void HX_VAQ_KT_LINKED_LIST_FREE(HX_VAQ_LIST_NODE *node, int32_t freePayload);
TELMOR_VAQ_EXPORT void HX_VAQ_MK_LINKED_LIST_FREE(HX_VAQ_LIST_NODE *node, int32_t freePayload);

/* ------------------------------------------------------------------------ */
/* Key lifecycle and keystore maintenance (values passed to the key library) */
/* ------------------------------------------------------------------------ */

/* New active master key in the domain; its id is stored at keyId. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_CreateMK(uint32_t domainId, uint32_t *keyId);
/* Register caller-given key material under keyId (inactive); moves the
 * node's keystore version. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_UpdateMK(uint32_t domainId, uint32_t keyId, const unsigned char *key,
                                                    uint32_t keyLen);
/* Make a key the domain's active key; moves the node's keystore version. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_ActiveMK(uint32_t domainId, uint32_t keyId);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_Delete(uint32_t domainId, uint32_t keyId);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_UpdateRootKey(void);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_ExportMkFile(const char *file, const unsigned char *password,
                                                        uint32_t passwordLen);
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_ImportMkFile(const char *file, const unsigned char *password,
                                                        uint32_t passwordLen);
/* With a non-zero repair flag a bad keystore copy is rewritten from a good
 * one. With ours, *result has bit 0 set when the primary is good and bit 1
 * when the standby is good. */
TELMOR_VAQ_EXPORT unsigned long TELMOR_VAQ_CheckKeyStore(uint32_t repair, uint32_t *result);

/* ------------------------------------------------------------------------ */
/* Host services and utilities                                               */
/* ------------------------------------------------------------------------ */

/* A zero-filled block of size bytes, or null for a size of 0 or below. */
TELMOR_VAQ_EXPORT void *HX_VAQ_MemAlloc(int64_t line, const char *file, int32_t size);
TELMOR_VAQ_EXPORT void HX_VAQ_MemFree(int64_t line, const char *file, void *block);

/* Lock services of the host-service table. */
TELMOR_VAQ_EXPORT int32_t Telmor_Create_Lock(void **handle);
TELMOR_VAQ_EXPORT void Telmor_Destroy_Lock(void *handle);
TELMOR_VAQ_EXPORT void Telmor_Add_Lock(void *handle);
TELMOR_VAQ_EXPORT void Telmor_Release_Lock(void *handle);
TELMOR_VAQ_EXPORT int32_t Telmor_Create_Pro_Lock(void **handle);
TELMOR_VAQ_EXPORT void Telmor_Destroy_Pro_Lock(void *handle);
TELMOR_VAQ_EXPORT void Telmor_Add_Pro_Lock(void *handle);
TELMOR_VAQ_EXPORT void Telmor_Release_Pro_Lock(void *handle);
TELMOR_VAQ_EXPORT int32_t telmor_create_proc_lock_inner(int32_t key, int32_t *id);

/* Log writers. Levels: 0 INFO, 1 WARN, 2 ERROR. */
TELMOR_VAQ_EXPORT void HX_VAQ_Wrilog(int64_t line, const char *file, uint32_t level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
TELMOR_VAQ_EXPORT void APP_WriLog(int32_t level, const char *module, const char *file, int32_t line,
                                  const char *message);
TELMOR_VAQ_EXPORT void APP_RecvNotify(int32_t code, unsigned long arg1, unsigned long arg2);
TELMOR_VAQ_EXPORT void APP_DoEvents(void);
TELMOR_VAQ_EXPORT unsigned long init_log_file(void);
TELMOR_VAQ_EXPORT unsigned long get_name_by_pid(int32_t pid, char *name);
/* The kernel thread id of the calling thread (same as the C library's). */
TELMOR_VAQ_EXPORT pid_t gettid(void) TELMOR_VAQ_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* TELMOR_VAQ_API_H */
