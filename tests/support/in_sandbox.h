/* SPDX-License-Identifier: Apache-2.0 */
// Whether this process runs inside scripts/sandbox: the sandbox's own tmpfs
// mounts are on /opt/telmor, /var/log/oam and /etc/telmor in this mount
// namespace. Read from the mount table, never from an inherited variable, so
// that nothing a shell exports lets a test write the node's real keystores.
#ifndef TELMOR_TEST_IN_SANDBOX_H
#define TELMOR_TEST_IN_SANDBOX_H

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace tvtest {

inline bool in_sandbox() {
    std::ifstream mounts("/proc/self/mountinfo");
    std::set<std::string> covered;
    std::string line;
    while (std::getline(mounts, line)) {
        // id parent major:minor root mountpoint options ... - fstype source superoptions
        std::istringstream fields(line);
        std::string id, parent, dev, root, point;
        fields >> id >> parent >> dev >> root >> point;
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type, source;
        tail >> type >> source;
        if (type == "tmpfs" && source == "telmor-sandbox") covered.insert(point);
    }
    return covered.count("/opt/telmor") && covered.count("/var/log/oam") && covered.count("/etc/telmor");
}

}  // namespace tvtest

#endif
