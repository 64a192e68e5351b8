// SPDX-License-Identifier: Apache-2.0
// protect: moving the keystore's root material to another root protector.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "causes.h"
#include "command_table.h"
#include "protector.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

// Where every node secret lives (README.md, "Root protectors").
constexpr char kSecretDir[] = "/etc/telmor/vaq";

// The key library's private protector entries (keylib/vaq/vaq_private.h).
using ProtectFn = uint32_t (*)(uint32_t kind, uint32_t pcrMask);
using InfoFn = uint32_t (*)(uint32_t *kind, uint32_t *pcrMask, char *location, uint32_t len);
constexpr uint32_t kFile = 1, kTpm2 = 2;

template <class F>
F private_entry(const char *name) {
    auto f = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    if (f == nullptr) {
        throw tool_failure("the key library in use has no root protectors (" + std::string(name) +
                           " missing): it is not ours, or older");
    }
    return f;
}

std::string pcr_list(uint32_t mask) {
    std::string out;
    for (int i = 0; i < 24; ++i) {
        if (mask & (1u << i)) out += (out.empty() ? "" : ",") + std::to_string(i);
    }
    return out;
}

struct ProtectorInfo {
    uint32_t kind = 0;
    uint32_t mask = 0;
    std::string where;
    bool known = false;
};

ProtectorInfo protector_info() {
    ProtectorInfo info;
    auto fn = reinterpret_cast<InfoFn>(dlsym(RTLD_DEFAULT, "VaqPrivProtectorInfo"));
    char where[512] = {};
    if (fn == nullptr || fn(&info.kind, &info.mask, where, sizeof where) != 0) return info;
    info.where = where;
    info.known = true;
    return info;
}

int cmd_protect(const Options &opt) {
    check_protector_options(opt);
    Session s(opt.role);
    const ProtectorInfo before = protector_info();
    move_to_protector(opt);
    if (opt.notify) TELMOR_update_shm();
    std::printf("keystore of role %s sealed by the %s protector\n%s", opt.role.c_str(), opt.protector.c_str(),
                protector_lines().c_str());
    // The library removes the node secret once no copy is sealed by it; a
    // failure there leaves the move made, and the secret to remove by hand.
    struct stat st {};
    if (before.kind == kFile && opt.protector != "file" && lstat(before.where.c_str(), &st) == 0) {
        std::fprintf(stderr,
                     "telmor-vaq protect: the node secret %s no longer seals the keystore but could not be removed "
                     "(see the role's log): remove it, or run 'telmor-vaq protect --with %s' again\n",
                     before.where.c_str(), opt.protector.c_str());
    }
    return 0;
}

const CommandRegistrar kProtect(
    {"protect",
     "Keystore",
     48,
     "seal the keystore's root material by the node secret or the node's TPM",
     "Moves the keystore to a root protector, as one crash-safe change: 'file' seals the root material by\n"
     "the role's node secret (/etc/telmor/vaq/), 'tpm2' by the node's TPM (TCTI from TELMOR_VAQ_TCTI,\n"
     "default device:/dev/tpmrm0), optionally bound to PCRs. Moving back from tpm2 to file, e.g. before a\n"
     "motherboard change, works the same way. Texts and keys are unchanged.",
     {Opt::With, Opt::Pcrs, Opt::Role, Opt::NoNotify},
     {},
     {{"protect --with tpm2 --pcrs 0,7", "seal to the TPM, bound to PCRs 0 and 7"},
      {"protect --with file", "back to the node secret"}},
     cmd_protect});

}  // namespace

uint32_t parse_pcrs(const std::string &list) {
    uint32_t mask = 0;
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char *end = nullptr;
        errno = 0;
        const long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (end != item.c_str() && *end == '-') last = std::strtol(end + 1, &end, 10);
        if (item.empty() || errno != 0 || *end != '\0' || first < 0 || last > 23 || first > last) {
            throw UsageError{"--pcrs takes PCR numbers 0 to 23, e.g. 0,7 or 0-7, not '" + list + "'"};
        }
        for (long i = first; i <= last; ++i) mask |= 1u << i;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return mask;
}

void check_protector_options(const Options &opt) {
    if (!opt.pcrs.empty()) {
        if (opt.protector != "tpm2") throw UsageError{"--pcrs binds only the tpm2 protector"};
        parse_pcrs(opt.pcrs);
    }
}

void make_secret_dir(const Options &opt) {
    if (geteuid() != 0) return;  // the service account's own init: the directory is root's job
    for (const char *dir : {"/etc/telmor", kSecretDir}) {
        if (mkdir(dir, dir == kSecretDir ? 0700 : 0755) != 0 && errno != EEXIST) {
            throw tool_failure(std::string("cannot create ") + dir + ": " + std::strerror(errno));
        }
    }
    const Role &r = need_role(opt.role);
    const std::string conf = std::string(r.primary).substr(0, std::string(r.primary).rfind('/'));
    struct stat st {};
    if (stat(conf.c_str(), &st) == 0 && st.st_uid != 0 && chown(kSecretDir, st.st_uid, st.st_gid) != 0) {
        throw tool_failure(std::string("cannot hand ") + kSecretDir +
                           " to the service account: " + std::strerror(errno));
    }
}

void move_to_protector(const Options &opt) {
    const uint32_t mask = opt.pcrs.empty() ? 0 : parse_pcrs(opt.pcrs);
    const uint32_t kind = opt.protector == "tpm2" ? kTpm2 : kFile;
    auto fn = private_entry<ProtectFn>("VaqPrivProtect");
    const uint32_t rc = fn(kind, mask);
    require(rc, "moving the keystore to the " + opt.protector + " protector", {opt.role, {}, {}, {}});
}

std::string protector_lines() {
    const ProtectorInfo p = protector_info();
    if (!p.known) return "protector      unknown (the key library does not tell)\n";
    if (p.kind == kFile) return "protector      file (node secret " + p.where + ")\n";
    if (p.kind == kTpm2) {
        return "protector      tpm2 (PCRs " + (p.mask ? pcr_list(p.mask) : std::string("none")) + ", TCTI " + p.where +
               ")\n";
    }
    return "protector      none: the root material is in the keystore files (run 'telmor-vaq protect --with "
           "file')\n";
}

Json protector_json() {
    const ProtectorInfo p = protector_info();
    if (!p.known) return nullptr;
    Json j;
    if (p.kind == kFile) {
        j["kind"] = "file";
        j["secret"] = p.where;
    } else if (p.kind == kTpm2) {
        j["kind"] = "tpm2";
        Json pcrs = Json::array();
        for (int i = 0; i < 24; ++i) {
            if (p.mask & (1u << i)) pcrs.push_back(i);
        }
        j["pcrs"] = pcrs;
        j["tcti"] = p.where;
    } else {
        j["kind"] = "none";
    }
    return j;
}

}  // namespace cli
