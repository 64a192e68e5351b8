/* SPDX-License-Identifier: Apache-2.0 */
// A few large blocks given back, kept for the next allocation they fit. A
// reload gives back the keystore it unloads and asks for as much again at
// once: without this, every reload maps fresh pages and faults them in (the
// heap hands large blocks back to the system as they are freed). Used for
// secret memory and for large plain buffers (hxb/secret_memory.h,
// hxb/plain_memory.h).
//
// Bounded by the number of slots and by MaxBytes in all. Lock-free, so a
// child forked while another thread keeps or takes a block inherits no held
// lock; constant-initialised and trivially destroyed, so blocks given back by
// threads that end after static destructors still find it.
#ifndef HXB_KEPT_BLOCKS_H
#define HXB_KEPT_BLOCKS_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>

namespace hxb {

// Free(block, bytes) gives a block back to the system. A kept block's first
// two words hold its size in bytes and the round it was kept in (written by
// keep), so blocks must be at least two words long; nothing else of a kept
// block is read or written.
template <size_t Slots, size_t MaxBytes, void (*Free)(void *block, size_t bytes) noexcept>
class KeptBlocks {
public:
    constexpr KeptBlocks() = default;

    // A kept block of `least` to `most` bytes, its size in *bytes; null when
    // none fits. Its first two words are left as keep wrote them.
    void *take(size_t least, size_t most, size_t *bytes) noexcept {
        for (auto &slot : slots_) {
            if (slot.load(std::memory_order_relaxed) == nullptr) continue;
            void *block = slot.exchange(nullptr, std::memory_order_acquire);
            if (block == nullptr) continue;
            const size_t size = size_of(block);
            if (size >= least && size <= most) {
                held_.fetch_sub(size, std::memory_order_relaxed);
                *bytes = size;
                return block;
            }
            void *empty = nullptr;
            if (!slot.compare_exchange_strong(empty, block, std::memory_order_release, std::memory_order_relaxed))
                discard(block, size);  // another block took the slot meanwhile
        }
        return nullptr;
    }

    // Keeps a block of `bytes` that the caller has wiped. When the slots or
    // the bytes run out, kept blocks make room for it, each slot in turn: a
    // block that no allocation asks for again (left by an export, say) does
    // not hold its slot for good. A block larger than MaxBytes is freed.
    void keep(void *block, size_t bytes) noexcept {
        if (bytes > MaxBytes) {
            Free(block, bytes);
            return;
        }
        const size_t words[2] = {bytes, round_.load(std::memory_order_relaxed)};
        std::memcpy(block, words, sizeof words);
        size_t held = held_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        for (size_t n = 0; held > MaxBytes && n < Slots; ++n) {
            evict(slots_[next_slot()]);
            held = held_.load(std::memory_order_relaxed);
        }
        if (held > MaxBytes) {  // kept meanwhile by other threads
            held_.fetch_sub(bytes, std::memory_order_relaxed);
            Free(block, bytes);
            return;
        }
        for (auto &slot : slots_) {
            void *empty = nullptr;
            if (slot.compare_exchange_strong(empty, block, std::memory_order_release, std::memory_order_relaxed))
                return;
        }
        void *older = slots_[next_slot()].exchange(block, std::memory_order_acq_rel);
        if (older != nullptr) discard(older, size_of(older));
    }

    // Frees the blocks kept before the last call and not taken since, and
    // starts a new round: a block that a whole load did not ask for (left by
    // an export, or by a container that grew) holds no memory for long.
    void settle() noexcept {
        const size_t round = round_.fetch_add(1, std::memory_order_relaxed);
        for (auto &slot : slots_) {
            void *block = slot.exchange(nullptr, std::memory_order_acquire);
            if (block == nullptr) continue;
            size_t words[2];
            std::memcpy(words, block, sizeof words);
            void *empty = nullptr;
            if (words[1] < round ||
                !slot.compare_exchange_strong(empty, block, std::memory_order_release, std::memory_order_relaxed))
                discard(block, words[0]);
        }
    }

    // The size in a block's first word: as keep wrote it, or as the owner of
    // the blocks wrote it there when it made the block.
    static size_t size_of(const void *block) {
        size_t size = 0;
        std::memcpy(&size, block, sizeof size);
        return size;
    }

private:
    void discard(void *block, size_t size) noexcept {
        held_.fetch_sub(size, std::memory_order_relaxed);
        Free(block, size);
    }
    size_t next_slot() noexcept { return turn_.fetch_add(1, std::memory_order_relaxed) % Slots; }
    void evict(std::atomic<void *> &slot) noexcept {
        if (void *block = slot.exchange(nullptr, std::memory_order_acquire)) discard(block, size_of(block));
    }

    std::array<std::atomic<void *>, Slots> slots_{};
    std::atomic<size_t> held_{0};  // bytes in the slots
    std::atomic<size_t> turn_{0};  // the slot that makes room next, modulo Slots
    std::atomic<size_t> round_{0};
};

}  // namespace hxb

#endif
