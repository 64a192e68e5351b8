// SPDX-License-Identifier: Apache-2.0
// The journal's copy of each audit record, in the journal's native protocol
// on its datagram socket: no library to load, and where no journal runs the
// send fails at once and nothing else changes. The copy carries the record's
// MAC, so a trail cut at its end can be told from the journal's copy.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "audit_trail.h"

namespace vaq {

namespace {

constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
// Every audit record carries this MESSAGE_ID, so `journalctl MESSAGE_ID=...`
// finds them all.
constexpr char kMessageId[] = "96d2a98a6638452686bc4ff6164e0b92";

// A value with a line end goes in the protocol's binary form: the name, a
// line end, its length (64 bits, little-endian), the bytes, a line end.
void field(std::string &out, const char *name, const std::string &value) {
    out += name;
    if (value.find('\n') == std::string::npos) {
        out += '=';
        out += value;
        out += '\n';
        return;
    }
    out += '\n';
    uint64_t n = value.size();
    for (int i = 0; i < 8; ++i, n >>= 8) out += static_cast<char>(n & 0xff);
    out += value;
    out += '\n';
}

}  // namespace

std::string journal_fields(const hxb::audit::Record &r) {
    std::string out;
    std::string message = "telmor-vaq audit: " + r.op + " on role " + r.role;
    if (!r.domain.empty()) message += ", domain " + r.domain;
    if (!r.keys.empty()) message += ", keys " + r.keys;
    message += " by " + (r.user.empty() ? "uid " + std::to_string(r.uid) : r.user) + " (" + r.process + "[" +
               std::to_string(r.pid) + "])";
    message += r.result == 0 ? ": done" : ": refused, code " + std::to_string(r.result);
    field(out, "MESSAGE", message);
    field(out, "MESSAGE_ID", kMessageId);
    field(out, "PRIORITY", r.result == 0 ? "5" : "4");
    field(out, "SYSLOG_IDENTIFIER", "telmor-vaq-audit");
    field(out, "TELMOR_VAQ_AUDIT_SEQ", std::to_string(r.seq));
    field(out, "TELMOR_VAQ_AUDIT_EPOCH", std::to_string(r.epoch));
    field(out, "TELMOR_VAQ_AUDIT_TIME", r.time);
    field(out, "TELMOR_VAQ_AUDIT_ROLE", r.role);
    field(out, "TELMOR_VAQ_AUDIT_OP", r.op);
    field(out, "TELMOR_VAQ_AUDIT_DOMAIN", r.domain);
    field(out, "TELMOR_VAQ_AUDIT_KEYS", r.keys);
    field(out, "TELMOR_VAQ_AUDIT_FILE", r.file);
    field(out, "TELMOR_VAQ_AUDIT_USER", r.user);
    field(out, "TELMOR_VAQ_AUDIT_UID", std::to_string(r.uid));
    field(out, "TELMOR_VAQ_AUDIT_PID", std::to_string(r.pid));
    field(out, "TELMOR_VAQ_AUDIT_PROCESS", r.process);
    field(out, "TELMOR_VAQ_AUDIT_RESULT", std::to_string(r.result));
    field(out, "TELMOR_VAQ_AUDIT_DETAIL", r.detail);
    field(out, "TELMOR_VAQ_AUDIT_MAC", hxb::audit::hex(r.mac.data(), r.mac.size()));
    return out;
}

bool send_to_journal(const hxb::audit::Record &r) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, kJournalSocket, sizeof kJournalSocket);
    const std::string fields = journal_fields(r);
    const ssize_t n =
        sendto(fd, fields.data(), fields.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    close(fd);
    return n == static_cast<ssize_t>(fields.size());
}

}  // namespace vaq
