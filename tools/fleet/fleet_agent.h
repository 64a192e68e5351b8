/* SPDX-License-Identifier: Apache-2.0 */
// A node's agent for one role, as in model/fleet_rollout.pml: after it
// starts, and after a lost or compacted watch, it reads the fleet's current
// state (one range read at revision R), imports every staged, active or old
// key it lacks, makes the fleet's active key of each domain active here,
// deletes retired keys it holds (never its active key), reports under its
// lease, then watches the state (members and keys, not reports) from R + 1;
// any change there is applied the same way, from a new read, never by
// replaying events. A lapsed lease gets a new one and the report is put
// again. It waits for its admission, and stops at its removal.
#ifndef TELMOR_VAQ_FLEET_AGENT_H
#define TELMOR_VAQ_FLEET_AGENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "etcd_client.h"
#include "fleet_store.h"

namespace fleet {

// The role's keystore on this node, as the agent changes it: every change
// goes through the key library, so its rules apply (an arriving key is
// checked, a key deleted here is not brought back) and every process of the
// role follows it. A keystore that cannot be read throws std::exception.
class LocalKeystore {
public:
    virtual ~LocalKeystore() = default;
    virtual std::vector<HeldKey> held() = 0;
    virtual std::map<std::uint32_t, std::uint32_t> active() = 0;
    // Imports KEY from its sealed material; false and why when refused.
    virtual bool import(const FleetKey &key, std::string &why) = 0;
    virtual bool activate(std::uint32_t domain, std::uint32_t key_id, std::string &why) = 0;
    virtual bool remove(std::uint32_t domain, std::uint32_t key_id, std::string &why) = 0;
};

struct AgentOptions {
    std::string node;
    std::string role;
    std::int64_t lease_ttl_seconds = 10;
    const std::atomic<bool> *stop = nullptr;         // set from another thread to end run()
    std::function<void(const std::string &)> log;    // one line per change or fault
};

class Agent {
public:
    Agent(EtcdClient &client, Layout layout, LocalKeystore &keystore, AgentOptions options);
    ~Agent();
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    enum class End { Stopped, Removed };
    // Runs until stopped or removed from the fleet.
    End run();

    // One catch-up: read, apply, report. False (and logged) when etcd could
    // not be read or the report not put; the revision applied otherwise.
    bool catch_up(FleetState &state);

private:
    void apply(const FleetState &state);
    bool report(std::int64_t applied_revision);
    bool stopping() const { return options_.stop != nullptr && options_.stop->load(); }
    void say(const std::string &line) const;
    void keep_alive();

    EtcdClient &client_;
    FleetStore store_;
    LocalKeystore &keystore_;
    AgentOptions options_;
    // The keystore, the report, its lease and the revision it says were
    // applied are used by the main loop and by the lease's keeper: one at a
    // time (the key library's session is per call, never shared by two).
    // The keeper reads the lease without it, so that a long import does
    // not hold up the keep-alive.
    std::recursive_mutex report_mutex_;
    std::atomic<std::int64_t> lease_{0};
    std::atomic<std::int64_t> applied_{0};
    struct Keeper;
    Keeper *keeper_ = nullptr;
};

}  // namespace fleet

#endif
