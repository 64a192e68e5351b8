// SPDX-License-Identifier: Apache-2.0
#include "softhsm_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "files.h"

namespace tvtest {

namespace {

// Removes the directories made below when the process that made them ends
// (not a forked child that calls exit while its parent still uses them).
struct Made {
    pid_t owner = getpid();
    std::vector<std::string> dirs;
    ~Made() {
        if (getpid() != owner) return;
        for (const auto &d : dirs) shell("rm -rf '" + d + "'");
    }
};
Made g_made;

// A directory of its own with a configuration whose token directory is in it.
std::string make_conf(const char *what) {
    char dir[] = "/tmp/vaq-softhsm-XXXXXX";
    if (mkdtemp(dir) == nullptr) return "";
    const std::string base = dir;
    g_made.dirs.push_back(base);
    const std::string tokens = base + "/tokens";
    if (mkdir(tokens.c_str(), 0700) != 0) return "";
    const std::string conf = base + "/softhsm2-" + what + ".conf";
    write_file(conf, "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
    return conf;
}

std::mutex g_mutex;
std::set<std::string> g_labels;

}  // namespace

bool SoftHsmToken::available() {
    return access(kModule, R_OK) == 0 &&
           shell("command -v softhsm2-util >/dev/null && command -v pkcs11-tool >/dev/null") == 0;
}

std::string SoftHsmToken::unusable() {
    if (!available()) return "softhsm2 and opensc are not installed (scripts/install-deps)";
    struct stat st {};
    if (stat(kModule, &st) != 0 || st.st_uid != 0) return "the SoftHSM2 module is not root's here (a user namespace)";
    return {};
}

const std::string &SoftHsmToken::conf() {
    static const std::string c = [] {
        std::string made = make_conf("shared");
        setenv("SOFTHSM2_CONF", made.c_str(), 1);
        return made;
    }();
    return c;
}

const std::string &SoftHsmToken::token_dir() {
    static const std::string d = conf().substr(0, conf().rfind('/')) + "/tokens";
    return d;
}

const std::string &SoftHsmToken::isolated_conf() {
    static const std::string c = make_conf("isolated");
    return c;
}

SoftHsmToken::SoftHsmToken(const std::string &label, bool shareLabel) {
    if (!available()) {
        error_ = "softhsm2 or opensc is not installed (scripts/install-deps)";
        return;
    }
    if (conf().empty()) {
        error_ = "no SoftHSM2 directory could be made in /tmp";
        return;
    }
    {
        std::lock_guard<std::mutex> g(g_mutex);
        label_ = label;
        if (!g_labels.insert(label_).second && !shareLabel)
            for (int n = 2; !g_labels.insert(label_).second; ++n) label_ = label + "-" + std::to_string(n);
    }
    const std::string cmd = "SOFTHSM2_CONF='" + conf() + "' softhsm2-util --init-token --free --label '" + label_ +
                            "' --so-pin " + kSoPin + " --pin " + kPin + " 2>&1";
    // The token is known by its slot from here on: its label may be another's.
    std::string said;
    if (shell_output(cmd, said) != 0) {
        error_ = "softhsm2-util could not make the token " + label_;
        return;
    }
    const size_t at = said.rfind("slot ");
    if (at != std::string::npos) slot_ = said.substr(at + 5, said.find_first_not_of("0123456789", at + 5) - at - 5);
    if (slot_.empty() || !key_tool("serial " + std::string(kModule) + " " + slot_, &serial_) || serial_.empty())
        error_ = "the token " + label_ + " has no slot or serial number: " + said;
}

bool SoftHsmToken::key_tool(const std::string &args, std::string *out) const {
    std::string said;
    const bool ok = shell_output("SOFTHSM2_CONF='" + conf() + "' '" VAQ_TEST_TOKEN_KEY_TOOL "' " + args, said) == 0;
    while (!said.empty() && said.back() == '\n') said.pop_back();
    if (out) *out = said;
    return ok;
}

bool SoftHsmToken::tool(const std::string &args) const {
    const std::string cmd = "SOFTHSM2_CONF='" + conf() + "' pkcs11-tool --module " + kModule + " --slot " + slot_ +
                            " --login --pin " + kPin + " " + args + " >/dev/null 2>&1";
    return shell(cmd) == 0;
}

bool SoftHsmToken::make_key(const std::string &key, KeyKind kind, const std::string &hexId) {
    const std::string where = std::string(kModule) + " " + slot_ + " " + kPin + " '" + key + "'";
    if (kind == KeyKind::kImported) {
        known_ = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
        return key_tool("import " + where + " " + known_);
    }
    if (kind == KeyKind::kReadOut) return key_tool("lock " + where, &known_) && known_.size() == 64;
    std::string args = "--keygen --label '" + key + "'";
    switch (kind) {
        case KeyKind::kSealing:
            args += " --key-type AES:32 --sensitive";
            break;
        case KeyKind::kExtractable:
            args += " --key-type AES:32 --extractable";
            break;
        case KeyKind::kGeneric:
            args += " --key-type GENERIC:32 --sensitive";
            break;
        case KeyKind::kImported:
        case KeyKind::kReadOut:
            break;
    }
    if (!hexId.empty()) args += " --id " + hexId;
    return tool(args);
}

bool SoftHsmToken::delete_key(const std::string &key) {
    return tool("--delete-object --type secrkey --label '" + key + "'");
}

void SoftHsmToken::write_pin(const std::string &path, const std::string &pin) {
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400);
    if (fd < 0) return;
    const std::string line = pin + "\n";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) unlink(path.c_str());
    close(fd);
}

std::string SoftHsmToken::uri(const std::string &key, const std::string &pinPath) const {
    std::string u = "pkcs11:token=" + label_ + ";object=" + key + "?module-path=" + kModule;
    if (!pinPath.empty()) u += "&pin-source=file:" + pinPath;
    return u;
}

}  // namespace tvtest
