/* SPDX-License-Identifier: Apache-2.0 */
// What the data-protection library may see of the keystore: master-key
// material by (domain, key id), from which a working key is derived when it is
// asked for, and each domain's active key. Immutable once published.
//
// Built in one pass over the keystore with one allocation for its table: it
// copies no key, but points into the keystore's material blocks and keeps
// them alive, so a change or an unload of the keystore never pulls material
// from under a reader.
#ifndef HXB_VAQ_KEY_INDEX_H
#define HXB_VAQ_KEY_INDEX_H

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "bytes.h"
#include "key_material.h"
#include "keystore.h"

namespace vaq {

class KeyIndex {
public:
    // Throws std::bad_alloc.
    explicit KeyIndex(const Keystore &ks);
    KeyIndex(const KeyIndex &) = delete;
    KeyIndex &operator=(const KeyIndex &) = delete;

    uint64_t epoch = 0;

    // The key's material; empty when the keystore holds no such key.
    ByteView material(uint32_t domain, uint32_t id) const;
    // The domain's active key id; false when it has none.
    bool active(uint32_t domain, uint32_t *id) const;

private:
    struct Entry {
        uint64_t slot;
        const uint8_t *data;
        size_t size;
    };
    // Positions in entries_, plus one (0: free), by open addressing with
    // linear probing over a power-of-two table at most half full: small
    // beside the entries, so that a large keystore's index stays compact.
    size_t home(uint64_t slot) const;

    // Plain memory kept from one index to the next (hxb/plain_memory.h).
    std::vector<Entry, plain::Allocator<Entry>> entries_;
    std::vector<uint32_t, plain::Allocator<uint32_t>> table_;
    std::vector<std::shared_ptr<const SecretBlock>> blocks_;
    std::unordered_map<uint32_t, uint32_t> active_;
};

}  // namespace vaq

#endif
