/* SPDX-License-Identifier: Apache-2.0 */
// The host-service table as the library uses it: files, entropy, UTC time,
// locks and the log. Nothing in the library touches the operating system for
// these except through the table the host registered.
#ifndef HXB_VAQ_HOST_H
#define HXB_VAQ_HOST_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "bytes.h"
#include "status.h"
#include "vaq/vaq_host_services.h"
#include "vaq/vaq_records.h"

namespace vaq {

enum class LogLevel : int32_t { kInfo = 0, kWarn = 1, kError = 2 };

// Largest keystore or export file the library reads; anything bigger is not ours.
inline constexpr uint64_t kMaxFileBytes = 8u << 20;

// What a read of one file found. kUnsafe: the host refused to open what is at
// the path (a symbolic link, not a regular file, more than one link, another
// user's file), so it is neither trusted nor ever written.
enum class FileState { kMissing, kEmpty, kRead, kUnreadable, kTooLarge, kUnsafe };

struct FileContent {
    FileState state = FileState::kMissing;
    Bytes bytes;  // a keystore image carries the root material: wiped when done

    FileContent() = default;
    FileContent(FileContent &&) = default;
    FileContent &operator=(FileContent &&) = default;
    ~FileContent() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

class Host {
public:
    explicit Host(const VaqHostServices &table) : t_(table) {}

    // Why a table cannot be used, or null when every slot the library calls is set.
    static const char *missing_slot(const VaqHostServices &table);

    const VaqHostServices &table() const { return t_; }

    void log(LogLevel level, const char *module, const char *file, int line, const char *message) const;

    // The whole file, through slots 14, 4, 11, 6 and 5.
    FileContent read_file(const std::string &path) const;
    // One image in one write call at offset 0; slot 7 syncs it. The file is
    // not truncated, so the image's own length field is what counts. With
    // VAQ_FILE_CREATE or VAQ_FILE_CREATE_SECRET the file must not exist yet
    // (VAQ_ERR_FILE_EXISTS). A full device answers VAQ_ERR_NO_SPACE; an image
    // written whole whose sync failed VAQ_ERR_UNCONFIRMED.
    Status write_file(const std::string &path, ByteView image, int32_t mode = VAQ_FILE_WRITE) const;

    bool exists(const std::string &path) const { return t_.fexist_fn(path.c_str()) == 1; }

    // Random bytes from the host's entropy service (slots 27 and 28).
    Status entropy(uint8_t *out, size_t size) const;
    bool utc(int64_t seconds, VaqDateTime *out) const;

    bool create_lock(void **handle) const { return t_.create_lock_fn(handle) == 1; }
    void destroy_lock(void *handle) const { t_.destroy_lock_fn(handle); }
    void lock(void *handle) const { t_.add_lock_fn(handle); }
    void unlock(void *handle) const { t_.release_lock_fn(handle); }
    bool create_process_lock(void **handle) const { return t_.create_pro_lock_fn(handle) == 1; }
    void destroy_process_lock(void *handle) const { t_.destroy_pro_lock_fn(handle); }
    // Ok when the host took the lock; otherwise the failure to answer (the
    // host's errno through slot 13 after slot 21: ENOLCK for the process lock
    // not taken, VAQ_HOST_KEYSTORE_NOT_FENCED for the keystore's lock file),
    // and the caller then stops.
    Status process_lock(void *handle) const;
    void process_unlock(void *handle) const { t_.release_pro_lock_fn(handle); }

private:
    VaqHostServices t_;
};

// Holds one of the host's thread locks for a scope.
class ThreadLockGuard {
public:
    ThreadLockGuard(const Host &host, void *handle) : host_(host), handle_(handle) { host_.lock(handle_); }
    ~ThreadLockGuard() { host_.unlock(handle_); }
    ThreadLockGuard(const ThreadLockGuard &) = delete;
    ThreadLockGuard &operator=(const ThreadLockGuard &) = delete;

private:
    const Host &host_;
    void *handle_;
};

// Holds the node-wide process lock for a scope. Nothing may be read or
// changed under a guard that does not hold it: see held() and status().
class ProcessLockGuard {
public:
    ProcessLockGuard(const Host &host, void *handle)
        : host_(host), handle_(handle), taken_(host_.process_lock(handle_)), held_(taken_.ok()) {}
    ~ProcessLockGuard() {
        if (held_) host_.process_unlock(handle_);
    }
    ProcessLockGuard(const ProcessLockGuard &) = delete;
    ProcessLockGuard &operator=(const ProcessLockGuard &) = delete;

    bool held() const { return held_; }
    // Ok when held; the failure to answer otherwise.
    Status status() const;

private:
    const Host &host_;
    void *handle_;
    Status taken_;
    bool held_;
};

int64_t now_seconds();

}  // namespace vaq

#endif
