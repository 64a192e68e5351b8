// SPDX-License-Identifier: Apache-2.0
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

namespace {
const Role kRoles[] = {
    {"HXA", "/opt/telmor/agent/conf/vaq/conf/primary_ks.key",
     "/opt/telmor/agent/conf/vaq/bkp/standby_ks.key", "/var/log/oam/hxa/run", "hxa_vaq_"},
    {"HXM", "/opt/telmor/tools/vaq/conf/primary_ks.key", "/opt/telmor/tools/vaq/bkp/standby_ks.key",
     "/var/log/oam/hxm/manager/run", "hxm_vaq_"},
    {"HXM_CLIENT", "/opt/telmor/client/vaq/conf/primary_ks.key",
     "/opt/telmor/client/vaq/bkp/standby_ks.key", "/var/log/oam/hxm/manager/run", "hxm_client_vaq_"},
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

const Role &need_role(const std::string &name) {
    const Role *r = find_role(name);
    if (r == nullptr) throw Failure{151, "unknown role '" + name + "': the roles are HXA, HXM and HXM_CLIENT"};
    return *r;
}

std::string domain_label(uint32_t id) {
    std::string name = domain_name(id);
    return name.empty() ? std::to_string(id) : std::to_string(id) + " " + name;
}

}  // namespace cli
