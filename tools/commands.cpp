// The subcommands of telmor-vaq. Each opens the library in the chosen role,
// does one thing, and reports one line on failure.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "cli.h"
#include "commands.h"
#include "protect_commands.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

constexpr key_t kVersionSegmentKey = 0x20190529;

// One initialisation of the library for the life of a command.
class Session {
public:
    explicit Session(const std::string &role) {
        const Role *r = find_role(role);
        if (r == nullptr) throw Failure{151, "unknown role '" + role + "' (HXA, HXM or HXM_CLIENT)"};
        unsigned long rc = TELMOR_VAQ_Initialize(role.c_str());
        if (rc == 11) {
            throw Failure{rc, "no keystore for role " + role + ": run 'telmor-vaq init --role " + role + "'"};
        }
        if (rc != 0) {
            throw Failure{rc, "cannot open the keystore of role " + role + " (details in " + r->logDir + ")"};
        }
    }
    ~Session() { TELMOR_VAQ_Finalize(); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

std::string describe(unsigned long rc) {
    switch (rc) {
        case 1: return "the library refused it (details in the role's log)";
        case 268: return "no master key in that domain";
        default: return "key library code " + std::to_string(rc);
    }
}

void check(unsigned long rc, const std::string &what) {
    if (rc != 0) throw Failure{rc, what + ": " + describe(rc)};
}

uint32_t need_domain(const Options &opt) {
    if (!opt.domain) throw Failure{1, "--domain ID is required"};
    return *opt.domain;
}

uint32_t need_key_id(const Options &opt) {
    if (!opt.keyId) throw Failure{1, "--key-id ID is required"};
    return *opt.keyId;
}

const std::string &need_arg(const Options &opt, const char *what) {
    if (opt.args.empty()) throw Failure{1, std::string(what) + " is required"};
    return opt.args[0];
}

// Tells every process on the node to reload at its next key operation.
void announce(const Options &opt) {
    if (opt.notify) TELMOR_update_shm();
}

std::string format_time(const HX_VAQ_DATE_TIME *t) {
    if (t == nullptr) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t->year, t->month, t->day, t->hour,
                  t->minute, t->second);
    return buf;
}

std::string domain_label(uint32_t id) {
    std::string name = domain_name(id);
    return name.empty() ? std::to_string(id) : std::to_string(id) + " " + name;
}

// Reads the node's keystore version without initialising the library.
std::optional<uint32_t> node_version() {
    int id = shmget(kVersionSegmentKey, 0, 0);
    if (id < 0) return std::nullopt;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) return std::nullopt;
    uint32_t v = __atomic_load_n(static_cast<uint32_t *>(addr), __ATOMIC_SEQ_CST);
    shmdt(addr);
    return v;
}

void make_dirs(const std::string &path) {
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            throw Failure{1, "cannot create " + part + ": " + std::strerror(errno)};
        }
    }
}

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

struct FileState {
    bool exists = false;
    long long size = 0;
};

FileState file_state(const char *path) {
    struct stat st{};
    if (stat(path, &st) != 0) return {};
    return {true, static_cast<long long>(st.st_size)};
}

// Bit 0: primary good; bit 1: standby good.
uint32_t check_copies(uint32_t repair) {
    uint32_t result = 0;
    check(TELMOR_VAQ_CheckKeyStore(repair, &result), "keystore check");
    return result;
}

const char *good_or_bad(bool good) { return good ? "good" : "BAD"; }

}  // namespace

int cmd_init(const Options &opt) {
    const Role *r = find_role(opt.role);
    if (r == nullptr) throw Failure{151, "unknown role '" + opt.role + "' (HXA, HXM or HXM_CLIENT)"};
    make_dirs(dir_of(r->primary));
    make_dirs(dir_of(r->standby));
    make_dirs(r->logDir);
    if (access(r->primary, F_OK) != 0 && access(r->standby, F_OK) != 0) {
        int fd = open(r->primary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            throw Failure{1, std::string("cannot create ") + r->primary + ": " + std::strerror(errno)};
        }
        if (fd >= 0) close(fd);
    }
    Session s(opt.role);
    int32_t keys = 0;
    check(TELMOR_VAQ_GetMkNum(&keys), "counting master keys");
    std::printf("keystore of role %s ready: %s (standby %s), %d master keys\n", r->name, r->primary,
                r->standby, keys);
    return 0;
}

