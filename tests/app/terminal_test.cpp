// zxflash in a terminal: the program on its embedded demo package, driven through a
// pseudo-terminal as a person would drive it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char kLogPrefix[] = "[ZX]          [middle] ";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// zxflash /debug (or with the argument given, none for null) in a pseudo-terminal, with TMPDIR
// set to dir and the Debug log named by ZX_DEBUG_LOG (log, else dir/debug.log), or left to the
// program's default when debugLog is false.
class Terminal {
public:
    Terminal(const std::string& dir, int rows, int cols, bool debugLog = true,
             const char* argument = "/debug", const std::string& log = "") {
        winsize ws{};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        pid_ = forkpty(&fd_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            setenv("TERM", "xterm", 1);
            setenv("TMPDIR", dir.c_str(), 1);
            if (debugLog) {
                setenv("ZX_DEBUG_LOG", (log.empty() ? dir + "/debug.log" : log).c_str(), 1);
            } else {
                unsetenv("ZX_DEBUG_LOG");
            }
            execl(ZXFLASH_PATH, "zxflash", argument, static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    ~Terminal() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool Started() const { return pid_ > 0 && fd_ >= 0; }

    // Reads until the output since the last mark holds text, or the time is up.
    bool WaitFor(const std::string& text, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (out_.find(text, mark_) != std::string::npos) {
                return true;
            }
            Read(20);
        }
        return out_.find(text, mark_) != std::string::npos;
    }

    void Mark() { mark_ = out_.size(); }

    void Send(const std::string& keys) {
        ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size()));
    }

    void Resize(int rows, int cols) {
        winsize ws{};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        ioctl(fd_, TIOCSWINSZ, &ws);
        kill(pid_, SIGWINCH);
    }

    // The exit code, or -1 when the program does not end in time.
    int WaitExit(int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            Read(20);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                // What the program wrote last (the lines after the screen is restored) may
                // still sit in the terminal: read until the closed side reports its end.
                while (Read(1000)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

    const std::string& Output() const { return out_; }

private:
    // Appends what arrives within ms; false when nothing came (time up, or the program's side
    // of the terminal is closed and drained).
    bool Read(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) > 0 && (p.revents & (POLLIN | POLLHUP))) {
            char buf[4096];
            ssize_t n = read(fd_, buf, sizeof(buf));
            if (n > 0) {
                out_.append(buf, static_cast<size_t>(n));
                return true;
            }
        }
        return false;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    std::string out_;
    size_t mark_ = 0;
};

} // namespace

TEST(TerminalFrontEnd, ShowsTheDemoTitleRedrawsOnResizeAndClosesOnEsc) {
    char pattern[] = "/tmp/zxterm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    {
        Terminal t(dir, 24, 80);
        ASSERT_TRUE(t.Started());
        EXPECT_TRUE(t.WaitFor("FW update tool", 10000)) << t.Output();
        EXPECT_TRUE(t.WaitFor("[ RUN ]", 2000));
        EXPECT_TRUE(t.WaitFor("Capacity", 2000));
        EXPECT_TRUE(t.WaitFor("[ZX]", 2000)); // the program icon's mark
        t.Mark();
        t.Resize(30, 100);
        EXPECT_TRUE(t.WaitFor("FW update tool", 5000)); // drawn again for the new size
        t.Send("\x1b");
        EXPECT_EQ(t.WaitExit(10000), 0);
        // the Debug log's lines go to the file it names, never to the screen
        EXPECT_EQ(t.Output().find(kLogPrefix), std::string::npos);
    }
    EXPECT_NE(ReadFile(dir + "/debug.log").find(kLogPrefix), std::string::npos);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST(TerminalFrontEnd, WithoutZxDebugLogTheDebugLogGoesToTheTempFolder) {
    char pattern[] = "/tmp/zxterm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    {
        Terminal t(dir, 24, 80, false);
        ASSERT_TRUE(t.Started());
        EXPECT_TRUE(t.WaitFor("FW update tool", 10000)) << t.Output();
        t.Send("\x1b");
        EXPECT_EQ(t.WaitExit(10000), 0);
        EXPECT_EQ(t.Output().find(kLogPrefix), std::string::npos);
    }
    EXPECT_NE(ReadFile(dir + "/zxflash-debug.log").find(kLogPrefix), std::string::npos);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// Each run that asks for the Debug log starts its part with a header line and names the log at
