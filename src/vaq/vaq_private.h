/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Private interface of libhxbVaq.so for libhxbQor.so: the working keys of the
 * loaded keystore and the host's log; and for the operator's tool, the root
 * protector of the loaded keystore, exports sealed to a token key, and the
 * join of a node to a fleet, and loads that only look (for its status and
 * check). No host calls it, and a vendor build of
 * libhxbVaq.so does not have it, so the two libraries are replaced together
 * (the tool looks the protector entries up at run time and says when they are
 * not there).
 *
 * Working keys are 32 bytes. The key epoch changes whenever the keys that the
 * functions below answer may have changed (a key added, removed or activated,
 * a keystore loaded or unloaded), so a caller may keep what it fetched for as
 * long as the epoch stays the same.
 */
#ifndef HXB_VAQ_PRIVATE_H
#define HXB_VAQ_PRIVATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { VAQ_PRIV_WORKING_KEY_BYTES = 32 };

uint64_t VaqPrivKeyEpoch(void);

/* 0 with the working key of (domain, key id) in out and the epoch it belongs
 * to; VAQ_ERR_UNKNOWN_KEY when the keystore in memory lacks the key;
 * VAQ_ERR_NOT_INITIALIZED when no keystore is loaded. */
uint32_t VaqPrivWorkingKey(uint32_t domainId, uint32_t keyId, unsigned char *out, uint64_t *epoch);

/* As VaqPrivWorkingKey, for the domain's active key, whose id goes to *keyId;
 * VAQ_ERR_UNKNOWN_KEY when the domain has no active key. */
uint32_t VaqPrivActiveKey(uint32_t domainId, uint32_t *keyId, unsigned char *out, uint64_t *epoch);

/* Called after every unload, once no keystore is loaded; one hook at a time. */
void VaqPrivSetUnloadHook(void (*hook)(void));

/* For the host's reload, which must go on serving when the new load fails
 * for want of its root protector (a token away, a login refused): Detach
 * takes the loaded keystore out of use whole (no key answered from it, the
 * unload hook called) and hands it over, or null when none is loaded; Attach
 * puts a detached keystore back in use (0), or drops it when another was
 * loaded meanwhile; Drop wipes and frees a detached keystore. The host looks
 * these up at run time: a key library without them has no such reload. */
void *VaqPrivDetachKeystore(void);
uint32_t VaqPrivAttachKeystore(void *held);
void VaqPrivDropKeystore(void *held);

/* A finished message to the host's log (slot 23) under the caller's module tag. */
/* Levels of VaqPrivLog, as the host's log service numbers them. */
enum { VAQ_PRIV_LOG_INFO = 0, VAQ_PRIV_LOG_WARN = 1, VAQ_PRIV_LOG_ERROR = 2 };
void VaqPrivLog(int32_t level, const char *module, const char *file, int32_t line, const char *message);

/* Root protectors, as recorded in the keystore. */
enum {
    VAQ_PRIV_PROTECTOR_NONE = 0, /* format 1: root material in the file, unprotected */
    VAQ_PRIV_PROTECTOR_FILE = 1, /* node secret file */
    VAQ_PRIV_PROTECTOR_TPM2 = 2,  /* sealed to the node's TPM 2.0 */
    VAQ_PRIV_PROTECTOR_PKCS11 = 3 /* sealed under a key in a PKCS#11 token */
};

/* Moves the loaded keystore under protector `kind` (FILE or TPM2) as one
 * keystore change with new root material (the root-key version raised, every
 * master key rewrapped), so that no copy from before the move opens what is
 * written after it; pcrMask (TPM2 only, else 0) binds the seal to PCRs 0-23
 * of the SHA-256 bank, bit n for PCR n. Until the primary copy is written both
 * copies load under the old protector; once both are written, a keystore no
 * longer under FILE loses its node secret (a failure there is logged, and the
 * answer is still 0). 0 when done, or when the keystore is already under
 * `kind` with these PCRs (no keystore file is written). */
uint32_t VaqPrivProtect(uint32_t kind, uint32_t pcrMask);
/* As VaqPrivProtect, to the PKCS11 protector: the root sealed under the token
 * key keyUri names (pkcs11:token=...;object=...?module-path=...&pin-source=
 * file:..., see keylib/vaq/token_key.h), which the keystore records (never a
 * PIN). 0 also when the keystore is already sealed under that key.
 * VAQ_ERR_BAD_ARG for a URI that is refused; 2036-2038, 2042 and 2043 when
 * the key cannot be used; nothing is written then. */
uint32_t VaqPrivProtectToken(const char *keyUri);

/* The loaded keystore's protector: its kind, the PCR mask of a TPM2 seal, and
 * where the protector keeps its part (the node secret's path, the TCTI, the
 * token key's URI, which holds no PIN) as a
 * NUL-terminated text in location[0..locationLen), cut to fit. */
uint32_t VaqPrivProtectorInfo(uint32_t *kind, uint32_t *pcrMask, char *location, uint32_t locationLen);

