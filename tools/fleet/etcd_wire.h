/* SPDX-License-Identifier: Apache-2.0 */
// How etcd's v3 JSON gateway writes things: keys and values in base64, 64-bit
// numbers as strings, errors with etcd's gRPC code.
#ifndef TELMOR_VAQ_FLEET_ETCD_WIRE_H
#define TELMOR_VAQ_FLEET_ETCD_WIRE_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "etcd_client.h"

namespace fleet::wire {

using json = nlohmann::json;

// gRPC codes etcd answers with.
constexpr int kInvalidArgument = 3;
constexpr int kPermissionDenied = 7;
constexpr int kUnavailable = 14;
constexpr int kUnauthenticated = 16;

std::string b64(std::string_view in);
bool unb64(std::string_view in, std::string &out);
// An absent field is 0 (or empty); false: present but not readable.
bool int_field(const json &j, const char *name, std::int64_t &out);
bool bytes_field(const json &j, const char *name, std::string &out);
bool read_kv(const json &j, KeyValue &kv);
bool header_revision(const json &j, std::int64_t &rev);
EtcdError malformed(const std::string &what);
// True when j is an error answer, which err then describes.
bool error_of(const json &j, EtcdError &err);

}  // namespace fleet::wire

#endif
