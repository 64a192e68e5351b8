// SPDX-License-Identifier: Apache-2.0
#include "hxb/audit_verify.h"

#include <openssl/crypto.h>

#include <optional>

namespace hxb::audit {

namespace {

struct Line {
    size_t offset;
    std::string_view text;  // without its line end
    bool whole;             // ended by a line end
};

std::vector<Line> lines_of(std::string_view content) {
    std::vector<Line> out;
    size_t at = 0;
    while (at < content.size()) {
        const size_t end = content.find('\n', at);
        if (end == std::string_view::npos) {
            out.push_back({at, content.substr(at), false});
            break;
        }
        out.push_back({at, content.substr(at, end - at), true});
        at = end + 1;
    }
    return out;
}

std::optional<Record> parsed(const Line &l) {
    if (!l.whole) return std::nullopt;
    Record r;
    std::string why;
    if (!parse(l.text, r, why)) return std::nullopt;
    return r;
}

bool same(const Mac &a, const Mac &b) { return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0; }

// The repair record a writer leaves after what a crash cut: "cut=A+L", the
// L bytes from A (where the last whole record ended) to the end of the file
// as it found it, which it then ended with a line end unless they had one.
bool repairs(const Record &r, const Line &first, const Line &at) {
    if (r.op != kOpRepair) return false;
    const std::string prefix = "cut=" + std::to_string(first.offset) + "+";
    if (r.detail.rfind(prefix, 0) != 0) return false;
    const std::string rest = r.detail.substr(prefix.size());
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos) return false;
    const size_t end = first.offset + std::stoull(rest);
    return at.offset == end || at.offset == end + 1;
}

}  // namespace

const char *fault_name(Fault f) {
    switch (f) {
        case Fault::kNone:
            return "none";
        case Fault::kChanged:
            return "changed";
        case Fault::kRemoved:
            return "removed";
        case Fault::kInserted:
            return "inserted";
        case Fault::kReordered:
            return "reordered";
        case Fault::kOtherEpoch:
            return "other-epoch";
        case Fault::kCut:
            return "cut";
        case Fault::kBadStart:
            return "bad-start";
    }
    return "?";
}

std::vector<Record> read_records(std::string_view content) {
    std::vector<Record> out;
    for (const Line &l : lines_of(content))
        if (auto r = parsed(l)) out.push_back(std::move(*r));
    return out;
}