/* Joins the loaded keystore to the keystore an export file was made from, as
 * one keystore change: the keys of the file that this keystore lacks are added,
 * as VaqImportMkFileEx adds them, and each key the file records as its
 * domain's active key becomes the active key of that domain here. *added and
 * *activated count what changed; *marked counts the keys the file records as
 * active. When it records none, nothing is changed and 0 is answered with
 * *marked 0: the caller cannot tell which keys the exporter used. Codes as
 * for VaqImportMkFileEx, which also takes a file sealed to a token key
 * (VaqPrivExportMkFileToken) with no password: one given is not used. */
uint32_t VaqPrivJoinMkFile(const char *file, const unsigned char *password, uint32_t passwordLen, uint32_t *added,
                           uint32_t *activated, uint32_t *marked);

/* What an import or a join may do beyond what it does unasked. */
typedef struct VaqPrivArrivalRules {
    const uint32_t *restore; /* ids of keys deleted here that may come back (inactive) */
    uint32_t restoreCount;
    uint32_t allowOlder; /* join: take a file older than a domain's last key change here, and make
                            a key active that is older than the domain's active key */
} VaqPrivArrivalRules;

enum { VAQ_PRIV_ARRIVE_IMPORT = 0, VAQ_PRIV_ARRIVE_JOIN = 1 };

/* What an import or a join did in a domain, or to one key. */
enum {
    VAQ_PRIV_NOTE_ADDED = 1,      /* `count` keys of the domain added, inactive */
    VAQ_PRIV_NOTE_SWITCHED = 2,   /* join: keyId is now the domain's active key; otherKeyId was (0: none) */
    VAQ_PRIV_NOTE_IN_USE = 3,     /* join: the domain already used the file's active key keyId */
    VAQ_PRIV_NOTE_HELD_BACK = 4,  /* keyId was deleted here at `when`: not added back */
    VAQ_PRIV_NOTE_RESTORED = 5,   /* keyId, deleted here at `when`, added back inactive as asked */
    VAQ_PRIV_NOTE_OLDER_FILE = 6, /* join: the domain's last key change here (`when`) is newer than the
                                     file; nothing in the domain changed */
    VAQ_PRIV_NOTE_OLDER_KEY = 7,  /* join: the file's active key keyId was made at `when`, before the
                                     domain's active key otherKeyId; not made active */
    VAQ_PRIV_NOTE_REFUSED = 8     /* the key that refused the file (domain 0 and key 0 when the file
                                     itself did); `code` says why, `when` the time that counted */
};
typedef struct VaqPrivArrivalNote {
    uint32_t what;
    uint32_t domain;
    uint32_t keyId;
    uint32_t otherKeyId;
    uint32_t count;
    uint32_t code;
    int64_t when; /* seconds since 1970 (UTC) */
} VaqPrivArrivalNote;

typedef struct VaqPrivArrivalReport {
    VaqPrivArrivalNote *notes; /* in: room for `capacity` notes (null with capacity 0) */
    uint32_t capacity;
    uint32_t noteCount;        /* out: notes made; those beyond `capacity` are not written */
    uint32_t marked;           /* out: domains in which the file marks an active key */
    int64_t made;              /* out: when the file was made; 0 when it does not say */
    char refusal[256];         /* out: why the file was refused, for the operator; "" otherwise */
} VaqPrivArrivalReport;

/* Imports (how VAQ_PRIV_ARRIVE_IMPORT) or joins (VAQ_PRIV_ARRIVE_JOIN) an
 * export file as VaqImportMkFileEx and VaqPrivJoinMkFile do, under `rules`
 * (null: none), and reports what it did in each domain. A file with a key that
 * is expired (2047), of another length than its domain's keys (2048), weak
 * (2049), of a domain this keystore lacks (2050), or dated in the future
 * (2052), or with two active keys in one domain (2051), is refused whole and
 * nothing changes; so is a rule naming a key the file lacks (2053). Keys
 * deleted here and not named in `rules` are left out, as are, for a join,
 * domains whose last key change here is newer than the file. */
uint32_t VaqPrivArriveMkFile(uint32_t how, const char *file, const unsigned char *password, uint32_t passwordLen,
                             const VaqPrivArrivalRules *rules, VaqPrivArrivalReport *report);

/* Writes every master key to `file` as VaqExportMkFileEx does, sealed under
 * 32 random bytes that the PKCS#11 token key named by `uri` seals, instead of
 * under a password: every node that can use that key (a shared HSM or key
 * service) imports or joins the file with no password. The file records the
 * URI, never a PIN. VAQ_ERR_EXPORT_KEY_UNREACHABLE when this node cannot use
 * the key (nothing written); other codes as for VaqExportMkFileEx. */
uint32_t VaqPrivExportMkFileToken(const char *file, const char *uri);

/* Why a token key's URI is refused, for the operator's tool to say it: 0 when
 * VaqPrivProtectToken (forExport 0) or VaqPrivExportMkFileToken (forExport
 * non-zero) takes its form, else VAQ_ERR_BAD_ARG with the reason as a
 * NUL-terminated text in why[0..whyLen), cut to fit, never showing a PIN the
 * URI carries. Needs no keystore and logs nothing. */
