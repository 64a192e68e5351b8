// SPDX-License-Identifier: Apache-2.0
// A keystore sealed under a SoftHSM2 token key, used through the main library
// while the token goes away and comes back. The token's module is SoftHSM2
// behind the failing module (tests/support/p11_fault_module.cpp), which can
// make the token's files vanish at a chosen call.
//
// A host process decrypts texts made before, and encrypts new ones, without
// pause while another process renews the root key; the token's files vanish
// right after the renewal's seal and come back a while later. The host must
// never fail a text, must keep encrypting, must write few lines about it, and
// must be on the new root within a bounded number of calls once the token is
// back.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "api_state.h"
#include "child.h"
#include "files.h"
#include "log_reader.h"
#include "softhsm_token.h"
#include "telmor_vaq_api.h"

using namespace reltest;
using tvtest::SoftHsmToken;

namespace {

const std::string kPinPath = "/etc/telmor/vaq/outage.pin";
const std::string kModule = "/etc/telmor/test-modules/p11_fault.so";
constexpr uint32_t kDomains[] = {50, 100};
constexpr int kTickMs = 5;

// What the host process reports to the test, in memory both share.
struct Report {
    std::atomic<int> ready{0};
    std::atomic<int> stop{0};
    std::atomic<int> restored{0};
    std::atomic<long> ticks{0};
    std::atomic<long> decryptFailures{0};
    std::atomic<long> encryptFailures{0};
    std::atomic<long> restoredAt{-1};  // the tick at which the host saw the token back
    std::atomic<long> newRootAt{-1};   // the first tick on the renewed root
    std::atomic<long> firstFailureCode{0};
};

// The root key's version as the main library answers it (a key operation:
// it checks the keystore version first, and reloads when behind).
int root_version() {
    HX_VAQ_ROOT_KEY *root = nullptr;
    if (TELMOR_VAQ_Query_Root_Key(&root) != 0 || root == nullptr) return -1;
    const int v = root->rk != nullptr ? root->rk->rkAttr16 : -1;
    HX_VAQ_RK_FREE(root->rk);
    HX_VAQ_RK_CFG_FREE(root->rkCfg);
    HX_VAQ_MemFree(__LINE__, "test", root);
    return v;
}

struct Text {
    uint32_t domain;
    std::string plain, cipher;
};

class TokenOutage : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = SoftHsmToken::unusable(); !why.empty()) GTEST_SKIP() << why;
        fresh_node(kAgentRole);
        token = std::make_unique<SoftHsmToken>("outage");
        ASSERT_TRUE(token->ok()) << token->error();
        ASSERT_TRUE(token->make_key("kek"));
        // The URI names the PIN where it always lived; each role reads it
        // from its own secret directory once that is there.
        SoftHsmToken::write_pin(kPinPath);
        ASSERT_EQ(tvtest::shell("install -d -m 0700 /etc/telmor/vaq/agent"), 0);
        for (const char *role : {"agent"})
            SoftHsmToken::write_pin(std::string("/etc/telmor/vaq/") + role + "/outage.pin");
        ASSERT_EQ(tvtest::shell(
                      "install -d -m 0755 /etc/telmor/test-modules && install -m 0644 " TELMOR_P11_FAULT_MODULE " " +
                      kModule),
                  0);
        uri = "pkcs11:token=" + token->label() + ";object=kek?module-path=" + kModule + "&pin-source=file:" + kPinPath;
        stash = SoftHsmToken::token_dir() + ".away";
        report = static_cast<Report *>(
            mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(report, MAP_FAILED);
        new (report) Report;
    }
    void TearDown() override {
        // A failed assertion left the host running: it is told to stop.
        if (hostPid > 0) {
            report->stop = 1;
            tvtest::wait_child(hostPid);
        }
        if (report != nullptr && report != MAP_FAILED) munmap(report, sizeof(Report));
        // Never leave the token away for the next test.
        if (tvtest::exists(stash)) std::rename(stash.c_str(), SoftHsmToken::token_dir().c_str());
    }

    // In a child: the keystore moved under the token key, keys in two
    // domains, texts under them (written to a file the test reads back).
    void make_sealed_keystore_and_texts() {
        const std::string textsFile = "/opt/telmor/outage-texts";
        ASSERT_EQ(tvtest::run_in_child([&] {
                      if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
                      auto protect =
                          reinterpret_cast<uint32_t (*)(const char *)>(dlsym(RTLD_DEFAULT, "VaqPrivProtectToken"));
                      if (protect == nullptr || protect(uri.c_str()) != 0) return 3;
                      std::string out;
                      for (uint32_t domain : kDomains)
                          for (int i = 0; i < 3; ++i) {
                              uint32_t id = 0;
                              if (i > 0 && TELMOR_VAQ_CreateMK(domain, &id) != 0) return 4;
                              const std::string plain = "before " + std::to_string(domain) + "/" + std::to_string(i);
                              const std::string cipher = api_encrypt(domain, plain);
                              if (cipher.empty()) return 5;
                              out += std::to_string(domain) + "\t" + plain + "\t" + cipher + "\n";
                          }
                      tvtest::write_file(textsFile, out);
                      TELMOR_VAQ_Finalize();
                      return 0;
                  }),
                  0);
        std::string all = tvtest::read_file(textsFile);
        size_t at = 0;
        while (at < all.size()) {
            const size_t end = all.find('\n', at);
            const std::string line = all.substr(at, end - at);
            at = end + 1;
            const size_t a = line.find('\t'), b = line.find('\t', a + 1);
            texts.push_back({static_cast<uint32_t>(std::stoul(line.substr(0, a))), line.substr(a + 1, b - a - 1),
                             line.substr(b + 1)});
        }
        ASSERT_EQ(texts.size(), 6u);
    }

    // The host: decrypts every text made before, and encrypts and decrypts a
    // new one, each tick until told to stop.
    int host() {
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
        const int rootBefore = root_version();
        if (rootBefore < 1) return 3;
        report->ready = 1;
        while (report->stop == 0) {
            const long tick = report->ticks;
            for (const Text &t : texts) {
                std::string plain;
                const unsigned long code = api_decrypt(t.domain, t.cipher, &plain);
                if (code != 0 || plain != t.plain) {
                    if (report->decryptFailures++ == 0) report->firstFailureCode = static_cast<long>(code);
                }
            }
            unsigned long code = 0;
            const std::string fresh = api_encrypt(kDomains[tick % 2], "fresh " + std::to_string(tick), &code);
            std::string back;
            if (fresh.empty() || api_decrypt(kDomains[tick % 2], fresh, &back) != 0 ||
                back != "fresh " + std::to_string(tick))
                ++report->encryptFailures;
            if (report->restored != 0 && report->restoredAt < 0) report->restoredAt = tick;
            if (report->newRootAt < 0 && root_version() > rootBefore) report->newRootAt = tick;
            report->ticks = tick + 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        }
        TELMOR_VAQ_Finalize();
        return 0;
    }

    // The renewal, whose seal (the first encryption this process asks of
    // the token) is followed by the token's files vanishing.
    int renew_while_the_token_vanishes() {
        setenv("TELMOR_TEST_P11_AT", "C_Encrypt:1:remove", 1);
        setenv("TELMOR_TEST_P11_REMOVE_DIR", SoftHsmToken::token_dir().c_str(), 1);
        setenv("TELMOR_TEST_P11_STASH", stash.c_str(), 1);
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
        const unsigned long rc = TELMOR_VAQ_UpdateRootKey();
        // As the tool's renewal does: every process reloads at its next call.
        if (rc == 0) TELMOR_update_shm();
        TELMOR_VAQ_Finalize();
        return rc == 0 ? 0 : 3;
    }

    static bool wait_for(const std::function<bool()> &done, int ms) {
        for (int waited = 0; waited < ms; waited += 5) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }

    std::unique_ptr<SoftHsmToken> token;
    std::string uri, stash;
    std::vector<Text> texts;
    Report *report = nullptr;
    pid_t hostPid = 0;
};

