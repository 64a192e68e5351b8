// SPDX-License-Identifier: Apache-2.0
// The data-protection library's decryption of arbitrary bytes, under a
// keystore whose domain 50 has a registered key of fixed id and material (the
// seeds are cipher texts under it). A refused decryption writes nothing to the
// plain buffer; an accepted one writes no more than the buffer holds.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "keylib_fixture.h"
#include "seeds.h"

namespace {

constexpr uint32_t kDomain = 50;
constexpr uint32_t kKeyId = 0x0F0F0F0F;
constexpr uint8_t kUntouched = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kltest::host_table();
    static kltest::KeystoreFiles ks;
    const kltest::Bytes material(32, 0x11);
    if (kltest::load(ks) != 0 || VaqRegisterMkEx(kDomain, kKeyId, material.data(), 32) != 0 ||
        VaqActivateMk(kDomain, kKeyId) != 0)
        std::abort();
    if (fuzzseed::wanted()) {
        int n = 0;
        for (size_t len : {0, 1, 16, 31, 100, 300}) {
            kltest::Bytes plain(len);
            for (size_t i = 0; i < len; ++i) plain[i] = static_cast<uint8_t>(i * 29 + 3);
            kltest::Bytes cipher = kltest::encrypt(kDomain, plain);
            if (cipher.empty()) std::abort();
            fuzzseed::write("cipher-" + std::to_string(n++), cipher);
            if (len == 16) {
                // The padding a Base64 decode leaves after a cipher text.
                cipher.insert(cipher.end(), 5, 0);
                fuzzseed::write("cipher-padded", cipher);
                fuzzseed::write("header-only", kltest::Bytes(cipher.begin(), cipher.begin() + 28));
            }
        }
        fuzzseed::done();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    kltest::clear_log();
    const std::vector<uint8_t> cipher(data, data + size);
    std::vector<uint8_t> plain(size + 1, kUntouched);
    uint32_t len = static_cast<uint32_t>(size);
    const unsigned long rc = QorDecryptEx(kDomain, cipher.data(), static_cast<uint32_t>(size), plain.data(), &len);
    if (rc == 0) {
        if (len > size) __builtin_trap();
        if (plain[size] != kUntouched) __builtin_trap();
    } else {
        for (uint8_t b : plain)
            if (b != kUntouched) __builtin_trap();
    }
    return 0;
}
