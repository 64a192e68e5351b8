// SPDX-License-Identifier: Apache-2.0
#include "secret_file.h"

#include <cerrno>
#include <cstring>

#include "log.h"
#include "protector.h"

namespace vaq {

namespace {

constexpr size_t kFileBytes = 8 + 2 + 2 + kKeyBytes;
constexpr size_t kRandomAt = 12;

}  // namespace

bool SecretFile::well_formed(const FileContent &f) const {
    return f.state == FileState::kRead && f.bytes.size() == kFileBytes &&
           std::memcmp(f.bytes.data(), kind_.magic, sizeof kind_.magic) == 0 && f.bytes[8] == 1 && f.bytes[9] == 0;
}

// The host refuses a secret, or a directory on its way, that another account
// could have made or changed, and says which and why in the line before this
// one.
Status SecretFile::untrusted() const {
    return Fail(VAQ_ERR_SECRET_UNTRUSTED,
                reason("%s: %s %s not used: it or its directory is not trusted (a link, another user's, or open to "
                       "group or others)",
                       kind_.owner, kind_.noun, path_.c_str()));
}

Status SecretFile::read(SecretArray<kKeyBytes> &out) const {
    FileContent f = host_.read_file(path_);
    if (f.state == FileState::kUnsafe) return untrusted();
    if (f.state == FileState::kMissing)
        return Fail(VAQ_ERR_SECRET_MISSING, reason("%s: %s %s is missing; this node cannot open the keystore (recover "
                                                   "by importing an export file)",
                                                   kind_.owner, kind_.noun, path_.c_str()));
    if (!well_formed(f))
        return Fail(VAQ_ERR_SECRET_UNREADABLE, reason("%s: %s %s cannot be read or is not a %s", kind_.owner,
                                                      kind_.noun, path_.c_str(), kind_.noun));
    std::memcpy(out.data(), f.bytes.data() + kRandomAt, kKeyBytes);
    return Ok();
}

Status SecretFile::read_or_create(SecretArray<kKeyBytes> &out) const {
    for (int attempt = 0; attempt < 2; ++attempt) {
        FileContent f = host_.read_file(path_);
        if (well_formed(f)) {
            std::memcpy(out.data(), f.bytes.data() + kRandomAt, kKeyBytes);
            return Ok();
        }
        if (f.state == FileState::kUnsafe) return untrusted();
        bool cutShort = f.state == FileState::kEmpty || (f.state == FileState::kRead && f.bytes.size() < kFileBytes);
        if (f.state != FileState::kMissing && !cutShort)
            return Fail(VAQ_ERR_SECRET_UNREADABLE,
                        reason("%s: %s %s cannot be read or is not a %s; it is left as it is", kind_.owner, kind_.noun,
                               path_.c_str(), kind_.noun));
        // A creation cut short by a crash: no keystore can have been
        // sealed under a secret that never reached the disk.
        if (cutShort && (!host_.table().fremove_fn || host_.table().fremove_fn(path_.c_str()) != 0))
            return Fail(VAQ_ERR_SECRET_CREATE, reason("%s: %s %s is incomplete and cannot be removed", kind_.owner,
                                                      kind_.noun, path_.c_str()));
        Status s = create(out);
        if (s.code != VAQ_ERR_FILE_EXISTS) return s;
    }
    return Fail(VAQ_ERR_SECRET_CREATE,
                reason("%s: %s %s appears and vanishes", kind_.owner, kind_.noun, path_.c_str()));
}

Status SecretFile::create(SecretArray<kKeyBytes> &out) const {
    const VaqHostServices &t = host_.table();
    // Everything that can fail for want of memory comes before the file
    // exists, so that a failure leaves no empty secret and no open handle.
    Bytes image(kFileBytes, 0);
    WipeOnExit wipe(image);
    void *h = t.fopen_fn(path_.c_str(), VAQ_FILE_CREATE_SECRET);
    if (h == nullptr) {
        int err = t.ferrno_fn ? t.ferrno_fn(nullptr) : 0;
        if (err == EEXIST) return Fail(VAQ_ERR_FILE_EXISTS, "secret file made meanwhile");
        if (err == EPERM || err == ELOOP) return untrusted();
        return Fail(VAQ_ERR_SECRET_CREATE, reason("%s: %s %s cannot be created (%s); root runs "
                                                  "'telmor-vaq init' once to make its directory",
                                                  kind_.owner, kind_.noun, path_.c_str(), std::strerror(err)));
    }
    std::memcpy(image.data(), kind_.magic, sizeof kind_.magic);
    image[8] = 1;
    Status s = host_.entropy(image.data() + kRandomAt, kKeyBytes);
    bool written = s.ok() && t.fwrite_fn(image.data(), image.size(), h) == 1;
    // Written whole but not confirmed on disk (the file's sync or its
    // directory's failed): nothing may be sealed under it.
    const bool unconfirmed = s.ok() && !written && t.ftell_fn && t.ftell_fn(h) == static_cast<int64_t>(image.size());
    bool closed = t.fclose_fn(h) == 0;
    if (!written || !closed) {
        if (t.fremove_fn) t.fremove_fn(path_.c_str());
        if (!s.ok()) return s;
        if (unconfirmed)
            return Fail(VAQ_ERR_UNCONFIRMED, reason("%s: %s %s was written but its sync to disk failed; it is removed "
                                                    "and nothing was sealed under it",
                                                    kind_.owner, kind_.noun, path_.c_str()));
        return Fail(VAQ_ERR_SECRET_CREATE,
                    reason("%s: %s %s could not be written", kind_.owner, kind_.noun, path_.c_str()));
    }
    log_to(host_, LogLevel::kInfo, kVaqModule, __FILE_NAME__, __LINE__, "%s: %s %s created\n", kind_.owner, kind_.noun,
           path_.c_str());
    std::memcpy(out.data(), image.data() + kRandomAt, kKeyBytes);
    return Ok();
}

}  // namespace vaq
