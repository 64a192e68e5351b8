// SPDX-License-Identifier: Apache-2.0
#include "library_session.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

#include "export_writer.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace bench {

const unsigned char kSecret[kSecretBytes] = {0x73, 0x33, 0x63, 0x72, 0x65, 0x74, 0x2d, 0x30, 0x31, 0x32, 0x33,
                                             0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x61, 0x62, 0x63, 0x64, 0x65,
                                             0x66, 0x67, 0x68, 0x69, 0x6a, 0x6b, 0x6c, 0x6d, 0x6e, 0x6f};

namespace {

constexpr char kRole[] = "HXA";
constexpr const char *kPrimary = node_layout::kAgent.primary;
constexpr const char *kStandby = node_layout::kAgent.standby;
constexpr char kImportFile[] = "/opt/telmor/bench_import.bin";
constexpr char kPassword[] = "bench import password";

bool g_started = false;
uint32_t g_imported = 0;

bool fail(const char *what, unsigned long code) {
    std::fprintf(stderr, "bench: %s failed: %lu\n", what, code);
    return false;
}

off_t file_size(const char *path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? st.st_size : -1;
}

}  // namespace

const std::vector<uint32_t> &provisioned_domains() {
    static const std::vector<uint32_t> domains = [] {
        std::vector<uint32_t> ids;
        for (const auto &d : node_layout::kDomains) ids.push_back(d.id);
        return ids;
    }();
    return domains;
}

bool use_keystore(uint32_t importedKeys) {
    // Threads of one benchmark all ask; one of them does the work.
    static std::mutex mutex;
    const std::lock_guard<std::mutex> hold(mutex);
    if (g_started && g_imported == importedKeys) return true;
    stop_library();
    // An empty primary and no standby: the next load makes a new keystore.
    std::remove(kStandby);
    std::ofstream(kPrimary, std::ios::trunc).close();
    if (unsigned long rc = TELMOR_VAQ_Initialize(kRole); rc != 0) return fail("initialise", rc);
    g_started = true;
    g_imported = 0;
    if (importedKeys > 0) {
        if (!write_export_file(kImportFile, kPassword, spread_keys(provisioned_domains(), importedKeys)))
            return fail("writing the export file", 0);
        const unsigned long rc = TELMOR_VAQ_ImportMkFile(
            kImportFile, reinterpret_cast<const unsigned char *>(kPassword), sizeof kPassword - 1);
        std::remove(kImportFile);
        if (rc != 0) return fail("import", rc);
    }
    g_imported = importedKeys;
    const int32_t expected = static_cast<int32_t>(provisioned_domains().size() + importedKeys);
    if (master_key_count() != expected) return fail("counting master keys", 0);
    return true;
}

int32_t master_key_count() {
    int32_t count = -1;
    return TELMOR_VAQ_GetMkNum(&count) == 0 ? count : -1;
}

void stop_library() {
    if (g_started) TELMOR_VAQ_Finalize();
    g_started = false;
}

std::string text_under_unknown_key(const std::string &text) {
    std::vector<unsigned char> cipher(text.size());
    const int n = EVP_DecodeBlock(cipher.data(), reinterpret_cast<const unsigned char *>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 12) return {};
    const int pad = (!text.empty() && text.back() == '=') + (text.size() > 1 && text[text.size() - 2] == '=');
    cipher[8] ^= 0x5a;  // the key id: bytes 8 to 11 of the cipher header
    cipher[11] ^= 0xa5;
    std::string out(text.size() + 1, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), cipher.data(), n - pad);
    out.resize(text.size());
    return out;
}

std::string encrypted_secret() {
    char *text = nullptr;
    uint32_t len = 0;
    if (TELMOR_VAQ_Encrypt(kDomain, kSecret, kSecretBytes, &text, &len) != 0) return {};
    std::string out(text, len);
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    return out;
}

size_t encryption_log_line_bytes() {
    const uint32_t saved = g_api_log_level;
    g_api_log_level = 0;
    encrypted_secret();  // the log file exists from here on
    const off_t before = file_size(g_log_name);
    encrypted_secret();
    const off_t after = file_size(g_log_name);
    g_api_log_level = saved;
    return before >= 0 && after > before ? static_cast<size_t>(after - before) : 0;
}

void truncate_library_log() {
    if (g_log_name[0] != '\0' && ::truncate(g_log_name, 0) != 0) return;
}

}  // namespace bench
