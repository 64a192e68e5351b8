// SPDX-License-Identifier: Apache-2.0
// What an ordinary local account can do to a node's key service when it may
// write a keystore or log directory, or is first to the node's IPC keys: each
// case is an attack that once worked, run as another user (uid 65534 through
// setpriv, or a child that drops to it) against the library as root.
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api_state.h"
#include "child.h"
#include "files.h"
#include "log_reader.h"
#include "node_state.h"
#include "telmor_vaq_api.h"

using namespace reltest;

namespace {

namespace fs = std::filesystem;

constexpr uid_t kOther = 65534;
constexpr key_t kLockKey = node_layout::kProcessLockKey;
constexpr key_t kSegmentKey = node_layout::kVersionSegmentKey;
const char kPassword[] = "correct horse battery";
const std::string kStandbyDir = "/opt/telmor/agent/conf/vaq/bkp";
const std::string kPrimaryDir = "/opt/telmor/agent/conf/vaq/conf";

// Runs a shell command as the other user.
void as_other(const std::string &command) {
    const std::string line = "setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c '" + command + "'";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
}

// Runs fn in a child that has become the other user.
int in_other_process(const std::function<int()> &fn) {
    return tvtest::run_in_child([&] {
        if (setresgid(kOther, kOther, kOther) != 0 || setresuid(kOther, kOther, kOther) != 0) return 99;
        return fn();
    });
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

uid_t owner_of(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

void remove_ipc() {
    const int sem = semget(kLockKey, 1, 0);
    if (sem != -1) semctl(sem, 0, IPC_RMID);
    const int shm = shmget(kSegmentKey, 0, 0);
    if (shm != -1) shmctl(shm, IPC_RMID, nullptr);
}

bool logged(const std::string &level, const std::string &message) {
    return tvtest::count_api(tvtest::read_log(1), level, message) > 0;
}

class HostileLocal : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
        TELMOR_VAQ_Finalize();
        remove_ipc();
        fresh_node(kAgentRole);
        tvtest::clear_log(1);
        // The premise of every case: directories others may write.
        for (const auto &dir : {kStandbyDir, kPrimaryDir, std::string("/opt/telmor/shared")}) {
            fs::create_directories(dir);
            chmod(dir.c_str(), 0777);
        }
    }
    void TearDown() override {
        TELMOR_VAQ_Finalize();
        for (const auto &dir : {kStandbyDir, kPrimaryDir}) chmod(dir.c_str(), 0700);
        remove_ipc();
    }
};

// 1. A link at a keystore copy: never written through, whether its target
// exists or not; the good copy is used and the link named in the log.
TEST_F(HostileLocal, ALinkAtAKeystoreCopyIsNeverWrittenThrough) {
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    const std::string victim = "/opt/telmor/shared/victim";
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        fs::remove(victim);
        if (!dangling) {
            std::ofstream(victim) << "precious";
            chmod(victim.c_str(), 0644);
        }
        as_other("rm -f " + std::string(kAgentRole.standby) + " && ln -s " + victim + " " + kAgentRole.standby);
        tvtest::clear_log(1);
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        std::string text = api_encrypt(50, "a secret");
        EXPECT_FALSE(text.empty());
        TELMOR_VAQ_Finalize();
        if (dangling) {
            EXPECT_FALSE(fs::exists(victim)) << "root created a file at the link's target";
        } else {
            EXPECT_EQ(tvtest::read_file(victim), "precious");
            EXPECT_EQ(mode_of(victim), 0644u);
        }
        EXPECT_TRUE(fs::is_symlink(kAgentRole.standby));
        EXPECT_TRUE(logged("ERROR", "file " + std::string(kAgentRole.standby) + " not used: a symbolic link"));
    }
}

// 2. Another user's file at a keystore copy: never filled with the keystore.
// With no good copy left, the load says so with its own code and leaves both.
TEST_F(HostileLocal, AnotherUsersFileAtAKeystoreCopyIsLeftAlone) {
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    as_other("rm -f " + std::string(kAgentRole.standby) + " && : > " + kAgentRole.standby + " && chmod 666 " +
             kAgentRole.standby);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    EXPECT_EQ(tvtest::read_file(kAgentRole.standby), "");
    EXPECT_EQ(owner_of(kAgentRole.standby), kOther);
    EXPECT_TRUE(logged("ERROR", "file " + std::string(kAgentRole.standby) + " not used: owned by another user"));

    // The primary replaced by another user's file too: nothing is trusted.
    as_other("rm -f " + std::string(kAgentRole.primary) + " && : > " + kAgentRole.primary);
    EXPECT_NE(TELMOR_VAQ_Initialize("HXA"), 0u);
    EXPECT_EQ(tvtest::read_file(kAgentRole.primary), "");
    EXPECT_EQ(tvtest::read_file(kAgentRole.standby), "");
}

