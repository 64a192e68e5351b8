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

namespace vaq {

using Bytes = std::vector<uint8_t>;
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

// A byte vector that is wiped before its memory goes back to the allocator.
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
        return other.size() == data_.size() &&
               CRYPTO_memcmp(other.data(), data_.data(), data_.size()) == 0;
    }

private:
    void wipe() {
        if (!data_.empty()) OPENSSL_cleanse(data_.data(), data_.size());
        data_.clear();
    }
    Bytes data_;
};

// A fixed-size secret (root material, working keys), wiped on destruction.
template <size_t N>
struct SecretArray {
    std::array<uint8_t, N> bytes{};
    SecretArray() = default;
    SecretArray(const SecretArray &) = default;
    SecretArray &operator=(const SecretArray &) = default;
    ~SecretArray() { OPENSSL_cleanse(bytes.data(), N); }
    uint8_t *data() { return bytes.data(); }
    const uint8_t *data() const { return bytes.data(); }
    static constexpr size_t size() { return N; }
    ByteView view() const { return {bytes.data(), N}; }
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
