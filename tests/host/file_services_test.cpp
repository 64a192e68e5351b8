// SPDX-License-Identifier: Apache-2.0
// File, entropy, time and memory services of the host-service table.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child.h"
#include "files.h"
#include "host/host_services.h"
#include "log_reader.h"
#include "telmor_vaq_api.h"

namespace {

namespace fs = std::filesystem;

using tvtest::read_file;
using tvtest::write_file;

int fd_of(void *handle) { return *static_cast<int32_t *>(handle); }

class FileServices : public testing::Test {
protected:
    void SetUp() override {
        dir_ = "/opt/telmor/host_files";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        g_node_type = 1;
        g_vaq_pid = getpid();
        logInitFlag = 0;
        tvtest::clear_log(1);
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    static std::vector<std::string> messages() { return tvtest::api_messages(tvtest::read_log(1)); }

    std::string dir_;
};

TEST_F(FileServices, OpenModes) {
    const std::string old_bytes(100, 'o');
    struct Case {
        const char *what;
        int32_t mode;
        bool exists;
        bool opens;
        bool can_read;
        bool can_write;
        std::string after_write;  // file content after writing "NEWBYTES!!" at offset 0
    };
    const Case cases[] = {
        {"read missing", 0, false, false, false, false, ""},
        {"read existing", 0, true, true, true, false, old_bytes},
        {"write missing", 1, false, true, false, true, "NEWBYTES!!"},
        // Not truncated and not appended: the first ten bytes are replaced.
        {"write existing", 1, true, true, false, true, "NEWBYTES!!" + old_bytes.substr(10)},
        {"read-write missing", 2, false, true, true, true, "NEWBYTES!!"},
        {"read-write existing", 2, true, true, true, true, "NEWBYTES!!" + old_bytes.substr(10)},
    };
    ::umask(022);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = path("f");
        fs::remove(file);
        if (c.exists) write_file(file, old_bytes);
        tvtest::clear_log(1);

        void *handle = tv::APP_Fopen(file.c_str(), c.mode);
        auto logged = messages();
        // A wider file opened for writing is made its owner's only, and said so.
        if (c.exists && c.can_write) {
            ASSERT_EQ(logged.size(), 2u);
            EXPECT_EQ(logged[0], "WARN|file " + file + " had mode 0644; others' access removed");
            logged.erase(logged.begin());
            struct stat tightened {};
            ASSERT_EQ(stat(file.c_str(), &tightened), 0);
            EXPECT_EQ(tightened.st_mode & 07777, 0600u);
        }
        ASSERT_EQ(logged.size(), 1u);
        if (!c.opens) {
            EXPECT_EQ(handle, nullptr);
            EXPECT_EQ(logged[0], "INFO|TELMOR VAQ fopen ret=-1.");
            EXPECT_FALSE(fs::exists(file));
            continue;
        }
        ASSERT_NE(handle, nullptr);
        const int fd = fd_of(handle);
        EXPECT_EQ(logged[0], "INFO|TELMOR VAQ fopen ret=" + std::to_string(fd) + ".");
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        if (!c.exists) {
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        }

        char byte = 0;
        EXPECT_EQ(tv::APP_Fread(&byte, 1, handle), c.can_read && c.exists ? 1 : 0);
        EXPECT_EQ(tv::APP_Fseek(handle, 0, 0), 0);
        EXPECT_EQ(tv::APP_Fwrite("NEWBYTES!!", 10, handle), c.can_write ? 1 : 0);
        EXPECT_EQ(tv::APP_Fclose(handle), 0);
        EXPECT_EQ(read_file(file), c.can_write ? c.after_write : old_bytes);
    }
}

TEST_F(FileServices, OtherModesOpenNothingAndLogNothing) {
    for (int32_t mode : {5, -1, 1000}) {
        EXPECT_EQ(tv::APP_Fopen(path("m").c_str(), mode), nullptr);
    }
    EXPECT_FALSE(fs::exists(path("m")));
    EXPECT_TRUE(tvtest::read_log(1).empty());
}

TEST_F(FileServices, ReadsAndWritesAreAllOrNothing) {
    write_file(path("six"), "abcdef");
    void *handle = tv::APP_Fopen(path("six").c_str(), 2);
    ASSERT_NE(handle, nullptr);
    char buf[16] = {};
    EXPECT_EQ(tv::APP_Fread(buf, 0, handle), 1);
    EXPECT_EQ(tv::APP_Fread(buf, 4, handle), 1);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    // Two bytes are there, four are asked: one read, no second try.
    EXPECT_EQ(tv::APP_Fread(buf, 4, handle), 0);
    EXPECT_EQ(tv::APP_Ftell(handle), 6);
    EXPECT_EQ(tv::APP_Fread(buf, 1, handle), 0);
    EXPECT_EQ(tv::APP_Fwrite("", 0, handle), 1);
    EXPECT_EQ(tv::APP_Fwrite("gh", 2, handle), 1);
    EXPECT_EQ(tv::APP_Fflush(handle), 0);
    EXPECT_EQ(tv::APP_Fclose(handle), 0);
    EXPECT_EQ(read_file(path("six")), "abcdefgh");
}

TEST_F(FileServices, SeekOriginsAndTell) {
    write_file(path("ten"), "0123456789");
    void *handle = tv::APP_Fopen(path("ten").c_str(), 0);
    ASSERT_NE(handle, nullptr);
    struct Case {
        int64_t offset;
        int32_t origin;
        int64_t result;  // also the position afterwards when not -1
    };
    const Case cases[] = {
        {3, 0, 3},  {2, 1, 5},   {-1, 2, 9}, {0, 2, 10}, {15, 0, 15}, {-1, 0, -1},  // before the start
        {0, 3, -1},  // unknown origins leave the position alone
        {0, 5, -1}, {0, -1, -1},
    };
    int64_t position = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " from " + std::to_string(c.origin));
        EXPECT_EQ(tv::APP_Fseek(handle, c.offset, c.origin), c.result);
        if (c.result != -1) position = c.result;
        EXPECT_EQ(tv::APP_Ftell(handle), position);
    }
    EXPECT_EQ(tv::APP_Fclose(handle), 0);
}