// 3. A wide empty primary made beforehand ends its owner's only, and the
// tightening is said.
TEST_F(HostileLocal, AWideKeystoreFileIsTightened) {
    fs::remove(kAgentRole.primary);
    std::ofstream(kAgentRole.primary).close();
    chmod(kAgentRole.primary, 0644);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    EXPECT_EQ(mode_of(kAgentRole.primary), 0600u);
    EXPECT_EQ(mode_of(kAgentRole.standby), 0600u);
    EXPECT_TRUE(logged("WARN", "file " + std::string(kAgentRole.primary) + " had mode 0644; others' access removed"));
}

// 4. A link at the log file: no line goes through it, and a new log file is
// 0640 whatever the umask.
TEST_F(HostileLocal, ALinkAtTheLogFileGetsNoLine) {
    const std::string log = tvtest::log_path(1);
    const std::string logDir = fs::path(log).parent_path();
    chmod(logDir.c_str(), 0777);
    const std::string victim = "/opt/telmor/shared/cron-like";
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        fs::remove(victim);
        if (!dangling) std::ofstream(victim) << "x\n";
        as_other("rm -f " + log + " && ln -s " + victim + " " + log);
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        TELMOR_VAQ_Finalize();
        if (dangling) {
            EXPECT_FALSE(fs::exists(victim));
        } else {
            EXPECT_EQ(tvtest::read_file(victim), "x\n");
        }
    }
    fs::remove(log);
    const mode_t old = umask(0);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    umask(old);
    EXPECT_EQ(mode_of(log), 0640u);
    chmod(logDir.c_str(), 0755);
}

// 5. An export file is created new: another user's file or link at the path,
// made before or during the export, never receives the keys.
TEST_F(HostileLocal, AnExportNeverLandsInAFilePreparedByAnother) {
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    const std::string file = "/opt/telmor/shared/keys.export";
    const std::string target = "/opt/telmor/shared/stolen";
    const auto len = static_cast<uint32_t>(sizeof kPassword - 1);
    const auto password = reinterpret_cast<const unsigned char *>(kPassword);
    as_other(": > " + file + " && chmod 666 " + file);
    EXPECT_EQ(TELMOR_VAQ_ExportMkFile(file.c_str(), password, len), 2026u);
    EXPECT_EQ(tvtest::read_file(file), "");
    fs::remove(file);
    as_other("ln -s " + target + " " + file);
    EXPECT_EQ(TELMOR_VAQ_ExportMkFile(file.c_str(), password, len), 2026u);
    EXPECT_FALSE(fs::exists(target));
    fs::remove(file);

    // The race: another user keeps trying to make the file while the export
    // runs. Either it got there first and the export is refused, or the
    // export's file is root's own and 0600.
    for (int round = 0; round < 10; ++round) {
        fs::remove(file);
        const pid_t racer = tvtest::spawn([&] {
            if (setresgid(kOther, kOther, kOther) != 0 || setresuid(kOther, kOther, kOther) != 0) return 99;
            for (int i = 0; i < 20000; ++i) {
                const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0666);
                if (fd >= 0) {
                    close(fd);
                    return 0;
                }
            }
            return 0;
        });
        const unsigned long code = TELMOR_VAQ_ExportMkFile(file.c_str(), password, len);
        tvtest::wait_child(racer);
        if (code == 0) {
            EXPECT_EQ(owner_of(file), 0u);
            EXPECT_EQ(mode_of(file), 0600u);
        } else {
            EXPECT_EQ(code, 2026u);
            EXPECT_EQ(tvtest::read_file(file), "") << "keys written into the other user's file";
        }
    }
}

// 6. IPC objects made first by another user are refused with a line naming
// them, never waited on for good and never used.
TEST_F(HostileLocal, IpcObjectsMadeByAnotherUserAreRefused) {
    // The lock semaphore, left at 0.
    ASSERT_EQ(in_other_process([] {
                  const int id = semget(kLockKey, 1, IPC_CREAT | IPC_EXCL | 0666);
                  return id == -1 ? 1 : 0;
              }),
              0);
    const int rc = tvtest::run_in_child([] {
        alarm(120);  // a hang is the failure this case is about; nothing else takes this long
        return TELMOR_VAQ_Initialize("HXA") == 0 ? 1 : 0;
    });
    EXPECT_EQ(rc, 0);
    const auto lines = tvtest::read_log(1);
    bool named = false;
    for (const auto &m : tvtest::api_messages(lines))
        named = named || m.find("ERROR|process lock " + tvtest::ipc_key_text(kLockKey) +
                                " not used: owned or created by another user (owner uid 65534") == 0;
    EXPECT_TRUE(named);
    remove_ipc();

    // The version segment, writable by its maker.
    tvtest::clear_log(1);
    ASSERT_EQ(in_other_process([] { return shmget(kSegmentKey, 4096, IPC_CREAT | IPC_EXCL | 0666) == -1 ? 1 : 0; }), 0);
    EXPECT_EQ(TELMOR_VAQ_Initialize("HXA"), 1u);
    named = false;
    for (const auto &m : tvtest::api_messages(tvtest::read_log(1)))
        named = named || m.find("ERROR|shared segment " + tvtest::ipc_key_text(kSegmentKey) +
                                " not used: owned or created by another user") == 0;
    EXPECT_TRUE(named);
}

