/* SPDX-License-Identifier: Apache-2.0 */
// How this node reaches its fleet, as `fleet init` records it in root's
// /etc/telmor/vaq/fleet.conf (0600): etcd's endpoints, the TLS files, the
// etcd user and the file its password is read from (never the password
// itself), the fleet's token key, the prefix, and this node's name.
#ifndef TELMOR_VAQ_FLEET_CONFIG_H
#define TELMOR_VAQ_FLEET_CONFIG_H

#include <optional>
#include <string>
#include <vector>

#include "etcd_client.h"

namespace fleet {

inline constexpr const char *kConfigDir = "/etc/telmor/vaq";
inline constexpr const char *kConfigLeaf = "fleet.conf";
inline constexpr const char *kDefaultPrefix = "/telmor/vaq/fleet/";

struct FleetConfig {
    std::vector<std::string> endpoints;
    std::string ca_file, cert_file, key_file;
    std::string user;
    std::string password_file;
    std::string token_key;   // pkcs11: URI of the key exports are sealed to
    std::string prefix = kDefaultPrefix;
    std::string node;        // this node's member name
};

std::string encode_config(const FleetConfig &c);
// Empty `why` when c is one this version reads; else what is wrong.
std::optional<FleetConfig> decode_config(const std::string &text, std::string &why);
// What is wrong with c (empty: nothing): endpoints https://, absolute file
// names, a pkcs11: token key, names that fit the layout.
std::string config_fault(const FleetConfig &c);

// Reads PATH, which must be a regular file (not a link) of root's that no
// one else may read or write; on failure nullopt and why.
std::optional<FleetConfig> read_config(const std::string &path, std::string &why);

// Reads a password file: a regular file, not a link, of the caller's, that
// group and others may not read; the first line without its newline.
std::optional<std::string> read_password_file(const std::string &path, std::string &why);

// The client configuration, with the password read from its file.
std::optional<EtcdConfig> etcd_config(const FleetConfig &c, std::string &why);

}  // namespace fleet

#endif