TEST_F(FileServices, EndOfFileTestKeepsThePosition) {
    write_file(path("ten"), "0123456789");
    fs::remove(path("empty"));
    void *empty = tv::APP_Fopen(path("empty").c_str(), 2);
    ASSERT_NE(empty, nullptr);
    int32_t at_end = -7;
    EXPECT_EQ(tv::APP_Feof(empty, &at_end), 0);
    EXPECT_EQ(at_end, 1);
    EXPECT_EQ(tv::APP_Fclose(empty), 0);

    void *handle = tv::APP_Fopen(path("ten").c_str(), 0);
    ASSERT_NE(handle, nullptr);
    struct Case {
        int64_t position;
        int32_t at_end;
    };
    for (const Case c : {Case{0, 0}, Case{9, 0}, Case{10, 1}, Case{12, 0}}) {
        SCOPED_TRACE(c.position);
        ASSERT_EQ(tv::APP_Fseek(handle, c.position, 0), c.position);
        at_end = -7;
        EXPECT_EQ(tv::APP_Feof(handle, &at_end), 0);
        EXPECT_EQ(at_end, c.at_end);
        EXPECT_EQ(tv::APP_Ftell(handle), c.position);
    }
    EXPECT_EQ(tv::APP_Feof(handle, nullptr), -1);
    EXPECT_EQ(tv::APP_Fclose(handle), 0);
}

TEST_F(FileServices, RemoveAndExist) {
    write_file(path("gone"), "x");
    EXPECT_EQ(tv::APP_Fexist(path("gone").c_str()), 1);
    EXPECT_EQ(tv::APP_Fremove(path("gone").c_str()), 0);
    EXPECT_EQ(tv::APP_Fexist(path("gone").c_str()), 0);
    EXPECT_EQ(tv::APP_Fremove(path("gone").c_str()), -1);
    EXPECT_EQ(tv::APP_Ferrno(nullptr), ENOENT);
    EXPECT_EQ(tv::APP_Fexist(dir_.c_str()), 1);
}

