/* SPDX-License-Identifier: Apache-2.0 */
// Where things live on a node: the roles and their keystore pairs and logs,
// the key domains every load provisions, and the System V IPC keys that
// processes of all roles share. The library, the tool, the tests and the
// benchmarks all read these from here; the header is plain data so that the
// tool, which sees only the public interface, can include it too.
#ifndef TELMOR_VAQ_NODE_LAYOUT_H
#define TELMOR_VAQ_NODE_LAYOUT_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace node_layout {

struct RoleLayout {
    const char *role;     // the role string a host passes in
    int32_t nodeType;     // the library's number for it (g_node_type)
    const char *primary;  // the keystore pair
    const char *standby;
    const char *logDir;     // where the role's processes write their logs
    const char *logPrefix;  // a log file is logDir/logPrefix + process name + ".log.0"
    const char *logFormat;  // that same path as a format with one %s, the process name
};

// The file names of a keystore pair, the same in every role's folders.
#define TV_NODE_PRIMARY_NAME "primary_ks.key"
#define TV_NODE_STANDBY_NAME "standby_ks.key"
inline constexpr char kPrimaryName[] = TV_NODE_PRIMARY_NAME;
inline constexpr char kStandbyName[] = TV_NODE_STANDBY_NAME;

// Each row is written once; the paths are put together from its parts.
#define TV_NODE_ROLE(role, type, base, logdir, prefix)                                                     \
    {                                                                                                      \
        role, type, base "/conf/" TV_NODE_PRIMARY_NAME, base "/bkp/" TV_NODE_STANDBY_NAME, logdir, prefix, \
            logdir "/" prefix "%s.log.0"                                                                   \
    }

inline constexpr std::array<RoleLayout, 3> kRoles = {{
    TV_NODE_ROLE("HXA", 1, "/opt/telmor/agent/conf/vaq", "/var/log/oam/hxa/run", "hxa_vaq_"),
    TV_NODE_ROLE("HXM", 2, "/opt/telmor/tools/vaq", "/var/log/oam/hxm/manager/run", "hxm_vaq_"),
    TV_NODE_ROLE("HXM_CLIENT", 3, "/opt/telmor/client/vaq", "/var/log/oam/hxm/manager/run", "hxm_client_vaq_"),
}};

#undef TV_NODE_ROLE
#undef TV_NODE_PRIMARY_NAME
#undef TV_NODE_STANDBY_NAME

inline constexpr const RoleLayout &kAgent = kRoles[0];
inline constexpr const RoleLayout &kTools = kRoles[1];
inline constexpr const RoleLayout &kClient = kRoles[2];

struct DomainLayout {
    const char *name;
    uint32_t id;
};

// In the order a load provisions them. Domains 0 and 1 are not among them:
// each load removes those.
inline constexpr std::array<DomainLayout, 12> kDomains = {{
    {"OLD_ENCRYPT", 150},
    {"OLD_CHAP_TRANSFER", 151},
    {"OLD_CHAP_ENCRYPT", 152},
    {"HXM_ENCRYPT", 2},
    {"HXA_ENCRYPT", 50},
    {"NUV_ENCRYPT", 51},
    {"CHAP_TRANSFER", 100},
    {"CHAP_ENCRYPT", 101},
    {"GAL_TRANSFER", 102},
    {"GAL_ENCRYPT", 103},
    {"NUV_TRANSFER", 104},
    {"YRB_ENCRYPT", 105},
}};

// The shared keystore-version segment and its size, and the process lock's
// semaphore set. Every process on the node, of any role, uses these keys.
inline constexpr int32_t kVersionSegmentKey = 0x20190529;
inline constexpr std::size_t kVersionSegmentSize = 4096;
inline constexpr int32_t kProcessLockKey = 0x20191230;

// Where the node secrets of every keystore live, one file per keystore pair.
inline constexpr char kNodeSecretDir[] = "/etc/telmor/vaq";

}  // namespace node_layout

#endif  // TELMOR_VAQ_NODE_LAYOUT_H
