/* SPDX-License-Identifier: Apache-2.0 */
// What each keystore copy was when the library read it, what was done to it
// (only --repair writes), and what it is at the end.
#ifndef TELMOR_VAQ_TOOL_COPY_REPORT_H
#define TELMOR_VAQ_TOOL_COPY_REPORT_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "file_safety.h"

namespace cli {

struct CopyReport {
    const char *name;  // "primary" or "standby"
    std::string path;
    std::string found;   // on the file system: "present", "missing", "empty", "unsafe", "no directory"
    std::string state;   // at the end: "good", "repaired", "recreated", "missing", "empty", "damaged",
                         // "out of date", "not this node's", "unsafe", "newer format", "not checked"
    std::string detail;  // what was done or what to run; may be empty
    FileFacts facts;     // at the end
    // What the library found wrong with the copy ("missing", "empty",
    // "damaged", "out of date", "not this node's"; empty when nothing), and
    // the copy it was rewritten from, or would be by --repair or the next
    // process that opens the keystore.
    std::string was;
    std::string source;
    bool rewritten = false;
    bool writable = true;  // false: the file system or permissions keep it from being rewritten
    bool good() const { return state == "good" || state == "repaired" || state == "recreated"; }
    // Not good, but the other copy is good and a load rewrites it from that.
    bool mendable() const { return !good() && !source.empty() && writable; }
};

struct KeystoreReport {
    std::vector<CopyReport> copies;
    std::optional<int32_t> masterKeys;
    std::optional<std::string> openFailure;  // the library could not open the keystore
    std::optional<unsigned long> openCode;
    // The keystore opened, but a change its processes would write on opening
    // (a domain's first master key) was left unwritten: an init that did not
    // finish.
    bool changeWithheld = false;
    // Both copies missing or empty: nothing to open or repair; init makes it.
    bool noKeystore = false;
    // Filled while the keystore is open, by the caller's `whileOpen`.
    std::string protectorText;
    nlohmann::ordered_json protector;
};

// Looks at both copies of the role's keystore and opens it. Without `repair`
// nothing is written: the library's loads are put in its inspect-only mode,
// and a copy that needs rewriting is named with the copy it would be
// rewritten from. With `repair`, opening rewrites a missing, damaged or older
// copy from the good one, and the library is asked to rewrite a copy still
// bad. `whileOpen` runs while the keystore is open. Never throws for a bad
// keystore.
KeystoreReport examine_keystore(const Role &role, bool repair,
                                const std::function<void(KeystoreReport &)> &whileOpen = nullptr);

// As examine_keystore without repair, judged as the keystore's owner (see
// owner_view.h). The copies' facts are this process's view.
KeystoreReport examine_as_owner(const Role &role, const std::function<void(KeystoreReport &)> &whileOpen = nullptr);

// Each file or directory of the role the library would refuse, with the
// remedy; printed on stderr as "warning: ..." lines.
std::vector<std::string> warnings_for(const Role &r);
void print_warnings(const std::vector<std::string> &warnings);

}  // namespace cli

#endif
