// SPDX-License-Identifier: Apache-2.0
// The log writers: every piece of the line, thresholds, line limits, the
// file's path, and what happens when no path can be built.
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "common/log.h"
#include "files.h"
#include "log_reader.h"
#include "telmor_vaq_api.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string &path) { return tvtest::read_file(path); }

std::string tid() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%06d", static_cast<int>(gettid()));
    return buf;
}

std::string utc_text(time_t t) {
    struct tm utc {};
    gmtime_r(&t, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &utc);
    return buf;
}

constexpr const char kTime[] = "<TIME>";

// True when line equals expected with kTime replaced by a second in
// [from, to]: the time stamp is checked whole, not by pattern.
bool equals_at_some_second(const std::string &line, const std::string &expected, time_t from, time_t to) {
    const auto at = expected.find(kTime);
    for (time_t t = from; t <= to; ++t) {
        std::string candidate = expected;
        if (at != std::string::npos) candidate.replace(at, sizeof kTime - 1, utc_text(t));
        if (candidate == line) return true;
    }
    return false;
}

// The part of a line of HX_VAQ_Wrilog before its message.
std::string api_prefix(const std::string &level, const std::string &file, const std::string &line) {
    std::string padded_level = level;
    padded_level.resize(std::max<size_t>(5, level.size()), ' ');
    std::string padded_file = file;
    padded_file.resize(std::max<size_t>(15, file.size()), ' ');
    return "[" + padded_level + "] [" + padded_file + " " + line + "] [" + tid() + "] [HXVAQ] (UTC) " + kTime + " ";
}

constexpr size_t kTimeLength = 19;  // YYYY-MM-DD HH:MM:SS

class LogWriter : public testing::Test {
protected:
    void SetUp() override {
        g_node_type = 1;
        g_vaq_pid = getpid();
        g_vaq_log_level = 2;
        g_api_log_level = 0;
        logInitFlag = 0;
        std::memset(g_log_name, 0, sizeof g_log_name);
        tvtest::clear_log(1);
    }

    static std::string file() { return slurp(tvtest::log_path(1)); }
};

TEST_F(LogWriter, ApiLineLayout) {
    const time_t from = time(nullptr);
    HX_VAQ_Wrilog(42, "a_file_name_20_chars", 0, "value %d and %s\n", 7, "text");
    HX_VAQ_Wrilog(7, "f.c", 2, "short name\n");
    HX_VAQ_Wrilog(1234567, "f.c", 1, "long line number\n");
    const time_t to = time(nullptr);
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 3u);
    const std::string id = tid();
    EXPECT_TRUE(equals_at_some_second(
        lines[0], "[INFO ] [a_file_name_20_chars 000042] [" + id + "] [HXVAQ] (UTC) <TIME> value 7 and text", from, to))
        << lines[0];
    EXPECT_TRUE(equals_at_some_second(
        lines[1], "[ERROR] [f.c             000007] [" + id + "] [HXVAQ] (UTC) <TIME> short name", from, to))
        << lines[1];
    EXPECT_TRUE(equals_at_some_second(
        lines[2], "[WARN ] [f.c             1234567] [" + id + "] [HXVAQ] (UTC) <TIME> long line number", from, to))
        << lines[2];
}

TEST_F(LogWriter, KeyLibraryLineLayout) {
    APP_WriLog(2, "VAQ", "vaq_keystore.cpp", 42, "boom\n");
    APP_WriLog(2, "KEYSTORE", "a_file_name_20_chars", 7, "long tag\n");
    const std::string id = tid();
    EXPECT_EQ(file(), "[ERROR] [vaq_keystore.cpp 000042] [" + id +
                          "] [VAQ  ] boom\n"
                          "[ERROR] [a_file_name_20_chars 000007] [" +
                          id + "] [KEYSTORE] long tag\n");
}

// The file and module names come from callers too: a line end in one is
// written escaped, so it can neither split the line nor start a forged one.
TEST_F(LogWriter, FileAndModuleNamesAreEscapedLikeMessages) {
    APP_WriLog(2, "V\nA", "f\n.c", 1, "boom\n");
    HX_VAQ_Wrilog(3, "x\r\n[ERROR] y.c", 2, "forged?\n");
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 2u) << file();
    EXPECT_EQ(lines[0], "[ERROR] [f\\x0a.c         000001] [" + tid() + "] [V\\x0aA] boom");
    EXPECT_EQ(lines[1].rfind("[ERROR] [x\\x0d\\x0a[ERROR] y.c 000003] [" + tid() + "] [HXVAQ] (UTC) ", 0), 0u)
        << lines[1];
}

