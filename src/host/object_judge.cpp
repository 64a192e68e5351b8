// SPDX-License-Identifier: Apache-2.0
// telmor_vaq_judge: a file, directory or System V object judged by the rule
// functions the library itself applies when it opens one (file_safety.h,
// ipc_owner.h), never by a copy of them, so that the tool cannot tell an
// operator something the library does not do.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/error_text.h"
#include "host/bounded.h"
#include "host/file_safety.h"
#include "host/ipc_owner.h"
#include "host/sys.h"
#include "private/telmor_vaq_private.h"

namespace {

struct Verdict {
    uint32_t verdict;
    const char *reason;  // a static text, or null
    int err;             // for UNKNOWN
};

Verdict judge_path(uint32_t kind, const char *path) {
    struct stat st {};
    if (kind == TELMOR_VAQ_OBJECT_DIRECTORY) {
        if (tv::sys().lstat(path, &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return {TELMOR_VAQ_ABSENT, nullptr, 0};
            return {TELMOR_VAQ_UNKNOWN, nullptr, errno};
        }
        if (S_ISLNK(st.st_mode)) return {TELMOR_VAQ_REFUSED, "a symbolic link", 0};
        const char *why = tv::unsafe_directory_reason(path, st);
        return {why == nullptr ? TELMOR_VAQ_USABLE : TELMOR_VAQ_REFUSED, why, 0};
    }
    // A file is judged by opening it as the library does (read only, nothing
    // made), so every check on its way, its directory's included, is the
    // library's own.
    tv::Refusal refused;
    const int fd = tv::open_safely(path, O_RDONLY | O_NONBLOCK, 0, &st, &refused);
    if (fd >= 0) {
        tv::sys().close(fd);
        return {TELMOR_VAQ_USABLE, nullptr, 0};
    }
    if (refused.reason != nullptr) return {TELMOR_VAQ_REFUSED, refused.reason, 0};
    if (errno == ENOENT || errno == ENOTDIR) return {TELMOR_VAQ_ABSENT, nullptr, 0};
    return {TELMOR_VAQ_UNKNOWN, nullptr, errno};
}

uint32_t judge_ipc(uint32_t kind, int32_t key, char *reason, uint32_t len) {
    ipc_perm perm{};
    int failed = 0;
    if (kind == TELMOR_VAQ_OBJECT_IPC_SEGMENT) {
        const int id = tv::sys().shmget(key, 0, 0);
        shmid_ds ds{};
        if (id == -1 || tv::sys().shmctl(id, IPC_STAT, &ds) != 0) failed = errno;
        perm = ds.shm_perm;
    } else {
        const int id = tv::sys().semget(key, 0, 0);
        semid_ds ds{};
        tv::SemArg arg{};
        arg.buf = &ds;
        if (id == -1 || tv::sys().semctl(id, 0, IPC_STAT, arg) != 0) failed = errno;
        perm = ds.sem_perm;
    }
    if (failed == ENOENT) return TELMOR_VAQ_ABSENT;
    if (failed == EACCES) {
        unsigned uid = 0, cuid = 0, mode = 0;
        if (tv::listed_ipc_owner(kind == TELMOR_VAQ_OBJECT_IPC_SEGMENT, key, uid, cuid, mode)) {
            tv::sprintf_s(reason, len, "no permission for this user (owner uid %u, creator uid %u, mode %04o)", uid,
                          cuid, mode);
        } else {
            tv::strcpy_s(reason, len, "no permission for this user");
        }
        return TELMOR_VAQ_REFUSED;
    }
    if (failed != 0) {
        tv::strcpy_s(reason, len, tv::error_text(failed));
        return TELMOR_VAQ_UNKNOWN;
    }
    const char *why = tv::foreign_ipc_reason(perm);
    if (why == nullptr) return TELMOR_VAQ_USABLE;
    tv::sprintf_s(reason, len, "%s (owner uid %u, creator uid %u, mode %04o)", why, static_cast<unsigned>(perm.uid),
                  static_cast<unsigned>(perm.cuid), static_cast<unsigned>(perm.mode & 0777));
    return TELMOR_VAQ_REFUSED;
}

}  // namespace

extern "C" uint32_t telmor_vaq_judge(uint32_t kind, const char *path, int32_t ipc_key, char *reason,
                                     uint32_t reason_len) {
    if (reason == nullptr || reason_len == 0) return TELMOR_VAQ_UNKNOWN;
    reason[0] = '\0';
    if (kind == TELMOR_VAQ_OBJECT_IPC_SEGMENT || kind == TELMOR_VAQ_OBJECT_IPC_LOCK)
        return judge_ipc(kind, ipc_key, reason, reason_len);
    if ((kind != TELMOR_VAQ_OBJECT_FILE && kind != TELMOR_VAQ_OBJECT_DIRECTORY) || path == nullptr)
        return TELMOR_VAQ_UNKNOWN;
    const Verdict v = judge_path(kind, path);
    if (v.verdict == TELMOR_VAQ_REFUSED) tv::strcpy_s(reason, reason_len, v.reason);
    if (v.verdict == TELMOR_VAQ_UNKNOWN) tv::strcpy_s(reason, reason_len, tv::error_text(v.err));
    return v.verdict;
}
