/* SPDX-License-Identifier: Apache-2.0 */
// What each keystore copy was before the library opened the keystore, what
// opening (and --repair) did to it, and what it is at the end.
#ifndef TELMOR_VAQ_TOOL_COPY_REPORT_H
#define TELMOR_VAQ_TOOL_COPY_REPORT_H

#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "file_safety.h"

namespace cli {

struct CopyReport {
    const char *name;  // "primary" or "standby"
    std::string path;
    std::string found;   // before opening: "present", "missing", "empty", "unsafe", "no directory"
    std::string state;   // at the end: "good", "repaired", "recreated", "missing", "damaged", "unsafe"
    std::string detail;  // what was done or what to run; may be empty
    FileFacts facts;     // at the end
    bool good() const { return state == "good" || state == "repaired" || state == "recreated"; }
};

struct KeystoreReport {
    std::vector<CopyReport> copies;
    std::optional<int32_t> masterKeys;
    std::optional<std::string> openFailure;  // the library could not open the keystore
    std::optional<unsigned long> openCode;
};

// Looks at both copies of the role's keystore, opens it (which rewrites a
// missing, damaged or older copy from the good one), and with `repair` asks
// the library to rewrite a copy still bad. Never throws for a bad keystore.
KeystoreReport examine_keystore(const Role &role, bool repair);

// Each file or directory of the role the library would refuse, with the
// remedy; printed on stderr as "warning: ..." lines.
std::vector<std::string> warnings_for(const Role &r);
void print_warnings(const std::vector<std::string> &warnings);

}  // namespace cli

#endif
