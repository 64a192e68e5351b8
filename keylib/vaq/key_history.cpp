// SPDX-License-Identifier: Apache-2.0
#include "key_history.h"

#include <algorithm>

namespace vaq {

const RetiredKey *KeyHistory::retired_key(uint32_t domain, uint32_t id) const {
    for (const auto &r : retired_)
        if (r.domain == domain && r.id == id) return &r;
    return nullptr;
}

int64_t KeyHistory::last_change(uint32_t domain) const {
    for (const auto &c : changes_)
        if (c.domain == domain) return c.at;
    return 0;
}

bool KeyHistory::retire(uint32_t domain, uint32_t id, int64_t when) {
    forget(domain, id);
    bool dropped = false;
    if (retired_.size() >= kMaxRetiredKeys) {
        auto oldest = std::min_element(retired_.begin(), retired_.end(),
                                       [](const RetiredKey &a, const RetiredKey &b) { return a.deleted < b.deleted; });
        retired_.erase(oldest);
        dropped = true;
    }
    retired_.push_back({domain, id, when});
    changed(domain, when);
    return dropped;
}

void KeyHistory::forget(uint32_t domain, uint32_t id) {
    std::erase_if(retired_, [&](const RetiredKey &r) { return r.domain == domain && r.id == id; });
}

void KeyHistory::changed(uint32_t domain, int64_t when) {
    for (auto &c : changes_)
        if (c.domain == domain) {
            c.at = std::max(c.at, when);
            return;
        }
    // A keystore holds at most as many domains as the library provisions.
    if (changes_.size() < kMaxDomainChanges) changes_.push_back({domain, when});
}

void KeyHistory::set_change(uint32_t domain, int64_t when) {
    for (auto &c : changes_)
        if (c.domain == domain) {
            c.at = when;
            return;
        }
    if (changes_.size() < kMaxDomainChanges) changes_.push_back({domain, when});
}

void KeyHistory::merge(const KeyHistory &other) {
    for (const auto &r : other.retired_)
        if (retired_key(r.domain, r.id) == nullptr && retired_.size() < kMaxRetiredKeys) retired_.push_back(r);
    for (const auto &c : other.changes_) changed(c.domain, c.at);
}

}  // namespace vaq
