/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Entries of libtelmor_vaq_api.so that belong to this project's own tools and
 * to no host: why the calling thread's last call failed, and whether a file,
 * directory or System V object passes the library's own rules. The tool asks
 * these rather than keeping rules of its own, so that what it tells an
 * operator is what the library does. Not installed; the names stay out of the
 * public header.
 */
#ifndef TELMOR_VAQ_PRIVATE_H
#define TELMOR_VAQ_PRIVATE_H

#include <stdint.h>

#include "telmor_vaq_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a refusal or failure was about. */
enum {
    TELMOR_VAQ_OBJECT_NONE = 0,
    TELMOR_VAQ_OBJECT_FILE = 1,        /* object: a path */
    TELMOR_VAQ_OBJECT_DIRECTORY = 2,   /* object: a path */
    TELMOR_VAQ_OBJECT_IPC_SEGMENT = 3, /* the keystore-version segment; key */
    TELMOR_VAQ_OBJECT_IPC_LOCK = 4     /* the process-lock semaphore set; key */
};

/* The calling thread's last failure since its last TELMOR_VAQ_Initialize. */
struct telmor_vaq_failure {
    unsigned long code; /* the key library's code for a failed keystore load, else 0 */
    uint32_t kind;      /* TELMOR_VAQ_OBJECT_*: what was refused, NONE when nothing was */
    int32_t ipc_key;    /* the object's key, for the IPC kinds */
    int32_t error;      /* errno of a system call that failed on it, 0 for a refusal by rule */
    char object[1024];  /* the path, for FILE and DIRECTORY */
    char reason[256];   /* the rule's reason, or the errno's text */
};

/* Copies the record into *out; answers 0, or 1 for a null out. */
TELMOR_VAQ_EXPORT unsigned long telmor_vaq_last_failure(struct telmor_vaq_failure *out);

/* Verdicts of telmor_vaq_judge. */
enum {
    TELMOR_VAQ_USABLE = 0,  /* the library uses it as it is */
    TELMOR_VAQ_REFUSED = 1, /* the library will not use it: reason says why */
    TELMOR_VAQ_ABSENT = 2,  /* nothing there (the library may make it) */
    TELMOR_VAQ_UNKNOWN = 3  /* it could not be looked at: reason has the errno's text */
};

/*
 * Judges a file (a keystore copy, a node secret, a log file), a directory
 * that holds such files, or one of the node's System V objects, by the rules
 * the library applies when it opens them, for the calling process's user.
 * path is read for FILE and DIRECTORY, ipc_key for the IPC kinds. The reason
 * (zero-terminated, cut to reason_len) is written for REFUSED and UNKNOWN.
 * Answers a verdict, or TELMOR_VAQ_UNKNOWN for an argument it cannot use.
 */
TELMOR_VAQ_EXPORT uint32_t telmor_vaq_judge(uint32_t kind, const char *path, int32_t ipc_key, char *reason,
                                            uint32_t reason_len);

/*
 * This process only looks at keystores, as status and check do (with the key
 * library's inspect-only loads): the keystore lock file is taken where it
 * exists and never made. 1 on, 0 off.
 */
TELMOR_VAQ_EXPORT void telmor_vaq_look_only(uint32_t on);

#ifdef __cplusplus
}
#endif

#endif /* TELMOR_VAQ_PRIVATE_H */
