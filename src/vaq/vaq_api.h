/* SPDX-License-Identifier: Apache-2.0 */
/*
 * ABI of the key-management library libhxbVaq.so. The main library calls it
 * only through these declarations, so ours, a vendor build or a test fake can
 * stand behind them. Results are unsigned machine words, 0 meaning success.
 */
#ifndef TELMOR_VAQ_VAQ_API_H
#define TELMOR_VAQ_VAQ_API_H

#include <stdint.h>

#include "vaq_host_services.h"
#include "vaq_records.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HX_VAQ_KEYSTORE_FILES; /* primary and standby path, see telmor_vaq_api.h */

/* Error codes of our key-management library; each failure has its own. */
enum VaqResult {
    VAQ_OK = 0,
    VAQ_ERR_NULL_ARG = 2001,            /* a required pointer is null */
    VAQ_ERR_BAD_TABLE = 2002,           /* host-service table lacks a slot the library needs */
    VAQ_ERR_NOT_REGISTERED = 2003,      /* no host-service table registered yet */
    VAQ_ERR_NOT_INITIALIZED = 2004,     /* no keystore loaded */
    VAQ_ERR_ALREADY_INITIALIZED = 2005, /* not answered: IvexInitializeEx on a loaded keystore reloads it */
    VAQ_ERR_NO_MEMORY = 2006,           /* an allocation failed */
    VAQ_ERR_IO = 2007,                  /* a keystore or export file could not be read or written */
    VAQ_ERR_KEYSTORE_CORRUPT = 2008,    /* no valid copy, and a non-empty copy fails verification */
    VAQ_ERR_KEYSTORE_VERSION = 2009,    /* keystore written by an unknown format version */
    VAQ_ERR_UNKNOWN_DOMAIN = 2010,      /* domain id not provisioned */
    VAQ_ERR_NO_KEY_TYPE = 2011,         /* domain has no key type yet */
    VAQ_ERR_UNKNOWN_KEY = 2012,         /* no master key with this id in the domain */
    VAQ_ERR_KEY_EXISTS = 2013,          /* key id already used in the domain */
    VAQ_ERR_KEY_ACTIVE = 2014,          /* the domain's active key cannot be removed */
    VAQ_ERR_BAD_LENGTH = 2015,          /* key material or password length out of range */
    VAQ_ERR_BUFFER_TOO_SMALL = 2016,    /* caller's buffer cannot hold the result */
    VAQ_ERR_INDEX_RANGE = 2017,         /* index beyond the count */
    VAQ_ERR_ENTROPY = 2018,             /* the host's entropy service failed */
    VAQ_ERR_CRYPTO = 2019,              /* a cryptographic primitive failed */
    VAQ_ERR_EXPORT_FORMAT = 2020,       /* not an export file, truncated, or asking work out of bounds */
    VAQ_ERR_EXPORT_AUTH = 2021,         /* wrong password, or export file tampered with */
    VAQ_ERR_IMPORT_CONFLICT = 2022,     /* an imported key id exists with other material */
    VAQ_ERR_LIMIT = 2023,               /* too many domains or keys */
    VAQ_ERR_BAD_ARG = 2024,             /* an argument value is out of range */
    VAQ_ERR_INTERNAL = 2025,            /* unexpected failure caught at the library's edge */
    VAQ_ERR_FILE_EXISTS = 2026,         /* the export file is there already; nothing written */
    VAQ_ERR_UNSAFE_FILE = 2027,         /* no keystore copy is safe to use: a link, not a regular
                                         file, or owned by another user; files left as they are */
    /* Root protectors. None of these rewrites a keystore file. */
    VAQ_ERR_SECRET_MISSING = 2028,    /* file protector: the node secret the keystore is sealed
                                         under is missing */
    VAQ_ERR_SECRET_UNREADABLE = 2029, /* file protector: the node secret cannot be read, or is
                                         not a node secret */
    VAQ_ERR_SECRET_CREATE = 2030,     /* file protector: no node secret could be created (root
                                         runs 'telmor-vaq init' once) */
    VAQ_ERR_ROOT_FOREIGN = 2031,      /* no keystore copy opens under this node's protector:
                                         sealed under another node's secret or TPM */
    VAQ_ERR_TPM_ABSENT = 2032,        /* tpm2 protector: no TPM reached (TCTI, or the TPM
                                         libraries, missing) */
    VAQ_ERR_TPM_REFUSED = 2033,       /* tpm2 protector: the TPM answered an error */
    VAQ_ERR_TPM_PCR_MISMATCH = 2034,  /* tpm2 protector: the PCRs no longer hold the values the
                                         root was sealed to */
    VAQ_ERR_UNVERIFIABLE_COPY = 2035, /* unprotected keystore: the newer copy has other root
                                         material and lacks keys of the older; both left as
                                         they are */
    VAQ_ERR_TOKEN_MODULE = 2036,      /* pkcs11: the token's module is missing, cannot be
                                         loaded, or is not one only root could have installed */
    VAQ_ERR_TOKEN_ABSENT = 2037,      /* pkcs11: no token with the URI's label is present */
    VAQ_ERR_TOKEN_PIN = 2038,         /* pkcs11: the PIN is wrong or locked, or its source is
                                         missing or not trusted */
    VAQ_ERR_SECRET_UNTRUSTED = 2039,  /* file protector: the node secret or its directory is not
                                         trusted (a link, another user's, or open to group or
                                         others); nothing used or written */
    VAQ_ERR_NO_SPACE = 2040,          /* a file could not be written: no space left on device */
    VAQ_ERR_UNCONFIRMED = 2041,       /* a file was written whole but its sync failed: the change
                                         may or may not be on disk */
    VAQ_ERR_TOKEN_KEY = 2042,         /* pkcs11: no such key in the token, or not a
                                         non-extractable AES key for encryption */
    VAQ_ERR_TOKEN_REFUSED = 2043,     /* pkcs11: the token refused an operation */
    VAQ_ERR_EXPORT_KEY_UNREACHABLE = 2044, /* an export sealed to a token key: this node cannot
                                              use that key (module missing or untrusted, token
                                              absent, PIN refused, key missing or not the
                                              file's); nothing written or changed */
    VAQ_ERR_PROCESS_LOCK = 2045,      /* the host could not take the node's process lock; nothing
                                         read or changed */
    VAQ_ERR_KEYSTORE_LOCK_FILE = 2046, /* the host took the node's process lock but could not lock
                                         the role's keystore lock file; nothing read or changed */
    /* An export file refused whole by an import or a join, nothing changed: */
    VAQ_ERR_ARRIVAL_EXPIRED = 2047,    /* a key it would add or activate has expired */
    VAQ_ERR_ARRIVAL_LENGTH = 2048,     /* a key's material is not its domain's key length */
    VAQ_ERR_ARRIVAL_WEAK = 2049,       /* a key's material is trivially weak (one byte value,
                                          a short pattern repeated, a counting run) */
    VAQ_ERR_ARRIVAL_DOMAIN = 2050,     /* a key is for a domain this keystore does not have */
    VAQ_ERR_ARRIVAL_TWO_ACTIVE = 2051, /* two keys of one domain are marked active */
    VAQ_ERR_ARRIVAL_FUTURE = 2052,     /* the file, or a key in it, is dated later than now */
    VAQ_ERR_RESTORE_ABSENT = 2053      /* a key named to be restored is not in the file */
};

