/* SPDX-License-Identifier: Apache-2.0 */
// Byte-level helpers shared by the keystore and export formats: little-endian
// encoding (both formats are little-endian on every host) and buffers that wipe
// themselves, for anything that holds key material.
#ifndef HXB_VAQ_BYTES_H
#define HXB_VAQ_BYTES_H

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "hxb/plain_memory.h"
#include "hxb/secret_memory.h"

namespace vaq {

// Large buffers (keystore images) are wiped when given back and kept for the
// next load (hxb/plain_memory.h).
using Bytes = std::vector<uint8_t, plain::Allocator<uint8_t>>;
using ByteView = std::span<const uint8_t>;

// Wipes a plain byte vector that held a keystore image (it carries the root
// material) when the scope that owns it ends.
class WipeOnExit {
public:
    explicit WipeOnExit(Bytes &b) : b_(b) {}
    ~WipeOnExit() {
        if (!b_.empty()) OPENSSL_cleanse(b_.data(), b_.size());
    }
    WipeOnExit(const WipeOnExit &) = delete;
    WipeOnExit &operator=(const WipeOnExit &) = delete;

private:
    Bytes &b_;
};

// A byte vector for key material: its memory is kept out of core dumps and
// locked where the system allows (shared/secret_memory.h), and wiped before
// it is given back.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(ByteView data) : data_(data.begin(), data.end()) {}
    explicit SecureBytes(size_t size) : data_(size) {}
    SecureBytes(const SecureBytes &other) : data_(other.data_) {}
    SecureBytes(SecureBytes &&other) noexcept : data_(std::move(other.data_)) {}
    SecureBytes &operator=(const SecureBytes &other) {
        if (this != &other) {
            wipe();
            data_ = other.data_;
        }
        return *this;
    }
    SecureBytes &operator=(SecureBytes &&other) noexcept {
        if (this != &other) {
            wipe();
            data_ = std::move(other.data_);
        }
        return *this;
    }
    ~SecureBytes() { wipe(); }

    uint8_t *data() { return data_.data(); }
    const uint8_t *data() const { return data_.data(); }
    size_t size() const { return data_.size(); }
    ByteView view() const { return {data_.data(), data_.size()}; }
    bool equals(ByteView other) const {
        return other.size() == data_.size() && CRYPTO_memcmp(other.data(), data_.data(), data_.size()) == 0;
    }

private:
    void wipe() {
        if (!data_.empty()) OPENSSL_cleanse(data_.data(), data_.size());
        data_.clear();
    }
    std::vector<uint8_t, secret::Allocator<uint8_t>> data_;
};

// A fixed-size secret (root material, working keys) in secret memory, wiped
// on destruction. Throws std::bad_alloc when no secret page can be had; the
// exported functions' edge answers that as an allocation failure.
template <size_t N>
class SecretArray {
public:
    SecretArray() : bytes_(static_cast<uint8_t *>(secret::allocate(N))) {
        if (bytes_ == nullptr) throw std::bad_alloc();
    }
    SecretArray(const SecretArray &other) : SecretArray() { std::memcpy(bytes_, other.bytes_, N); }
    SecretArray &operator=(const SecretArray &other) {
        if (this != &other) std::memcpy(bytes_, other.bytes_, N);
        return *this;
    }
    ~SecretArray() { secret::release(bytes_, N); }
    uint8_t *data() { return bytes_; }
    const uint8_t *data() const { return bytes_; }
    static constexpr size_t size() { return N; }
    ByteView view() const { return {bytes_, N}; }

private:
    uint8_t *bytes_;
};

// Appends little-endian fields to a growing image.
class Writer {
public:
    explicit Writer(Bytes &out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void i64(int64_t v) { put(static_cast<uint64_t>(v), 8); }
    void bytes(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
    size_t size() const { return out_.size(); }

private:
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    Bytes &out_;
};

// Reads little-endian fields; every read is bounds-checked and a short input
// turns the reader bad instead of reading past the end.
class Reader {
public:
    explicit Reader(ByteView in) : in_(in) {}
    bool ok() const { return ok_; }
    size_t remaining() const { return ok_ ? in_.size() - pos_ : 0; }
    size_t pos() const { return pos_; }
    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    int64_t i64() { return static_cast<int64_t>(get(8)); }
    ByteView bytes(size_t n) {
        if (!ok_ || n > in_.size() - pos_) {
            ok_ = false;
            return {};
        }
        ByteView v = in_.subspan(pos_, n);
        pos_ += n;
        return v;
    }
    void skip(size_t n) { (void)bytes(n); }

private:
    uint64_t get(size_t n) {
        ByteView b = bytes(n);
        uint64_t v = 0;
        for (size_t i = 0; i < b.size(); ++i) v |= static_cast<uint64_t>(b[i]) << (8 * i);
        return v;
    }
    ByteView in_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace vaq

#endif