// exit; a run that does not ask never names it, and one whose log cannot be written says so.
TEST(TerminalFrontEnd, TheDebugLogStartsWithAHeaderAndIsNamedOnlyWhenThisRunWroteIt) {
    char pattern[] = "/tmp/zxterm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    const std::string named = "zxflash: Debug log in " + dir + "/debug.log";
    for (int run = 0; run < 2; ++run) {
        Terminal t(dir, 24, 80);
        ASSERT_TRUE(t.Started());
        EXPECT_TRUE(t.WaitFor("FW update tool", 10000)) << t.Output();
        t.Send("\x1b");
        EXPECT_EQ(t.WaitExit(10000), 0);
        EXPECT_NE(t.Output().find(named), std::string::npos) << t.Output();
    }
    std::string log = ReadFile(dir + "/debug.log");
    const std::string header = "[zxflash] run started, command line \"/debug\"\n";
    EXPECT_EQ(log.compare(0, header.size(), header), 0) << log.substr(0, 200);
    EXPECT_NE(log.find(header, header.size()), std::string::npos); // the second run's
    {
        Terminal t(dir, 24, 80, true, nullptr);
        ASSERT_TRUE(t.Started());
        EXPECT_TRUE(t.WaitFor("FW update tool", 10000)) << t.Output();
        t.Send("\x1b");
        EXPECT_EQ(t.WaitExit(10000), 0);
        EXPECT_EQ(t.Output().find("Debug log"), std::string::npos) << t.Output();
    }
    EXPECT_EQ(ReadFile(dir + "/debug.log"), log);
    {
        Terminal t(dir, 24, 80, true, "/debug", dir + "/missing/debug.log");
        ASSERT_TRUE(t.Started());
        EXPECT_TRUE(t.WaitFor("FW update tool", 10000)) << t.Output();
        t.Send("\x1b");
        EXPECT_EQ(t.WaitExit(10000), 0);
        EXPECT_TRUE(t.WaitFor("zxflash: the Debug log cannot be written to " + dir +
                                  "/missing/debug.log: No such file or directory",
                              2000))
            << t.Output();
        EXPECT_EQ(t.Output().find("zxflash: Debug log in"), std::string::npos);
    }
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

namespace {

// Waits until the file holds text (it is written by another process); false when the time is up.
bool WaitForFileText(const std::string& path, const std::string& text, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (ReadFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

TEST(TerminalFrontEnd, CtrlCDuringAnUpdateEndsTheProgramOnlyAfterTheUpdateWithTheStateSaved) {
    char pattern[] = "/tmp/zxterm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    const std::string state = dir + "/state.json";
    setenv("ZX_SIM_STATE", state.c_str(), 1); // the program's environment, inherited
    {
        Terminal t(dir, 24, 80);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.WaitFor("[ RUN ]", 10000)) << t.Output();
        t.Send("\r"); // RUN on the first disk; the question opens on No
        ASSERT_TRUE(t.WaitFor("[ No ]", 10000)) << t.Output();
        t.Send("\x1b[D\r"); // Left to Yes, Enter
        // The commit is done and the program waits for the drive: Ctrl-C now.
        ASSERT_TRUE(
            WaitForFileText(dir + "/debug.log", "DISKLIB_NVME_FWActive Success OUT", 30000));
        t.Mark();
        t.Send("\x03");
        EXPECT_TRUE(t.WaitFor("Ending when the update has ended.", 10000)) << t.Output();
        // The update goes on to its end and says it; Enter on its Cancel default ends the run.
        ASSERT_TRUE(t.WaitFor("Shutdown System Now ?", 30000)) << t.Output();
        t.Send("\r");
        EXPECT_EQ(t.WaitExit(10000), 128 + SIGINT);
        EXPECT_NE(t.Output().find("zxflash: ended by Interrupt"), std::string::npos) << t.Output();
    }
    unsetenv("ZX_SIM_STATE");
    EXPECT_NE(ReadFile(state).find("041k020C"), std::string::npos) << ReadFile(state);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