TEST_F(LogWriter, MessagesOfTheKeyLibraryAreNeverFormats) {
    APP_WriLog(2, "VAQ", "f.c", 1, "100%s done %n %d%%\n");
    EXPECT_EQ(file(), "[ERROR] [f.c             000001] [" + tid() + "] [VAQ  ] 100%s done %n %d%%\n");
}

TEST_F(LogWriter, LevelTexts) {
    g_vaq_log_level = INT32_MIN;
    struct Case {
        int64_t level;
        const char *text;
    };
    const Case cases[] = {{0, "INFO "}, {1, "WARN "},  {2, "ERROR"},
                          {3, "INFO "}, {-1, "INFO "}, {0xffffffffLL, "INFO "}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        tvtest::clear_log(1);
        HX_VAQ_Wrilog(1, "f.c", static_cast<uint32_t>(c.level), "api\n");
        APP_WriLog(static_cast<int32_t>(c.level), "VAQ", "f.c", 1, "vaq\n");
        const auto lines = tvtest::read_log(1);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].substr(0, 8), std::string("[") + c.text + "] ");
        EXPECT_EQ(lines[1].substr(0, 8), std::string("[") + c.text + "] ");
    }
}

TEST_F(LogWriter, KeyLibraryThresholdIsSigned) {
    struct Case {
        int32_t threshold;
        int32_t level;
        bool written;
    };
    const Case cases[] = {
        {2, 0, false},  {2, 1, false},  {2, 2, true},    {2, 3, true},
        {2, -1, false}, {-5, -1, true}, {-5, -6, false}, {INT32_MIN, INT32_MIN, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.level) + " against " + std::to_string(c.threshold));
        tvtest::clear_log(1);
        g_vaq_log_level = c.threshold;
        APP_WriLog(c.level, "VAQ", "f.c", 1, "x\n");
        EXPECT_EQ(tvtest::read_log(1).size(), c.written ? 1u : 0u);
    }
}

TEST_F(LogWriter, ApiThresholdIsUnsigned) {
    struct Case {
        uint32_t threshold;
        uint32_t level;
        bool written;
    };
    const Case cases[] = {
        {0, 0, true},
        {0, 0xffffffffu, true},
        {2, 1, false},
        {2, 2, true},
        {2, 0xffffffffu, true},
        // Compared as signed, these two would go the other way.
        {0x80000000u, 2, false},
        {0x80000000u, 0xffffffffu, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.level) + " against " + std::to_string(c.threshold));
        tvtest::clear_log(1);
        g_api_log_level = c.threshold;
        HX_VAQ_Wrilog(1, "f.c", c.level, "x\n");
        EXPECT_EQ(tvtest::read_log(1).size(), c.written ? 1u : 0u);
    }
}

TEST_F(LogWriter, PathIsBuiltEvenForADroppedLine) {
    APP_WriLog(0, "VAQ", "f.c", 1, "below the threshold\n");
    EXPECT_EQ(logInitFlag, 1);
    EXPECT_EQ(std::string(g_log_name), tvtest::log_path(1));
    EXPECT_EQ(file(), "");
}

// A line may hold 1023 characters (its terminator makes 1024). One more and
// nothing of it is written.
TEST_F(LogWriter, LongestLineIsWrittenOneMoreIsDropped) {
    const std::string vaq_prefix = "[ERROR] [f.c             000001] [" + tid() + "] [VAQ  ] ";
    const std::string api_prefix_text = api_prefix("ERROR", "f.c", "000001");
    const size_t api_length = api_prefix_text.size() - (sizeof kTime - 1) + kTimeLength;
    for (size_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        tvtest::clear_log(1);
        const std::string vaq_message = std::string(1022 - vaq_prefix.size() + extra, 'v') + "\n";
        APP_WriLog(2, "VAQ", "f.c", 1, vaq_message.c_str());
        EXPECT_EQ(file(), extra == 0 ? vaq_prefix + vaq_message : "");

        tvtest::clear_log(1);
        const std::string api_message = std::string(1022 - api_length + extra, 'a');
        const time_t from = time(nullptr);
        HX_VAQ_Wrilog(1, "f.c", 2, "%s\n", api_message.c_str());
        const time_t to = time(nullptr);
        const auto lines = tvtest::read_log(1);
        if (extra == 0) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].size() + 1, 1023u);
            EXPECT_TRUE(equals_at_some_second(lines[0], api_prefix_text + api_message, from, to));
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
}

