// SPDX-License-Identifier: Apache-2.0
// What an ordinary local account can do to a node's key service when it may
// write a keystore or log directory, or is first to the node's IPC keys: each
// case is an attack that once worked, run as another user (uid 65534 through
// setpriv, or a child that drops to it) against the library as root.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
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
#include <functional>
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

namespace {

const std::string kSecret = "/etc/telmor/vaq/agent/agent.secret";
const std::string kSecretDir = "/etc/telmor/vaq";

bool logged_with(const std::string &level, const std::string &start) {
    for (const auto &m : tvtest::api_messages(tvtest::read_log(1)))
        if (m.rfind(level + "|" + start, 0) == 0) return true;
    return false;
}

// 12. The node secret and its directories: whatever another account could
// have made, changed or put a link at is refused with a line naming the path
// and why, before any keystore is sealed under it; the keystore files stay as
// they were. Each case starts from a node where the installer ran (an empty
// primary) or from a keystore made under a good secret.
TEST_F(HostileLocal, ANodeSecretAnotherAccountCouldReachIsRefused) {
    const std::string lair = "/opt/telmor/shared/lair";
    const struct Case {
        const char *name;
        bool keystoreFirst;    // a good keystore exists before the attack
        const char *attack;    // run as root, standing for what the other user could do
        const char *logStart;  // the start of the host's ERROR line
    } cases[] = {
        // A node of the flat layout, the secret directly in /etc/telmor/vaq.
        {"vaq owned by another user, holding its secret", false,
         "chown 65534:65534 /etc/telmor/vaq && setpriv --reuid=65534 --regid=65534 --clear-groups -- "
         "sh -c 'head -c 44 /dev/zero > /etc/telmor/vaq/agent.secret && chmod 400 /etc/telmor/vaq/agent.secret'",
         "directory /etc/telmor/vaq not trusted for /etc/telmor/vaq/agent.secret: owned by neither root nor the "
         "keystore directory's owner"},
        {"vaq swapped for a link to another user's directory", false,
         "rmdir /etc/telmor/vaq && mkdir -m 0700 /opt/telmor/shared/lair && chown 65534 /opt/telmor/shared/lair && "
         "ln -s /opt/telmor/shared/lair /etc/telmor/vaq",
         "directory /etc/telmor/vaq not trusted for /etc/telmor/vaq/agent/agent.secret: a symbolic link"},
        {"vaq writable by others", false, "chmod 0777 /etc/telmor/vaq",
         "directory /etc/telmor/vaq not trusted for /etc/telmor/vaq/agent/agent.secret: writable by group or others"},
        {"/etc/telmor writable by others", false, "chmod 0777 /etc/telmor",
         "directory /etc/telmor not trusted for /etc/telmor/vaq/agent/agent.secret: writable by group or others"},
        {"/etc/telmor owned by another user", false, "chown 65534 /etc/telmor",
         "directory /etc/telmor not trusted for /etc/telmor/vaq/agent/agent.secret: not owned by root"},
        {"the role's secret directory another user's", true, "chown 65534 /etc/telmor/vaq/agent",
         "directory /etc/telmor/vaq/agent not trusted for /etc/telmor/vaq/agent/agent.secret: owned by neither root "
         "nor the keystore directory's owner"},
        {"secret 0444", true, "chmod 0444 /etc/telmor/vaq/agent/agent.secret",
         "file /etc/telmor/vaq/agent/agent.secret not used: open to group or others"},
        {"secret 0644", true, "chmod 0644 /etc/telmor/vaq/agent/agent.secret",
         "file /etc/telmor/vaq/agent/agent.secret not used: open to group or others"},
        {"secret 0666", true, "chmod 0666 /etc/telmor/vaq/agent/agent.secret",
         "file /etc/telmor/vaq/agent/agent.secret not used: open to group or others"},
        {"secret owned by another user", true, "chown 65534 /etc/telmor/vaq/agent/agent.secret",
         "file /etc/telmor/vaq/agent/agent.secret not used: owned by another user"},
        // The keystore's owner may not own /etc/telmor/vaq once roles have
        // directories of their own in it: it could swap them.
        {"vaq given to the keystore's owner", true,
         "chown 65534 /opt/telmor/agent/conf/vaq/conf /opt/telmor/agent/conf/vaq/bkp "
         "/opt/telmor/agent/conf/vaq/conf/primary_ks.key /opt/telmor/agent/conf/vaq/bkp/standby_ks.key && chown 65534 "
         "/etc/telmor/vaq",
         "directory /etc/telmor/vaq not trusted for /etc/telmor/vaq/agent/agent.secret: not owned by root"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TELMOR_VAQ_Finalize();
        ASSERT_EQ(std::system("chmod 0755 /etc/telmor && chown 0:0 /etc/telmor && rm -rf /etc/telmor/vaq "
                              "/opt/telmor/shared/lair && mkdir -m 0700 /etc/telmor/vaq"),
                  0);
        fresh_node(kAgentRole);
        if (c.keystoreFirst) {
            ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
            TELMOR_VAQ_Finalize();
        }
        const std::string primaryBefore = tvtest::read_file(kAgentRole.primary);
        const std::string standbyBefore = tvtest::read_file(kAgentRole.standby);
        ASSERT_EQ(std::system(c.attack), 0) << c.attack;
        tvtest::clear_log(1);
        // A process of its own: this one keeps the root it unsealed.
        EXPECT_NE(tvtest::run_in_child([] { return static_cast<int>(TELMOR_VAQ_Initialize("HXA")); }), 0);
        EXPECT_TRUE(logged_with("ERROR", c.logStart)) << c.logStart;
        EXPECT_TRUE(logged_with("ERROR", "IvexInitializeEx failed, ret=2039"));
        EXPECT_EQ(tvtest::read_file(kAgentRole.primary), primaryBefore) << "a keystore sealed under it";
        EXPECT_EQ(tvtest::read_file(kAgentRole.standby), standbyBefore);
        EXPECT_FALSE(fs::exists(lair + "/agent.secret")) << "a secret made in the other user's directory";
    }
    TELMOR_VAQ_Finalize();
    ASSERT_EQ(std::system("chmod 0755 /etc/telmor && chown 0:0 /etc/telmor"), 0);
}

// 13. Root working in the service account's directories: every file it makes
// there (keystore copies, node secret, log) is the service account's, with
// its mode, so that the service's own process opens them next; and root uses
// what the service account made, the secret included, in a trusted directory.
TEST_F(HostileLocal, RootMakesFilesTheServiceAccountOwnsAndUsesTheirs) {
    const std::string logDir = fs::path(tvtest::log_path(1)).parent_path();
    for (const auto &dir : {kStandbyDir, kPrimaryDir}) chmod(dir.c_str(), 0700);
    ASSERT_EQ(std::system(("chown 65534:65534 " + kStandbyDir + " " + kPrimaryDir + " " + kAgentRole.primary + " " +
                           logDir)
                              .c_str()),
              0);
    tvtest::remove_file(tvtest::log_path(1));
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    const std::string root_text = api_encrypt(50, "made by root");
    ASSERT_FALSE(root_text.empty());
    TELMOR_VAQ_Finalize();
    const struct {
        std::string path;
        mode_t mode;
    } made[] = {{kAgentRole.standby, 0600}, {kSecretDir + "/agent", 0700}, {kSecret, 0400}, {tvtest::log_path(1), 0640}};
    for (const auto &m : made) {
        EXPECT_EQ(owner_of(m.path), kOther) << m.path;
        EXPECT_EQ(mode_of(m.path), m.mode) << m.path;
    }
    // The service's own process opens what root made, and adds a key. The
    // IPC objects root made are not this case's subject: they go first.
    remove_ipc();
    EXPECT_EQ(in_other_process([] {
                  if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                  uint32_t id = 0;
                  const unsigned long rc = TELMOR_VAQ_CreateMK(50, &id);
                  TELMOR_VAQ_Finalize();
                  return rc == 0 ? 0 : 2;
              }),
              0);
    // Root opens it again in a process of its own, which reads the secret:
    // the service's copies and secret are accepted.
    remove_ipc();
    tvtest::clear_log(1);
    EXPECT_EQ(tvtest::run_in_child([] {
                  if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                  const bool encrypts = !api_encrypt(50, "again").empty();
                  TELMOR_VAQ_Finalize();
                  return encrypts ? 0 : 2;
              }),
              0);
    EXPECT_FALSE(logged_with("ERROR", "")) << "root refused something of the service account's";
    EXPECT_EQ(owner_of(kSecretDir), 0u) << "the node-secret directory was given away";
    ASSERT_EQ(std::system(("chown 0:0 " + logDir).c_str()), 0);
}

// 14. A log file another user made in a log directory others can write gets
// no line; one the log directory's owner made does.
TEST_F(HostileLocal, ALogFileAnotherUserMadeGetsNoLine) {
    const std::string log = tvtest::log_path(1);
    const std::string logDir = fs::path(log).parent_path();
    chmod(logDir.c_str(), 0777);
    tvtest::remove_file(log);
    as_other(": > " + log + " && chmod 666 " + log);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    EXPECT_EQ(tvtest::read_file(log), "") << "root's lines went into the other user's file";
    // The directory given to that user: its files are the directory's own.
    ASSERT_EQ(std::system(("chown 65534 " + logDir + " && chmod 0755 " + logDir).c_str()), 0);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    EXPECT_NE(tvtest::read_file(log), "");
    ASSERT_EQ(std::system(("chown 0 " + logDir).c_str()), 0);
}

// A process as if on a node where only the installer ran: /etc is a fresh
// directory of this process's own mount namespace, without /etc/telmor.
int on_a_node_without_etc_telmor(const std::function<int()> &fn) {
    return tvtest::run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("fresh-etc", "/etc", "tmpfs", 0, "mode=0755") != 0)
            return 98;
        if (fs::exists("/etc/telmor")) return 97;
        return fn();
    });
}