uint32_t VaqPrivTokenUriRefusal(const char *keyUri, uint32_t forExport, char *why, uint32_t whyLen);

/* For the operator's tool's status and check, which look and never write.
 * With on != 0, every later keystore load, reload and change of this process
 * writes nothing: no copy is rewritten, no keystore is made when both copies
 * are missing or empty (the load fails with VAQ_ERR_IO instead), no change
 * (a domain's first master key, say) is written, and memory keeps what the
 * disk holds. Each load's findings stay readable through
 * VaqPrivLoadFindings. 0 puts loads back as they were. Host processes never
 * call it; the calls and log lines of a load are otherwise unchanged. */
void VaqPrivSetInspectOnly(uint32_t on);

/* What a copy was found to be by the last load. */
enum {
    VAQ_PRIV_COPY_MISSING = 0,
    VAQ_PRIV_COPY_EMPTY = 1,        /* empty, or a first image cut short that never held a key */
    VAQ_PRIV_COPY_VALID = 2,
    VAQ_PRIV_COPY_DAMAGED = 3,      /* fails verification */
    VAQ_PRIV_COPY_NEWER_FORMAT = 4,
    VAQ_PRIV_COPY_UNREADABLE = 5,   /* could not be read, or its protector could not open it */
    VAQ_PRIV_COPY_FOREIGN = 6       /* not this node's */
};
enum {
    VAQ_PRIV_FOUND_STALE = 1,      /* valid, but older than the copy loaded */
    VAQ_PRIV_FOUND_UNSAFE = 2,     /* refused by the host (link, owner, mode) */
    VAQ_PRIV_FOUND_UNOPENED = 4,   /* unreadable because its protector failed */
    VAQ_PRIV_FOUND_REWRITTEN = 8   /* rewritten by this process from the copy loaded */
};
enum {
    VAQ_PRIV_LOAD_CREATED = 1, /* both copies were missing or empty: a new keystore was made */
    VAQ_PRIV_LOAD_WITHHELD = 2,       /* inspect-only: a copy's repair was left unwritten */
    VAQ_PRIV_LOAD_CHANGE_WITHHELD = 4 /* inspect-only: a change (a domain's first key) was left unwritten */
};
typedef struct VaqPrivLoadFindings {
    uint32_t state[2]; /* VAQ_PRIV_COPY_*, primary first */
    uint32_t found[2]; /* VAQ_PRIV_FOUND_* */
    uint64_t generation[2]; /* of a valid copy, else 0 */
    int32_t loaded;    /* the copy the keystore was taken from: 0, 1, or -1 for none */
    uint32_t flags;    /* VAQ_PRIV_LOAD_* */
} VaqPrivLoadFindings;

/* The findings of this process's last keystore load (successful or not), with
 * what it and later repairs rewrote. 0, or VAQ_ERR_NULL_ARG, or
 * VAQ_ERR_NOT_INITIALIZED when no load has run. */
uint32_t VaqPrivLastLoadFindings(VaqPrivLoadFindings *out);

/* The role's audit trail (keylib/vaq/audit_trail.h), for the tool.
 *
 * VaqPrivAuditInit sets the loaded keystore's role up for the audit: epoch
 * 0's key in the role's secret directory and the trail with its first record.
 * An epoch ends after recordsPerEpoch records or secondsPerEpoch seconds (0:
 * no such bound). The verification key (32 bytes) goes to verificationKey and
 * is kept nowhere on the node. VAQ_ERR_AUDIT_SET_UP when the trail holds
 * records already or the role's secret directory is not made yet. */
uint32_t VaqPrivAuditInit(uint32_t recordsPerEpoch, uint32_t secondsPerEpoch, unsigned char *verificationKey);

/* A record of the tool's own (an init, a refusal it found itself) in the
 * loaded keystore's trail: op, domain (negative: none), key ids, file (or
 * null), result and detail (or null). 0 also when the role's audit is not set
 * up (*recorded then 0). */
uint32_t VaqPrivAuditNote(const char *op, int64_t domain, const uint32_t *keys, uint32_t keyCount, const char *file,
                          uint32_t result, const char *detail, uint32_t *recorded);

/* For libhxbQor.so: count encryptions under (domain, key id) of this
 * process since its last usage record go to the loaded keystore's trail as
 * one record; 0 also when the role's audit is not set up. The hook is called
 * at the start of every unload, while the keystore is still loaded, so that
 * the last counts are written; one hook at a time. */
uint32_t VaqPrivAuditUsage(uint32_t domainId, uint32_t keyId, uint64_t count);
void VaqPrivSetUsageHook(void (*hook)(void));

/* The path of the loaded keystore's trail, with its terminating null, in
 * out (size bytes). */
uint32_t VaqPrivAuditTrailPath(char *out, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* HXB_VAQ_PRIVATE_H */
