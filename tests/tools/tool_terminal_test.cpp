// SPDX-License-Identifier: Apache-2.0
// The tool on a terminal, driven through a pseudo-terminal: prompts without
// echo that give the terminal back when interrupted, --password-fd on a
// terminal, control characters shown escaped, and delete-key asking first.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace {

using namespace tooltest;

// Only a hang reaches this: the waits below are for events (a prompt, the
// echo turned off, the tool's end), never a measure of speed.
constexpr auto kHang = std::chrono::minutes(4);

// The tool with a pseudo-terminal as its controlling terminal, stdin, stdout
// and stderr.
class OnTerminal {
public:
    explicit OnTerminal(const std::vector<std::string> &args) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            std::vector<char *> argv{const_cast<char *>(TELMOR_VAQ_TOOL)};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(TELMOR_VAQ_TOOL, argv.data());
            _exit(127);
        }
    }
    ~OnTerminal() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0; }

    // Reads until `pattern` appears in everything read so far; false only on a hang.
    bool wait_for(const std::string &pattern) {
        const auto deadline = std::chrono::steady_clock::now() + kHang;
        const std::regex re(pattern);
        while (!std::regex_search(seen_, re)) {
            if (std::chrono::steady_clock::now() > deadline || !read_some(100)) return false;
        }
        return true;
    }
    void type(const std::string &keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    bool echo_on() {
        termios t{};
        tcgetattr(master_, &t);
        return (t.c_lflag & ECHO) != 0;
    }
    // The wait status once the tool has ended; everything it wrote is in seen().
    int finish() {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + kHang;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            read_some(50);
            if (std::chrono::steady_clock::now() > deadline) return -1;
        }
        reaped_ = true;
        while (read_some(50)) {}
        return status;
    }
    const std::string &seen() const { return seen_; }
    pid_t pid() const { return pid_; }

private:
    bool read_some(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return !reaped_ && true;
        char buf[512];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        seen_.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int master_ = -1;
    bool reaped_ = false;
    std::string seen_;
};

class ToolTerminal : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tool("init").status, 0); }
};

TEST_F(ToolTerminal, AnInterruptedPromptGivesTheTerminalBack) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        OnTerminal t({"export", scratch() + "/never.vaqx"});
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.wait_for("Password: ")) << t.seen();
        // The prompt is up: echo is off while the tool waits for the password.
        const auto deadline = std::chrono::steady_clock::now() + kHang;
        while (t.echo_on() && std::chrono::steady_clock::now() < deadline) usleep(10000);
        ASSERT_FALSE(t.echo_on());
        if (sig == SIGINT)
            t.type("\x03");
        else
            kill(t.pid(), SIGTERM);
        const int status = t.finish();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_TRUE(t.echo_on());
    }
    EXPECT_NE(access((scratch() + "/never.vaqx").c_str(), F_OK), 0);
}

TEST_F(ToolTerminal, PasswordFdOnATerminalDoesNotEcho) {
    const std::string file = scratch() + "/keys.vaqx";
    OnTerminal t({"export", file, "--password-fd", "0"});
    ASSERT_TRUE(t.wait_for("Password: ")) << t.seen();
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    while (t.echo_on() && std::chrono::steady_clock::now() < deadline) usleep(10000);
    t.type("tty-typed-password-42\n");
    const int status = t.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << t.seen();
    EXPECT_EQ(t.seen().find("tty-typed-password-42"), std::string::npos) << t.seen();
    EXPECT_TRUE(t.echo_on());
    // The password typed is the one that seals the file.
    EXPECT_EQ(tool("import " + file + password_words("pw", "tty-typed-password-42")).status, 0);
}

TEST_F(ToolTerminal, ExportPasswordsAreAskedTwiceAndAtLeastTwelveLong) {
    {
        OnTerminal t({"export", scratch() + "/short.vaqx"});
        ASSERT_TRUE(t.wait_for("Password: "));
        t.type("short pw\n");
        EXPECT_EQ(WEXITSTATUS(t.finish()), 1);
        EXPECT_TRUE(std::regex_search(t.seen(), std::regex("at least 12 characters"))) << t.seen();
    }
    {
        OnTerminal t({"export", scratch() + "/differ.vaqx"});
        ASSERT_TRUE(t.wait_for("Password: "));
        t.type("first long password\n");
        ASSERT_TRUE(t.wait_for("Password again: "));
        t.type("other long password\n");
        EXPECT_EQ(WEXITSTATUS(t.finish()), 1);
        EXPECT_TRUE(std::regex_search(t.seen(), std::regex("the two passwords differ"))) << t.seen();
    }
}

TEST_F(ToolTerminal, DecryptShowsControlCharactersEscapedUnlessRaw) {
    const std::string text = first_line(tool("encrypt --domain 50", "be\x1b]0;owned\x07 ok\tfine").out);
    ASSERT_FALSE(text.empty());
    {
        OnTerminal t({"decrypt", "--domain", "50", text});
        EXPECT_EQ(WEXITSTATUS(t.finish()), 0);
        EXPECT_EQ(t.seen().find('\x1b'), std::string::npos) << t.seen();
        EXPECT_NE(t.seen().find("be\\x1b]0;owned\\x07 ok\tfine"), std::string::npos) << t.seen();
    }
    {
        OnTerminal t({"decrypt", "--domain", "50", "--raw", text});
        EXPECT_EQ(WEXITSTATUS(t.finish()), 0);
        EXPECT_NE(t.seen().find("be\x1b]0;owned\x07 ok"), std::string::npos) << t.seen();
    }
    // Not a terminal: the bytes as they are.
    EXPECT_EQ(tool("decrypt --domain 50 " + text).out, "be\x1b]0;owned\x07 ok\tfine");
}

TEST_F(ToolTerminal, DeleteKeyAsksOnATerminal) {
    ASSERT_EQ(tool("register-key --domain 50 --key-id 77", std::string(32, 'k')).status, 0);
    ASSERT_EQ(tool("register-key --domain 50 --key-id 78", std::string(32, 'j')).status, 0);
    {
        OnTerminal t({"delete-key", "--domain", "50", "--key-id", "77"});
        ASSERT_TRUE(t.wait_for("delete master key 77 of domain 50 HXA_ENCRYPT\\? .*\\[y/N\\] ")) << t.seen();
        t.type("n\n");
        EXPECT_EQ(WEXITSTATUS(t.finish()), 1);
        EXPECT_TRUE(std::regex_search(t.seen(), std::regex("not deleted"))) << t.seen();
    }
    EXPECT_TRUE(std::regex_search(tool("keys --domain 50").out, std::regex("\n50 HXA_ENCRYPT +77 ")));
    {
        OnTerminal t({"delete-key", "--domain", "50", "--key-id", "77"});
        ASSERT_TRUE(t.wait_for("\\[y/N\\] "));
        t.type("y\n");
        EXPECT_EQ(WEXITSTATUS(t.finish()), 0) << t.seen();
    }
    {
        OnTerminal t({"delete-key", "--domain", "50", "--key-id", "78", "--yes"});
        EXPECT_EQ(WEXITSTATUS(t.finish()), 0) << t.seen();
        EXPECT_EQ(t.seen().find("[y/N]"), std::string::npos) << t.seen();
    }
    const std::string keys = tool("keys --domain 50").out;
    EXPECT_FALSE(std::regex_search(keys, std::regex(" 7[78] "))) << keys;
}

}  // namespace
