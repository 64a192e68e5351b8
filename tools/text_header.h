/* SPDX-License-Identifier: Apache-2.0 */
// What a cipher text's header says, read without decrypting, and why a text
// does not decrypt.
#ifndef TELMOR_VAQ_TOOL_TEXT_HEADER_H
#define TELMOR_VAQ_TOOL_TEXT_HEADER_H

#include <cstdint>
#include <string>

namespace cli {

// The header of a cipher text, read without decrypting.
struct TextHeader {
    bool base64 = false;      // the text decodes as Base64
    bool wellFormed = false;  // our format, long enough for what it declares
    unsigned version = 0, algorithm = 0;
    uint32_t domain = 0, keyId = 0, sealedBytes = 0;
};
TextHeader read_text_header(const std::string &text);

// Why a text does not decrypt under `domain` in this keystore, from its header
// and the key queries: not Base64, not our format, another domain, an unknown
// domain, a key this keystore lacks; else damaged or altered.
std::string why_not_decrypted(const std::string &text, uint32_t domain, unsigned long rc);

// Removes the line end and spaces around a text.
std::string trim_text(std::string text);

}  // namespace cli

#endif
