/* SPDX-License-Identifier: Apache-2.0 */
// Runs telmor-vaq as an operator would: each call its own process on the
// sandbox's node, with shell words for arguments and bytes for stdin.
#ifndef TELMOR_VAQ_TESTS_TOOL_RUNNER_H
#define TELMOR_VAQ_TESTS_TOOL_RUNNER_H

#include <cstdlib>
#include <string>

#include "files.h"
#include "node_layout.h"

namespace tooltest {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string &path) { return tvtest::read_file(path); }
inline void spit(const std::string &path, const std::string &bytes) { tvtest::write_file(path, bytes); }

// A scratch directory of this test process (tests may run side by side).
inline const std::string &scratch() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tool_cli.XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

using tvtest::shell;

// Runs `command` (shell words) with `input` on stdin.
inline Outcome run(const std::string &command, const std::string &input = "") {
    const std::string &dir = scratch();
    spit(dir + "/in", input);
    const int status = shell(command + " <" + dir + "/in >" + dir + "/out 2>" + dir + "/err");
    return {status, slurp(dir + "/out"), slurp(dir + "/err")};
}

// What a shell command prints on stdout.
inline std::string shell_output(const std::string &command) { return run("{ " + command + "; }").out; }

// Runs the tool with `args` (shell words) and `input` on stdin.
inline Outcome tool(const std::string &args, const std::string &input = "") {
    return run(std::string(TELMOR_VAQ_TOOL) + " " + args, input);
}

// Runs the tool as another user (and group) of the same number.
inline Outcome tool_as(unsigned uid, const std::string &args, const std::string &input = "") {
    const std::string id = std::to_string(uid);
    return run("setpriv --reuid " + id + " --regid " + id + " --clear-groups " + TELMOR_VAQ_TOOL + " " + args, input);
}

inline std::string first_line(const std::string &s) { return s.substr(0, s.find('\n')); }

// A password file for --password-fd 3; returns the shell words that pass it.
inline std::string password_words(const std::string &name, const std::string &password) {
    spit(scratch() + "/" + name, password + "\n");
    return " --password-fd 3 3<" + scratch() + "/" + name;
}

constexpr const char *kPrimary = node_layout::kAgent.primary;
constexpr const char *kStandby = node_layout::kAgent.standby;
constexpr const char *kStandbyDir = "/opt/telmor/agent/conf/vaq/bkp";

}  // namespace tooltest

#endif
