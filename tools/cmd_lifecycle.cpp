// SPDX-License-Identifier: Apache-2.0
// The key lifecycle: create, register, activate and delete master keys, renew
// the root key, and announce changes.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "causes.h"
#include "command_table.h"
#include "secret_io.h"
#include "session.h"
#include "key_staging.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

constexpr size_t kGeneratedKeyBytes = 32;

void random_bytes(void *out, size_t n) {
    auto *p = static_cast<unsigned char *>(out);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw tool_failure("the system's random source failed: " + std::string(std::strerror(errno)));
        p += got;
        n -= static_cast<size_t>(got);
    }
}

}  // namespace

// A new inactive key (create-key --inactive, fleet rotate): a random id unused in the domain and 32 random bytes.
uint32_t stage_key(uint32_t domain, const Context &ctx) {
    const std::vector<uint32_t> used = key_ids(domain);
    uint32_t id = 0;
    while (id == 0 || std::find(used.begin(), used.end(), id) != used.end()) random_bytes(&id, sizeof id);
    SecretBuffer material;
    unsigned char bytes[kGeneratedKeyBytes];
    random_bytes(bytes, sizeof bytes);
    material.append(bytes, sizeof bytes);
    explicit_bzero(bytes, sizeof bytes);
    Context c = ctx;
    c.keyId = id;
    require_change(TELMOR_VAQ_UpdateMK(domain, id, material.data(), static_cast<uint32_t>(material.size())),
                   "storing a new master key in domain " + std::to_string(domain), c);
    return id;
}

