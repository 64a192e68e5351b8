// SPDX-License-Identifier: Apache-2.0
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

namespace {
const Role kRoles[] = {
    {"HXA", "/opt/telmor/agent/conf/vaq/conf/primary_ks.key",
     "/opt/telmor/agent/conf/vaq/bkp/standby_ks.key", "/var/log/oam/hxa/run"},
    {"HXM", "/opt/telmor/tools/vaq/conf/primary_ks.key", "/opt/telmor/tools/vaq/bkp/standby_ks.key",
     "/var/log/oam/hxm/manager/run"},
    {"HXM_CLIENT", "/opt/telmor/client/vaq/conf/primary_ks.key",
     "/opt/telmor/client/vaq/bkp/standby_ks.key", "/var/log/oam/hxm/manager/run"},
};

struct Domain {
    uint32_t id;
    const char *name;
};
// The domains every initialisation provisions, in the library's order.
const Domain kDomains[] = {
    {150, "OLD_ENCRYPT"},   {151, "OLD_CHAP_TRANSFER"}, {152, "OLD_CHAP_ENCRYPT"},
    {2, "HXM_ENCRYPT"},     {50, "HXA_ENCRYPT"},        {51, "NUV_ENCRYPT"},
    {100, "CHAP_TRANSFER"}, {101, "CHAP_ENCRYPT"},      {102, "GAL_TRANSFER"},
    {103, "GAL_ENCRYPT"},   {104, "NUV_TRANSFER"},      {105, "YRB_ENCRYPT"},
};
}  // namespace

const Role *find_role(const std::string &name) {
    for (const Role &r : kRoles) {
        if (name == r.name) return &r;
    }
    return nullptr;
}

std::string domain_name(uint32_t id) {
    for (const Domain &d : kDomains) {
        if (d.id == id) return d.name;
    }
    return "";
}

const std::vector<uint32_t> &domain_ids() {
    static const std::vector<uint32_t> ids = [] {
        std::vector<uint32_t> v;
        for (const Domain &d : kDomains) v.push_back(d.id);
        return v;
    }();
    return ids;
}

}  // namespace cli