TEST_F(TokenOutage, AHostDecryptingThroughARenewalWhileTheTokenVanishesFailsNoTextAndCatchesUp) {
    make_sealed_keystore_and_texts();
    tvtest::clear_log(1);
    hostPid = tvtest::spawn([&] { return host(); });
    ASSERT_TRUE(wait_for([&] { return report->ready != 0; }, 20000)) << "the host did not start";
    ASSERT_TRUE(wait_for([&] { return report->ticks > 20; }, 20000));

    ASSERT_EQ(tvtest::run_in_child([&] { return renew_while_the_token_vanishes(); }), 0)
        << "the renewal failed (its seal ran before the token's files went)";
    ASSERT_TRUE(tvtest::exists(stash)) << "the token's files did not vanish";
    ASSERT_FALSE(tvtest::exists(SoftHsmToken::token_dir()));

    // Away for a while: the host tries its reload, fails, and keeps serving.
    const long awayFrom = report->ticks;
    ASSERT_TRUE(wait_for([&] { return report->ticks > awayFrom + 300; }, 30000));
    EXPECT_LT(report->newRootAt, 0) << "the host cannot have loaded the new root without the token";

    ASSERT_EQ(std::rename(stash.c_str(), SoftHsmToken::token_dir().c_str()), 0);
    report->restored = 1;
    ASSERT_TRUE(wait_for([&] { return report->newRootAt >= 0; }, 15000)) << "the host never caught up";
    const long backAt = report->ticks;
    ASSERT_TRUE(wait_for([&] { return report->ticks > backAt + 20; }, 10000));
    report->stop = 1;
    EXPECT_EQ(tvtest::wait_child(hostPid), 0);
    hostPid = 0;

    const long ticks = report->ticks, restoredAt = report->restoredAt, newRootAt = report->newRootAt;
    std::printf(
        "[ figures ] %ld ticks (%zu old texts decrypted, one new text encrypted each), token away for %ld "
        "ticks, back on the new root %ld ticks after the token returned\n",
        ticks, texts.size(), restoredAt - awayFrom, newRootAt - restoredAt);
    EXPECT_EQ(report->decryptFailures, 0) << "first failure code " << report->firstFailureCode;
    EXPECT_EQ(report->encryptFailures, 0);
    // The reload is tried again one second after each failure, and the
    // module restarted at most every half second: at 5 ms a tick (plus the
    // calls' own time) a few hundred ticks bound it.
    EXPECT_GE(restoredAt, 0);
    EXPECT_LE(newRootAt - restoredAt, 400);

    // While the token was away: one WARN line naming the cause, not a line
    // per call.
    const std::vector<std::string> lines = tvtest::read_log(1);
    size_t warns = 0, errors = 0;
    for (const std::string &l : lines) {
        if (l.find("keystore not reloaded (code 2037") != std::string::npos) ++warns;
        if (l.rfind("ERROR", 0) == 0) ++errors;
    }
    EXPECT_GE(warns, 1u);
    EXPECT_LE(warns, 2u) << "more than one WARN line a minute for one cause";
    EXPECT_LE(errors, 10u) << "the failed tries wrote their lines each time";
    size_t recovered = 0;
    for (const std::string &l : lines)
        if (l.find("keystore reloaded; the keys held since a reload failed (code 2037)") != std::string::npos)
            ++recovered;
    EXPECT_EQ(recovered, 1u);

    // A new process opens the renewed keystore and decrypts everything.
    EXPECT_EQ(tvtest::run_in_child([&] {
                  if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
                  for (const Text &t : texts) {
                      std::string plain;
                      if (api_decrypt(t.domain, t.cipher, &plain) != 0 || plain != t.plain) return 3;
                  }
                  TELMOR_VAQ_Finalize();
                  return 0;
              }),
              0);
}

}  // namespace