int cmd_encrypt(const Options &opt) {
    uint32_t domain = need_domain(opt);
    Session s(opt.role);
    std::string secret = read_secret("Secret: ");
    if (secret.size() > UINT32_MAX) throw Failure{1, "secret too long"};
    char *text = nullptr;
    uint32_t len = 0;
    unsigned long rc = TELMOR_VAQ_Encrypt(domain, reinterpret_cast<const unsigned char *>(secret.data()),
                                          static_cast<uint32_t>(secret.size()), &text, &len);
    wipe(secret);
    check(rc, "encryption under domain " + std::to_string(domain));
    std::string out = std::string(text) + "\n";
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    write_all(STDOUT_FILENO, out.data(), out.size());
    return 0;
}

int cmd_decrypt(const Options &opt) {
    uint32_t domain = need_domain(opt);
    Session s(opt.role);
    std::string text = opt.args.empty() ? read_all(STDIN_FILENO) : opt.args[0];
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) throw Failure{1, "no cipher text given"};
    unsigned char *plain = nullptr;
    uint32_t len = 0;
    unsigned long rc =
        TELMOR_VAQ_Decrypt(domain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &len);
    if (rc != 0) {
        if (plain != nullptr) {
            HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        }
        throw Failure{rc, "cannot decrypt under domain " + std::to_string(domain) +
                              ": the text is damaged, or was made under another domain or keystore"};
    }
    write_all(STDOUT_FILENO, plain, len);
    if (isatty(STDOUT_FILENO)) write_all(STDOUT_FILENO, "\n", 1);
    wipe(plain, len);
    HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    return 0;
}

int cmd_keys(const Options &opt) {
    Session s(opt.role);
    int32_t count = 0;
    check(TELMOR_VAQ_GetMkNum(&count), "counting master keys");
    HX_VAQ_MK_LIST *list = nullptr;
    if (count > 0) check(TELMOR_VAQ_Query_Mk_Info(&list), "listing master keys");
    std::string out = opt.json ? "[" : "";
    if (!opt.json) {
        char head[128];
        std::snprintf(head, sizeof head, "%-24s %-10s %-6s %-19s  %s\n", "DOMAIN", "KEY ID", "ACTIVE",
                      "CREATED (UTC)", "EXPIRES (UTC)");
        out += head;
    }
    bool first = true;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        const HX_VAQ_MK *mk = list->items[i];
        if (opt.domain && mk->domainId != *opt.domain) continue;
        if (opt.json) {
            out += std::string(first ? "" : ",") + "\n  {\"domain\": " + std::to_string(mk->domainId) +
                   ", \"domainName\": \"" + json_escape(domain_name(mk->domainId)) +
                   "\", \"keyId\": " + std::to_string(mk->keyId) +
                   ", \"active\": " + (mk->mkAttrA == 1 ? "true" : "false") + ", \"created\": \"" +
                   format_time(mk->mkTimeA) + "\", \"expires\": \"" + format_time(mk->mkTimeB) + "\"}";
        } else {
            char row[160];
            std::snprintf(row, sizeof row, "%-24s %-10u %-6s %-19s  %s\n",
                          domain_label(mk->domainId).c_str(), mk->keyId, mk->mkAttrA == 1 ? "yes" : "no",
                          format_time(mk->mkTimeA).c_str(), format_time(mk->mkTimeB).c_str());
            out += row;
        }
        first = false;
    }
    if (opt.json) out += first ? "]\n" : "\n]\n";
    if (list != nullptr) {
        HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
        HX_VAQ_MemFree(__LINE__, __FILE__, list);
    }
    write_all(STDOUT_FILENO, out.data(), out.size());
    return 0;
}

int cmd_domains(const Options &opt) {
    Session s(opt.role);
    HX_VAQ_DOMAIN_LIST *list = nullptr;
    check(TELMOR_VAQ_Query_Domain_Info(&list), "listing domains");
    std::string out = opt.json ? "[" : "ID    NAME                ATTR\n";
    for (int32_t i = 0; i < list->count; ++i) {
        const HX_VAQ_DOMAIN *d = list->items[i];
        if (opt.json) {
            out += std::string(i ? "," : "") + "\n  {\"domain\": " + std::to_string(d->domainId) +
                   ", \"name\": \"" + json_escape(domain_name(d->domainId)) +
                   "\", \"attr\": " + std::to_string(d->domainAttr) + "}";
        } else {
            char row[96];
            std::snprintf(row, sizeof row, "%-5u %-19s %u\n", d->domainId, domain_name(d->domainId).c_str(),
                          d->domainAttr);
            out += row;
        }
    }
    if (opt.json) out += list->count ? "\n]\n" : "]\n";
    HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, __FILE__, list);
    write_all(STDOUT_FILENO, out.data(), out.size());
    return 0;
}

