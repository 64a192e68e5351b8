// SPDX-License-Identifier: Apache-2.0
#include "fleet_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "fleet_layout.h"

namespace fleet {

using json = nlohmann::ordered_json;

namespace {

// A small file read whole by descriptor, judged on what was opened.
std::optional<std::string> read_private(const std::string &path, uid_t owner, std::string &why) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::string out;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = path + " is not a regular file";
    } else if (st.st_nlink != 1) {
        why = path + " has " + std::to_string(st.st_nlink) + " links: a private file has one";
    } else if (st.st_uid != owner) {
        why = path + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " + std::to_string(owner);
    } else if ((st.st_mode & 077) != 0) {
        why = path + " may be read or written by group or others (mode 0" +
              std::to_string((st.st_mode >> 6 & 7) * 100 + (st.st_mode >> 3 & 7) * 10 + (st.st_mode & 7)) +
              "): chmod 0600 " + path;
    } else if (st.st_size > 65536) {
        why = path + " is larger than 64 KiB";
    } else {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) why = "cannot read " + path + ": " + std::strerror(errno);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (!why.empty()) {
        std::fill(out.begin(), out.end(), '\0');
        return std::nullopt;
    }
    return out;
}

bool absolute(const std::string &p) { return !p.empty() && p[0] == '/'; }

}  // namespace

std::string encode_config(const FleetConfig &c) {
    return json{{"endpoints", c.endpoints}, {"ca", c.ca_file},
                {"cert", c.cert_file},      {"cert_key", c.key_file},
                {"user", c.user},           {"password_file", c.password_file},
                {"token_key", c.token_key}, {"prefix", c.prefix},
                {"node", c.node}}
               .dump(2) +
           "\n";
}

std::optional<FleetConfig> decode_config(const std::string &text, std::string &why) {
    json j = json::parse(text, nullptr, false);
    FleetConfig c;
    auto str = [&](const char *name, std::string &out) {
        auto it = j.find(name);
        if (it == j.end() || !it->is_string()) return false;
        out = it->get<std::string>();
        return true;
    };
    bool ok = !j.is_discarded() && j.is_object() && j.contains("endpoints") && j["endpoints"].is_array();
    if (ok) {
        for (const auto &e : j["endpoints"]) {
            if (!e.is_string()) ok = false;
            else c.endpoints.push_back(e.get<std::string>());
        }
    }
    ok = ok && str("ca", c.ca_file) && str("cert", c.cert_file) && str("cert_key", c.key_file) && str("user", c.user) &&
         str("password_file", c.password_file) && str("token_key", c.token_key) && str("prefix", c.prefix) &&
         str("node", c.node);
    if (!ok) {
        why = "not a fleet configuration this version reads";
        return std::nullopt;
    }
    why = config_fault(c);
    if (!why.empty()) return std::nullopt;
    return c;
}

std::string config_fault(const FleetConfig &c) {
    if (c.endpoints.empty()) return "no etcd endpoint";
    for (const auto &e : c.endpoints)
        if (e.rfind("https://", 0) != 0 || e.size() <= 8)
            return "etcd endpoint " + e + " is not https://HOST:PORT: the fleet talks to etcd over mutual TLS only";
    for (const auto *f : {&c.ca_file, &c.cert_file, &c.key_file, &c.password_file})
        if (!absolute(*f)) return "'" + *f + "' is not an absolute file name";
    if (c.user.empty()) return "no etcd user";
    if (c.token_key.rfind("pkcs11:", 0) != 0) return "the token key '" + c.token_key + "' is not a pkcs11: URI";
    if (c.prefix.size() < 2 || c.prefix.front() != '/' || c.prefix.back() != '/')
        return "the prefix '" + c.prefix + "' does not begin and end with '/'";
    if (!valid_name(c.node)) return "'" + c.node + "' is not a node name (letters, digits, '.', '_', '-')";
    return {};
}

std::optional<FleetConfig> read_config(const std::string &path, std::string &why) {
    auto text = read_private(path, 0, why);
    if (!text) return std::nullopt;
    auto c = decode_config(*text, why);
    if (!c) why = path + ": " + why;
    return c;
}

std::optional<std::string> read_password_file(const std::string &path, std::string &why) {
    auto text = read_private(path, geteuid(), why);
    if (!text) return std::nullopt;
    std::string line = text->substr(0, text->find('\n'));
    std::fill(text->begin(), text->end(), '\0');
    if (line.empty()) {
        why = path + " holds no password";
        return std::nullopt;
    }
    return line;
}

std::optional<EtcdConfig> etcd_config(const FleetConfig &c, std::string &why) {
    auto password = read_password_file(c.password_file, why);
    if (!password) return std::nullopt;
    EtcdConfig e;
    e.endpoints = c.endpoints;
    e.ca_file = c.ca_file;
    e.cert_file = c.cert_file;
    e.key_file = c.key_file;
    e.user = c.user;
    e.password = *password;
    std::fill(password->begin(), password->end(), '\0');   // a short string is copied, not moved
    return e;
}

}  // namespace fleet