// The pieces before the message may reach 1022 characters, not 1023, even
// when the message would still fit.
TEST_F(LogWriter, HeaderPiecesStopAt1022) {
    const size_t vaq_fixed = std::string("[ERROR] [f.c             000001] [" + tid() + "] [] ").size();
    for (size_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        tvtest::clear_log(1);
        const std::string module(1022 - vaq_fixed + extra, 'm');
        APP_WriLog(2, module.c_str(), "f.c", 1, "");
        EXPECT_EQ(file().size(), extra == 0 ? 1022u : 0u);

        // For our own lines the time stamp is the piece that reaches the limit.
        tvtest::clear_log(1);
        const std::string empty_name_prefix = api_prefix("ERROR", "", "000001");
        const size_t api_fixed = empty_name_prefix.size() - (sizeof kTime - 1) + kTimeLength;
        // The empty name was padded to 15 characters; a longer one is printed whole.
        const std::string name(1022 - api_fixed + 15 + extra, 'f');
        HX_VAQ_Wrilog(1, name.c_str(), 2, "%s", "");
        EXPECT_EQ(file().size(), extra == 0 ? 1022u : 0u);
    }
}

TEST_F(LogWriter, ALineWithoutLineEndRunsOn) {
    HX_VAQ_Wrilog(1, tv::kModule, 2, "malloc memory failed.");
    HX_VAQ_Wrilog(2, tv::kModule, 0, "next\n");
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 1u);
    const auto cut = lines[0].find("failed.[INFO ] ");
    ASSERT_NE(cut, std::string::npos) << lines[0];
    EXPECT_TRUE(
        tvtest::matches(lines[0].substr(0, cut + 7), tvtest::api_line_pattern("ERROR", "malloc memory failed.")));
    EXPECT_TRUE(tvtest::matches(lines[0].substr(cut + 7), tvtest::api_line_pattern("INFO", "next")));
}

