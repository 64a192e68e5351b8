#include "protect_commands.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

// Where every node secret lives (README.md, "Root protectors").
constexpr char kSecretDir[] = "/etc/telmor/vaq";

// The key library's private protector entries; see keylib/vaq/vaq_private.h.
using ProtectFn = uint32_t (*)(uint32_t kind, uint32_t pcrMask);
using InfoFn = uint32_t (*)(uint32_t *kind, uint32_t *pcrMask, char *location, uint32_t len);
constexpr uint32_t kFile = 1, kTpm2 = 2;

template <class F>
F private_entry(const char *name) {
    auto f = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    if (f == nullptr)
        throw Failure{1, "the key library in use has no root protectors (" + std::string(name) +
                             " missing): it is not ours, or older"};
    return f;
}

class Session {
public:
    explicit Session(const Options &opt) {
        const Role *r = find_role(opt.role);
        if (r == nullptr) throw Failure{151, "unknown role '" + opt.role + "' (HXA, HXM or HXM_CLIENT)"};
        unsigned long rc = TELMOR_VAQ_Initialize(opt.role.c_str());
        if (rc != 0)
            throw Failure{rc, "cannot open the keystore of role " + opt.role + " (the reason is in " +
                                  r->logDir + "; a keystore whose node secret or TPM is gone cannot "
                                  "be opened on this node: make a new one with 'telmor-vaq init' and "
                                  "'telmor-vaq import' an export file)"};
    }
    ~Session() { TELMOR_VAQ_Finalize(); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

uint32_t protector_kind(const std::string &name) {
    if (name == "file") return kFile;
    if (name == "tpm2") return kTpm2;
    throw Failure{1, "the protector is 'file' or 'tpm2', not '" + name + "'"};
}

std::string pcr_list(uint32_t mask) {
    std::string out;
    for (int i = 0; i < 24; ++i)
        if (mask & (1u << i)) out += (out.empty() ? "" : ",") + std::to_string(i);
    return out;
}

// What the library answers when a move cannot be made, with what to do.
std::string why_not(uint32_t rc) {
    switch (rc) {
    case 2030: return "the node secret cannot be created: run 'telmor-vaq init' as root once";
    case 2032: return "no TPM reached (TELMOR_VAQ_TCTI, default device:/dev/tpmrm0; libtss2 installed?)";
    case 2033: return "the TPM refused the seal";
    case 2024: return "bad protector or PCR list";
    default: return "key library code " + std::to_string(rc) + " (details in the role's log)";
    }
}

void protect(const Options &opt, uint32_t kind) {
    uint32_t mask = opt.pcrs.empty() ? 0 : parse_pcrs(opt.pcrs);
    if (kind == kFile && mask != 0) throw Failure{1, "--pcrs binds only the tpm2 protector"};
    auto fn = private_entry<ProtectFn>("VaqPrivProtect");
    uint32_t rc = fn(kind, mask);
    if (rc != 0) throw Failure{rc, "moving the keystore to the " + opt.protector + " protector: " + why_not(rc)};
}

void make_secret_dir(const Options &opt) {
    if (geteuid() != 0) return;  // the service account's own init: the directory is root's job
    if (mkdir("/etc/telmor", 0755) != 0 && errno != EEXIST)
        throw Failure{1, std::string("cannot create /etc/telmor: ") + std::strerror(errno)};
    if (mkdir(kSecretDir, 0700) != 0 && errno != EEXIST)
        throw Failure{1, std::string("cannot create ") + kSecretDir + ": " + std::strerror(errno)};
    // The service account makes its role's secret at its first start: the
    // directory belongs to whoever owns the keystore directory.
    const Role *r = find_role(opt.role);
    std::string conf = r ? std::string(r->primary).substr(0, std::string(r->primary).rfind('/')) : "";
    struct stat st {};
    if (!conf.empty() && stat(conf.c_str(), &st) == 0 && st.st_uid != 0 &&
        chown(kSecretDir, st.st_uid, st.st_gid) != 0)
        throw Failure{1, std::string("cannot hand ") + kSecretDir + " to the service account: " +
                             std::strerror(errno)};
}

}  // namespace

uint32_t parse_pcrs(const std::string &list) {
    uint32_t mask = 0;
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = list.find(',', at);
        std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char *end = nullptr;
        errno = 0;
        long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (end != item.c_str() && *end == '-') last = std::strtol(end + 1, &end, 10);
        if (item.empty() || errno != 0 || *end != '\0' || first < 0 || last > 23 || first > last)
            throw Failure{1, "--pcrs takes PCR numbers 0 to 23, e.g. 0,7 or 0-7, not '" + list + "'"};
        for (long i = first; i <= last; ++i) mask |= 1u << i;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return mask;
}

int cmd_protect(const Options &opt) {
    if (opt.protector.empty()) throw Failure{1, "--with file|tpm2 is required"};
    const uint32_t kind = protector_kind(opt.protector);
    Session s(opt);
    protect(opt, kind);
    if (opt.notify) TELMOR_update_shm();
    std::printf("keystore of role %s sealed by the %s protector%s\n", opt.role.c_str(),
                opt.protector.c_str(), protector_status(false).c_str());
    return 0;
}

int cmd_init_with_protector(const Options &opt) {
    const uint32_t kind = opt.protector.empty() ? kFile : protector_kind(opt.protector);
    if (kind == kFile && !opt.pcrs.empty()) throw Failure{1, "--pcrs binds only the tpm2 protector"};
    make_secret_dir(opt);
    int rc = cmd_init(opt);
    if (rc != 0 || opt.protector.empty()) return rc;
    Session s(opt);
    protect(opt, kind);
    std::printf("sealed by the %s protector%s\n", opt.protector.c_str(), protector_status(false).c_str());
    return 0;
}

std::string protector_status(bool json) {
    auto fn = reinterpret_cast<InfoFn>(dlsym(RTLD_DEFAULT, "VaqPrivProtectorInfo"));
    uint32_t kind = 0, mask = 0;
    char where[512] = {};
    if (fn == nullptr || fn(&kind, &mask, where, sizeof where) != 0)
        return json ? "null" : "\nprotector      unknown (the key library does not tell)";
    const std::string place = where;
    if (json) {
        if (kind == kFile) return "{\"kind\": \"file\", \"secret\": \"" + json_escape(place) + "\"}";
        if (kind == kTpm2)
            return "{\"kind\": \"tpm2\", \"pcrs\": [" + pcr_list(mask) + "], \"tcti\": \"" +
                   json_escape(place) + "\"}";
        return "{\"kind\": \"none\"}";
    }
    if (kind == kFile) return "\nprotector      file (node secret " + place + ")";
    if (kind == kTpm2)
        return "\nprotector      tpm2 (PCRs " + (mask ? pcr_list(mask) : std::string("none")) + ", TCTI " +
               place + ")";
    return "\nprotector      none: the root material is in the keystore files (run 'telmor-vaq protect --with file')";
}

}  // namespace cli