int cmd_root_key(const Options &opt) {
    Session s(opt.role);
    HX_VAQ_ROOT_KEY *root = nullptr;
    check(TELMOR_VAQ_Query_Root_Key(&root), "reading the root key");
    const HX_VAQ_RK *rk = root->rk;
    const HX_VAQ_RK_CFG *cfg = root->rkCfg;
    char out[512];
    if (opt.json) {
        std::snprintf(out, sizeof out,
                      "{\"version\": %u, \"valid\": %s, \"created\": \"%s\", \"expires\": \"%s\", "
                      "\"wrappedKeys\": %u, \"lifeDays\": %u, \"strengthBits\": %u}\n",
                      rk->rkAttr16, rk->rkAttr32 == 1 ? "true" : "false", format_time(rk->rkTimeA).c_str(),
                      format_time(rk->rkTimeB).c_str(), rk->rkValue, cfg->cfgValueA, cfg->cfgValueB);
    } else {
        std::snprintf(out, sizeof out,
                      "version        %u\nvalid          %s\ncreated (UTC)  %s\nexpires (UTC)  %s\n"
                      "wrapped keys   %u\nlife (days)    %u\nstrength       %u bits\n",
                      rk->rkAttr16, rk->rkAttr32 == 1 ? "yes" : "no", format_time(rk->rkTimeA).c_str(),
                      format_time(rk->rkTimeB).c_str(), rk->rkValue, cfg->cfgValueA, cfg->cfgValueB);
    }
    HX_VAQ_RK_FREE(root->rk);
    HX_VAQ_RK_CFG_FREE(root->rkCfg);
    HX_VAQ_MemFree(__LINE__, __FILE__, root);
    write_all(STDOUT_FILENO, out, std::strlen(out));
    return 0;
}