namespace {

// Tells every process on the node to reload at its next key operation.
void announce(const Options &opt) {
    if (opt.notify) TELMOR_update_shm();
}

std::string key_in(uint32_t keyId, uint32_t domain) {
    return "key " + std::to_string(keyId) + " in domain " + std::to_string(domain);
}

int cmd_create_key(const Options &opt) {
    const uint32_t domain = *opt.domain;
    if (opt.inactive && !opt.notify) {
        throw UsageError{"--no-notify cannot go with --inactive: storing a key always announces the change"};
    }
    const Context ctx{opt.role, domain, {}, {}};
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    if (opt.inactive) {
        const uint32_t id = stage_key(domain, ctx);
        std::printf(
            "created master key %u in domain %s (inactive: activate it with 'telmor-vaq activate-key "
            "--domain %u --key-id %u')\n",
            id, domain_label(domain).c_str(), domain, id);
        return 0;
    }
    uint32_t keyId = 0;
    require_change(TELMOR_VAQ_CreateMK(domain, &keyId), "creating a master key in domain " + std::to_string(domain),
                   ctx);
    announce(opt);
    std::printf("created master key %u in domain %s (now active)\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_register_key(const Options &opt) {
    const uint32_t domain = *opt.domain, keyId = *opt.keyId;
    const Context ctx{opt.role, domain, keyId, opt.file};
    SecretBuffer material;
    if (!opt.file.empty()) {
        const int fd = open(opt.file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const std::string why = explain_io(opt.file, false);
            throw tool_failure("cannot open " + opt.file + ": " + (why.empty() ? std::strerror(errno) : why));
        }
        try {
            material = read_all_secret(fd, 4096);
        } catch (...) {
            close(fd);
            throw;
        }
        close(fd);
    } else {
        material = read_all_secret(STDIN_FILENO, 4096);
    }
    if (material.empty()) throw tool_failure("no key material given (16 to 256 bytes, from --file or stdin)");
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    const unsigned long rc =
        TELMOR_VAQ_UpdateMK(domain, keyId, material.data(), static_cast<uint32_t>(material.size()));
    material.clear();
    require_change(rc, "registering " + key_in(keyId, domain), ctx);
    std::printf("registered master key %u in domain %s (inactive)\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_activate_key(const Options &opt) {
    const uint32_t domain = *opt.domain, keyId = *opt.keyId;
    const Context ctx{opt.role, domain, keyId, {}};
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    require_change(TELMOR_VAQ_ActiveMK(domain, keyId), "activating " + key_in(keyId, domain), ctx);
    std::printf("master key %u is now active in domain %s\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_delete_key(const Options &opt) {
    const uint32_t domain = *opt.domain, keyId = *opt.keyId;
    const Context ctx{opt.role, domain, keyId, {}};
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    if (!opt.yes && isatty(STDIN_FILENO)) {
        const std::string question = "delete master key " + std::to_string(keyId) + " of domain " +
                                     domain_label(domain) + "? Texts made under it can no longer be decrypted. [y/N] ";
        const std::string answer = ask(question.c_str());
        if (answer != "y" && answer != "Y" && answer != "yes") throw tool_failure("not deleted");
    }
    require_change(TELMOR_VAQ_Delete(domain, keyId), "deleting " + key_in(keyId, domain), ctx);
    announce(opt);
    std::printf("deleted master key %u from domain %s\n", keyId, domain_label(domain).c_str());
    return 0;
}

int cmd_rotate_root_key(const Options &opt) {
    Session s(opt.role);
    require_change(TELMOR_VAQ_UpdateRootKey(), "renewing the root key", {opt.role, {}, {}, {}});
    announce(opt);
    std::printf("root key renewed; every master key rewrapped\n");
    return 0;
}

int cmd_notify(const Options &opt) {
    Session s(opt.role);
    require(TELMOR_update_shm(), "announcing the change", {opt.role, {}, {}, {}});
    std::printf("announced: every process on the node reloads at its next key operation (version %u)\n",
                node_version().value_or(0));
    return 0;
}

const CommandRegistrar kCreate(
    {"create-key",
     "Keys",
     23,
     "generate a new master key; active at once, or --inactive to stage it",
     "Generates a new master key in the domain (a random unused id, 32 random bytes). Without --inactive it\n"
     "becomes the domain's active key at once; the previous key stays for decryption. With --inactive it is\n"
     "stored but not used for encryption until 'activate-key', so it can first reach every node of a fleet.",
     {Opt::Role, Opt::Domain, Opt::Inactive, Opt::NoNotify},
     {},
     {{"create-key --domain 50 --inactive", "stage a new key of domain 50 for a fleet rotation"}},
     cmd_create_key});

const CommandRegistrar kRegister(
    {"register-key",
     "Keys",
     24,
     "store given key material (16 to 256 bytes) as an inactive master key",
     "Stores key material read from --file or stdin (16 to 256 bytes) under the given key id, inactive.",
     {Opt::Role, Opt::Domain, Opt::KeyId, Opt::File},
     {},
     {{"register-key --domain 50 --key-id 77 --file key.bin", "store the bytes of key.bin as key 77"}},
     cmd_register_key});

const CommandRegistrar kActivate(
    {"activate-key",
     "Keys",
     25,
     "make a master key the domain's active key",
     "Makes the key the domain's active key: new texts are made under it. Always announced.",
     {Opt::Role, Opt::Domain, Opt::KeyId},
     {},
     {{"activate-key --domain 50 --key-id 77", "encrypt under key 77 from now on"}},
     cmd_activate_key});

const CommandRegistrar kDelete(
    {"delete-key",
     "Keys",
     26,
     "delete an inactive master key (texts made under it can no longer be decrypted)",
     "Deletes an inactive master key. Texts made under it can no longer be decrypted: move them first with\n"
     "'rewrap'. Asks for confirmation on a terminal unless --yes is given.",
     {Opt::Role, Opt::Domain, Opt::KeyId, Opt::Yes, Opt::NoNotify},
     {},
     {{"delete-key --domain 50 --key-id 77 --yes", "delete key 77 without asking"}},
     cmd_delete_key});

const CommandRegistrar kRotateRoot(
    {"rotate-root-key",
     "Keys",
     27,
     "make new root material and rewrap every master key under it",
     "Makes new root material and rewraps every master key under it, in one keystore change.",
     {Opt::Role, Opt::NoNotify},
     {},
     {{"rotate-root-key --role HXM", "renew the manager tools' root key"}},
     cmd_rotate_root_key});

const CommandRegistrar kNotify(
    {"notify",
     "Keystore",
     43,
     "make every process on the node reload its keystore",
     "Announces a keystore change: every process on the node reloads at its next key operation.",
     {Opt::Role},
     {},
     {{"notify", "after changes made with --no-notify"}},
     cmd_notify});

}  // namespace

}  // namespace cli
