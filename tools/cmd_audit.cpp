// SPDX-License-Identifier: Apache-2.0
// audit: the role's audit trail of key changes. init sets it up and shows the
// verification key once; verify checks a trail offline with that key; show
// lists its records for a person or a script.
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "audit_note.h"
#include "causes.h"
#include "command_table.h"
#include "hxb/audit_verify.h"
#include "session.h"
#include "table.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;
namespace audit = hxb::audit;

// Each role's file names in the key library (its keystore's stem).
struct RoleStem {
    const char *role;
    const char *stem;
};
constexpr RoleStem kStems[] = {{"HXA", "agent"}, {"HXM", "tools"}, {"HXM_CLIENT", "client"}};

// The role's trail, where the key library writes it.
std::string trail_of(const std::string &role) {
    const Role &r = need_role(role);
    for (const RoleStem &s : kStems)
        if (role == s.role) return std::string(r.logDir) + "/" + s.stem + ".audit";
    throw tool_failure("no audit trail for role " + role);
}

// The whole trail, read without following a link.
std::string read_trail(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) throw tool_failure("no audit trail at " + path + ": set it up with 'telmor-vaq audit init'");
        throw tool_failure("cannot read the audit trail " + path + ": " + std::strerror(err));
    }
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            throw tool_failure("cannot read the audit trail " + path + ": " + std::strerror(err));
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

uint32_t count_of(const std::string &flag, const std::string &text) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || errno != 0 || *end != '\0' || v > UINT32_MAX)
        throw UsageError{flag + " needs a number from 0 to 4294967295, not '" + text + "'"};
    return static_cast<uint32_t>(v);
}

int audit_init(const Options &opt) {
    const uint32_t records = opt.epochRecords.empty() ? 1000 : count_of("--epoch-records", opt.epochRecords);
    const uint32_t seconds = opt.epochSeconds.empty() ? 86400 : count_of("--epoch-seconds", opt.epochSeconds);
    if (records == 0 && seconds == 0)
        throw UsageError{"an epoch needs an end: give --epoch-records or --epoch-seconds above 0"};
    Session s(opt.role);
    using InitFn = uint32_t (*)(uint32_t, uint32_t, unsigned char *);
    auto init = reinterpret_cast<InitFn>(dlsym(RTLD_DEFAULT, "VaqPrivAuditInit"));
    if (init == nullptr)
        throw tool_failure(
            "the key library in use keeps no audit trail (VaqPrivAuditInit missing): it is not ours, "
            "or older");
    unsigned char key[32] = {};
    const uint32_t rc = init(records, seconds, key);
    const Context ctx{opt.role, {}, {}, trail_of(opt.role)};
    if (rc != 0) throw failed(rc, "setting up the audit trail of role " + opt.role, ctx);
    const std::string hex = audit::hex(key, sizeof key);
    OPENSSL_cleanse(key, sizeof key);
    std::printf("audit trail of role %s begun: %s\n", opt.role.c_str(), trail_of(opt.role).c_str());
    std::printf("verification key (shown this once; keep it off this node, it verifies every record):\n%s\n",
                hex.c_str());
    return 0;
}

int audit_verify(const Options &opt) {
    if (opt.key.empty()) throw UsageError{"audit verify needs --key KEY, the verification key audit init showed"};
    audit::Key key{};
    if (!audit::unhex(opt.key, key.data(), key.size()))
        throw UsageError{"--key takes the verification key as audit init showed it: 64 hexadecimal digits"};
    const std::string path = opt.args.size() > 1 ? opt.args[1] : trail_of(opt.role);
    const std::string content = read_trail(path);
    const audit::Verdict v = audit::verify_trail(content, key);
    OPENSSL_cleanse(key.data(), key.size());
    for (const std::string &n : v.notes) std::printf("note: %s\n", n.c_str());
    if (v.fault != audit::Fault::kNone) {
        std::fflush(stdout);
        std::fprintf(stderr, "telmor-vaq audit: %s: %s [%s]\n", path.c_str(), v.failure.c_str(),
                     audit::fault_name(v.fault));
        return 1;
    }
    std::printf("%s: %llu records good, seq 0 to %llu, epochs 0 to %llu, the last at %s\n", path.c_str(),
                static_cast<unsigned long long>(v.records), static_cast<unsigned long long>(v.lastSeq),
                static_cast<unsigned long long>(v.lastEpoch), v.lastTime.c_str());
    std::printf(
        "Records removed from the end cannot be told from the file alone: compare the last record (seq %llu) "
        "with the journal's copy (journalctl MESSAGE_ID=96d2a98a6638452686bc4ff6164e0b92) or with central "
        "logging.\n",
        static_cast<unsigned long long>(v.lastSeq));
    return v.cutAtEnd ? 3 : 0;
}