int cmd_create_key(const Options &opt) {
    uint32_t domain = need_domain(opt);
    Session s(opt.role);
    uint32_t keyId = 0;
    check(TELMOR_VAQ_CreateMK(domain, &keyId), "creating a master key in domain " + std::to_string(domain));
    announce(opt);
    std::printf("created master key %u in domain %s (now active)\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_register_key(const Options &opt) {
    uint32_t domain = need_domain(opt);
    uint32_t keyId = need_key_id(opt);
    std::string material;
    if (!opt.file.empty()) {
        int fd = open(opt.file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw Failure{1, "cannot open " + opt.file + ": " + std::strerror(errno)};
        material = read_all(fd);
        close(fd);
    } else {
        material = read_all(STDIN_FILENO);
    }
    if (material.empty() || material.size() > UINT32_MAX) throw Failure{1, "no key material given"};
    Session s(opt.role);
    unsigned long rc = TELMOR_VAQ_UpdateMK(domain, keyId, reinterpret_cast<const unsigned char *>(material.data()),
                                           static_cast<uint32_t>(material.size()));
    wipe(material);
    check(rc, "registering key " + std::to_string(keyId) + " in domain " + std::to_string(domain));
    std::printf("registered master key %u in domain %s (inactive)\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_activate_key(const Options &opt) {
    uint32_t domain = need_domain(opt);
    uint32_t keyId = need_key_id(opt);
    Session s(opt.role);
    check(TELMOR_VAQ_ActiveMK(domain, keyId),
          "activating key " + std::to_string(keyId) + " in domain " + std::to_string(domain));
    std::printf("master key %u is now active in domain %s\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_delete_key(const Options &opt) {
    uint32_t domain = need_domain(opt);
    uint32_t keyId = need_key_id(opt);
    Session s(opt.role);
    check(TELMOR_VAQ_Delete(domain, keyId),
          "deleting key " + std::to_string(keyId) + " in domain " + std::to_string(domain));
    announce(opt);
    std::printf("deleted master key %u from domain %s\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_rotate_root_key(const Options &opt) {
    Session s(opt.role);
    check(TELMOR_VAQ_UpdateRootKey(), "renewing the root key");
    announce(opt);
    std::printf("root key renewed; every master key rewrapped\n");
    return 0;
}

int cmd_export(const Options &opt) {
    const std::string &file = need_arg(opt, "FILE");
    Session s(opt.role);
    std::string pw = read_password(opt, true);
    unsigned long rc = TELMOR_VAQ_ExportMkFile(file.c_str(), reinterpret_cast<const unsigned char *>(pw.data()),
                                               static_cast<uint32_t>(pw.size()));
    wipe(pw);
    check(rc, "exporting master keys to " + file);
    std::printf("master keys exported to %s\n", file.c_str());
    return 0;
}

int cmd_import(const Options &opt) {
    const std::string &file = need_arg(opt, "FILE");
    Session s(opt.role);
    std::string pw = read_password(opt, false);
    unsigned long rc = TELMOR_VAQ_ImportMkFile(file.c_str(), reinterpret_cast<const unsigned char *>(pw.data()),
                                               static_cast<uint32_t>(pw.size()));
    wipe(pw);
    check(rc, "importing master keys from " + file);
    announce(opt);
    std::printf("master keys imported from %s\n", file.c_str());
    return 0;
}

int cmd_check(const Options &opt) {
    Session s(opt.role);
    uint32_t before = check_copies(0);
    uint32_t after = before;
    if (opt.repair && before != 3) {
        check_copies(1);
        after = check_copies(0);
    }
    bool primary = after & 1, standby = after & 2;
    if (opt.json) {
        std::printf("{\"primary\": %s, \"standby\": %s, \"repaired\": %s}\n", primary ? "true" : "false",
                    standby ? "true" : "false", after != before ? "true" : "false");
    } else {
        std::printf("primary  %s\nstandby  %s\n", good_or_bad(primary), good_or_bad(standby));
        if (after != before) std::printf("repaired the bad copy from the good one\n");
    }
    if (after != 3) {
        throw Failure{1, opt.repair ? "the keystore could not be repaired"
                                    : "a keystore copy is bad: run 'telmor-vaq check --repair'"};
    }
    return 0;
}

int cmd_notify(const Options &opt) {
    Session s(opt.role);
    check(TELMOR_update_shm(), "announcing the change");
    std::optional<uint32_t> v = node_version();
    std::printf("announced: every process on the node reloads at its next key operation (version %u)\n",
                v.value_or(0));
    return 0;
}

int cmd_status(const Options &opt) {
    const Role *r = find_role(opt.role);
    if (r == nullptr) throw Failure{151, "unknown role '" + opt.role + "' (HXA, HXM or HXM_CLIENT)"};
    std::optional<uint32_t> version = node_version();
    FileState primary = file_state(r->primary), standby = file_state(r->standby);
    uint32_t copies = 0;
    int32_t keys = -1;
    std::string protector = opt.json ? "null" : "";
    bool opened = primary.exists || standby.exists;
    if (opened) {
        Session s(opt.role);
        copies = check_copies(0);
        if (TELMOR_VAQ_GetMkNum(&keys) != 0) keys = -1;
        protector = protector_status(opt.json);
    }
    auto state = [&](const FileState &f, bool good) -> std::string {
        if (!f.exists) return "missing";
        return good ? "good" : "BAD";
    };
    std::string vs = version ? std::to_string(*version) : "none (no process has attached yet)";
    if (opt.json) {
        std::printf("{\"role\": \"%s\", \"nodeVersion\": %s, \"primary\": {\"path\": \"%s\", \"size\": %lld, "
                    "\"state\": \"%s\"}, \"standby\": {\"path\": \"%s\", \"size\": %lld, \"state\": \"%s\"}, "
                    "\"masterKeys\": %d, \"protector\": %s}\n",
                    r->name, version ? std::to_string(*version).c_str() : "null", r->primary, primary.size,
                    state(primary, copies & 1).c_str(), r->standby, standby.size,
                    state(standby, copies & 2).c_str(), keys, protector.c_str());
    } else {
        std::printf("role           %s\nnode version   %s\n", r->name, vs.c_str());
        std::printf("primary        %s  %lld bytes  %s\n", r->primary, primary.size,
                    state(primary, copies & 1).c_str());
        std::printf("standby        %s  %lld bytes  %s\n", r->standby, standby.size,
                    state(standby, copies & 2).c_str());
        if (keys >= 0) std::printf("master keys    %d\n", keys);
        if (!protector.empty()) std::printf("%s\n", protector.c_str() + 1);
    }
    return 0;
}

}  // namespace cli
