/* SPDX-License-Identifier: Apache-2.0 */
// The key inventory as the commands use it: keys and domains sorted by id,
// times as UTC text, and the node's keystore version. Needs an open Session,
// except node_version.
#ifndef TELMOR_VAQ_TOOL_INVENTORY_H
#define TELMOR_VAQ_TOOL_INVENTORY_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "cli.h"

namespace cli {

struct Time {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool set = false;
};
std::string table_time(const Time &t);  // "2026-12-10 05:02:45", or "-"
std::string iso_time(const Time &t);    // "2026-12-10T05:02:45Z", or "" when unset

struct KeyInfo {
    uint32_t domain = 0;
    uint32_t keyId = 0;
    bool active = false;
    bool registered = false;  // registered or imported, not generated here
    uint32_t length = 0;
    Time created, expires;
};

struct DomainInfo {
    uint32_t id = 0;
    unsigned attr = 0;
};

// Every master key, sorted by domain and key id.
std::vector<KeyInfo> list_keys();
// Every provisioned domain, sorted by id.
std::vector<DomainInfo> list_domains();
bool domain_exists(uint32_t domain);
// Throws a failure naming the domain unless it is provisioned.
void need_domain_exists(uint32_t domain, const Context &ctx);
// The key ids this keystore holds in `domain` (empty for an unknown domain).
std::vector<uint32_t> key_ids(uint32_t domain);
// The domain's active key, if it has one.
std::optional<uint32_t> active_key(uint32_t domain);

// The node's keystore version, read without initialising the library.
std::optional<uint32_t> node_version();

}  // namespace cli

#endif