// Root passes every permission check; a child without the two capabilities
// that bypass them sees the file as others would.
TEST_F(FileServices, ExistsEvenWhenUnreadable) {
    write_file(path("secret"), "x");
    ASSERT_EQ(chmod(path("secret").c_str(), 0), 0);
    const std::string secret = path("secret");
    const int rc = tvtest::run_in_child([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (syscall(SYS_capget, &header, data) != 0) return 10;
        data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        if (syscall(SYS_capset, &header, data) != 0) return 11;
        if (tv::APP_Fopen(secret.c_str(), 0) != nullptr) return 12;  // really unreadable
        if (tv::APP_Ferrno(nullptr) != EACCES) return 13;
        return tv::APP_Fexist(secret.c_str()) == 1 ? 0 : 14;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(FileServices, ErrnoOfAFailedOpenSurvivesItsLogLine) {
    // With no process id the log writer fails to build its path, which
    // touches errno on the way.
    g_vaq_pid = 0;
    write_file(path("plain"), "x");
    EXPECT_EQ(tv::APP_Fopen((path("plain") + "/below").c_str(), 0), nullptr);
    EXPECT_EQ(tv::APP_Ferrno(nullptr), ENOTDIR);
}

TEST_F(FileServices, ClosingAStandardDescriptorIsLogged) {
    const int rc = tvtest::run_in_child([] {
        // A handle as APP_Fopen makes it: the descriptor, then the directory
        // of a file it created (none).
        auto *holder = static_cast<int32_t *>(malloc(2 * sizeof(int32_t)));
        holder[0] = 0;
        holder[1] = -1;
        return tv::APP_Fclose(holder) == 0 && fcntl(0, F_GETFD) == -1 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(messages(), std::vector<std::string>{"ERROR|fd[0] is invalid"});
}

TEST(HostServiceTable, EverySlotAsLaidOut) {
    VaqHostServices table;
    std::memset(&table, 0xa5, sizeof table);
    tv::fill_host_services(table);
    void *const expected[29] = {
        nullptr,
        nullptr,
        nullptr,
        reinterpret_cast<void *>(tv::APP_Fopen),
        reinterpret_cast<void *>(tv::APP_Fclose),
        reinterpret_cast<void *>(tv::APP_Fread),
        reinterpret_cast<void *>(tv::APP_Fwrite),
        reinterpret_cast<void *>(tv::APP_Fflush),
        reinterpret_cast<void *>(tv::APP_Fremove),
        reinterpret_cast<void *>(tv::APP_Ftell),
        reinterpret_cast<void *>(tv::APP_Fseek),
        reinterpret_cast<void *>(tv::APP_Feof),
        reinterpret_cast<void *>(tv::APP_Ferrno),
        reinterpret_cast<void *>(tv::APP_Fexist),
        reinterpret_cast<void *>(Telmor_Create_Lock),
        reinterpret_cast<void *>(Telmor_Destroy_Lock),
        reinterpret_cast<void *>(Telmor_Add_Lock),
        reinterpret_cast<void *>(Telmor_Release_Lock),
        reinterpret_cast<void *>(Telmor_Create_Pro_Lock),
        reinterpret_cast<void *>(Telmor_Destroy_Pro_Lock),
        reinterpret_cast<void *>(Telmor_Add_Pro_Lock),
        reinterpret_cast<void *>(Telmor_Release_Pro_Lock),
        reinterpret_cast<void *>(APP_WriLog),
        reinterpret_cast<void *>(APP_RecvNotify),
        reinterpret_cast<void *>(APP_DoEvents),
        nullptr,
        reinterpret_cast<void *>(tv::APP_GetEntropy),
        reinterpret_cast<void *>(tv::APP_CleanupEntropy),
        reinterpret_cast<void *>(tv::APP_GmTimeSafe),
    };
    void *slots[29];
    static_assert(sizeof slots == sizeof table);
    std::memcpy(slots, &table, sizeof slots);
    for (int i = 0; i < 29; ++i) {
        EXPECT_EQ(slots[i], expected[i]) << "slot " << i + 1;
    }
}

TEST(Entropy, FilledBuffersThatDiffer) {
    unsigned char *a = nullptr;
    unsigned char *b = nullptr;
    ASSERT_EQ(tv::APP_GetEntropy(&a, 64), 1);
    ASSERT_EQ(tv::APP_GetEntropy(&b, 64), 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(std::memcmp(a, b, 64), 0);
    tv::APP_CleanupEntropy(a, 64);
    tv::APP_CleanupEntropy(b, 64);

    unsigned char raw[32] = {};
    unsigned char zero[32] = {};
    EXPECT_EQ(tv::gen_random_bytes(raw, sizeof raw), 0);
    EXPECT_NE(std::memcmp(raw, zero, sizeof raw), 0);
}

TEST(UtcTime, BreaksDownInUtc) {
    struct tm out {};
    const time_t noon = 1796646046;  // 2026-12-07 12:20:46 UTC
    ASSERT_EQ(tv::APP_GmTimeSafe(&noon, &out), 1);
    EXPECT_EQ(out.tm_year + 1900, 2026);
    EXPECT_EQ(out.tm_mon + 1, 12);
    EXPECT_EQ(out.tm_mday, 7);
    EXPECT_EQ(out.tm_hour, 12);
    EXPECT_EQ(out.tm_min, 20);
    EXPECT_EQ(out.tm_sec, 46);

    const time_t far = LLONG_MAX;  // its year does not fit the record
    EXPECT_EQ(tv::APP_GmTimeSafe(&far, &out), 0);
    EXPECT_EQ(tv::APP_GmTimeSafe(nullptr, &out), 0);
}

TEST(Allocation, ZeroFilledOrNull) {
    for (int32_t size : {0, -1, INT32_MIN}) {
        EXPECT_EQ(HX_VAQ_MemAlloc(__LINE__, __FILE__, size), nullptr) << size;
    }
    // Reuse a block dirtied on purpose: the new one must still read zero.
    auto *dirty = static_cast<unsigned char *>(HX_VAQ_MemAlloc(__LINE__, __FILE__, 16));
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0xaa, 16);
    HX_VAQ_MemFree(__LINE__, __FILE__, dirty);
    auto *block = static_cast<unsigned char *>(HX_VAQ_MemAlloc(__LINE__, __FILE__, 16));
    ASSERT_NE(block, nullptr);
    const unsigned char zero[16] = {};
    EXPECT_EQ(std::memcmp(block, zero, 16), 0);
    HX_VAQ_MemFree(__LINE__, __FILE__, block);
    HX_VAQ_MemFree(__LINE__, __FILE__, nullptr);
}

}  // namespace
