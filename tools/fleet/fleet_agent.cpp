// SPDX-License-Identifier: Apache-2.0
#include "fleet_agent.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace fleet {

// Keeps the report's lease alive in a thread of its own: the main loop may
// sit in a watch for hours. A lease that lapsed (the node was cut off longer
// than its time to live) gets a new one, and the last report is put again.
struct Agent::Keeper {
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread thread;
};

namespace {

void pause(const std::atomic<bool> *stop, int ms) {
    for (int waited = 0; waited < ms && !(stop != nullptr && stop->load()); waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

Agent::Agent(EtcdClient &client, Layout layout, LocalKeystore &keystore, AgentOptions options)
    : client_(client), store_(client, std::move(layout)), keystore_(keystore), options_(std::move(options)) {}

Agent::~Agent() {
    if (keeper_ != nullptr) {
        {
            std::lock_guard lock(keeper_->mutex);
            keeper_->done = true;
        }
        keeper_->wake.notify_all();
        keeper_->thread.join();
        delete keeper_;
    }
    if (lease_ != 0) client_.lease_revoke(lease_.load());   // the report goes at once, not after its time to live
}

void Agent::say(const std::string &line) const {
    if (options_.log) options_.log(line);
}

void Agent::apply(const FleetState &st) {
    std::lock_guard lock(report_mutex_);
    const auto has = [&](const HeldKey &k, const std::vector<HeldKey> &held) {
        for (const auto &h : held)
            if (h == k) return true;
        return false;
    };
    std::vector<HeldKey> held = keystore_.held();
    std::string why;
    // First every key any member may use, so that a key is never active here
    // before it is held.
    for (const auto &k : st.keys) {
        if (k.role != options_.role || k.state == KeyState::Retired) continue;
        if (has({k.domain, k.key_id}, held)) continue;
        if (keystore_.import(k, why)) {
            say("imported key " + std::to_string(k.key_id) + " of domain " + std::to_string(k.domain));
        } else {
            say("key " + std::to_string(k.key_id) + " of domain " + std::to_string(k.domain) + " not imported: " + why);
        }
        held = keystore_.held();
    }
    auto active = keystore_.active();
    for (const auto &k : st.keys) {
        if (k.role != options_.role || k.state != KeyState::Active) continue;
        auto it = active.find(k.domain);
        if (it != active.end() && it->second == k.key_id) continue;
        if (!has({k.domain, k.key_id}, held)) continue;   // told in the report: it lacks the key
        if (keystore_.activate(k.domain, k.key_id, why)) {
            say("activated key " + std::to_string(k.key_id) + " of domain " + std::to_string(k.domain));
        } else {
            say("key " + std::to_string(k.key_id) + " of domain " + std::to_string(k.domain) +
                " not activated: " + why);
        }
    }
    active = keystore_.active();
    for (const auto &k : st.keys) {
        if (k.role != options_.role || k.state != KeyState::Retired || !has({k.domain, k.key_id}, held)) continue;
        auto it = active.find(k.domain);
        if (it != active.end() && it->second == k.key_id) continue;   // never the key in use here
        if (keystore_.remove(k.domain, k.key_id, why)) {
            say("deleted retired key " + std::to_string(k.key_id) + " of domain " + std::to_string(k.domain));
        } else {
            say("retired key " + std::to_string(k.key_id) + " of domain " + std::to_string(k.domain) +
                " not deleted: " + why);
        }
    }
}

bool Agent::report(std::int64_t applied_revision) {
    std::lock_guard lock(report_mutex_);
    if (lease_ == 0) {
        auto l = client_.lease_grant(options_.lease_ttl_seconds);
        if (!l.ok) {
            say("no lease for the report: " + l.error.message);
            return false;
        }
        lease_ = l.value;
    }
    Report r;
    r.node = options_.node;
    r.role = options_.role;
    r.held = keystore_.held();
    r.active = keystore_.active();
    r.applied_revision = applied_revision;
    auto put = store_.put_report(r, lease_);
    if (!put.ok) {
        say("report not put: " + put.error.message);
        lease_ = 0;   // a lease that lapsed meanwhile is refused: take a new one next time
        return false;
    }
    applied_ = applied_revision;
    return true;
}

bool Agent::catch_up(FleetState &st) {
    auto read = store_.read();
    if (!read.ok) {
        say("cannot read the fleet's state: " + read.error.message);
        return false;
    }
    st = std::move(read.value);
    if (!st.admitted(options_.node)) return true;
    try {
        apply(st);
        return report(st.revision);
    } catch (const std::exception &e) {
        // The keystore could not be read or changed: report nothing this
        // agent cannot vouch for; the caller tries again.
        say(e.what());
        return false;
    }
}

void Agent::keep_alive() {
    if (keeper_ != nullptr) return;
    keeper_ = new Keeper;
    keeper_->thread = std::thread([this] {
        const auto every = std::chrono::milliseconds(options_.lease_ttl_seconds * 1000 / 3);
        std::unique_lock lock(keeper_->mutex);
        while (!keeper_->wake.wait_for(lock, every, [this] { return keeper_->done; })) {
            lock.unlock();
            std::int64_t lease = 0, applied = 0;
            {
                std::lock_guard r(report_mutex_);
                lease = lease_;
                applied = applied_;
            }
            if (lease != 0) {
                auto left = client_.lease_keep_alive(lease);
                if (left.ok && left.value == 0) {
                    say("the report's lease lapsed: reporting again under a new one");
                    {
                        std::lock_guard r(report_mutex_);
                        if (lease_ == lease) lease_ = 0;
                    }
                    try {
                        report(applied);
                    } catch (const std::exception &e) {
                        say(e.what());
                    }
                }
            }
            lock.lock();
        }
    });
}

Agent::End Agent::run() {
    bool was_member = false;
    while (!stopping()) {
        FleetState st;
        if (!catch_up(st)) {
            pause(options_.stop, 1000);
            continue;
        }
        const bool member = st.admitted(options_.node);
        if (!member && was_member) {
            say("removed from the fleet: stopping");
            return End::Removed;
        }
        was_member = member;
        if (member) keep_alive();
        // Any change of members or keys after R: read again and apply.
        WatchOptions wo;
        wo.stop = options_.stop;
        wo.on_lost = [this](const EtcdError &e) { say("watch moved to another endpoint: " + e.message); };
        const Layout &l = store_.layout();
        const WatchEnd end = client_.watch_range(l.state_begin(), l.state_end(), st.revision + 1,
                                                 [](const std::vector<WatchEvent> &, std::int64_t) { return false; },
                                                 wo);
        if (end.why == WatchEnd::Why::Compacted) say("watch compacted: reading the state anew");
        if (end.why == WatchEnd::Why::Lost || end.why == WatchEnd::Why::Cancelled) {
            say("watch lost (" + end.error.message + "): reading the state anew");
            pause(options_.stop, 1000);
        }
    }
    return End::Stopped;
}

}  // namespace fleet
