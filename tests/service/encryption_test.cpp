// SPDX-License-Identifier: Apache-2.0
// Encryption and decryption against the scripted fake: what is handed to the
// data-protection library, every outcome with its log lines and
// out-parameters, and the reload-and-retry on 268.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "host/sys.h"
#include "svc_fixture.h"
#include "telmor_vaq_api.h"
#include "tracked_alloc.h"

namespace {

using svctest::log_messages;
using svctest::ServiceFake;
using Lines = std::vector<std::string>;

constexpr char kSentinelText[] = "untouched";
constexpr uint32_t kSentinelLen = 0xA5A5A5A5;

const unsigned char kPlain[] = "secret";

uint32_t *u32_at(uint64_t address) { return reinterpret_cast<uint32_t *>(address); }
unsigned char *bytes_at(uint64_t address) { return reinterpret_cast<unsigned char *>(address); }

// The lines that encryption and decryption write, without those of the keystore reload.
Lines without_load_lines(const Lines &lines) {
    Lines out;
    for (const auto &l : lines) {
        if (l.rfind("INFO|Ivex", 0) == 0 || l.rfind("INFO|TELMOR_VAQ_Loadkey", 0) == 0) continue;
        out.push_back(l);
    }
    return out;
}

// What another process's write does to the primary copy's status: its change
// time moves, so a key the keystore in memory lacks is worth a reload.
void touch_primary() {
    struct stat st {};
    ASSERT_EQ(stat(svctest::kPrimary, &st), 0);
    ASSERT_EQ(chmod(svctest::kPrimary, st.st_mode & 07777), 0);
}

// Encrypts with the fake's default cipher (4-byte length, then the bytes).
std::string encrypt_ok(uint32_t domain, const std::string &plain) {
    char *text = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(TELMOR_VAQ_Encrypt(domain, reinterpret_cast<const unsigned char *>(plain.data()),
                                 static_cast<uint32_t>(plain.size()), &text, &len),
              0u);
    if (text == nullptr) return {};
    std::string out(text);
    HX_VAQ_MemFree(__LINE__, "test", text);
    return out;
}

TEST_F(ServiceFake, EncryptHandsAlgorithmAndCapacityAndEncodesTheBytesWritten) {
    uint32_t capacity = 0;
    fake::on("QorEncryptEx", [&](const fake::Call &c) {
        capacity = *u32_at(c.args[5]);
        std::memcpy(bytes_at(c.args[4]), "ABC", 3);  // fewer bytes than the capacity
        *u32_at(c.args[5]) = 3;
        return 0UL;
    });
    char *text = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(TELMOR_VAQ_Encrypt(7, kPlain, 6, &text, &len), 0u);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "QUJD");
    EXPECT_EQ(len, 4u);
    HX_VAQ_MemFree(__LINE__, "test", text);