Verdict verify_trail(std::string_view content, const Key &verification) {
    Verdict v;
    const std::vector<Line> lines = lines_of(content);
    std::vector<std::optional<Record>> recs;
    recs.reserve(lines.size());
    for (const Line &l : lines) recs.push_back(parsed(l));

    // The keys of every epoch as the file's epoch records lead to them: a
    // record whose MAC fails under its own epoch's key is tried under these,
    // to say it was sealed with another's.
    std::vector<Key> keys(1);
    if (!first_key(verification, keys[0])) {
        v.fault = Fault::kChanged;
        v.failure = "the MAC could not be computed (OpenSSL failed)";
        return v;
    }
    for (const auto &r : recs)
        if (r && r->op == kOpEpoch && r->epoch == keys.size()) {
            Key next{};
            if (!step_key(keys.back(), r->epoch, r->prev, next)) break;
            keys.push_back(next);
        }

    uint64_t expectSeq = 0;
    uint64_t epoch = 0;
    Key key = keys[0];
    Mac prevMac{};
    auto fail = [&](size_t i, Fault f, const std::string &why) {
        v.fault = f;
        std::string where = "record " + std::to_string(i + 1);
        if (recs[i]) where += " (seq " + std::to_string(recs[i]->seq);
        where += (recs[i] ? ", byte " : " (byte ") + std::to_string(lines[i].offset) + ")";
        v.failure = where + ": " + why;
        OPENSSL_cleanse(key.data(), key.size());
        for (Key &k : keys) OPENSSL_cleanse(k.data(), k.size());
        return v;
    };
    // Whether line j would continue the chain where line i stands: then i
    // does not belong there.
    auto chains_here = [&](size_t j) {
        return j < recs.size() && recs[j] && recs[j]->seq == expectSeq && same(recs[j]->prev, prevMac);
    };

    for (size_t i = 0; i < lines.size(); ++i) {
        const Line &l = lines[i];
        if (!l.whole) {
            v.cutAtEnd = true;
            v.notes.push_back("the last record (" + std::to_string(l.text.size()) + " bytes at byte " +
                              std::to_string(l.offset) +
                              ") is cut short: a write that did not finish; the next change repairs it");
            break;
        }
        if (!recs[i]) {
            size_t j = i + 1;
            while (j < lines.size() && lines[j].whole && !recs[j]) ++j;
            if (j < lines.size() && recs[j] && repairs(*recs[j], l, lines[j])) {
                v.notes.push_back("a record cut short by a crash (" + std::to_string(lines[j].offset - l.offset - 1) +
                                  " bytes at byte " + std::to_string(l.offset) + ") was repaired by seq " +
                                  std::to_string(recs[j]->seq));
                i = j - 1;
                continue;
            }
            Record probe;
            std::string why;
            parse(l.text, probe, why);
            return fail(i, Fault::kCut,
                        "not a whole record (" + why +
                            "): a record cut in the middle or bytes changed, and no repair record follows it");
        }
        const Record &r = *recs[i];
        // Out of sequence: what is missing or misplaced says more than its
        // MAC would.
        if (r.seq < expectSeq) {
            if (chains_here(i + 1))
                return fail(
                    i, Fault::kInserted,
                    "inserted: seq " + std::to_string(r.seq) + " again, after seq " + std::to_string(expectSeq - 1));
            return fail(i, Fault::kReordered,
                        "out of order: seq " + std::to_string(r.seq) + " after seq " + std::to_string(expectSeq - 1));
        }
        if (r.seq > expectSeq) {
            for (size_t j = i + 1; j < recs.size(); ++j)
                if (recs[j] && recs[j]->seq == expectSeq)
                    return fail(i, Fault::kReordered,
                                "out of order: seq " + std::to_string(expectSeq) + " comes later in the file");
            return fail(i, Fault::kRemoved,
                        r.seq == expectSeq + 1 ? "seq " + std::to_string(expectSeq) + " before it was removed"
                                               : "seq " + std::to_string(expectSeq) + " to " +
                                                     std::to_string(r.seq - 1) + " before it were removed");
        }
        const bool opensEpoch = r.epoch == epoch + 1 && r.op == kOpEpoch;
        if (r.epoch != epoch && !opensEpoch) {
            if (chains_here(i + 1))
                return fail(i, Fault::kInserted, "inserted: the record after it follows on the one before it");
            return fail(i, Fault::kOtherEpoch,
                        "sealed for epoch " + std::to_string(r.epoch) + " where epoch " + std::to_string(epoch) +
                            " runs: a record moved, or re-sealed with another epoch's key");
        }
        if (r.op == kOpEpoch && !opensEpoch)
            return fail(i, Fault::kOtherEpoch, "an epoch record that does not begin a new epoch");
        Key k = key;
        if (opensEpoch && !step_key(key, r.epoch, prevMac, k))
            return fail(i, Fault::kChanged, "the MAC could not be computed");
        const bool newEpoch = opensEpoch;
        if (!sealed_by(k, r)) {
            OPENSSL_cleanse(k.data(), k.size());
            if (chains_here(i + 1))
                return fail(i, Fault::kInserted, "inserted: the record after it follows on the one before it");
            for (size_t e = 0; e < keys.size(); ++e)
                if (e != r.epoch && sealed_by(keys[e], r))
                    return fail(i, Fault::kOtherEpoch,
                                "sealed with epoch " + std::to_string(e) + "'s key, not with the key of its epoch " +
                                    std::to_string(r.epoch) + ": re-sealed");
            if (!same(r.prev, prevMac))
                return fail(i, Fault::kRemoved,
                            "does not chain on the record before it, nor verify: records before it were removed "
                            "or replaced, or its bytes changed");
            if (expectSeq == 0)
                return fail(i, Fault::kChanged,
                            "does not verify under this key: the wrong verification key, or the record changed");
            return fail(i, Fault::kChanged, "changed: its MAC does not match its bytes");
        }
        if (!same(r.prev, prevMac))
            return fail(i, Fault::kRemoved,
                        "does not chain on the record before it: records before it were removed, replaced or "
                        "reordered");
        if (r.seq == 0 && r.op != kOpInit) return fail(i, Fault::kBadStart, "the trail does not begin with audit-init");
        if (newEpoch) {
            key = k;
            epoch = r.epoch;
        }
        OPENSSL_cleanse(k.data(), k.size());
        prevMac = r.mac;
        ++expectSeq;
        ++v.records;
        v.lastSeq = r.seq;
        v.lastEpoch = r.epoch;
        v.lastTime = r.time;
    }
    if (v.records == 0 && v.fault == Fault::kNone) {
        v.fault = Fault::kBadStart;
        v.failure = "no whole record: the trail is empty or cut before its first record";
    }
    OPENSSL_cleanse(key.data(), key.size());
    for (Key &k : keys) OPENSSL_cleanse(k.data(), k.size());
    return v;
}

}  // namespace hxb::audit
