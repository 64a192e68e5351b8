/* SPDX-License-Identifier: Apache-2.0 */
#include "etcd_wire.h"

#include <openssl/evp.h>

namespace fleet::wire {

std::string b64(std::string_view in) {
    std::string out(4 * ((in.size() + 2) / 3), '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool unb64(std::string_view in, std::string &out) {
    if (in.size() % 4 != 0) return false;
    out.assign(3 * (in.size() / 4), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size()));
    if (n < 0) return false;
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t pad = 0;
    if (!in.empty() && in.back() == '=') pad++;
    if (in.size() > 1 && in[in.size() - 2] == '=') pad++;
    out.resize(static_cast<std::size_t>(n) - pad);
    return true;
}

// The gateway writes 64-bit numbers as strings; an absent field is 0.
bool int_field(const json &j, const char *name, std::int64_t &out) {
    out = 0;
    auto it = j.find(name);
    if (it == j.end() || it->is_null()) return true;
    if (it->is_number_integer()) {
        out = it->get<std::int64_t>();
        return true;
    }
    if (!it->is_string()) return false;
    const std::string &s = it->get_ref<const std::string &>();
    if (s.empty()) return false;
    std::size_t used = 0;
    try {
        out = std::stoll(s, &used);
    } catch (...) {
        return false;
    }
    return used == s.size();
}

bool bytes_field(const json &j, const char *name, std::string &out) {
    out.clear();
    auto it = j.find(name);
    if (it == j.end() || it->is_null()) return true;
    return it->is_string() && unb64(it->get_ref<const std::string &>(), out);
}

bool read_kv(const json &j, KeyValue &kv) {
    return j.is_object() && bytes_field(j, "key", kv.key) && bytes_field(j, "value", kv.value) &&
           int_field(j, "create_revision", kv.create_revision) && int_field(j, "mod_revision", kv.mod_revision) &&
           int_field(j, "version", kv.version) && int_field(j, "lease", kv.lease);
}

bool header_revision(const json &j, std::int64_t &rev) {
    auto h = j.find("header");
    if (h == j.end() || !h->is_object()) return false;
    return int_field(*h, "revision", rev);
}

EtcdError malformed(const std::string &what) { return {EtcdError::Kind::Malformed, 0, "etcd answered " + what}; }

// An error answer: {"error": "...", "message": "...", "code": N} from a unary
// call, {"error": {"grpc_code": N, "message": "..."}} inside a stream.
bool error_of(const json &j, EtcdError &err) {
    if (!j.is_object()) return false;
    auto e = j.find("error");
    if (e == j.end()) return false;
    std::int64_t code = 0;
    std::string message;
    if (e->is_object()) {
        int_field(*e, "grpc_code", code);
        if (auto m = e->find("message"); m != e->end() && m->is_string()) message = m->get<std::string>();
    } else {
        int_field(j, "code", code);
        if (auto m = j.find("message"); m != j.end() && m->is_string()) message = m->get<std::string>();
        else if (e->is_string()) message = e->get<std::string>();
    }
    err.code = static_cast<int>(code);
    // etcd answers a request that names no user, where users are on, and a
    // wrong password as invalid arguments; they are refusals all the same.
    const bool no_user = code == kInvalidArgument && (message.find("user name is empty") != std::string::npos ||
                                                      message.find("authentication failed") != std::string::npos);
    err.kind = (code == kPermissionDenied || code == kUnauthenticated || no_user) ? EtcdError::Kind::Refused
               : code == kUnavailable                                           ? EtcdError::Kind::Undecided
                                                                                : EtcdError::Kind::Failed;
    err.message = message.empty() ? "etcd refused the request" : message;
    return true;
}

}  // namespace fleet::wire
