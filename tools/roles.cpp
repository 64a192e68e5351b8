// SPDX-License-Identifier: Apache-2.0
#include <iterator>
#include <string>
#include <vector>

#include "cli.h"
#include "node_layout.h"

namespace cli {

namespace {
constexpr Role role_of(const node_layout::RoleLayout &r) {
    return {r.role, r.primary, r.standby, r.logDir, r.logPrefix};
}
const Role kRoles[] = {role_of(node_layout::kRoles[0]), role_of(node_layout::kRoles[1]),
                       role_of(node_layout::kRoles[2])};
static_assert(std::size(kRoles) == node_layout::kRoles.size());
}  // namespace

const Role *find_role(const std::string &name) {
    for (const Role &r : kRoles) {
        if (name == r.name) return &r;
    }
    return nullptr;
}

std::string domain_name(uint32_t id) {
    // The domains every initialisation provisions, in the library's order.
    for (const node_layout::DomainLayout &d : node_layout::kDomains) {
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