// A %c of 0 ends the message as it ends any C string: nothing formatted
// after it reaches the file (here a secret and the line end), so the line
// runs on like one written without a line end.
TEST_F(LogWriter, AMessageEndsAtAnEmbeddedZero) {
    struct Case {
        const char *name;
        void (*write)();
        const char *kept;
    };
    const Case cases[] = {
        {"zero inside", [] { HX_VAQ_Wrilog(9, "f.c", 0, "kept%cafter %s\n", 0, "s3cret"); }, "kept"},
        {"zero first", [] { HX_VAQ_Wrilog(9, "f.c", 0, "%cafter %s\n", 0, "s3cret"); }, ""},
        {"zero last", [] { HX_VAQ_Wrilog(9, "f.c", 0, "kept %s%c\n", "all", 0); }, "kept all"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tvtest::clear_log(1);
        const time_t from = time(nullptr);
        c.write();
        const time_t to = time(nullptr);
        const std::string written = file();
        EXPECT_EQ(written.find('\0'), std::string::npos);
        EXPECT_EQ(written.find("s3cret"), std::string::npos);
        EXPECT_EQ(written.find('\n'), std::string::npos);
        EXPECT_TRUE(equals_at_some_second(written, api_prefix("INFO", "f.c", "000009") + c.kept, from, to)) << written;
    }
}

TEST_F(LogWriter, NotificationsAndEvents) {
    APP_RecvNotify(7, 1, 2);
    APP_DoEvents();
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(tvtest::matches(lines[0], tvtest::api_line_pattern("WARN", "APP_RecvNotify  eNtfCode=7"))) << lines[0];
    EXPECT_EQ(file().back(), '\n');
}

TEST_F(LogWriter, NothingIsWrittenUntilProcessAndRoleAreKnown) {
    struct Case {
        int32_t pid;
        int32_t role;
    };
    for (const Case c : {Case{0, 1}, Case{getpid(), 0}, Case{getpid(), 4}}) {
        SCOPED_TRACE(std::to_string(c.pid) + " as role " + std::to_string(c.role));
        g_vaq_pid = c.pid;
        g_node_type = c.role;
        HX_VAQ_Wrilog(1, "f.c", 2, "lost\n");
        APP_WriLog(2, "VAQ", "f.c", 1, "lost\n");
        EXPECT_EQ(init_log_file(), 1u);
        EXPECT_EQ(logInitFlag, 0);
        EXPECT_STREQ(g_log_name, "");
    }
    EXPECT_EQ(file(), "");

    g_vaq_pid = getpid();
    g_node_type = 1;
    HX_VAQ_Wrilog(1, tv::kModule, 2, "kept\n");
    EXPECT_EQ(logInitFlag, 1);
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(tvtest::matches(lines[0], tvtest::api_line_pattern("ERROR", "kept")));
}

TEST_F(LogWriter, PathByRole) {
    for (int role : {1, 2, 3}) {
        SCOPED_TRACE(role);
        g_node_type = role;
        logInitFlag = 0;
        tvtest::clear_log(role);
        EXPECT_EQ(init_log_file(), 0u);
        EXPECT_EQ(std::string(g_log_name), tvtest::log_path(role));
        HX_VAQ_Wrilog(1, "f.c", 0, "here\n");
        EXPECT_EQ(tvtest::read_log(role).size(), 1u);
    }
}

TEST_F(LogWriter, ProcessName) {
    char name[512] = {};
    EXPECT_EQ(get_name_by_pid(getpid(), name), 0u);
    EXPECT_EQ(std::string(name), tvtest::process_name());
    EXPECT_EQ(get_name_by_pid(0, name), 1u);
    EXPECT_EQ(get_name_by_pid(-1, name), 1u);
}

TEST_F(LogWriter, ProcessNameWithABlankNamesTheFileByItsFirstWord) {
    const int rc = tvtest::run_in_child([] {
        if (prctl(PR_SET_NAME, "ab cd", 0, 0, 0) != 0) return 1;
        g_vaq_pid = getpid();
        logInitFlag = 0;
        HX_VAQ_Wrilog(1, tv::kModule, 0, "from ab\n");
        return std::string(g_log_name) == tvtest::log_path_of(1, "ab") ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    const auto lines = tvtest::read_lines(tvtest::log_path_of(1, "ab"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(tvtest::matches(lines[0], tvtest::api_line_pattern("INFO", "from ab")));
}

TEST_F(LogWriter, MissingDirectoryWritesNothing) {
    const fs::path dir = "/var/log/oam/hxa/run";
    const fs::path moved = "/var/log/oam/hxa/run.moved";
    fs::rename(dir, moved);
    HX_VAQ_Wrilog(1, "f.c", 2, "lost\n");
    APP_WriLog(2, "VAQ", "f.c", 1, "lost\n");
    EXPECT_FALSE(fs::exists(dir));
    fs::rename(moved, dir);
    tvtest::clear_log(1);
    HX_VAQ_Wrilog(1, tv::kModule, 2, "kept\n");
    EXPECT_EQ(tvtest::read_log(1).size(), 1u);
}

TEST_F(LogWriter, ErrnoIsKept) {
    errno = 1234;
    HX_VAQ_Wrilog(1, "f.c", 2, "written\n");
    EXPECT_EQ(errno, 1234);
    g_vaq_pid = 0;
    logInitFlag = 0;
    errno = 4321;
    APP_WriLog(2, "VAQ", "f.c", 1, "dropped\n");
    EXPECT_EQ(errno, 4321);
}

// Lines of threads and processes that share the file land whole.
TEST_F(LogWriter, ConcurrentLinesLandWhole) {
    constexpr int kLines = 300;
    auto write_lines = [](char mark) {
        const std::string body(300, mark);
        for (int i = 0; i < kLines; ++i) HX_VAQ_Wrilog(i, tv::kModule, 0, "%s\n", body.c_str());
    };
    const pid_t other = tvtest::spawn([&] {
        write_lines('p');
        return 0;
    });
    std::vector<std::thread> threads;
    for (char mark : {'a', 'b', 'c'}) threads.emplace_back(write_lines, mark);
    for (auto &t : threads) t.join();
    ASSERT_EQ(tvtest::wait_child(other), 0);

    const auto lines = tvtest::read_log(1);
    EXPECT_EQ(lines.size(), 4u * kLines);
    int whole = 0;
    for (const auto &line : lines) {
        const char mark = line.back();
        whole += tvtest::matches(line, tvtest::api_line_pattern("INFO", std::string(300, mark)));
    }
    EXPECT_EQ(whole, 4 * kLines);
}

// The descriptor stays open between lines, yet a log rotated between two
// lines (renamed away, removed, or replaced by another file) gets the second
// line in whatever file the path names then, as when every line opened it.
TEST_F(LogWriter, RotationIsSeenAtTheNextLine) {
    const std::string log = tvtest::log_path(1);
    const std::string aside = log + ".1";
    struct Rotation {
        const char *name;
        void (*rotate)(const std::string &log, const std::string &aside);
        bool oldKept;  // the first line is still found at `aside`
    };
    const Rotation rotations[] = {
        {"renamed", [](const std::string &l, const std::string &a) { fs::rename(l, a); }, true},
        {"removed", [](const std::string &l, const std::string &) { fs::remove(l); }, false},
        {"replaced",
         [](const std::string &l, const std::string &a) {
             fs::rename(l, a);
             const std::string fresh = l + ".new";
             std::ofstream(fresh).close();
             fs::rename(fresh, l);
         },
         true},
    };
    for (const Rotation &r : rotations) {
        SCOPED_TRACE(r.name);
        tvtest::clear_log(1);
        fs::remove(aside);
        HX_VAQ_Wrilog(1, tv::kModule, 0, "before %s\n", r.name);
        r.rotate(log, aside);
        HX_VAQ_Wrilog(2, tv::kModule, 0, "after %s\n", r.name);
        const auto now = tvtest::api_messages(tvtest::read_log(1));
        EXPECT_EQ(now, std::vector<std::string>{std::string("INFO|after ") + r.name});
        if (r.oldKept) {
            EXPECT_EQ(tvtest::api_messages(tvtest::read_lines(aside)),
                      std::vector<std::string>{std::string("INFO|before ") + r.name});
        }
    }
    fs::remove(aside);
}

// A file put at the path between two lines is judged as a new one: a second
// link to the log, or a symbolic link in its place, gets no line.
TEST_F(LogWriter, AFileSwappedInBetweenLinesIsJudgedAnew) {
    const std::string log = tvtest::log_path(1);
    const std::string other = log + ".other";
    HX_VAQ_Wrilog(1, tv::kModule, 0, "first\n");
    fs::create_hard_link(log, other);
    HX_VAQ_Wrilog(2, tv::kModule, 0, "through two links\n");
    EXPECT_EQ(tvtest::api_messages(tvtest::read_log(1)), std::vector<std::string>{"INFO|first"});
    fs::remove(log);
    fs::create_symlink(other, log);
    HX_VAQ_Wrilog(3, tv::kModule, 0, "through a symbolic link\n");
    EXPECT_EQ(tvtest::api_messages(tvtest::read_lines(other)), std::vector<std::string>{"INFO|first"});
    fs::remove(log);
    fs::remove(other);
}

TEST(ThreadId, IsTheKernelThreadId) {
    EXPECT_EQ(gettid(), getpid());
    pid_t inside = 0;
    long kernel = 0;
    std::thread([&] {
        inside = gettid();
        kernel = syscall(SYS_gettid);
    }).join();
    EXPECT_EQ(inside, kernel);
    EXPECT_NE(inside, getpid());
}

// A line written in a forked child carries the child's own thread id, though
// the thread that forked had logged (and kept its id) before.
TEST_F(LogWriter, AForkedChildLogsItsOwnThreadId) {
    HX_VAQ_Wrilog(1, tv::kModule, 0, "parent\n");
    const pid_t child = tvtest::spawn([] {
        HX_VAQ_Wrilog(2, tv::kModule, 0, "child\n");
        return 0;
    });
    ASSERT_EQ(tvtest::wait_child(child), 0);
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 2u);
    char id[32];
    std::snprintf(id, sizeof id, "] [%06d] [HXVAQ]", static_cast<int>(child));
    EXPECT_NE(lines[1].find(id), std::string::npos) << lines[1];
    EXPECT_NE(lines[0].find("] [" + tid() + "] [HXVAQ]"), std::string::npos) << lines[0];
}

}  // namespace