// "2026-12-11", "2026-12-11T10:00", "2026-12-11T10:00:00Z" ...: compared as
// text with the records' times, which share that form.
std::string since_of(const std::string &t) {
    std::string s = t;
    if (!s.empty() && s.back() == 'Z') s.pop_back();
    const std::string form = "0000-00-00T00:00:00";
    bool ok = s.size() >= 10 && s.size() <= form.size();
    for (size_t i = 0; ok && i < s.size(); ++i)
        ok = form[i] == '0' ? (s[i] >= '0' && s[i] <= '9') : (s[i] == form[i] || (i == 10 && s[i] == ' '));
    if (!ok) throw UsageError{"--since takes a UTC time as YYYY-MM-DD[THH:MM[:SS]]"};
    if (s.size() > 10) s[10] = 'T';
    return s;
}

Json record_json(const audit::Record &r) {
    Json j;
    j["seq"] = r.seq;
    j["epoch"] = r.epoch;
    j["time"] = r.time;
    j["node"] = r.node;
    j["role"] = r.role;
    j["uid"] = r.uid;
    j["user"] = r.user;
    j["pid"] = r.pid;
    j["process"] = r.process;
    j["operation"] = r.op;
    j["domain"] = r.domain.empty() ? Json(nullptr) : Json(std::stoul(r.domain));
    Json keys = Json::array();
    for (size_t at = 0; at < r.keys.size();) {
        const size_t comma = r.keys.find(',', at);
        keys.push_back(std::stoul(r.keys.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
        at = comma == std::string::npos ? r.keys.size() : comma + 1;
    }
    j["keys"] = keys;
    j["file"] = r.file;
    j["result"] = r.result;
    j["detail"] = r.detail;
    return j;
}

// Encryptions per (domain, key) from the usage records: each names one key
// and the encryptions of one process since its previous record.
std::map<std::pair<std::string, uint32_t>, unsigned long long> usage_sums(const std::vector<audit::Record> &records) {
    std::map<std::pair<std::string, uint32_t>, unsigned long long> sums;
    for (const audit::Record &r : records) {
        if (r.op != "usage" || r.keys.empty() || r.keys.find(',') != std::string::npos) continue;
        unsigned long long n = 0;
        if (std::sscanf(r.detail.c_str(), "encryptions=%llu", &n) != 1) continue;
        sums[{r.domain, static_cast<uint32_t>(std::stoul(r.keys))}] += n;
    }
    return sums;
}

int audit_show(const Options &opt) {
    const std::string path = opt.args.size() > 1 ? opt.args[1] : trail_of(opt.role);
    const std::string since = opt.since.empty() ? "" : since_of(opt.since);
    std::vector<audit::Record> records = audit::read_records(read_trail(path));
    std::erase_if(records,
                  [&](const audit::Record &r) { return !since.empty() && r.time.substr(0, since.size()) < since; });
    if (opt.usage) {
        const auto sums = usage_sums(records);
        if (opt.json) {
            Json out = Json::array();
            for (const auto &[k, n] : sums)
                out.push_back({{"domain", k.first.empty() ? Json(nullptr) : Json(std::stoul(k.first))},
                               {"key", k.second},
                               {"encryptions", n}});
            write_out(out.dump(2) + "\n");
            return 0;
        }
        std::printf("%-8s %-12s %s\n", "DOMAIN", "KEY", "ENCRYPTIONS");
        for (const auto &[k, n] : sums) std::printf("%-8s %-12u %llu\n", k.first.c_str(), k.second, n);
        return 0;
    }
    if (opt.json) {
        Json out = Json::array();
        for (const audit::Record &r : records) out.push_back(record_json(r));
        write_out(out.dump(2) + "\n");
        return 0;
    }
    for (const audit::Record &r : records) {
        std::string line = std::to_string(r.seq) + " " + r.time + " " + r.op;
        if (!r.domain.empty()) line += " domain " + r.domain;
        if (!r.keys.empty()) line += " keys " + r.keys;
        if (!r.file.empty()) line += " file " + r.file;
        line += " by " + (r.user.empty() ? "?" : r.user) + " (uid " + std::to_string(r.uid) + ", " + r.process + "[" +
                std::to_string(r.pid) + "] on " + r.node + ")";
        line += r.result == 0 ? ": done" : ": refused, code " + std::to_string(r.result);
        if (!r.detail.empty()) line += " (" + r.detail + ")";
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

int cmd_audit(const Options &opt) {
    const std::string &action = opt.args.at(0);
    if (opt.args.size() > (action == "init" ? 1u : 2u))
        throw UsageError{"audit " + action + (action == "init" ? " takes no FILE" : " takes one FILE at most")};
    if (action == "init") return audit_init(opt);
    if (action == "verify") return audit_verify(opt);
    if (action == "show") return audit_show(opt);
    throw UsageError{"audit takes init, verify or show, not '" + action + "'"};
}

const CommandRegistrar reg{
    {"audit",
     "Keystore",
     95,
     "the role's audit trail of key changes: init, verify, show",
     "Every key change and every refused change of the role, from the tool and from the role's processes,\n"
     "leaves a record in the role's audit trail (LOGDIR/STEM.audit): who (uid, user, process), when (UTC),\n"
     "what (operation, domain, key ids, file) and the result. Each record carries a MAC chained on the one\n"
     "before, under a key that steps forward each epoch and forgets the one before, so whoever takes the\n"
     "node over later cannot rewrite earlier records unseen. 'audit init' sets the trail up and shows the\n"
     "verification key once: keep it off the node. From then on a change whose record cannot be written\n"
     "is refused and changes nothing. 'audit verify' checks a trail offline with that key and names the\n"
     "first record that fails and why: exit status 0 when every record is good, 1 at the first failure, 3\n"
     "when only the last record is cut short (a crash; the next change repairs it). 'audit show' lists the\n"
     "records (--since, --json), or with --usage the encryptions counted per key.",
     {Opt::Role, Opt::AuditKey, Opt::Json, Opt::Since, Opt::Usage, Opt::EpochRecords, Opt::EpochSeconds},
     {{"ACTION",
       "init, verify or show; verify and show take a FILE after it, a copy of the trail to read instead of "
       "the role's own",
       true, true}},
     {{"audit init --role HXA", "set the trail up; note the verification key it shows, off the node"},
      {"audit verify --role HXA --key 0123...cdef", "check the role's trail with the verification key"},
      {"audit show --role HXA --since 2026-12-01", "who changed which keys since the first of December"}},
     cmd_audit}};

}  // namespace

std::vector<std::string> usage_warnings(const std::string &role) {
    std::vector<std::string> out;
    std::string content;
    try {
        content = read_trail(trail_of(role));
    } catch (const Failure &) {
        return out;
    }
    constexpr unsigned long long kWarnAt = 1ull << 30;
    for (const auto &[k, n] : usage_sums(audit::read_records(content)))
        if (n > kWarnAt)
            out.push_back("key " + std::to_string(k.second) + " of domain " + k.first + " has made " +
                          std::to_string(n) +
                          " encryptions, past 2^30: texts under random nonces must stay far below 2^32 per key; "
                          "make a new active key ('telmor-vaq create-key --role " +
                          role + " --domain " + k.first + "') and rewrap the stored texts");
    return out;
}

}  // namespace cli
