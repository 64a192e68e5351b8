// SPDX-License-Identifier: Apache-2.0
#include "host.h"

#include <cerrno>
#include <ctime>

#include "log.h"

namespace vaq {

const char *Host::missing_slot(const VaqHostServices &t) {
    if (!t.fopen_fn || !t.fclose_fn || !t.fread_fn || !t.fwrite_fn || !t.fseek_fn || !t.fexist_fn)
        return "a file service is missing";
    if (!t.create_lock_fn || !t.destroy_lock_fn || !t.add_lock_fn || !t.release_lock_fn)
        return "a thread-lock service is missing";
    if (!t.create_pro_lock_fn || !t.destroy_pro_lock_fn || !t.add_pro_lock_fn || !t.release_pro_lock_fn)
        return "a process-lock service is missing";
    if (!t.wrilog_fn) return "the log service is missing";
    if (!t.get_entropy_fn || !t.cleanup_entropy_fn) return "the entropy service is missing";
    if (!t.gmtime_fn) return "the UTC time service is missing";
    return nullptr;
}

void Host::log(LogLevel level, const char *module, const char *file, int line, const char *message) const {
    if (t_.wrilog_fn) t_.wrilog_fn(static_cast<int32_t>(level), module, file, line, message);
}

namespace {

// Closes a host file handle when the scope ends.
class HostFile {
public:
    HostFile(const VaqHostServices &t, void *handle) : t_(t), handle_(handle) {}
    ~HostFile() {
        if (handle_) t_.fclose_fn(handle_);
    }
    HostFile(const HostFile &) = delete;
    HostFile &operator=(const HostFile &) = delete;
    void *get() const { return handle_; }
    // Closes now and reports whether the close worked.
    bool close() {
        void *h = handle_;
        handle_ = nullptr;
        return h == nullptr || t_.fclose_fn(h) == 0;
    }

private:
    const VaqHostServices &t_;
    void *handle_;
};

// errno as the host's slot 13 reports it, or 0 without that slot.
int host_errno(const VaqHostServices &t) { return t.ferrno_fn ? t.ferrno_fn(nullptr) : 0; }

bool refused_as_unsafe(int err) { return err == ELOOP || err == EPERM; }

}  // namespace

FileContent Host::read_file(const std::string &path) const {
    FileContent out;
    if (t_.fexist_fn(path.c_str()) != 1) return out;
    HostFile file(t_, t_.fopen_fn(path.c_str(), VAQ_FILE_READ));
    if (!file.get()) {
        out.state = refused_as_unsafe(host_errno(t_)) ? FileState::kUnsafe : FileState::kUnreadable;
        return out;
    }
    int64_t size = t_.fseek_fn(file.get(), 0, VAQ_SEEK_END);
    if (size < 0 || t_.fseek_fn(file.get(), 0, VAQ_SEEK_SET) != 0) {
        out.state = FileState::kUnreadable;
        return out;
    }
    if (size == 0) {
        out.state = FileState::kEmpty;
        return out;
    }
    if (static_cast<uint64_t>(size) > kMaxFileBytes) {
        out.state = FileState::kTooLarge;
        return out;
    }
    out.bytes.resize(static_cast<size_t>(size));
    if (t_.fread_fn(out.bytes.data(), out.bytes.size(), file.get()) != 1) {
        // Whatever part of a keystore the short read brought in is wiped too.
        OPENSSL_cleanse(out.bytes.data(), out.bytes.size());
        out.bytes.clear();
        out.state = FileState::kUnreadable;
        return out;
    }
    out.state = FileState::kRead;
    return out;
}

Status Host::write_file(const std::string &path, ByteView image, int32_t mode) const {
    HostFile file(t_, t_.fopen_fn(path.c_str(), mode));
    if (!file.get()) {
        const int err = host_errno(t_);
        if (refused_as_unsafe(err))
            return Fail(VAQ_ERR_UNSAFE_FILE, "file not safe to write: a link, not regular, or another user's");
        if (err == EEXIST) return Fail(VAQ_ERR_FILE_EXISTS, "file exists already; nothing written");
        if (err == ENOSPC) return Fail(VAQ_ERR_NO_SPACE, "file could not be created: no space left on device");
        return Fail(VAQ_ERR_IO, "file could not be opened for writing");
    }
    if (t_.fwrite_fn(image.data(), image.size(), file.get()) != 1) {
        const int err = host_errno(t_);
        // A new file whose write failed is not put under its name (the host
        // drops it), so a full device there means nothing was written.
        if (err == ENOSPC && mode != VAQ_FILE_WRITE)
            return Fail(VAQ_ERR_NO_SPACE, "file could not be written: no space left on device");
        // The position tells a write cut short from a whole image whose sync
        // failed, whatever the errno (a sync answers ENOSPC too): a file
        // written in place then holds the change or not, and the caller must
        // know.
        if (t_.ftell_fn && t_.ftell_fn(file.get()) == static_cast<int64_t>(image.size()))
            return Fail(VAQ_ERR_UNCONFIRMED, "file written but its sync failed; the change may be on disk");
        if (err == ENOSPC) return Fail(VAQ_ERR_NO_SPACE, "file could not be written: no space left on device");
        return Fail(VAQ_ERR_IO, "file could not be written and synced");
    }
    // A new file is put under its name by its close (the host publishes it
    // whole): a close that fails leaves no file there.
    if (mode == VAQ_FILE_CREATE && !file.close()) {
        const int err = host_errno(t_);
        if (err == EEXIST) return Fail(VAQ_ERR_FILE_EXISTS, "file made by another meanwhile; nothing written");
        if (err == ENOSPC) return Fail(VAQ_ERR_NO_SPACE, "file could not be published: no space left on device");
        if (err == EIO)
            return Fail(VAQ_ERR_UNCONFIRMED, "file written but not confirmed on disk (a sync failed); nothing is left "
                                             "under its name");
        return Fail(VAQ_ERR_IO, "file could not be published under its name");
    }
    // The write call answered for the image being on disk; a close that fails
    // afterwards cannot take it back, and calling the write failed would have
    // the caller redo a change that is already made.
    if (!file.close())
        log(LogLevel::kWarn, kVaqModule, __FILE_NAME__, __LINE__,
            "file closed with an error after its image was written and synced\n");
    return Ok();
}

Status Host::process_lock(void *handle) const {
    // Cleared first: a host that took the lock may leave errno as it was.
    errno = 0;
    t_.add_pro_lock_fn(handle);
    const int err = host_errno(t_);
    if (err == ENOLCK)
        return Fail(VAQ_ERR_PROCESS_LOCK, "the host could not take the node's process lock; nothing read or changed");
    if (err == VAQ_HOST_KEYSTORE_NOT_FENCED)
        return Fail(VAQ_ERR_KEYSTORE_LOCK_FILE,
                    "the host could not lock the keystore's lock file; nothing read or changed");
    return Ok();
}

Status ProcessLockGuard::status() const { return taken_; }

Status Host::entropy(uint8_t *out, size_t size) const {
    unsigned char *buf = nullptr;
    if (t_.get_entropy_fn(&buf, size) != 1 || buf == nullptr)
        return Fail(VAQ_ERR_ENTROPY, "the host's entropy service failed");
    std::memcpy(out, buf, size);
    t_.cleanup_entropy_fn(buf, size);
    return Ok();
}

bool Host::utc(int64_t seconds, VaqDateTime *out) const {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (t_.gmtime_fn(&t, &tm) != 1) return false;
    int year = tm.tm_year + 1900;
    if (year < 0 || year > 65535) return false;
    out->year = static_cast<uint16_t>(year);
    out->month = static_cast<uint8_t>(tm.tm_mon + 1);
    out->day = static_cast<uint8_t>(tm.tm_mday);
    out->hour = static_cast<uint8_t>(tm.tm_hour);
    out->minute = static_cast<uint8_t>(tm.tm_min);
    out->second = static_cast<uint8_t>(tm.tm_sec);
    out->weekday = static_cast<uint8_t>(tm.tm_wday);
    return true;
}

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace vaq
