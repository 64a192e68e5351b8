/* SPDX-License-Identifier: Apache-2.0 */
// The fleet's one seam to etcd: the few calls of etcd's v3 API the agent and
// the operator's commands need, over the v3 JSON gateway with libcurl.
//
// Why the JSON gateway and not gRPC: every etcd v3 server answers it on its
// client port; Debian packages libcurl (built on the OpenSSL we already use)
// and nlohmann-json, both small, while the gRPC route needs etcd's .proto
// files and their imports vendored into the tree, a protobuf compiler at
// build time, and libgrpc++ with its own TLS stack at run time. The calls
// below are the whole of what the fleet uses, so nothing else of etcd's API
// is worth a code generator.
//
// Every call is tried on each endpoint in turn until one answers; an answer
// from etcd (refused, failed compare, permission) is final. A read, or a
// write that cannot have reached etcd (no connection, no TLS handshake),
// moves on to the next endpoint; a write that may have reached it (dropped,
// or timed out after it went out) is answered Undecided, never sent twice.
// All revisions are etcd's.
#ifndef TELMOR_VAQ_FLEET_ETCD_CLIENT_H
#define TELMOR_VAQ_FLEET_ETCD_CLIENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fleet {

struct EtcdConfig {
    std::vector<std::string> endpoints;   // "https://127.0.0.1:2379"
    std::string ca_file;                  // the CA that signed the members' certificates
    std::string cert_file;                // this client's certificate and key (mutual TLS)
    std::string key_file;
    std::string user;                     // etcd user; empty: none (or the certificate's name)
    std::string password;                 // wiped when the client goes
    // For a unary call (a watch has none): above etcd's own wait for a
    // proposal (5 s and two election timeouts), so that a call made while
    // the leader changes gets etcd's answer. A call that timed out may still
    // have been applied: read before deciding again.
    long request_timeout_ms = 10000;
};

struct EtcdError {
    enum class Kind {
        Unreachable,   // no endpoint answered (connection, TLS handshake, time-out)
        Refused,       // authentication or permission refused by etcd
        Undecided,     // no leader, the leader changed, or the proposal timed out: a write
                       // may or may not have been applied; read, then decide again
        Failed,        // etcd answered with another error
        Malformed,     // an answer this client cannot read
    };
    Kind kind = Kind::Failed;
    int code = 0;              // etcd's (gRPC) code where it gave one; a curl code for Unreachable
    std::string message;
};

// The value of a call, or why there is none.
template <class T>
struct Outcome {
    T value{};
    bool ok = false;
    EtcdError error;
    static Outcome good(T v) { return Outcome{std::move(v), true, {}}; }
    static Outcome bad(EtcdError e) { return Outcome{T{}, false, std::move(e)}; }
};

struct KeyValue {
    std::string key;
    std::string value;
    std::int64_t create_revision = 0;
    std::int64_t mod_revision = 0;
    std::int64_t version = 0;
    std::int64_t lease = 0;
};

struct RangeResult {
    std::int64_t revision = 0;   // the store's revision the read was taken at
    std::vector<KeyValue> kvs;
};

// A transaction's compare. With a range_end it holds for every key in
// [key, range_end) (and for none, if none exists).
struct Compare {
    enum class Target { Mod, Create, Version };
    enum class Result { Equal, Less, Greater, NotEqual };
    std::string key;
    std::string range_end;
    Target target = Target::Mod;
    Result result = Result::Equal;
    std::int64_t revision = 0;   // or version, for Target::Version
};

struct TxnOp {
    enum class Kind { Put, Delete };
    Kind kind = Kind::Put;
    std::string key;
    std::string value;
    std::string range_end;        // Delete only: a range
    std::int64_t lease = 0;       // Put only
};

struct TxnResult {
    bool succeeded = false;
    std::int64_t revision = 0;
};

struct WatchEvent {
    enum class Type { Put, Delete };
    Type type = Type::Put;
    KeyValue kv;
};

// How a watch ended.
struct WatchEnd {
    enum class Why {
        Stopped,     // the caller's stop flag or its callback asked
        Compacted,   // the revision to start from is compacted: read the state anew
        Lost,        // the stream broke on every endpoint (or resume was not asked)
        Cancelled,   // etcd cancelled it (e.g. permission)
    };
    Why why = Why::Stopped;
    std::int64_t compact_revision = 0;   // Compacted: the oldest revision still held
    std::int64_t next_revision = 0;      // the revision a new watch would start from
    EtcdError error;                     // Lost, Cancelled
};

struct WatchOptions {
    // A stream lost on one endpoint goes on from the next revision on the
    // next endpoint (nothing missed, nothing delivered twice); on_lost is told
    // each time. Otherwise the watch ends with Lost at the first loss.
    bool resume_after_loss = true;
    std::function<void(const EtcdError &)> on_lost;
    // Set from another thread to end the watch (it ends within about a second).
    const std::atomic<bool> *stop = nullptr;
};

// Events of one revision or more, in order, with the revision of the answer
// they came in. Return false to end the watch.
using WatchCallback = std::function<bool(const std::vector<WatchEvent> &, std::int64_t revision)>;

// The end of a prefix's range: the prefix with its last byte raised.
std::string prefix_end(const std::string &prefix);

class EtcdClient {
public:
    explicit EtcdClient(EtcdConfig config);
    ~EtcdClient();
    EtcdClient(const EtcdClient &) = delete;
    EtcdClient &operator=(const EtcdClient &) = delete;

    Outcome<RangeResult> range_prefix(const std::string &prefix);
    Outcome<RangeResult> get(const std::string &key);
    // The revision of the write.
    Outcome<std::int64_t> put(const std::string &key, const std::string &value, std::int64_t lease = 0);
    Outcome<std::int64_t> remove(const std::string &key);
    Outcome<TxnResult> txn(const std::vector<Compare> &compares, const std::vector<TxnOp> &success,
                           const std::vector<TxnOp> &failure = {});

    // A lease's id. keep_alive answers the time left in seconds, 0 when the
    // lease has lapsed (its keys are gone).
    Outcome<std::int64_t> lease_grant(std::int64_t ttl_seconds);
    Outcome<std::int64_t> lease_keep_alive(std::int64_t id);
    Outcome<bool> lease_revoke(std::int64_t id);

    // Watches [prefix, prefix_end(prefix)) from `from_revision` (0: from now).
    WatchEnd watch(const std::string &prefix, std::int64_t from_revision, const WatchCallback &on_events,
                   const WatchOptions &options = {});
    // Watches [key, range_end).
    WatchEnd watch_range(const std::string &key, const std::string &range_end, std::int64_t from_revision,
                         const WatchCallback &on_events, const WatchOptions &options = {});

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace fleet

#endif
