// SPDX-License-Identifier: Apache-2.0
#include "fleet_keystore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "arrival.h"
#include "causes.h"
#include "inventory.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

std::string refusal(unsigned long rc, const std::string &role) {
    return cause(rc, Context{role, {}, {}, {}}) + " (code " + std::to_string(rc) + ")";
}

}  // namespace

ToolKeystore::ToolKeystore(std::string role) : role_(std::move(role)) {
    { Session opened(role_); }   // refused here, at start, when the keystore cannot be opened
    char tmpl[] = "/tmp/telmor-vaq-fleet.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw tool_failure("cannot make a private directory for arriving keys in /tmp");
    scratch_ = tmpl;
}

ToolKeystore::~ToolKeystore() { rmdir(scratch_.c_str()); }

std::vector<KeyInfo> ToolKeystore::keys() {
    try {
        Session s(role_);
        return list_keys();
    } catch (const Failure &f) {
        throw std::runtime_error("reading the keystore of role " + role_ + ": " + f.reason);
    }
}

std::vector<fleet::HeldKey> ToolKeystore::held() {
    std::vector<fleet::HeldKey> out;
    for (const KeyInfo &k : keys()) out.push_back({k.domain, k.keyId});
    return out;
}

std::map<std::uint32_t, std::uint32_t> ToolKeystore::active() {
    std::map<std::uint32_t, std::uint32_t> out;
    for (const KeyInfo &k : keys())
        if (k.active) out[k.domain] = k.keyId;
    return out;
}

bool ToolKeystore::import(const fleet::FleetKey &key, std::string &why) {
    const std::string file = scratch_ + "/key-" + std::to_string(key.domain) + "-" + std::to_string(key.key_id);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot write " + file;
        return false;
    }
    std::size_t done = 0;
    while (done < key.material.size()) {
        const ssize_t n = write(fd, key.material.data() + done, key.material.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    bool ok = done == key.material.size();
    if (!ok) why = "cannot write " + file;
    if (ok) {
        // The same way as `telmor-vaq import FILE`: the arrival rules apply,
        // and what the library says is the agent's log line.
        Options opt;
        opt.command = "fleet agent";
        opt.role = role_;
        opt.args = {file};
        try {
            arrive(opt, Arrive::Import);
        } catch (const Failure &f) {
            why = f.reason + (f.code ? " (code " + std::to_string(*f.code) + ")" : "");
            ok = false;
        }
    }
    unlink(file.c_str());
    if (ok) {
        // An export holds the role's keys; what counts is whether this one came.
        for (const auto &h : held())
            if (h.domain == key.domain && h.key_id == key.key_id) return true;
        why = "the export did not bring it (left out by the key library's arrival rules)";
        return false;
    }
    return false;
}

bool ToolKeystore::activate(std::uint32_t domain, std::uint32_t key_id, std::string &why) {
    unsigned long rc = 0;
    try {
        Session s(role_);
        rc = TELMOR_VAQ_ActiveMK(domain, key_id);
    } catch (const Failure &f) {
        why = f.reason;
        return false;
    }
    if (rc != 0) {
        why = refusal(rc, role_);
        return false;
    }
    TELMOR_update_shm();
    return true;
}

bool ToolKeystore::remove(std::uint32_t domain, std::uint32_t key_id, std::string &why) {
    unsigned long rc = 0;
    try {
        Session s(role_);
        rc = TELMOR_VAQ_Delete(domain, key_id);
    } catch (const Failure &f) {
        why = f.reason;
        return false;
    }
    if (rc != 0) {
        why = refusal(rc, role_);
        return false;
    }
    TELMOR_update_shm();
    return true;
}

}  // namespace cli
