// SPDX-License-Identifier: Apache-2.0
#include "key_index.h"

namespace vaq {

size_t KeyIndex::home(uint64_t slot) const {
    // Fibonacci hashing: the high bits of the product, as many as the table
    // needs; ids are random, domains small, and both reach those bits.
    const uint64_t mixed = slot * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mixed >> 32) & (table_.size() - 1);
}

KeyIndex::KeyIndex(const Keystore &ks) {
    size_t capacity = 16;
    while (capacity < 2 * ks.keys.size()) capacity <<= 1;
    table_.resize(capacity);
    entries_.reserve(ks.keys.size());
    for (const auto &k : ks.keys) {
        // Keys of one load share one block: it is kept once for all of them.
        if (blocks_.empty() || blocks_.back() != k.material.block()) blocks_.push_back(k.material.block());
        if (k.active) active_[k.domain] = k.id;
        const uint64_t slot = key_slot(k.domain, k.id);
        size_t at = home(slot);
        while (table_[at] != 0 && entries_[table_[at] - 1].slot != slot) at = (at + 1) & (capacity - 1);
        if (table_[at] != 0) continue;  // a keystore holds each (domain, id) once
        entries_.push_back(Entry{slot, k.material.data(), k.material.size()});
        table_[at] = static_cast<uint32_t>(entries_.size());
    }
}

ByteView KeyIndex::material(uint32_t domain, uint32_t id) const {
    const uint64_t slot = key_slot(domain, id);
    for (size_t at = home(slot);; at = (at + 1) & (table_.size() - 1)) {
        if (table_[at] == 0) return {};
        const Entry &e = entries_[table_[at] - 1];
        if (e.slot == slot) return {e.data, e.size};
    }
}

bool KeyIndex::active(uint32_t domain, uint32_t *id) const {
    auto a = active_.find(domain);
    if (a == active_.end()) return false;
    *id = a->second;
    return true;
}

}  // namespace vaq
