// SPDX-License-Identifier: Apache-2.0
// keys, domains and root-key: the key inventory, as tables or JSON.
#include <cstdio>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "causes.h"
#include "command_table.h"
#include "session.h"
#include "table.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

Json json_time(const Time &t) { return t.set ? Json(iso_time(t)) : Json(nullptr); }

int cmd_keys(const Options &opt) {
    Session s(opt.role);
    if (opt.domain) need_domain_exists(*opt.domain, {opt.role, opt.domain, {}, {}});
    std::vector<KeyInfo> keys = list_keys();
    if (opt.json) {
        Json list = Json::array();
        for (const KeyInfo &k : keys) {
            if (opt.domain && k.domain != *opt.domain) continue;
            Json j;
            j["domain"] = k.domain;
            j["domainName"] = domain_name(k.domain);
            j["keyId"] = k.keyId;
            j["active"] = k.active;
            j["origin"] = k.registered ? "registered" : "generated";
            j["created"] = json_time(k.created);
            j["expires"] = json_time(k.expires);
            list.push_back(j);
        }
        write_out(list.dump(2) + "\n");
        return 0;
    }
    TextTable t({"DOMAIN", "KEY ID", "ACTIVE", "ORIGIN", "CREATED (UTC)", "EXPIRES (UTC)"});
    for (const KeyInfo &k : keys) {
        if (opt.domain && k.domain != *opt.domain) continue;
        t.add({domain_label(k.domain), std::to_string(k.keyId), k.active ? "yes" : "no",
               k.registered ? "registered" : "generated", table_time(k.created), table_time(k.expires)});
    }
    write_out(t.render());
    return 0;
}

int cmd_domains(const Options &opt) {
    Session s(opt.role);
    const std::vector<DomainInfo> domains = list_domains();
    std::map<uint32_t, std::pair<int, std::optional<uint32_t>>> perDomain;  // key count, active key
    for (const KeyInfo &k : list_keys()) {
        auto &entry = perDomain[k.domain];
        ++entry.first;
        if (k.active) entry.second = k.keyId;
    }
    if (opt.json) {
        Json list = Json::array();
        for (const DomainInfo &d : domains) {
            const auto &entry = perDomain[d.id];
            Json j;
            j["domain"] = d.id;
            j["name"] = domain_name(d.id);
            j["firstKeyByLibrary"] = d.attr == 1;
            j["keys"] = entry.first;
            j["activeKeyId"] = entry.second ? Json(*entry.second) : Json(nullptr);
            list.push_back(j);
        }
        write_out(list.dump(2) + "\n");
        return 0;
    }
    TextTable t({"ID", "NAME", "KEYS", "ACTIVE KEY", "FIRST KEY"});
    for (const DomainInfo &d : domains) {
        const auto &entry = perDomain[d.id];
        t.add({std::to_string(d.id), domain_name(d.id).empty() ? "-" : domain_name(d.id), std::to_string(entry.first),
               entry.second ? std::to_string(*entry.second) : "none", d.attr == 1 ? "by the library" : "by hand"});
    }
    write_out(t.render() +
              "FIRST KEY: whether the library makes a domain's first master key itself when it has none.\n");
    return 0;
}

int cmd_root_key(const Options &opt) {
    Session s(opt.role);
    HX_VAQ_ROOT_KEY *root = nullptr;
    require(TELMOR_VAQ_Query_Root_Key(&root), "reading the root key", {opt.role, {}, {}, {}});
    const HX_VAQ_RK *rk = root->rk;
    const HX_VAQ_RK_CFG *cfg = root->rkCfg;
    auto time_of = [](const HX_VAQ_DATE_TIME *t) {
        return t == nullptr ? Time{} : Time{t->year, t->month, t->day, t->hour, t->minute, t->second, true};
    };
    const Time created = time_of(rk->rkTimeA), expires = time_of(rk->rkTimeB);
    std::string out;
    if (opt.json) {
        Json j;
        j["version"] = rk->rkAttr16;
        j["valid"] = rk->rkAttr32 == 1;
        j["created"] = json_time(created);
        j["expires"] = json_time(expires);
        j["wrappedKeys"] = rk->rkValue;
        j["lifeDays"] = cfg->cfgValueA;
        j["strengthBits"] = cfg->cfgValueB;
        out = j.dump(2) + "\n";
    } else {
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "version        %u\nvalid          %s\ncreated (UTC)  %s\nexpires (UTC)  %s\n"
                      "wrapped keys   %u\nlife (days)    %u\nstrength       %u bits\n",
                      rk->rkAttr16, rk->rkAttr32 == 1 ? "yes" : "no", table_time(created).c_str(),
                      table_time(expires).c_str(), rk->rkValue, cfg->cfgValueA, cfg->cfgValueB);
        out = buf;
    }
    HX_VAQ_RK_FREE(root->rk);
    HX_VAQ_RK_CFG_FREE(root->rkCfg);
    HX_VAQ_MemFree(__LINE__, __FILE__, root);
    write_out(out);
    return 0;
}

const CommandRegistrar kKeys(
    {"keys",
     "Keys",
     20,
     "list master keys: domain, key id, active or not, origin, created, expires",
     "Lists the master keys of the role's keystore, sorted by domain and key id. ORIGIN is 'generated' for a\n"
     "key made by this keystore and 'registered' for one registered or imported.",
     {Opt::Role, Opt::DomainFilter, Opt::Json},
     {},
     {{"keys --domain 50", "the keys of domain 50, the active one marked"}},
     cmd_keys});

const CommandRegistrar kDomains(
    {"domains",
     "Keys",
     21,
     "list the key domains with their key counts and active keys",
     "Lists the key domains provisioned in the role's keystore, sorted by id, with the number of master\n"
     "keys, the active key, and whether the library makes a domain's first key itself.",
     {Opt::Role, Opt::Json},
     {},
     {{"domains --json", "the same as JSON"}},
     cmd_domains});

const CommandRegistrar kRootKey(
    {"root-key",
     "Keys",
     22,
     "show the root key and its configuration",
     "Shows the root key that wraps every master key: its version, validity, times, the number of keys it\n"
     "wraps, its life and strength.",
     {Opt::Role, Opt::Json},
     {},
     {{"root-key --role HXM", "the root key of the manager tools' keystore"}},
     cmd_root_key});

}  // namespace

}  // namespace cli
