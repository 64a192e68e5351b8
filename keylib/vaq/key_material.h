/* SPDX-License-Identifier: Apache-2.0 */
// Master-key material and wrapped records as the keystore and the key index
// hold them: read-only views into blocks that many keys share. A load unwraps
// every record into one block of secret memory and keeps every wrapped
// record in one plain block, instead of a block per key and per copy; copies
// of the keystore (a change works on one) and the key index share the blocks,
// and the last holder gives a block back. A key made, registered or rewrapped
// later gets blocks of its own. Secret blocks keep the rules of
// hxb/secret_memory.h: out of core dumps, locked where the system allows,
// wiped before they are given back.
#ifndef HXB_VAQ_KEY_MATERIAL_H
#define HXB_VAQ_KEY_MATERIAL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "bytes.h"

namespace vaq {

// One block of secret memory, zero-filled when made. Throws std::bad_alloc
// when no secret page can be had.
class SecretBlock {
public:
    explicit SecretBlock(size_t size) : bytes_(static_cast<uint8_t *>(secret::allocate(size))), size_(size) {
        if (bytes_ == nullptr) throw std::bad_alloc();
    }
    ~SecretBlock() { secret::release(bytes_, size_); }
    SecretBlock(const SecretBlock &) = delete;
    SecretBlock &operator=(const SecretBlock &) = delete;
    uint8_t *data() { return bytes_; }
    const uint8_t *data() const { return bytes_; }
    size_t size() const { return size_; }

private:
    uint8_t *bytes_;
    size_t size_;
};

// Bytes inside a block that the view keeps alive. Never written through:
// whoever fills a block does so before the first view of it is handed out.
template <class Block>
class SharedView {
public:
    SharedView() = default;
    SharedView(std::shared_ptr<const Block> block, const uint8_t *at, size_t size)
        : block_(std::move(block)), data_(at), size_(size) {}
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    ByteView view() const { return {data_, size_}; }
    bool equals(ByteView other) const {
        return other.size() == size_ && (size_ == 0 || CRYPTO_memcmp(other.data(), data_, size_) == 0);
    }
    // The block the bytes live in, for a holder that keeps raw views.
    const std::shared_ptr<const Block> &block() const { return block_; }

private:
    std::shared_ptr<const Block> block_;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

using KeyMaterial = SharedView<SecretBlock>;
using WrappedBytes = SharedView<Bytes>;

// A block of its own holding a copy of `bytes`.
inline KeyMaterial material_copy(ByteView bytes) {
    auto block = std::make_shared<SecretBlock>(bytes.size());
    if (!bytes.empty()) std::memcpy(block->data(), bytes.data(), bytes.size());
    const uint8_t *at = block->data();
    return KeyMaterial(std::move(block), at, bytes.size());
}

// Takes `bytes` over as a block of its own.
inline WrappedBytes wrapped_own(Bytes bytes) {
    auto block = std::make_shared<const Bytes>(std::move(bytes));
    const uint8_t *at = block->data();
    const size_t size = block->size();
    return WrappedBytes(std::move(block), at, size);
}

// Takes `bytes` over as a shared block that is wiped when its last holder
// lets go: a keystore file's buffer, which the keys' wrapped records point
// into and which, in format 1, holds the root material.
inline std::shared_ptr<const Bytes> wiped_when_released(Bytes bytes) {
    return std::shared_ptr<const Bytes>(new Bytes(std::move(bytes)), [](const Bytes *b) {
        if (!b->empty()) OPENSSL_cleanse(const_cast<uint8_t *>(b->data()), b->size());
        delete b;
    });
}

}  // namespace vaq

#endif