    const auto enc = fake::calls("QorEncryptEx");
    ASSERT_EQ(enc.size(), 1u);
    EXPECT_EQ(enc[0].args[0], 7u);
    EXPECT_EQ(enc[0].args[1], 5u);
    EXPECT_EQ(enc[0].args[3], 6u);
    EXPECT_EQ(enc[0].bytes, std::vector<uint8_t>(kPlain, kPlain + 6));
    EXPECT_EQ(capacity, 6u + 4u) << "the capacity is the cipher length the library asked for";
    EXPECT_EQ(fake::calls("QorGetCipherDataLenEx").size(), 1u);
    EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ encrypt over ret=0."}));
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, EncryptFailuresReturnOneLogTheCauseAndLeaveOutputsAlone) {
    const struct {
        const char *name;
        std::function<void()> script;
        Lines lines;
    } cases[] = {
        {"length refused",
         [] { fake::answer("QorGetCipherDataLenEx", 3003); },
         {"ERROR|QorGetCipherDataLen failed, ret=3003.", "INFO| TELMOR VAQ encrypt over ret=1."}},
        {"length of zero",
         [] { fake::on("QorGetCipherDataLenEx", [](const fake::Call &) { return 0UL; }); },
         {"ERROR|QorGetCipherDataLen failed, ret=0.", "INFO| TELMOR VAQ encrypt over ret=1."}},
        {"length that wraps with its terminator",
         [] {
             fake::on("QorGetCipherDataLenEx", [](const fake::Call &c) {
                 *u32_at(c.args[1]) = 0xFFFFFFFF;
                 return 0UL;
             });
         },
         {"ERROR|malloc cipherText_temp failed.", "INFO| TELMOR VAQ encrypt over ret=1."}},
        {"length beyond one allocation",
         [] {
             fake::on("QorGetCipherDataLenEx", [](const fake::Call &c) {
                 *u32_at(c.args[1]) = 0x7FFFFFFF;
                 return 0UL;
             });
         },
         {"ERROR|malloc cipherText_temp failed.", "INFO| TELMOR VAQ encrypt over ret=1."}},
        {"encryption fails",
         [] { fake::answer("QorEncryptEx", 3007); },
         {"ERROR|QorEncryptEx failed, ret=3007.", "INFO| TELMOR VAQ encrypt over ret=1."}},
        {"encryption reports more bytes than the buffer holds",
         [] {
             fake::on("QorEncryptEx", [](const fake::Call &c) {
                 uint32_t *len = u32_at(c.args[5]);
                 *len += 1;
                 return 0UL;
             });
         },
         {"ERROR|QorEncryptEx wrote 11 bytes into 10.", "INFO| TELMOR VAQ encrypt over ret=1."}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        tvtest::clear_log(1);
        c.script();
        const size_t live = svctest::live_blocks();
        char *text = const_cast<char *>(kSentinelText);
        uint32_t len = kSentinelLen;
        EXPECT_EQ(TELMOR_VAQ_Encrypt(1, kPlain, 6, &text, &len), 1u);
        EXPECT_EQ(text, kSentinelText);
        EXPECT_EQ(len, kSentinelLen);
        EXPECT_EQ(log_messages(), c.lines);
        EXPECT_EQ(svctest::live_blocks(), live);
    }
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, EncryptRejectsNullPlainWithoutOverLine) {
    char *text = const_cast<char *>(kSentinelText);
    uint32_t len = kSentinelLen;
    EXPECT_EQ(TELMOR_VAQ_Encrypt(1, nullptr, 6, &text, &len), 1u);
    EXPECT_EQ(text, kSentinelText);
    EXPECT_EQ(log_messages(), Lines({"ERROR|plainText is NULL."}));
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ServiceFake, ReportedTextLengthIsCappedAt2048) {
    // Fake cipher = plain + 4 bytes; 1536 cipher bytes make exactly 2048 characters.
    const struct {
        uint32_t plain;
        size_t textLen;
        uint32_t reported;
    } cases[] = {{1531, 2048, 2048}, {1532, 2048, 2048}, {1533, 2052, 2048}, {1996, 2668, 2048}, {1000, 1340, 1340}};
    for (const auto &c : cases) {
        const std::vector<unsigned char> plain(c.plain, 0x5A);
        char *text = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(TELMOR_VAQ_Encrypt(1, plain.data(), c.plain, &text, &len), 0u);
        EXPECT_EQ(std::strlen(text), c.textLen) << c.plain;
        EXPECT_EQ(len, c.reported) << c.plain;
        HX_VAQ_MemFree(__LINE__, "test", text);
    }
}

TEST(EncryptionUninitialised, OperationsRefuseAndCipherLengthStillWorks) {
    fake::reset();
    g_vaq_pid = getpid();  // lets the refusals reach the log
    g_node_type = 1;
    tvtest::clear_log(1);

    char *text = const_cast<char *>(kSentinelText);
    uint32_t len = kSentinelLen;
    EXPECT_EQ(TELMOR_VAQ_Encrypt(1, kPlain, 6, &text, &len), 1u);
    EXPECT_EQ(text, kSentinelText);

    unsigned char *plain = reinterpret_cast<unsigned char *>(1);
    uint32_t plainLen = kSentinelLen;
    EXPECT_EQ(TELMOR_VAQ_Decrypt(1, "QUJD", 4, &plain, &plainLen), 1u);
    EXPECT_EQ(plain, nullptr);
    EXPECT_EQ(plainLen, kSentinelLen);

    const Lines refusal = {"ERROR|TELMOR VAQ not Initialize", "ERROR|check failed or load keystore failed."};
    Lines expected = refusal;
    expected.insert(expected.end(), refusal.begin(), refusal.end());
    EXPECT_EQ(log_messages(), expected);
    EXPECT_TRUE(fake::calls("QorEncryptEx").empty());
    EXPECT_TRUE(fake::calls("QorDecryptEx").empty());

    // No initialisation test: the code of the data-protection library passes through.
    uint32_t n = 0;
    EXPECT_EQ(TELMOR_VAQ_GetCipherDataLen(10, &n), 0u);
    EXPECT_EQ(n, 14u);
    fake::answer("QorGetCipherDataLenEx", 3003);
    n = kSentinelLen;
    EXPECT_EQ(TELMOR_VAQ_GetCipherDataLen(10, &n), 3003u);
    EXPECT_EQ(n, kSentinelLen);
    EXPECT_EQ(tvtest::count_api(tvtest::read_log(1), "ERROR", "QorGetCipherDataLen failed, ret=3003"), 1);
}

TEST_F(ServiceFake, DecryptRoundTripHandsDecodeSizeAndCapacity) {
    for (const std::string &plain :
         {std::string(), std::string("x"), std::string("0123456789abcdef"), std::string(1537, '\x7F')}) {
        SCOPED_TRACE(plain.size());
        fake::reset();
        tvtest::clear_log(1);
        const std::string text = encrypt_ok(3, plain);
        tvtest::clear_log(1);

        uint32_t capacity = 0;
        fake::on("QorDecryptEx", [&](const fake::Call &c) {
            capacity = *u32_at(c.args[4]);
            uint32_t len = 0;
            std::memcpy(&len, c.bytes.data(), 4);
            std::memcpy(bytes_at(c.args[3]), c.bytes.data() + 4, len);
            *u32_at(c.args[4]) = len;
            return 0UL;
        });
        unsigned char *out = nullptr;
        uint32_t outLen = 0;
        ASSERT_EQ(TELMOR_VAQ_Decrypt(3, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), 0u);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out), outLen), plain);
        EXPECT_EQ(out[outLen], 0) << "terminated";
        HX_VAQ_MemFree(__LINE__, "test", out);

        const auto dec = fake::calls("QorDecryptEx");
        ASSERT_EQ(dec.size(), 1u);
        const uint32_t cipherBytes = static_cast<uint32_t>(plain.size()) + 4;
        const uint32_t decodeSize = cipherBytes + (cipherBytes % 3 == 0 ? 4 : 5);
        EXPECT_EQ(dec[0].args[0], 3u);
        EXPECT_EQ(dec[0].args[2], decodeSize);
        EXPECT_EQ(capacity, text.size());
        EXPECT_TRUE(log_messages().empty()) << "a successful decryption writes no line";
    }
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, Decrypt268ReloadsOnceAndRetriesWithTheFullCapacity) {
    const std::string text = encrypt_ok(2, "payload");
    tvtest::clear_log(1);
    fake::reset();
    touch_primary();

    std::vector<uint32_t> capacities;
    fake::on("QorDecryptEx", [&](const fake::Call &c) {
        capacities.push_back(*u32_at(c.args[4]));
        if (capacities.size() == 1) {
            *u32_at(c.args[4]) = 0;  // a failed call may leave anything in the length
            return 268UL;
        }
        std::memcpy(bytes_at(c.args[3]), c.bytes.data() + 4, 7);
        *u32_at(c.args[4]) = 7;
        return 0UL;
    });
    unsigned char *out = nullptr;
    uint32_t outLen = 0;
    ASSERT_EQ(TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), outLen), "payload");
    HX_VAQ_MemFree(__LINE__, "test", out);

    EXPECT_EQ(capacities,
              std::vector<uint32_t>({static_cast<uint32_t>(text.size()), static_cast<uint32_t>(text.size())}));
    // The keystore was unloaded and loaded again between the two tries.
    const auto names = fake::call_names();
    const auto first = std::find(names.begin(), names.end(), "QorDecryptEx");
    const auto fin = std::find(first, names.end(), "IvexFinalizeEx");
    const auto init = std::find(fin, names.end(), "IvexInitializeEx");
    const auto retry = std::find(init, names.end(), "QorDecryptEx");
    EXPECT_NE(retry, names.end()) << testing::PrintToString(names);

    const Lines lines = log_messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "ERROR|QorDecryptEx failed, ret=268,try load and decrypt again."),
              1);
    for (const auto &l : lines) EXPECT_EQ(l.find("decrypt over"), std::string::npos) << l;
}

