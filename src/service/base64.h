/* SPDX-License-Identifier: Apache-2.0 */
// Base64 framing of cipher bytes: the standard alphabet with '=' padding and no
// line breaks. Both directions allocate their result with HX_VAQ_MemAlloc; the
// caller releases it with HX_VAQ_MemFree.
#ifndef TELMOR_VAQ_SERVICE_BASE64_H
#define TELMOR_VAQ_SERVICE_BASE64_H

#include <cstdint>

namespace tv {

// Characters that n bytes encode to (4 per started group of 3), terminator not
// counted. 64-bit, so no input length can make it wrap.
constexpr uint64_t base64_text_length(uint32_t n) { return 4 * ((uint64_t{n} + 2) / 3); }

// Position of c in `base`: 0..63 for the alphabet, 64 for '=', 65 for the zero
// byte (the alphabet string's terminator), 0 for every other byte.
uint8_t base64_index(char c);

// A new zero-terminated text of n bytes, or null (no memory, or a text whose
// size would not fit an allocation).
char *base64_encode(const unsigned char *data, uint32_t n);

// Decodes len characters without validating them. The decode size, which can
// exceed the decoded bytes (the rest of the buffer is zero), is stored at *size
// even when the allocation then fails. Returns the new buffer or null.
unsigned char *base64_decode(const char *text, uint32_t len, uint32_t *size);

// The decode size of len characters, and the decoding itself into `size`
// bytes that the caller holds: the decoded bytes, then zero bytes to the end,
// exactly what base64_decode's buffer holds.
uint32_t base64_decode_size(const char *text, uint32_t len);
void base64_decode_into(const char *text, uint32_t len, unsigned char *out, uint32_t size);

}  // namespace tv

#endif  // TELMOR_VAQ_SERVICE_BASE64_H
