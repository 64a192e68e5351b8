// SPDX-License-Identifier: Apache-2.0
// Base64 framing of cipher text. Any text decodes (nothing is validated) and
// nothing is read past its length or written past the decode size; any bytes
// encode to what OpenSSL's encoder makes of them and decode back to
// themselves followed by zero bytes.
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "service/base64.h"
#include "telmor_vaq_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    // No terminator: the length is all the decoder may read.
    const std::vector<char> text(data, data + size);
    uint32_t decodeSize = 0;
    unsigned char *decoded = tv::base64_decode(text.data(), static_cast<uint32_t>(size), &decodeSize);
    if (decoded == nullptr || decodeSize < 3 * (size / 4)) __builtin_trap();
    HX_VAQ_MemFree(__LINE__, "fuzz", decoded);

    char *encoded = tv::base64_encode(data, static_cast<uint32_t>(size));
    if (encoded == nullptr) __builtin_trap();
    std::string expected(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(expected.data()), data, static_cast<int>(size));
    expected.resize(static_cast<size_t>(n));
    if (expected != encoded) __builtin_trap();

    uint32_t backSize = 0;
    unsigned char *back = tv::base64_decode(encoded, static_cast<uint32_t>(std::strlen(encoded)), &backSize);
    if (back == nullptr || backSize < size || (size > 0 && std::memcmp(back, data, size) != 0)) __builtin_trap();
    for (uint32_t i = static_cast<uint32_t>(size); i < backSize; ++i)
        if (back[i] != 0) __builtin_trap();
    HX_VAQ_MemFree(__LINE__, "fuzz", back);
    HX_VAQ_MemFree(__LINE__, "fuzz", encoded);
    return 0;
}
