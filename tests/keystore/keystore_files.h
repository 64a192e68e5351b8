/* SPDX-License-Identifier: Apache-2.0 */
// Keystore files of the three roles, as the tests lay them out in the sandbox.
#ifndef TELMOR_TEST_KEYSTORE_FILES_H
#define TELMOR_TEST_KEYSTORE_FILES_H

#include <unistd.h>

#include <fstream>
#include <string>

namespace kstest {

struct RolePaths {
    const char *role;
    int nodeType;
    const char *primary;
    const char *standby;
};

inline const RolePaths kRoles[] = {
    {"HXA", 1, "/opt/telmor/agent/conf/vaq/conf/primary_ks.key",
     "/opt/telmor/agent/conf/vaq/bkp/standby_ks.key"},
    {"HXM", 2, "/opt/telmor/tools/vaq/conf/primary_ks.key", "/opt/telmor/tools/vaq/bkp/standby_ks.key"},
    {"HXM_CLIENT", 3, "/opt/telmor/client/vaq/conf/primary_ks.key",
     "/opt/telmor/client/vaq/bkp/standby_ks.key"},
};
inline const RolePaths &kAgent = kRoles[0];

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline void remove_file(const std::string &path) { unlink(path.c_str()); }

}  // namespace kstest

#endif