// 7. A creator killed between creating the lock and freeing it leaves a set
// at 0 that nobody ever operated on: the next process removes it after a
// bounded wait and makes it afresh. A holder that is stopped keeps the lock, and a waiter says
// every 10 s whom it waits for.
TEST_F(HostileLocal, ALockWhoseCreatorDiedIsFreedAndAStoppedHolderIsNamed) {
    const int id = semget(kLockKey, 1, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(id, -1);
    const int rc = tvtest::run_in_child([] {
        alarm(120);
        return TELMOR_VAQ_Initialize("HXA") == 0 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(logged("WARN", "process lock " + tvtest::ipc_key_text(kLockKey) + " (id " + std::to_string(id) +
                                   ") was never made ready by its creator; removed it to make it afresh"));
    EXPECT_EQ(semctl(id, 0, GETVAL), -1) << "the abandoned set is gone";
    const int remade = semget(kLockKey, 1, 0);
    ASSERT_NE(remade, -1);
    EXPECT_EQ(semctl(remade, 0, GETVAL), 1);

    tvtest::Gate held;
    const pid_t holder = tvtest::spawn([&] {
        void *lock = nullptr;
        if (Telmor_Create_Pro_Lock(&lock) != 1) return 1;
        Telmor_Add_Pro_Lock(lock);
        held.post();
        pause();
        return 0;
    });
    ASSERT_TRUE(held.wait());
    kill(holder, SIGSTOP);
    tvtest::clear_log(1);
    const auto started = std::chrono::steady_clock::now();
    const pid_t waiter = tvtest::spawn([] {
        g_vaq_pid = getpid();
        g_node_type = 1;
        void *lock = nullptr;
        if (Telmor_Create_Pro_Lock(&lock) != 1) return 1;
        Telmor_Add_Pro_Lock(lock);
        Telmor_Release_Pro_Lock(lock);
        return 0;
    });
    bool named = false;
    while (!named && std::chrono::steady_clock::now() - started < std::chrono::seconds(180)) {
        usleep(200000);
        for (const auto &m : tvtest::api_messages(tvtest::read_log(1)))
            named = named || m == "WARN|waiting 10 s so far for the process lock " + std::to_string(remade) +
                                      "; last taken or given back by pid " + std::to_string(holder);
    }
    EXPECT_TRUE(named);
    kill(holder, SIGKILL);
    tvtest::wait_child(holder);
    EXPECT_EQ(tvtest::wait_child(waiter), 0) << "the lock came back when its holder died";
}

// 9. A file name with a line end cannot forge a log line of its own.
TEST_F(HostileLocal, ALineEndInAFileNameForgesNoLogLine) {
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    const std::string name = "/opt/telmor/no-such-dir/x\n[ERROR] [forged]";
    const auto len = static_cast<uint32_t>(sizeof kPassword - 1);
    TELMOR_VAQ_ExportMkFile(name.c_str(), reinterpret_cast<const unsigned char *>(kPassword), len);
    TELMOR_VAQ_ImportMkFile(name.c_str(), reinterpret_cast<const unsigned char *>(kPassword), len);
    bool escaped = false;
    for (const auto &line : tvtest::read_log(1)) {
        EXPECT_NE(line.rfind("[ERROR] [forged]", 0), 0u) << "a forged line: " << line;
        escaped = escaped || line.find("x\\x0a[ERROR] [forged]") != std::string::npos;
    }
    EXPECT_TRUE(escaped) << "the name is in the log, escaped";
}

}  // namespace

namespace {

// 11. A full device: the write fails with its own code, and the host's log
// line names the file and the cause.
TEST_F(HostileLocal, AFullDeviceIsNamedWithItsFile) {
    const std::string dir = "/opt/telmor/full";
    fs::create_directories(dir);
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=4k tmpfs " + dir).c_str()), 0);
    std::ofstream(dir + "/filler") << std::string(4096, 'f');
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    const std::string file = dir + "/keys.export";
    EXPECT_EQ(TELMOR_VAQ_ExportMkFile(file.c_str(), reinterpret_cast<const unsigned char *>(kPassword),
                                      static_cast<uint32_t>(sizeof kPassword - 1)),
              2040u);
    EXPECT_FALSE(fs::exists(file)) << "a half-written export left behind";
    bool named = false;
    for (const auto &m : tvtest::api_messages(tvtest::read_log(1)))
        named = named || (m.rfind("ERROR|write of " + file + " failed after 0 of ", 0) == 0 &&
                          m.find(": No space left on device") != std::string::npos);
    EXPECT_TRUE(named);
    TELMOR_VAQ_Finalize();
    EXPECT_EQ(std::system(("umount " + dir).c_str()), 0);
}

}  // namespace
