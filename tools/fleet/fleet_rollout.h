/* SPDX-License-Identifier: Apache-2.0 */
// The coordinator's side of a rollout (`fleet rotate`, `fleet retire`), as in
// model/fleet_rollout.pml: read the state, decide on it (FleetStore's
// transaction on the revision read), and while the decision waits for
// members' reports, sleep on one watch of the prefix from the revision after
// the read, then read again. Never a timer-driven poll.
#ifndef TELMOR_VAQ_FLEET_ROLLOUT_H
#define TELMOR_VAQ_FLEET_ROLLOUT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "etcd_client.h"
#include "fleet_store.h"

namespace fleet {

struct RolloutOptions {
    int timeout_seconds = 0;                          // 0: wait for as long as it takes
    const std::atomic<bool> *stop = nullptr;
    std::function<void(const std::string &)> log;     // what it waits for, each time that changes
};

struct RolloutResult {
    enum class End { Done, Refused, TimedOut, Stopped, Failed };
    End end = End::Failed;
    std::string why;
    std::vector<std::string> waiting_for;   // TimedOut, Stopped: members the step still waited for
    std::int64_t reads = 0;                  // range reads taken (one per wake-up): for the benchmark
};

// Activates a staged key once every admitted member holds it, then waits
// until every admitted member reports it active.
RolloutResult activate_everywhere(EtcdClient &client, FleetStore &store, const std::string &role,
                                  std::uint32_t domain, std::uint32_t key_id, const RolloutOptions &options);

// Retires an old key once every admitted member reports another key active in
// its domain.
RolloutResult retire_everywhere(EtcdClient &client, FleetStore &store, const std::string &role, std::uint32_t domain,
                                std::uint32_t key_id, const RolloutOptions &options);

}  // namespace fleet

#endif