TEST_F(ServiceFake, Decrypt268WithBothKeystoreFilesMissingReportsCorruptKeystore) {
    const std::string text = encrypt_ok(2, "payload");
    ASSERT_EQ(unlink(svctest::kPrimary), 0);
    tvtest::clear_log(1);
    fake::reset();
    fake::answer("QorDecryptEx", 268);
    const size_t live = svctest::live_blocks();

    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    uint32_t outLen = kSentinelLen;
    EXPECT_EQ(TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), 1u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLen, 0u);
    EXPECT_EQ(svctest::live_blocks(), live);
    EXPECT_EQ(log_messages(),
              Lines({"ERROR|QorDecryptEx failed, ret=268,try load and decrypt again.",
                     std::string("ERROR|stat ") + svctest::kPrimary + " error No such file or directory",
                     std::string("ERROR|stat ") + svctest::kStandby + " error No such file or directory",
                     "ERROR|two keystore not exist, will not reload", "ERROR|keystore file corrupt"}));
    EXPECT_EQ(fake::calls("QorDecryptEx").size(), 1u);
}

TEST_F(ServiceFake, DecryptFailureOutcomes) {
    const std::string text = encrypt_ok(2, "payload");
    const struct {
        const char *name;
        std::initializer_list<unsigned long> codes;
        unsigned long result;
        bool bufferStays;
        Lines lines;
    } cases[] = {
        {"268, then the retry fails",
         {268, 3007},
         3007,
         false,
         {"ERROR|QorDecryptEx failed, ret=268,try load and decrypt again.", "ERROR|QorDecryptEx failed, ret=3007.",
          "INFO| TELMOR VAQ decrypt over ret=3007."}},
        {"another code: the buffer passes to the caller",
         {3007},
         1,
         true,
         {"ERROR|QorDecryptEx failed, ret=3007.", "INFO| TELMOR VAQ decrypt over ret=1."}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fake::queue("QorDecryptEx", c.codes);
        touch_primary();
        tvtest::clear_log(1);
        const size_t live = svctest::live_blocks();
        unsigned char *out = nullptr;
        uint32_t outLen = kSentinelLen;
        EXPECT_EQ(TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), c.result);
        EXPECT_EQ(without_load_lines(log_messages()), c.lines);
        if (c.bufferStays) {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(outLen, text.size()) << "as the library left it";
            EXPECT_EQ(svctest::live_blocks(), live + 1);
            HX_VAQ_MemFree(__LINE__, "test", out);
        } else {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(outLen, 0u);
        }
        EXPECT_EQ(svctest::live_blocks(), live);
    }
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, DecryptRefusesNullTextAndUnallocatableLengths) {
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    uint32_t outLen = kSentinelLen;
    const size_t live = svctest::live_blocks();
    EXPECT_EQ(TELMOR_VAQ_Decrypt(2, nullptr, 8, &out, &outLen), 1u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log_messages(), Lines({"ERROR|cipherText is NULL."}));

    for (uint32_t len : {0xFFFFFFFFu, 0x7FFFFFFFu}) {
        tvtest::clear_log(1);
        out = reinterpret_cast<unsigned char *>(1);
        EXPECT_EQ(TELMOR_VAQ_Decrypt(2, "QUJD", len, &out, &outLen), 1u);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(log_messages(), Lines({"ERROR|Failed to allocate memory to store the target plain text.",
                                         "INFO| TELMOR VAQ decrypt over ret=1."}));
    }
    EXPECT_EQ(outLen, kSentinelLen);
    EXPECT_EQ(svctest::live_blocks(), live);
    EXPECT_TRUE(fake::calls("QorDecryptEx").empty());
}

