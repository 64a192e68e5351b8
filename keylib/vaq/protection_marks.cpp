// SPDX-License-Identifier: Apache-2.0
#include "protection_marks.h"

#include <cstring>

#include "log.h"
#include "protector.h"

namespace vaq {

namespace {

// A mark, 16 bytes: magic, version 1, what it marks, 4 bytes reserved.
constexpr char kMarkMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'P', 'M'};
constexpr size_t kMarkBytes = 16;
constexpr uint16_t kMarkProtected = 1;
constexpr uint16_t kMarkMoving = 2;

std::string sibling(const std::string &secretPath, const char *suffix) {
    static constexpr char kSecretSuffix[] = ".secret";
    std::string base = secretPath;
    if (base.size() > sizeof kSecretSuffix - 1 &&
        base.compare(base.size() - (sizeof kSecretSuffix - 1), std::string::npos, kSecretSuffix) == 0)
        base.resize(base.size() - (sizeof kSecretSuffix - 1));
    return base + suffix;
}

}  // namespace

ProtectionMarks::ProtectionMarks(const Host &host, const std::string &secretPath)
    : host_(host),
      secretPath_(secretPath),
      protectedPath_(sibling(secretPath, ".protected")),
      movingPath_(sibling(secretPath, ".moving")) {}

std::string ProtectionMarks::evidence() const {
    if (host_.exists(secretPath_)) return "node secret " + secretPath_;
    if (host_.exists(protectedPath_)) return "protection mark " + protectedPath_;
    return {};
}

bool ProtectionMarks::moving() const {
    // Only a mark read whole counts: anything else at the path (a file the
    // host refuses, a stray) must not open the door to an unprotected copy.
    FileContent f = host_.read_file(movingPath_);
    return f.state == FileState::kRead && f.bytes.size() == kMarkBytes &&
           std::memcmp(f.bytes.data(), kMarkMagic, sizeof kMarkMagic) == 0 && f.bytes[8] == 1 && f.bytes[9] == 0 &&
           f.bytes[10] == kMarkMoving && f.bytes[11] == 0;
}

Status ProtectionMarks::create_mark(const std::string &path, uint16_t what) const {
    Bytes mark(kMarkBytes, 0);
    std::memcpy(mark.data(), kMarkMagic, sizeof kMarkMagic);
    mark[8] = 1;
    mark[10] = static_cast<uint8_t>(what);
    Status s = host_.write_file(path, mark, VAQ_FILE_CREATE_SECRET);
    if (s.code == VAQ_ERR_FILE_EXISTS) return Ok();
    if (!s.ok())
        return Fail(VAQ_ERR_SECRET_CREATE, reason("%s cannot be created (%s); root runs 'telmor-vaq init' once to make "
                                                  "its directory",
                                                  path.c_str(), s.why));
    return Ok();
}

Status ProtectionMarks::begin_move() const {
    if (moving()) return Ok();
    // A mark cut short by a power cut while it was made marks nothing yet.
    FileContent f = host_.read_file(movingPath_);
    const bool cutShort =
        f.state == FileState::kEmpty || (f.state == FileState::kRead && f.bytes.size() < kMarkBytes);
    if (cutShort && (!host_.table().fremove_fn || host_.table().fremove_fn(movingPath_.c_str()) != 0))
        return Fail(VAQ_ERR_SECRET_CREATE, reason("%s is incomplete and cannot be removed", movingPath_.c_str()));
    Status s = create_mark(movingPath_, kMarkMoving);
    if (s.ok() && !moving())
        return Fail(VAQ_ERR_SECRET_UNREADABLE,
                    reason("%s is not a mark this library made; it is left as it is", movingPath_.c_str()));
    return s;
}

void ProtectionMarks::finish_move() const {
    Status s = create_mark(protectedPath_, kMarkProtected);
    if (!s.ok()) {
        log_to(host_, LogLevel::kError, kVaqModule, __FILE_NAME__, __LINE__, "%s\n", s.why);
        return;
    }
    if (host_.exists(movingPath_) &&
        (!host_.table().fremove_fn || host_.table().fremove_fn(movingPath_.c_str()) != 0))
        log_to(host_, LogLevel::kError, kVaqModule, __FILE_NAME__, __LINE__,
               "%s cannot be removed; the next load tries again\n", movingPath_.c_str());
}

void ProtectionMarks::finish_move_left_behind() const {
    if (host_.exists(movingPath_)) finish_move();
}

Status ProtectionMarks::remove_secret() const {
    if (!host_.exists(secretPath_)) return Ok();
    if (host_.table().fremove_fn && host_.table().fremove_fn(secretPath_.c_str()) == 0) {
        log_to(host_, LogLevel::kInfo, kVaqModule, __FILE_NAME__, __LINE__,
               "file protector: node secret %s removed: the keystore is no longer sealed by it\n",
               secretPath_.c_str());
        return Ok();
    }
    Status s = Fail(VAQ_ERR_IO, reason("file protector: node secret %s, which no longer seals the keystore, cannot be "
                                       "removed; remove it by hand",
                                       secretPath_.c_str()));
    log_to(host_, LogLevel::kError, kVaqModule, __FILE_NAME__, __LINE__, "%s\n", s.why);
    return s;
}

}  // namespace vaq
