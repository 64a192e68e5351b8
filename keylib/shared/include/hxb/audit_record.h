/* SPDX-License-Identifier: Apache-2.0 */
// The audit trail's record, its MAC chain and its key evolution: written by
// the key library, read back by the tool's verify and show.
//
// A trail is a text file of lines, one record each:
//   seq=N epoch=E time=YYYY-MM-DDTHH:MM:SSZ node=.. role=.. uid=.. user=..
//   pid=.. process=.. op=.. domain=.. keys=.. file=.. result=.. detail=..
//   prev=<64 hex> mac=<64 hex>
// fields in that order, separated by one blank, values escaped (%XX for any
// byte outside [A-Za-z0-9._:/,@+=-]; "-" stands for no value). `mac` is
// HMAC-SHA256 under the epoch's key over everything before " mac=", which
// holds `prev`, the MAC of the record before (zeros for the first), so every
// record seals the whole history before it.
//
// Keys: the verification key V (32 random bytes, shown once, kept off the
// node) gives epoch 0's key k0 = HMAC(V, "telmor-vaq audit epoch 0"). An
// epoch ends by a one-way step k(e+1) = HMAC(k(e), "telmor-vaq audit step" ||
// be64(e+1) || MAC of epoch e's last record), and the first record of epoch
// e+1 is an "epoch" record. Binding the step to the last MAC means whoever
// holds a later key cannot make an earlier epoch end anywhere else: a record
// moved or re-sealed with a later key breaks the chain of keys too.
#ifndef HXB_AUDIT_RECORD_H
#define HXB_AUDIT_RECORD_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace hxb::audit {

using Mac = std::array<uint8_t, 32>;
using Key = std::array<uint8_t, 32>;

// Longest record line the writer makes; a longer line is not one of ours.
inline constexpr size_t kMaxLineBytes = 4096;
// A file or detail longer than this is cut (with "..." at its end) so that
// every record fits kMaxLineBytes.
inline constexpr size_t kMaxValueBytes = 1024;

// Operations that the trail itself writes.
inline constexpr char kOpInit[] = "audit-init";
inline constexpr char kOpEpoch[] = "epoch";
inline constexpr char kOpRepair[] = "repair";

struct Record {
    uint64_t seq = 0;
    uint64_t epoch = 0;
    std::string time;  // UTC, YYYY-MM-DDTHH:MM:SSZ
    std::string node;
    std::string role;
    uint32_t uid = 0;
    std::string user;
    int64_t pid = 0;
    std::string process;
    std::string op;
    std::string domain;  // decimal, or empty
    std::string keys;    // decimal ids joined by ',', or empty
    std::string file;
    uint32_t result = 0;
    std::string detail;
    Mac prev{};
    Mac mac{};
};

// The record's text before " mac=": what its MAC covers.
std::string sealed_text(const Record &r);
// The whole line, with its MAC and line end.
std::string line_of(const Record &r);
// Computes r.mac under key over sealed_text(r). False when OpenSSL fails.
bool seal(const Key &key, Record &r);
// Whether r.mac is right for key.
bool sealed_by(const Key &key, const Record &r);

// Parses one line (without its line end). On failure, why says what is wrong.
bool parse(std::string_view line, Record &out, std::string &why);

bool first_key(const Key &verification, Key &out);
bool step_key(const Key &current, uint64_t nextEpoch, const Mac &lastMac, Key &out);

// UTC time of seconds since the epoch, as records write it.
std::string utc_text(int64_t seconds);

std::string hex(const uint8_t *bytes, size_t size);
bool unhex(std::string_view text, uint8_t *out, size_t size);

// The key file of a trail's writer: the running epoch's key and where the
// epoch began. Fixed size, so that it is rewritten in place; its digest tells
// a torn write from a whole one.
struct KeyState {
    uint64_t epoch = 0;
    uint64_t epochStartSeq = 0;  // seq of the epoch's first record
    int64_t epochStartTime = 0;  // seconds since the epoch
    uint32_t recordsPerEpoch = 0;
    uint32_t secondsPerEpoch = 0;
    Key key{};
};
inline constexpr size_t kKeyFileBytes = 128;
void encode_key_file(const KeyState &k, uint8_t (&out)[kKeyFileBytes]);
bool decode_key_file(const uint8_t *bytes, size_t size, KeyState &out);

}  // namespace hxb::audit

#endif