// Texts of a few KB decode on the stack; a longer one needs a block.
TEST_F(ServiceFake, DecryptWithoutMemoryForTheDecodeBufferStopsAndReleases) {
    const std::string text(8192, 'Q');
    const size_t live = svctest::live_blocks();
    svctest::fail_allocation(2);  // the plain buffer first, then the decode buffer
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    uint32_t outLen = kSentinelLen;
    EXPECT_EQ(TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), 1u);
    svctest::fail_allocation(0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outLen, 0u);
    EXPECT_EQ(svctest::live_blocks(), live);
    EXPECT_EQ(log_messages(), Lines({"ERROR|base64_decode malloc ret data failed", "ERROR|base64_decode failed."}));
    EXPECT_TRUE(fake::calls("QorDecryptEx").empty());
}

// A key that the keystore in memory lacks while nothing has changed since the
// load: no reload (a reload would load the same keys), the answer the retry
// would have given, and lines at most once per second of the clock, then one
// line with how many were left out. The copies are looked at (a stat each) at
// most once a millisecond while they stay as loaded.
time_t g_clock = 0;
time_t fixed_clock(time_t *out) {
    if (out != nullptr) *out = g_clock;
    return g_clock;
}
struct timespec g_monotonic {};
int fixed_monotonic(clockid_t, struct timespec *out) {
    *out = g_monotonic;
    return 0;
}
int g_stats = 0;
int counted_stat(const char *path, struct stat *st) {
    ++g_stats;
    return tv::real_sys().stat(path, st);
}

