// SPDX-License-Identifier: Apache-2.0
#include "arrival.h"

#include <dlfcn.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

#include "causes.h"
#include "export_header.h"
#include "file_safety.h"
#include "secret_io.h"
#include "session.h"
#include "telmor_vaq_api.h"
#include "vaq_private.h"

namespace cli {

namespace {

using ArriveFn = uint32_t (*)(uint32_t how, const char *file, const unsigned char *password, uint32_t passwordLen,
                              const VaqPrivArrivalRules *rules, VaqPrivArrivalReport *report);

// Enough for every domain's notes and a full keystore's worth of keys.
constexpr uint32_t kNoteRoom = 32768;

std::string utc(int64_t t) {
    const time_t at = static_cast<time_t>(t);
    struct tm tm {};
    char text[32] = "an unknown time";
    if (t > 0 && gmtime_r(&at, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string made_text(int64_t made) {
    return made != 0 ? "made " + utc(made) : "which does not say when it was made (an export of an older version)";
}

// The lines for what was left out or brought back, one per key or domain.
void print_exceptions(const std::vector<VaqPrivArrivalNote> &notes, const std::string &file, int64_t made,
                      const std::string &command) {
    for (const VaqPrivArrivalNote &n : notes) {
        const std::string key = std::to_string(n.keyId);
        const std::string domain = std::to_string(n.domain);
        switch (n.what) {
            case VAQ_PRIV_NOTE_HELD_BACK:
                std::printf("key %s of domain %s was deleted on this node on %s: not added back (to bring it back, "
                            "inactive: telmor-vaq %s %s --restore %s)\n",
                            key.c_str(), domain.c_str(), utc(n.when).c_str(), command.c_str(), file.c_str(),
                            key.c_str());
                break;
            case VAQ_PRIV_NOTE_RESTORED:
                std::printf("key %s of domain %s, deleted on this node on %s, is back, inactive (to use it: "
                            "telmor-vaq activate-key --domain %s --key-id %s)\n",
                            key.c_str(), domain.c_str(), utc(n.when).c_str(), domain.c_str(), key.c_str());
                break;
            case VAQ_PRIV_NOTE_OLDER_FILE:
                std::printf("domain %s left as it was: its last key change on this node (%s) is newer than %s (%s); "
                            "to take the older keys all the same: --allow-older\n",
                            domain.c_str(), utc(n.when).c_str(), file.c_str(), made_text(made).c_str());
                break;
            case VAQ_PRIV_NOTE_OLDER_KEY:
                std::printf("domain %s keeps its active key %u: %s's active key %s was made on %s, before it; to make "
                            "the older key active all the same: --allow-older\n",
                            domain.c_str(), n.otherKeyId, file.c_str(), key.c_str(), utc(n.when).c_str());
                break;
            default:
                break;
        }
    }
}

}  // namespace

int arrive(const Options &opt, Arrive how) {
    const bool join = how == Arrive::Join;
    const std::string &file = opt.args.at(0);
    const std::string what = (join ? "joining from " : "importing master keys from ") + file;
    const Context ctx{opt.role, {}, {}, file};
    if (!file_facts(file).exists) {
        const std::string why = explain_io(file, false);
        throw tool_failure((join ? "cannot join from " : "cannot import from ") + file + ": " +
                           (why.empty() ? "it does not exist" : why));
    }
    Session s(opt.role);
    // Looked up at run time: a vendor key library has no such entry.
    auto fn = reinterpret_cast<ArriveFn>(dlsym(RTLD_DEFAULT, "VaqPrivArriveMkFile"));
    if (fn == nullptr) {
        throw tool_failure(
            "the key library in use cannot tell what an import or join takes (VaqPrivArriveMkFile missing): it is "
            "not ours, or older; an import goes through 'telmor-vaq import' only without --restore and --allow-older");
    }
    const std::optional<ExportHeader> header = read_export_header(file);
    SecretBuffer pw = export_password(opt, header, file);
    std::vector<VaqPrivArrivalNote> notes(kNoteRoom);
    VaqPrivArrivalReport report{};
    report.notes = notes.data();
    report.capacity = kNoteRoom;
    const VaqPrivArrivalRules rules{opt.restore.data(), static_cast<uint32_t>(opt.restore.size()),
                                    opt.allowOlder ? 1u : 0u};
    const unsigned long rc = fn(join ? VAQ_PRIV_ARRIVE_JOIN : VAQ_PRIV_ARRIVE_IMPORT, file.c_str(), pw.data(),
                                static_cast<uint32_t>(pw.size()), &rules, &report);
    pw.clear();
    notes.resize(std::min(report.noteCount, kNoteRoom));
    if (rc == 2007) {
        const std::string why = explain_io(file, false);
        if (!why.empty()) throw Failure{rc, what + ": " + why};
    }
    if (rc != 0 && report.refusal[0] != '\0') throw Failure{rc, what + ": " + report.refusal + "; nothing was changed"};
    require_export_key(rc, what, ctx, header);
    require_change(rc, what, ctx);
    if (join && report.marked == 0) {
        throw tool_failure(file + " records no active key, so the fleet's active keys cannot be told from it; "
                           "nothing was changed: import it ('telmor-vaq import') and activate the fleet's key of "
                           "each domain ('telmor-vaq activate-key')");
    }
    if (opt.notify) TELMOR_update_shm();

    // The counts are of domains; only the keys added are counted as keys.
    uint32_t added = 0, addedDomains = 0, switched = 0, inUse = 0, left = 0, heldBack = 0;
    for (const VaqPrivArrivalNote &n : notes) {
        if (n.what == VAQ_PRIV_NOTE_ADDED) added += n.count, ++addedDomains;
        switched += n.what == VAQ_PRIV_NOTE_SWITCHED;
        inUse += n.what == VAQ_PRIV_NOTE_IN_USE;
        left += n.what == VAQ_PRIV_NOTE_OLDER_FILE || n.what == VAQ_PRIV_NOTE_OLDER_KEY;
        heldBack += n.what == VAQ_PRIV_NOTE_HELD_BACK;
    }
    const std::string keys = added == 0 ? std::string("no keys added")
                                        : std::to_string(added) + (added == 1 ? " key" : " keys") + " added in " +
                                              std::to_string(addedDomains) + (addedDomains == 1 ? " domain" : " domains");
    const std::string leftOut = heldBack == 0 ? "" : ", " + std::to_string(heldBack) + " left out (deleted on this node)";
    if (join) {
        std::printf("joined from %s (%s): %u %s switched to its active key, %u already used it, %u left as they "
                    "were; %s%s\n",
                    file.c_str(), made_text(report.made).c_str(), switched, switched == 1 ? "domain" : "domains",
                    inUse, left, keys.c_str(), leftOut.c_str());
    } else if (header) {
        std::printf("imported from %s: %s, %lld already present%s\n", file.c_str(), keys.c_str(),
                    static_cast<long long>(header->keyCount) - added - heldBack, leftOut.c_str());
    } else {
        std::printf("imported from %s: %s%s\n", file.c_str(), keys.c_str(), leftOut.c_str());
    }
    print_exceptions(notes, file, report.made, join ? "join" : "import");
    return 0;
}

}  // namespace cli
