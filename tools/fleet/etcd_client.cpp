/* SPDX-License-Identifier: Apache-2.0 */
// The etcd seam's unary calls (why the JSON gateway: etcd_client.h).
#include "etcd_client.h"

#include "etcd_session.h"

namespace fleet {
namespace {

using namespace wire;

const char *compare_target(Compare::Target t) {
    switch (t) {
    case Compare::Target::Mod: return "MOD";
    case Compare::Target::Create: return "CREATE";
    case Compare::Target::Version: return "VERSION";
    }
    return "MOD";
}

const char *compare_result(Compare::Result r) {
    switch (r) {
    case Compare::Result::Equal: return "EQUAL";
    case Compare::Result::Less: return "LESS";
    case Compare::Result::Greater: return "GREATER";
    case Compare::Result::NotEqual: return "NOT_EQUAL";
    }
    return "EQUAL";
}

json op_json(const TxnOp &op) {
    if (op.kind == TxnOp::Kind::Put) {
        json put = {{"key", b64(op.key)}, {"value", b64(op.value)}};
        if (op.lease != 0) put["lease"] = std::to_string(op.lease);
        return {{"request_put", put}};
    }
    json del = {{"key", b64(op.key)}};
    if (!op.range_end.empty()) del["range_end"] = b64(op.range_end);
    return {{"request_delete_range", del}};
}

}  // namespace

std::string prefix_end(const std::string &prefix) {
    std::string end = prefix;
    while (!end.empty()) {
        auto last = static_cast<unsigned char>(end.back());
        if (last < 0xff) {
            end.back() = static_cast<char>(last + 1);
            return end;
        }
        end.pop_back();
    }
    return std::string(1, '\0');   // every key
}

EtcdClient::EtcdClient(EtcdConfig config) : impl_(std::make_unique<Impl>()) {
    curl_init_once();
    // Copied, not moved: a moved short string keeps its bytes in the old
    // object, where this wipe would not reach them.
    impl_->config = config;
    OPENSSL_cleanse(config.password.data(), config.password.size());
}

EtcdClient::~EtcdClient() = default;

Outcome<RangeResult> EtcdClient::range_prefix(const std::string &prefix) {
    return impl_->range(prefix, prefix_end(prefix));
}

Outcome<RangeResult> EtcdClient::get(const std::string &key) { return impl_->range(key, ""); }

Outcome<std::int64_t> EtcdClient::put(const std::string &key, const std::string &value, std::int64_t lease) {
    json body = {{"key", b64(key)}, {"value", b64(value)}};
    if (lease != 0) body["lease"] = std::to_string(lease);
    auto r = impl_->call("/v3/kv/put", body, false);
    if (!r.ok) return Outcome<std::int64_t>::bad(r.error);
    std::int64_t rev = 0;
    if (!header_revision(r.value, rev)) return Outcome<std::int64_t>::bad(malformed("no revision to a put"));
    return Outcome<std::int64_t>::good(rev);
}

Outcome<std::int64_t> EtcdClient::remove(const std::string &key) {
    auto r = impl_->call("/v3/kv/deleterange", json{{"key", b64(key)}}, false);
    if (!r.ok) return Outcome<std::int64_t>::bad(r.error);
    std::int64_t rev = 0;
    if (!header_revision(r.value, rev)) return Outcome<std::int64_t>::bad(malformed("no revision to a delete"));
    return Outcome<std::int64_t>::good(rev);
}

Outcome<TxnResult> EtcdClient::txn(const std::vector<Compare> &compares, const std::vector<TxnOp> &success,
                                   const std::vector<TxnOp> &failure) {
    json cmp = json::array();
    for (const auto &c : compares) {
        json j = {{"key", b64(c.key)}, {"target", compare_target(c.target)}, {"result", compare_result(c.result)}};
        if (!c.range_end.empty()) j["range_end"] = b64(c.range_end);
        const char *field = c.target == Compare::Target::Mod      ? "mod_revision"
                            : c.target == Compare::Target::Create ? "create_revision"
                                                                  : "version";
        j[field] = std::to_string(c.revision);
        cmp.push_back(std::move(j));
    }
    json ok = json::array(), fail = json::array();
    for (const auto &op : success) ok.push_back(op_json(op));
    for (const auto &op : failure) fail.push_back(op_json(op));
    auto r = impl_->call("/v3/kv/txn", json{{"compare", cmp}, {"success", ok}, {"failure", fail}}, false);
    if (!r.ok) return Outcome<TxnResult>::bad(r.error);
    TxnResult out;
    if (!header_revision(r.value, out.revision)) return Outcome<TxnResult>::bad(malformed("no revision to a txn"));
    auto s = r.value.find("succeeded");
    out.succeeded = s != r.value.end() && s->is_boolean() && s->get<bool>();
    return Outcome<TxnResult>::good(out);
}

Outcome<std::int64_t> EtcdClient::lease_grant(std::int64_t ttl_seconds) {
    // Asked again on another endpoint if need be: a lease granted twice
    // leaves one unused, which lapses.
    auto r = impl_->call("/v3/lease/grant", json{{"TTL", std::to_string(ttl_seconds)}}, true);
    if (!r.ok) return Outcome<std::int64_t>::bad(r.error);
    std::int64_t id = 0;
    if (!int_field(r.value, "ID", id) || id == 0) return Outcome<std::int64_t>::bad(malformed("no lease id"));
    return Outcome<std::int64_t>::good(id);
}

Outcome<std::int64_t> EtcdClient::lease_keep_alive(std::int64_t id) {
    // A stream in etcd's API; one request on it renews the lease once.
    auto r = impl_->call("/v3/lease/keepalive", json{{"ID", std::to_string(id)}}, true);
    if (!r.ok) return Outcome<std::int64_t>::bad(r.error);
    auto res = r.value.find("result");
    if (res == r.value.end() || !res->is_object()) {
        EtcdError err;
        if (error_of(r.value, err)) return Outcome<std::int64_t>::bad(err);
        return Outcome<std::int64_t>::bad(malformed("no result to a keep-alive"));
    }
    std::int64_t ttl = 0;
    if (!int_field(*res, "TTL", ttl)) return Outcome<std::int64_t>::bad(malformed("a lease time it cannot read"));
    return Outcome<std::int64_t>::good(ttl > 0 ? ttl : 0);
}

Outcome<bool> EtcdClient::lease_revoke(std::int64_t id) {
    auto r = impl_->call("/v3/lease/revoke", json{{"ID", std::to_string(id)}}, true);
    if (!r.ok) return Outcome<bool>::bad(r.error);
    return Outcome<bool>::good(true);
}

WatchEnd EtcdClient::watch(const std::string &prefix, std::int64_t from_revision, const WatchCallback &on_events,
                           const WatchOptions &options) {
    return impl_->watch(prefix, prefix_end(prefix), from_revision, on_events, options);
}

WatchEnd EtcdClient::watch_range(const std::string &key, const std::string &range_end, std::int64_t from_revision,
                                 const WatchCallback &on_events, const WatchOptions &options) {
    return impl_->watch(key, range_end, from_revision, on_events, options);
}

}  // namespace fleet