// 15. A fresh node: a root host process makes /etc/telmor, its vaq
// directory and the role's secret directory, root's, 0755, 0711 and 0700,
// and the keystore; a process of another
// user there fails with the line it always had.
TEST_F(HostileLocal, AFreshNodeStartsForRootAndTellsOthersToRunInit) {
    EXPECT_EQ(on_a_node_without_etc_telmor([] {
                  if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                  const bool encrypts = !api_encrypt(50, "first start").empty();
                  TELMOR_VAQ_Finalize();
                  if (!encrypts) return 2;
                  struct Want {
                      const char *path;
                      mode_t type, mode;
                  } const wants[] = {{"/etc/telmor", S_IFDIR, 0755},
                                     {"/etc/telmor/vaq", S_IFDIR, 0711},
                                     {"/etc/telmor/vaq/agent", S_IFDIR, 0700},
                                     {"/etc/telmor/vaq/agent/agent.secret", S_IFREG, 0400}};
                  for (const Want &w : wants) {
                      struct stat st {};
                      if (lstat(w.path, &st) != 0 || (st.st_mode & S_IFMT) != w.type ||
                          (st.st_mode & 07777) != w.mode || st.st_uid != 0)
                          return 3;
                  }
                  return 0;
              }),
              0);

    fresh_node(kAgentRole);
    const std::string logDir = fs::path(tvtest::log_path(1)).parent_path();
    ASSERT_EQ(std::system(
                  ("chown 65534 " + kStandbyDir + " " + kPrimaryDir + " " + kAgentRole.primary + " " + logDir).c_str()),
              0);
    // Root's log file and IPC objects of the first start are not this case's
    // subject: they go, so that the other user's process can say why it fails.
    tvtest::remove_file(tvtest::log_path(1));
    remove_ipc();
    EXPECT_EQ(on_a_node_without_etc_telmor([] {
                  if (setresgid(kOther, kOther, kOther) != 0 || setresuid(kOther, kOther, kOther) != 0) return 99;
                  return static_cast<int>(TELMOR_VAQ_Initialize("HXA"));
              }),
              1);
    EXPECT_TRUE(logged_with("ERROR", "IvexInitializeEx failed, ret=2030"));
    EXPECT_TRUE(logged_with("ERROR", "")) << "no line at all";
    bool told = false;
    for (const auto &line : tvtest::read_log(1))
        told = told ||
               line.find(
                   "file protector: node secret /etc/telmor/vaq/agent/agent.secret cannot be created (No such "
                   "file or directory); root runs 'telmor-vaq init' once to make its directory") != std::string::npos;
    EXPECT_TRUE(told);
    EXPECT_EQ(tvtest::read_file(kAgentRole.primary), "");
    ASSERT_EQ(std::system(("chown 0 " + logDir).c_str()), 0);
}

}  // namespace