TEST_F(ServiceFake, Decrypt268WithTheKeystoreUnchangedNeitherReloadsNorFloods) {
    const std::string text = encrypt_ok(2, "payload");
    fake::reset();
    fake::answer("QorDecryptEx", 268);
    tvtest::clear_log(1);
    g_clock = tv::real_sys().time(nullptr);
    tv::override_sys(&tv::SysCalls::time, fixed_clock);
    tv::real_sys().clock_gettime(CLOCK_MONOTONIC, &g_monotonic);
    tv::override_sys(&tv::SysCalls::clock_gettime, fixed_monotonic);
    g_stats = 0;
    tv::override_sys(&tv::SysCalls::stat, counted_stat);
    const size_t live = svctest::live_blocks();
    constexpr int kTries = 10000;
    int answered268 = 0;
    for (int i = 0; i < kTries; ++i) {
        if (i == kTries / 2) ++g_clock;
        unsigned char *out = reinterpret_cast<unsigned char *>(1);
        uint32_t outLen = kSentinelLen;
        answered268 += TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen) == 268 &&
                       out == nullptr && outLen == 0;
    }
    tv::override_sys(&tv::SysCalls::time, tv::real_sys().time);
    EXPECT_EQ(answered268, kTries);
    EXPECT_EQ(g_stats, 2) << "one look at the two copies within the millisecond";
    EXPECT_EQ(svctest::live_blocks(), live);
    EXPECT_EQ(fake::calls("QorDecryptEx").size(), static_cast<size_t>(kTries)) << "one try each";
    EXPECT_TRUE(fake::calls("IvexFinalizeEx").empty()) << "no reload";
    const Lines once = {"ERROR|QorDecryptEx failed, ret=268,try load and decrypt again.",
                        "ERROR|QorDecryptEx failed, ret=268.", "INFO| TELMOR VAQ decrypt over ret=268."};
    Lines expected = once;
    expected.push_back("ERROR|QorDecryptEx failed, ret=268: " + std::to_string(kTries / 2 - 1) +
                       " more such failures not logged.");
    expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(log_messages(), expected);

    // A copy written by other means than this library (the shared version
    // stays) within the millisecond of the last look is seen once that has
    // passed: the same failure then reloads again.
    touch_primary();
    fake::reset();
    fake::answer("QorDecryptEx", 268);
    unsigned char *out = nullptr;
    uint32_t outLen = 0;
    g_monotonic.tv_nsec += 999'999;
    EXPECT_EQ(TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), 268u);
    EXPECT_TRUE(fake::calls("IvexFinalizeEx").empty());
    EXPECT_EQ(g_stats, 2) << "no look within the millisecond";
    g_monotonic.tv_sec += 1;
    EXPECT_EQ(TELMOR_VAQ_Decrypt(2, text.c_str(), static_cast<uint32_t>(text.size()), &out, &outLen), 268u);
    EXPECT_EQ(fake::calls("IvexFinalizeEx").size(), 1u);
    EXPECT_EQ(fake::calls("QorDecryptEx").size(), 3u);
    tv::override_sys(&tv::SysCalls::clock_gettime, tv::real_sys().clock_gettime);
    tv::override_sys(&tv::SysCalls::stat, tv::real_sys().stat);
}

}  // namespace
