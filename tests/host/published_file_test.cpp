// SPDX-License-Identifier: Apache-2.0
// A new file made through VAQ_FILE_CREATE (an export) is found whole under
// its name or not at all: unnamed while written, linked in by its close.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "child.h"
#include "files.h"
#include "host/host_services.h"
#include "host/sys.h"
#include "telmor_vaq_api.h"

namespace {

namespace fs = std::filesystem;

const std::string kDir = "/opt/telmor/published";

class PublishedFile : public testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(kDir);
        fs::create_directories(kDir);
    }
    void TearDown() override { tv::restore_sys(); }
};

const std::string kImage(64 * 1024, 'x');

TEST_F(PublishedFile, NothingIsAtTheNameUntilTheCloseThenAllOfIt) {
    const std::string file = kDir + "/keys.vaqx";
    void *h = tv::APP_Fopen(file.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    ASSERT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    ASSERT_EQ(tv::APP_Fclose(h), 0);
    EXPECT_EQ(tvtest::read_file(file), kImage);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    // Nothing else was left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(kDir), fs::directory_iterator()), 1);
}

// Whatever stands at the name is never replaced: at the open, and when it
// appears while the file is written.
TEST_F(PublishedFile, AnExistingNameIsNeverReplaced) {
    const std::string file = kDir + "/keys.vaqx";
    ASSERT_EQ(symlink("/nowhere", file.c_str()), 0);
    EXPECT_EQ(tv::APP_Fopen(file.c_str(), VAQ_FILE_CREATE), nullptr);
    EXPECT_EQ(tv::APP_Ferrno(nullptr), EEXIST);
    ASSERT_EQ(unlink(file.c_str()), 0);

    void *h = tv::APP_Fopen(file.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 1);
    tvtest::write_file(file, "another's");
    EXPECT_EQ(tv::APP_Fclose(h), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(tvtest::read_file(file), "another's");
}

ssize_t failing_write(int, const void *, size_t) {
    errno = ENOSPC;
    return -1;
}

TEST_F(PublishedFile, AFailedWritePublishesNothing) {
    const std::string file = kDir + "/keys.vaqx";
    void *h = tv::APP_Fopen(file.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    tv::override_sys(&tv::SysCalls::write, failing_write);
    EXPECT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 0);
    tv::restore_sys();
    tv::APP_Fclose(h);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
}

// The process dies in the middle of writing the file: half of it is
// written, then SIGKILL.
ssize_t write_half_then_die(int fd, const void *data, size_t count) {
    const ssize_t n = tv::real_sys().write(fd, data, count / 2);
    (void)n;
    raise(SIGKILL);
    return -1;
}

TEST_F(PublishedFile, AProcessKilledWhileWritingLeavesNoFileAtTheName) {
    const std::string file = kDir + "/keys.vaqx";
    const int status = tvtest::run_in_child([&file] {
        void *h = tv::APP_Fopen(file.c_str(), VAQ_FILE_CREATE);
        if (h == nullptr) return 1;
        tv::override_sys(&tv::SysCalls::write, write_half_then_die);
        tv::APP_Fwrite(kImage.data(), kImage.size(), h);
        return 2;
    });
    ASSERT_EQ(status, 128 + SIGKILL);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_TRUE(fs::is_empty(kDir));
}

}  // namespace

namespace {

int no_unnamed_files(int dirfd, const char *name, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return tv::real_sys().openat(dirfd, name, flags, mode);
}

int no_hard_links(int, const char *, int, const char *, int) {
    errno = EPERM;
    return -1;
}

// On a file system without unnamed files (NFS, CIFS, FUSE), an export root
// writes into a directory another account owns is root's 0600, never the
// directory owner's; it still appears whole or not at all, never replaces
// what is at the name, and leaves no private name behind. Without hard links
// either (vfat), it is refused and nothing is left.
TEST_F(PublishedFile, WithoutUnnamedFilesTheExportIsTheWritersOwnAndPublishedWhole) {
    ASSERT_EQ(geteuid(), 0u);
    ASSERT_EQ(chown(kDir.c_str(), 4242, 4242), 0);
    ASSERT_EQ(chmod(kDir.c_str(), 0755), 0);
    tv::override_sys(&tv::SysCalls::openat, no_unnamed_files);
    const std::string file = kDir + "/keys.vaqx";
    void *h = tv::APP_Fopen(file.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    ASSERT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    ASSERT_EQ(tv::APP_Fclose(h), 0);
    EXPECT_EQ(tvtest::read_file(file), kImage);
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(kDir), fs::directory_iterator()), 1);

    // A name that appears while the file is written is not replaced.
    const std::string second = kDir + "/second.vaqx";
    h = tv::APP_Fopen(second.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 1);
    tvtest::write_file(second, "another's");
    EXPECT_EQ(tv::APP_Fclose(h), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(tvtest::read_file(second), "another's");
    ASSERT_EQ(unlink(second.c_str()), 0);

    // A failed write publishes nothing and leaves nothing.
    h = tv::APP_Fopen(second.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    tv::override_sys(&tv::SysCalls::write, failing_write);
    EXPECT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 0);
    tv::restore_sys();
    tv::override_sys(&tv::SysCalls::openat, no_unnamed_files);
    tv::APP_Fclose(h);
    EXPECT_FALSE(fs::exists(fs::symlink_status(second)));

    // No hard links either: refused, nothing at the name, nothing left.
    tv::override_sys(&tv::SysCalls::linkat, no_hard_links);
    h = tv::APP_Fopen(second.c_str(), VAQ_FILE_CREATE);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(tv::APP_Fwrite(kImage.data(), kImage.size(), h), 1);
    EXPECT_EQ(tv::APP_Fclose(h), -1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(second)));
    EXPECT_EQ(std::distance(fs::directory_iterator(kDir), fs::directory_iterator()), 1);
}

}  // namespace
