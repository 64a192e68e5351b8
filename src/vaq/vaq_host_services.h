/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The host-service table that a host registers with the key-management library
 * (IvexRegFuncEx). The library reaches files, locks, its log, entropy and UTC
 * time only through these 29 slots; slots 1-3 and 26 are unused and null.
 * A wire format: one function address per slot, 232 bytes on a 64-bit build.
 */
#ifndef TELMOR_VAQ_HOST_SERVICES_H
#define TELMOR_VAQ_HOST_SERVICES_H

#include <assert.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* File modes of slot 4. Every mode refuses a symbolic link at the path and a
 * file that is not regular, has more than one link or belongs to another user
 * than the process's own or root. VAQ_FILE_CREATE makes a new file, mode 0600,
 * open for writing, and fails (errno EEXIST through slot 13) when the path
 * exists; VAQ_FILE_CREATE_SECRET does the same with mode 0400, for a file that
 * is written once and then only read. A host of an older build that knows only
 * the first three modes answers null to both. A file directly in
 * /etc/telmor/vaq is a node secret, in any mode: both directories must be
 * trusted (no link, not writable by group or others, /etc/telmor root's,
 * /etc/telmor/vaq root's or the keystore directory's owner's) and the file must
 * give no access to group or others; a refusal answers null with errno EPERM
 * (ELOOP for a link at the file). */
enum {
    VAQ_FILE_READ = 0,
    VAQ_FILE_WRITE = 1,
    VAQ_FILE_READ_WRITE = 2,
    VAQ_FILE_CREATE = 3,
    VAQ_FILE_CREATE_SECRET = 4
};
/* errno after slot 21 when the host took the process lock but could not lock
 * the role's keystore lock file, and gave the process lock back. */
#define VAQ_HOST_KEYSTORE_NOT_FENCED EBADFD

/* Seek origins of slot 11. */
enum { VAQ_SEEK_SET = 0, VAQ_SEEK_CUR = 1, VAQ_SEEK_END = 2 };

struct HX_VAQ_HOST_SERVICES {
    void *unused1;
    void *unused2;
    void *unused3;
    /* Files. A handle is opaque to the library. */
    void *(*fopen_fn)(const char *path, int32_t mode);                    /* 4: handle or null */
    int32_t (*fclose_fn)(void *handle);                                   /* 5: 0 / -1 */
    int32_t (*fread_fn)(void *buf, uint64_t count, void *handle);         /* 6: 1 all read, else 0 */
    int32_t (*fwrite_fn)(const void *data, uint64_t count, void *handle); /* 7: 1 written+synced */
    int32_t (*fflush_fn)(void *handle);                                   /* 8: 0 / -1 */
    int32_t (*fremove_fn)(const char *path);                              /* 9: 0 / -1 */
    int64_t (*ftell_fn)(void *handle);                                    /* 10: offset or -1 */
    int64_t (*fseek_fn)(void *handle, int64_t offset, int32_t origin);    /* 11: offset or -1 */
    int32_t (*feof_fn)(void *handle, int32_t *atEnd);                     /* 12: 0 / -1 */
    int32_t (*ferrno_fn)(void *handle);                                   /* 13: errno */
    int32_t (*fexist_fn)(const char *path);                               /* 14: 1 / 0 */
    /* Thread locks (process-private mutexes). */
    int32_t (*create_lock_fn)(void **handle); /* 15: 1 / 0 */
    void (*destroy_lock_fn)(void *handle);    /* 16 */
    void (*add_lock_fn)(void *handle);        /* 17 */
    void (*release_lock_fn)(void *handle);    /* 18 */
    /* Process lock: one node-wide lock shared by every handle. Slot 21 cannot
     * answer, so a host that could not take the lock sets errno to ENOLCK
     * before returning; one that took it but could not fence the keystore
     * with its lock file (and so gave it back) sets VAQ_HOST_KEYSTORE_NOT_FENCED.
     * The library clears errno before the call, reads it through slot 13 and
     * stops the operation. */
    int32_t (*create_pro_lock_fn)(void **handle); /* 19: 1 / 0 */
    void (*destroy_pro_lock_fn)(void *handle);    /* 20 */
    void (*add_pro_lock_fn)(void *handle);        /* 21 */
    void (*release_pro_lock_fn)(void *handle);    /* 22 */
    /* Log: a finished message; never used as a format. */
    void (*wrilog_fn)(int32_t level, const char *module, const char *file, int32_t line, const char *message); /* 23 */
    void (*recv_notify_fn)(int32_t code, unsigned long arg1, unsigned long arg2);                              /* 24 */
    void (*do_events_fn)(void);                                                                                /* 25 */
    void *unused26;
    /* Entropy: a malloc'd buffer of size random bytes, released by slot 28. */
    int32_t (*get_entropy_fn)(unsigned char **out, uint64_t size); /* 27: 1 / 0 */
    void (*cleanup_entropy_fn)(unsigned char *buf, uint64_t size); /* 28 */
    int32_t (*gmtime_fn)(const time_t *t, struct tm *out);         /* 29: 1 / 0 */
};

typedef struct HX_VAQ_HOST_SERVICES VaqHostServices;

#ifdef __cplusplus
}
#endif

#define VAQ_CHECK_SLOT(field, slot) static_assert(offsetof(VaqHostServices, field) == ((slot)-1) * 8, "slot " #slot)

static_assert(sizeof(void *) == 8, "the table is laid out for a 64-bit build");
static_assert(sizeof(VaqHostServices) == 232, "host-service table is 232 bytes");
VAQ_CHECK_SLOT(unused1, 1);
VAQ_CHECK_SLOT(unused2, 2);
VAQ_CHECK_SLOT(unused3, 3);
VAQ_CHECK_SLOT(fopen_fn, 4);
VAQ_CHECK_SLOT(fclose_fn, 5);
VAQ_CHECK_SLOT(fread_fn, 6);
VAQ_CHECK_SLOT(fwrite_fn, 7);
VAQ_CHECK_SLOT(fflush_fn, 8);
VAQ_CHECK_SLOT(fremove_fn, 9);
VAQ_CHECK_SLOT(ftell_fn, 10);
VAQ_CHECK_SLOT(fseek_fn, 11);
VAQ_CHECK_SLOT(feof_fn, 12);
VAQ_CHECK_SLOT(ferrno_fn, 13);
VAQ_CHECK_SLOT(fexist_fn, 14);
VAQ_CHECK_SLOT(create_lock_fn, 15);
VAQ_CHECK_SLOT(destroy_lock_fn, 16);
VAQ_CHECK_SLOT(add_lock_fn, 17);
VAQ_CHECK_SLOT(release_lock_fn, 18);
VAQ_CHECK_SLOT(create_pro_lock_fn, 19);
VAQ_CHECK_SLOT(destroy_pro_lock_fn, 20);
VAQ_CHECK_SLOT(add_pro_lock_fn, 21);
VAQ_CHECK_SLOT(release_pro_lock_fn, 22);
VAQ_CHECK_SLOT(wrilog_fn, 23);
VAQ_CHECK_SLOT(recv_notify_fn, 24);
VAQ_CHECK_SLOT(do_events_fn, 25);
VAQ_CHECK_SLOT(unused26, 26);
VAQ_CHECK_SLOT(get_entropy_fn, 27);
VAQ_CHECK_SLOT(cleanup_entropy_fn, 28);
VAQ_CHECK_SLOT(gmtime_fn, 29);

#endif /* TELMOR_VAQ_HOST_SERVICES_H */
