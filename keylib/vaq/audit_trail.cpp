// SPDX-License-Identifier: Apache-2.0
#include "audit_trail.h"

#include <openssl/crypto.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "log.h"
#include "node_layout.h"
#include "protector.h"

namespace vaq {

namespace audit = hxb::audit;

namespace {

// Far more than any record (kMaxLineBytes): the tail always holds the last
// whole record and whatever a crash cut after it.
constexpr int64_t kTailBytes = 64 * 1024;

struct RoleTrail {
    const char *stem;
    const node_layout::RoleLayout &role;
};
constexpr RoleTrail kRoleTrails[] = {
    {"agent", node_layout::kAgent},
    {"tools", node_layout::kTools},
    {"client", node_layout::kClient},
};

// Who is making the change. The user's name is looked up once per process:
// a change is rare, but its record must not wait on a directory service
// twice.
struct Who {
    std::string node;
    uint32_t uid = 0;
    std::string user;
};
const Who &who() {
    static std::once_flag once;
    static Who w;
    std::call_once(once, [] {
        struct utsname u {};
        if (uname(&u) == 0) w.node = u.nodename;
        w.uid = static_cast<uint32_t>(getuid());
        struct passwd pw {};
        struct passwd *found = nullptr;
        char buf[1024];
        if (getpwuid_r(w.uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) w.user = found->pw_name;
    });
    return w;
}

// One host file handle for a scope.
class TrailFile {
public:
    TrailFile(const VaqHostServices &t, void *h) : t_(t), h_(h) {}
    ~TrailFile() {
        if (h_) t_.fclose_fn(h_);
    }
    TrailFile(const TrailFile &) = delete;
    TrailFile &operator=(const TrailFile &) = delete;
    void *get() const { return h_; }

private:
    const VaqHostServices &t_;
    void *h_;
};

int host_errno(const VaqHostServices &t) { return t.ferrno_fn ? t.ferrno_fn(nullptr) : 0; }

// The last whole record of the tail that parses, and where it ends.
struct Tail {
    bool found = false;
    audit::Record last;
    int64_t lastEnd = 0;  // file offset just after its line end
};

Tail scan_tail(const std::string &buf, int64_t start) {
    Tail t;
    size_t end = buf.rfind('\n');
    while (end != std::string::npos) {
        const size_t begin = end == 0 ? std::string::npos : buf.rfind('\n', end - 1);
        const size_t from = begin == std::string::npos ? 0 : begin + 1;
        // A line that starts at the tail's cut-off may have lost its head.
        if (begin == std::string::npos && start > 0) break;
        std::string why;
        if (audit::parse(std::string_view(buf).substr(from, end - from), t.last, why)) {
            t.found = true;
            t.lastEnd = start + static_cast<int64_t>(end) + 1;
            return t;
        }
        if (begin == std::string::npos) break;
        end = begin;
    }
    return t;
}

Status write_fail(int err, const char *what) {
    if (err == ENOSPC)
        return Fail(VAQ_ERR_AUDIT_WRITE, reason("%s not written: no space left on device; nothing changed", what));
    return Fail(VAQ_ERR_AUDIT_WRITE, reason("%s not written: %s; nothing changed", what, std::strerror(err)));
}

}  // namespace

AuditTrail::AuditTrail(const Host &host, const std::string &primaryPath) : host_(host), primary_(primaryPath) {
    stem_ = keystore_stem(primaryPath);
    role_ = stem_;
    std::string dir;
    for (const RoleTrail &r : kRoleTrails)
        if (stem_ == r.stem) {
            role_ = r.role.role;
            dir = r.role.logDir;
        }
    if (dir.empty()) {
        const size_t slash = primaryPath.rfind('/');
        dir = slash == std::string::npos ? "." : primaryPath.substr(0, slash);
    }
    trail_ = dir + "/" + stem_ + ".audit";
    secretDir_ = std::string(kNodeSecretDir) + "/" + stem_;
    keySlots_[0] = secretDir_ + "/" + stem_ + ".audit-key.0";
    keySlots_[1] = secretDir_ + "/" + stem_ + ".audit-key.1";
}

bool AuditTrail::set_up() const {
    return host_.exists(trail_) || host_.exists(keySlots_[0]) || host_.exists(keySlots_[1]);
}

Status AuditTrail::load_key(audit::KeyState &out, int &slot) const {
    bool any = false, unsafe = false, found = false;
    audit::KeyState best;
    int other = -1;
    for (int i = 0; i < 2; ++i) {
        FileContent c = host_.read_file(keySlots_[i]);
        if (c.state == FileState::kMissing) continue;
        any = true;
        if (c.state == FileState::kUnsafe) unsafe = true;
        audit::KeyState k;
        if (c.state != FileState::kRead || !audit::decode_key_file(c.bytes.data(), c.bytes.size(), k)) continue;
        if (!found || k.epoch > best.epoch) {
            if (found) other = slot;
            best = k;
            slot = i;
            found = true;
        } else {
            other = i;
        }
        OPENSSL_cleanse(k.key.data(), k.key.size());
    }
    if (!found) {
        if (unsafe) return Fail(VAQ_ERR_AUDIT_KEY, "the audit key is not safe to use (a link, or another's file)");
        if (any) return Fail(VAQ_ERR_AUDIT_KEY, "the audit key is damaged; nothing changed");
        return Fail(VAQ_ERR_AUDIT_KEY, "the audit key is missing beside the role's audit trail; nothing changed");
    }
    // A step cut short between storing the new key and erasing the old.
    if (other >= 0) erase_slot(other);
    out = best;
    OPENSSL_cleanse(best.key.data(), best.key.size());
    return Ok();
}

Status AuditTrail::store_key(const audit::KeyState &k) const {
    uint8_t image[audit::kKeyFileBytes];
    audit::encode_key_file(k, image);
    Status s = host_.write_file(keySlots_[k.epoch % 2], ByteView(image, sizeof image));
    OPENSSL_cleanse(image, sizeof image);
    return s;
}

void AuditTrail::erase_slot(int slot) const {
    // Overwritten before it goes, so the old key is not left in the file's
    // blocks for whoever reads the device later (as far as the file system
    // writes in place).
    const uint8_t zeros[audit::kKeyFileBytes] = {};
    if (!host_.write_file(keySlots_[slot], ByteView(zeros, sizeof zeros)).ok())
        VAQ_KLOG(LogLevel::kError, "audit: the previous epoch's key %s could not be overwritten\n",
                 keySlots_[slot].c_str());
    if (!host_.table().fremove_fn || host_.table().fremove_fn(keySlots_[slot].c_str()) != 0)
        VAQ_KLOG(LogLevel::kError, "audit: the previous epoch's key %s could not be removed\n",
                 keySlots_[slot].c_str());
}

audit::Record AuditTrail::base_record(const AuditEvent &event, uint32_t result) const {
    audit::Record r;
    r.time = audit::utc_text(now_seconds());
    const Who &w = who();
    r.node = w.node;
    r.role = role_;
    r.uid = w.uid;
    r.user = w.user;
    r.pid = static_cast<int64_t>(getpid());
    r.process = program_invocation_short_name;
    r.op = event.op;
    if (event.domain) r.domain = std::to_string(*event.domain);
    for (size_t i = 0; i < event.keys.size(); ++i) r.keys += (i ? "," : "") + std::to_string(event.keys[i]);
    r.file = event.file;
    r.result = result;
    r.detail = event.detail;
    return r;
}

Status AuditTrail::append(const AuditEvent &event, uint32_t result) const {
    audit::KeyState k;
    int slot = 0;
    Status s = load_key(k, slot);
    if (!s.ok()) return s;
    struct Wipe {
        audit::KeyState &k;
        ~Wipe() { OPENSSL_cleanse(k.key.data(), k.key.size()); }
    } wipe{k};
    if (!host_.exists(trail_))
        return Fail(VAQ_ERR_AUDIT_TRAIL, reason("the audit trail %s is missing; nothing changed", trail_.c_str()));
    const VaqHostServices &t = host_.table();
    TrailFile f(t, t.fopen_fn(trail_.c_str(), VAQ_FILE_READ_WRITE));
    if (!f.get()) {
        const int err = host_errno(t);
        if (err == ELOOP || err == EPERM)
            return Fail(VAQ_ERR_AUDIT_TRAIL,
                        reason("the audit trail %s is not safe to use (a link, or another's file)", trail_.c_str()));
        return Fail(VAQ_ERR_AUDIT_TRAIL, reason("the audit trail %s cannot be opened: %s; nothing changed",
                                                trail_.c_str(), std::strerror(err)));
    }
    const int64_t size = t.fseek_fn(f.get(), 0, VAQ_SEEK_END);
    const int64_t start = size > kTailBytes ? size - kTailBytes : 0;
    std::string buf(static_cast<size_t>(size - start), '\0');
    if (size < 0 || t.fseek_fn(f.get(), start, VAQ_SEEK_SET) != start ||
        (!buf.empty() && t.fread_fn(buf.data(), buf.size(), f.get()) != 1))
        return Fail(VAQ_ERR_AUDIT_TRAIL, reason("the audit trail %s cannot be read", trail_.c_str()));
    Tail tail = scan_tail(buf, start);
    if (!tail.found)
        return Fail(VAQ_ERR_AUDIT_TRAIL,
                    reason("the audit trail %s ends in no whole record; see telmor-vaq audit verify", trail_.c_str()));
    const int64_t now = now_seconds();
    // A step cut short after its epoch record was written.
    if (tail.last.epoch == k.epoch + 1 && tail.last.op == audit::kOpEpoch) {
        audit::KeyState n = k;
        if (!audit::step_key(k.key, tail.last.epoch, tail.last.prev, n.key))
            return Fail(VAQ_ERR_CRYPTO, "audit key step failed");
        n.epoch = tail.last.epoch;
        n.epochStartSeq = tail.last.seq;
        n.epochStartTime = now;
        s = store_key(n);
        if (!s.ok()) return Fail(VAQ_ERR_AUDIT_WRITE, reason("the audit key could not be stored: %s", s.why));
        erase_slot(slot);
        k = n;
        OPENSSL_cleanse(n.key.data(), n.key.size());
    } else if (tail.last.epoch != k.epoch) {
        return Fail(VAQ_ERR_AUDIT_KEY, "the audit key is not of the trail's last epoch; nothing changed");
    }
    if (!audit::sealed_by(k.key, tail.last))
        return Fail(VAQ_ERR_AUDIT_TRAIL,
                    reason("the last record of %s does not verify under the node's audit key; see telmor-vaq "
                           "audit verify; nothing changed",
                           trail_.c_str()));

    audit::Mac prev = tail.last.mac;
    uint64_t seq = tail.last.seq + 1;
    std::string prefix;
    std::vector<audit::Record> told;  // for the journal, once written
    const int64_t cut = size - tail.lastEnd;
    if (cut > 0) {
        // A writer stopped mid-record: the bytes stay (nothing here can
        // shorten a file), ended by a line end and named by a record.
        if (buf.back() != '\n') prefix = "\n";
        AuditEvent repair{
            audit::kOpRepair, {}, {}, {}, "cut=" + std::to_string(tail.lastEnd) + "+" + std::to_string(cut)};
        audit::Record r = base_record(repair, 0);
        r.seq = seq++;
        r.epoch = k.epoch;
        r.prev = prev;
        if (!audit::seal(k.key, r)) return Fail(VAQ_ERR_CRYPTO, "audit MAC failed");
        prev = r.mac;
        prefix += audit::line_of(r);
        told.push_back(r);
        VAQ_KLOG(LogLevel::kWarn, "audit: a record cut short (%lld bytes at byte %lld of %s) repaired by seq %llu\n",
                 static_cast<long long>(cut), static_cast<long long>(tail.lastEnd), trail_.c_str(),
                 static_cast<unsigned long long>(r.seq));
    }
    const bool due = (k.recordsPerEpoch != 0 && seq - k.epochStartSeq >= k.recordsPerEpoch) ||
                     (k.secondsPerEpoch != 0 && now - k.epochStartTime >= static_cast<int64_t>(k.secondsPerEpoch));
    audit::KeyState next = k;
    struct WipeNext {
        audit::KeyState &k;
        ~WipeNext() { OPENSSL_cleanse(k.key.data(), k.key.size()); }
    } wipeNext{next};
    if (due) {
        if (!audit::step_key(k.key, k.epoch + 1, prev, next.key)) return Fail(VAQ_ERR_CRYPTO, "audit key step failed");
        next.epoch = k.epoch + 1;
        next.epochStartSeq = seq;
        next.epochStartTime = now;
        AuditEvent step{audit::kOpEpoch, {}, {}, {}, "after epoch " + std::to_string(k.epoch)};
        audit::Record r = base_record(step, 0);
        r.seq = seq++;
        r.epoch = next.epoch;
        r.prev = prev;
        if (!audit::seal(next.key, r)) return Fail(VAQ_ERR_CRYPTO, "audit MAC failed");
        prev = r.mac;
        prefix += audit::line_of(r);
        told.push_back(r);
    }
    if (!prefix.empty()) {
        if (t.fseek_fn(f.get(), 0, VAQ_SEEK_END) < 0 || t.fwrite_fn(prefix.data(), prefix.size(), f.get()) != 1)
            return write_fail(host_errno(t), "audit record");
        for (const audit::Record &p : told) send_to_journal(p);
    }
    if (due) {
        // The new epoch's record is on disk before its key: a crash between
        // them is finished by the next writer from the record.
        s = store_key(next);
        if (!s.ok()) return Fail(VAQ_ERR_AUDIT_WRITE, reason("the audit key could not be stored: %s", s.why));
        erase_slot(slot);
        k = next;
    }
    audit::Record r = base_record(event, result);
    r.seq = seq;
    r.epoch = k.epoch;
    r.prev = prev;
    if (!audit::seal(k.key, r)) return Fail(VAQ_ERR_CRYPTO, "audit MAC failed");
    const std::string line = audit::line_of(r);
    if (t.fseek_fn(f.get(), 0, VAQ_SEEK_END) < 0 || t.fwrite_fn(line.data(), line.size(), f.get()) != 1)
        return write_fail(host_errno(t), "audit record");
    send_to_journal(r);
    return Ok();
}

Status AuditTrail::init(uint32_t recordsPerEpoch, uint32_t secondsPerEpoch, audit::Key &verification) const {
    if (secret_directory(host_, primary_) != secretDir_ || !host_.exists(secretDir_))
        return Fail(
            VAQ_ERR_AUDIT_SET_UP,
            reason("the role's secret directory %s is not made yet: run telmor-vaq init first", secretDir_.c_str()));
    FileContent existing = host_.read_file(trail_);
    if (existing.state == FileState::kRead)
        return Fail(VAQ_ERR_AUDIT_SET_UP,
                    reason("the audit trail %s holds records already; it is never begun again over them (move it "
                           "aside to begin a new trail)",
                           trail_.c_str()));
    if (existing.state == FileState::kUnsafe || existing.state == FileState::kUnreadable ||
        existing.state == FileState::kTooLarge)
        return Fail(VAQ_ERR_AUDIT_TRAIL,
                    reason("the audit trail %s is not safe to use or cannot be read", trail_.c_str()));
    audit::KeyState k;
    k.recordsPerEpoch = recordsPerEpoch;
    k.secondsPerEpoch = secondsPerEpoch;
    k.epochStartTime = now_seconds();
    audit::Key v{};
    Status s = host_.entropy(v.data(), v.size());
    if (s.ok() && !audit::first_key(v, k.key)) s = Fail(VAQ_ERR_CRYPTO, "audit key derivation failed");
    struct Wipe {
        audit::Key &v;
        audit::KeyState &k;
        ~Wipe() {
            OPENSSL_cleanse(v.data(), v.size());
            OPENSSL_cleanse(k.key.data(), k.key.size());
        }
    } wipe{v, k};
    if (!s.ok()) return s;
    // Any key of an earlier, abandoned set-up goes first.
    for (int i = 0; i < 2; ++i)
        if (host_.exists(keySlots_[i])) erase_slot(i);
    s = store_key(k);
    if (!s.ok()) return s;
    AuditEvent first{audit::kOpInit,
                     {},
                     {},
                     trail_,
                     "records-per-epoch=" + std::to_string(recordsPerEpoch) +
                         " seconds-per-epoch=" + std::to_string(secondsPerEpoch)};
    audit::Record r = base_record(first, 0);
    if (!audit::seal(k.key, r)) return Fail(VAQ_ERR_CRYPTO, "audit MAC failed");
    const std::string line = audit::line_of(r);
    s = host_.write_file(trail_, ByteView(reinterpret_cast<const uint8_t *>(line.data()), line.size()),
                         VAQ_FILE_READ_WRITE);
    if (!s.ok()) return s;
    send_to_journal(r);
    verification = v;
    return Ok();
}

}  // namespace vaq