/* The audit trail's codes: a key change whose record cannot be written is
 * refused, and nothing is changed. */
enum {
    VAQ_ERR_AUDIT_KEY = 2056,    /* the role's audit key cannot be read (missing beside its
                                    trail, damaged, or not safe to use) */
    VAQ_ERR_AUDIT_TRAIL = 2057,  /* the role's audit trail is missing, not safe to use, or its
                                    last record is not whole or does not verify */
    VAQ_ERR_AUDIT_WRITE = 2058,  /* the audit record could not be written (no space, I/O) */
    VAQ_ERR_AUDIT_SET_UP = 2059  /* audit init: a trail with records is there already, or the
                                    role's secret directory is not made yet */
};

uint32_t IvexRegFuncEx(const VaqHostServices *table);
unsigned long IvexInitializeEx(uint32_t reserved1, const struct HX_VAQ_KEYSTORE_FILES *files, uint32_t reserved2,
                               void *reserved3);
unsigned long IvexSetRole(uint32_t role);
unsigned long IvexFinalizeEx(void);

unsigned long VaqRmvDomainEx(uint32_t domainId);
unsigned long VaqAddDomainEx(const VaqDomainRecord *domain);
unsigned long VaqAddDomainKeyTypeEx(uint32_t domainId, const VaqKeyTypeRecord *keyType);

int32_t VaqGetMkCount(void);
unsigned long VaqGetMk(uint32_t index, VaqMkRecord *record);
/* (domain id, key id, out VaqMkRecord*, out key buffer, in/out uint32_t* length) */
unsigned long VaqGetMkDetail(uint32_t domainId, uint32_t keyId, void *record, void *key, void *keyLen);
int32_t VaqGetDomainCount(void);
unsigned long VaqGetDomain(uint32_t index, VaqDomainRecord *record);
unsigned long VaqGetRootKeyInfo(VaqRootKeyRecord *record);
unsigned long VaqGetRootKeyCfg(VaqRootKeyCfgRecord *record);

/* Null entropy: new root material from the host's entropy service. */
unsigned long VaqUpdateRootKey(const void *entropy, uint32_t entropyLen);
unsigned long VaqCreateMkEx(uint32_t domainId, uint32_t *keyId);
unsigned long VaqRegisterMkEx(uint32_t domainId, uint32_t keyId, const unsigned char *key, uint32_t keyLen);
unsigned long VaqActivateMk(uint32_t domainId, uint32_t keyId);
unsigned long VaqRmvMk(uint32_t domainId, uint32_t keyId);
unsigned long VaqExportMkFileEx(const char *file, const unsigned char *password, uint32_t passwordLen,
                                uint32_t workFactor);
/* A file sealed to a token key (VaqPrivExportMkFileToken, vaq_private.h) is
 * opened through that key: it needs no password (null or empty), and one
 * given is not used. */
unsigned long VaqImportMkFileEx(const char *file, const unsigned char *password, uint32_t passwordLen);
/* *result: bit 0 primary good, bit 1 standby good. */
unsigned long VaqCheckKeyStore(uint32_t repair, uint32_t *result);

#ifdef __cplusplus
}
#endif

#endif /* TELMOR_VAQ_VAQ_API_H */
