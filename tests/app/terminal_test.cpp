// zxflash in a terminal: the program on its embedded demo package, driven through a
// pseudo-terminal as a person would drive it. What it draws is read back as a screen of cells
// through libvterm.
#include "tests/support/scenario_builders.h"

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
#include <vector>
#include <vterm.h>

namespace {

const char kLogPrefix[] = "[ZX]          [middle] ";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a terminal of rows x cols shows after the bytes fed to it.
class Screen {
public:
    Screen(int rows, int cols) : vt_(vterm_new(rows, cols)) {
        vterm_set_utf8(vt_, 1);
        screen_ = vterm_obtain_screen(vt_);
        vterm_screen_enable_altscreen(screen_, 1);
        vterm_screen_reset(screen_, 1);
    }
    ~Screen() { vterm_free(vt_); }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    void Feed(const char* bytes, size_t n) { vterm_input_write(vt_, bytes, n); }
    void Resize(int rows, int cols) { vterm_set_size(vt_, rows, cols); }

    // Row r as UTF-8 text, trailing blanks removed.
    std::string Row(int r) const {
        int rows = 0;
        int cols = 0;
        vterm_get_size(vt_, &rows, &cols);
        std::string line;
        for (int c = 0; c < cols; c++) {
            VTermScreenCell cell;
            VTermPos pos{r, c};
            vterm_screen_get_cell(screen_, pos, &cell);
            uint32_t ch = cell.chars[0] == 0 ? ' ' : cell.chars[0];
            if (cell.chars[0] == 0 && cell.width == 0) {
                continue;
            }
            AppendUtf8(&line, ch);
        }
        return line.substr(0, line.find_last_not_of(' ') + 1);
    }

    std::string Text() const {
        int rows = 0;
        int cols = 0;
        vterm_get_size(vt_, &rows, &cols);
        std::string text;
        for (int r = 0; r < rows; r++) {
            text += Row(r) + "\n";
        }
        return text;
    }

private:
    static void AppendUtf8(std::string* out, uint32_t c) {
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    VTerm* vt_;
    VTermScreen* screen_;
};

// zxflash /debug (or with the argument given, none for null) in a pseudo-terminal, with TMPDIR
// set to dir and the Debug log named by ZX_DEBUG_LOG (log, else dir/debug.log), or left to the
// program's default when debugLog is false.
class Terminal {
public:
    Terminal(const std::string& dir, int rows, int cols, bool debugLog = true,
             const char* argument = "/debug", const std::string& log = "",
             const std::vector<std::string>& environment = {})
        : screen_(rows, cols) {
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
            for (const std::string& e : environment) {
                putenv(const_cast<char*>(e.c_str()));
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

    // Reads until the screen shows the text (or, with present false, no longer shows it), or
    // the time is up (the bound only keeps a broken program from hanging the test).
    bool WaitForScreen(const std::string& text, int ms, bool present = true) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if ((screen_.Text().find(text) != std::string::npos) == present) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            Read(20);
        }
    }

    std::string ScreenText() const { return screen_.Text(); }
    std::string ScreenRow(int r) const { return screen_.Row(r); }

    // Whether the program still runs.
    bool Running() {
        int status = 0;
        if (exited_ || waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            return false;
        }
        return true;
    }

    void Send(const std::string& keys) {
        ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size()));
    }

    void Resize(int rows, int cols) {
        winsize ws{};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        ioctl(fd_, TIOCSWINSZ, &ws);
        screen_.Resize(rows, cols);
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
                screen_.Feed(buf, static_cast<size_t>(n));
                return true;
            }
        }
        return false;
    }

    Screen screen_;
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

// A temporary folder for one test, removed at its end.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/zxterm-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempFolder() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            EXPECT_EQ(std::system(cmd.c_str()), 0);
        }
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

const char kQuestion[] = "If FW is not back compatible";
// The cursor keys as a terminal in keypad mode sends them (xterm's kcuu1 ... kcub1).
const char kUp[] = "\x1bOA";
const char kDown[] = "\x1bOB";
const char kRight[] = "\x1bOC";
const char kLeft[] = "\x1bOD";
const char kShutdownQuestion[] = "Shutdown System Now ?";

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
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
        t.Send(std::string(kLeft) + "\r"); // Left to Yes, Enter
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

// While the terminal is too small to draw the dialog, the screen names the size it needs and no
// key but Esc acts: Down, Enter, Enter (pick the next disk, RUN, and the answer to a question
// never seen) do nothing, and Esc still closes the program.
TEST(TerminalFrontEnd, ATooSmallTerminalNamesTheSizeAndOnlyEscActs) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    Terminal t(dir.Path(), 12, 39, false, nullptr, "", {"ZX_SIM_STATE=" + dir.Path() + "/state"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForScreen("Terminal too small", 30000)) << t.ScreenText();
    ASSERT_TRUE(t.WaitForScreen("Esc closes.", 30000)) << t.ScreenText(); // the second row too
    EXPECT_EQ(t.ScreenRow(0), "Terminal too small: the dialog needs 40");
    EXPECT_EQ(t.ScreenRow(1), " x 12, this one is 39 x 12. Esc closes.");
    t.Send(std::string(kDown) + "\r\r");
    t.Send("\x1b");
    EXPECT_EQ(t.WaitExit(10000), 0);
    EXPECT_EQ(t.Output().find(kQuestion), std::string::npos) << "a question was shown";
    // Nothing was written to the drives: the state file names no new firmware.
    EXPECT_EQ(ReadFile(dir.Path() + "/state").find("041k0208"), std::string::npos);
}

// Each message box opens on the default button its call names: the package's question on No
// (MB_DEFBUTTON2), however the question before it was answered. Enter, Enter twice runs nothing.
TEST(TerminalFrontEnd, EachMessageBoxOpensOnItsOwnDefaultButton) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    Terminal t(dir.Path(), 24, 80, false, nullptr, "", {"ZX_SIM_STATE=" + dir.Path() + "/state"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForScreen("[ RUN ]", 30000)) << t.ScreenText();
    for (int round = 0; round < 2; round++) {
        t.Send("\r");
        ASSERT_TRUE(t.WaitForScreen(kQuestion, 30000)) << t.ScreenText();
        t.Send("\r");
        ASSERT_TRUE(t.WaitForScreen(kQuestion, 30000, false)) << t.ScreenText();
    }
    // Yes once, by moving to it: the next question opens on No again, not on the last focus.
    t.Send("\r");
    ASSERT_TRUE(t.WaitForScreen(kQuestion, 30000)) << t.ScreenText();
    t.Send(std::string(kLeft) + kRight + "\r"); // Left to Yes, Right back to No, Enter
    ASSERT_TRUE(t.WaitForScreen(kQuestion, 30000, false)) << t.ScreenText();
    t.Send("\x1b");
    EXPECT_EQ(t.WaitExit(10000), 0); // no update runs, so Esc closes at once
    EXPECT_EQ(t.Output().find("Update FW"), std::string::npos) << "an update ran";
}

// OK to "Shutdown System Now ?" on the simulated PC: the screen says that the PC powers off now,
// and the program ends as the PC going down ends it, with the drives' state saved (the PC off).
TEST(TerminalFrontEnd, OkToTheShutdownQuestionShowsThePowerOffAndEndsTheProgram) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string state = dir.Path() + "/state";
    Terminal t(dir.Path(), 24, 80, false, nullptr, "",
               {"ZX_SIM_STATE=" + state, "ZX_SIM_SPEED=20"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForScreen("[ RUN ]", 30000)) << t.ScreenText();
    t.Send("\r");
    ASSERT_TRUE(t.WaitForScreen(kQuestion, 30000)) << t.ScreenText();
    t.Send(std::string(kLeft) + "\r"); // Yes
    ASSERT_TRUE(t.WaitForScreen(kShutdownQuestion, 120000)) << t.ScreenText();
    t.Send(std::string(kLeft) + "\r"); // OK (the box opens on Cancel)
    ASSERT_TRUE(t.WaitForScreen("The simulated PC powers off now: the program ends.", 30000))
        << t.ScreenText();
    EXPECT_EQ(t.WaitExit(20000), 0);
    EXPECT_NE(t.Output().find("zxflash: The simulated PC powers off now: the program ends."),
              std::string::npos)
        << t.Output().substr(t.Output().size() > 400 ? t.Output().size() - 400 : 0);
    const std::string saved = ReadFile(state);
    EXPECT_NE(saved.find("power = off\n"), std::string::npos) << saved;
}

// Picking a disk that does not answer keeps the screen drawn while the re-read runs, says that
// it is busy, and drops the keys typed meanwhile: the Esc typed during the wait does not close
// the program afterwards.
TEST(TerminalFrontEnd, ABusyRereadKeepsTheScreenDrawnAndDropsTheKeysTypedMeanwhile) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string scenario = dir.Path() + "/two.scenario";
    // The second disk takes 3 s of program time to answer each request.
    WriteFile(scenario, testsupport::TwoDemoNvmeDisks("faults = slow:3000\n", true));
    Terminal t(dir.Path(), 24, 80, false, nullptr, "",
               {"ZX_SIM_SCENARIO=" + scenario, "ZX_SIM_SPEED=10"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForScreen("1TB [D: ]", 30000)) << t.ScreenText();
    t.Send(kDown); // the disk that does not answer
    ASSERT_TRUE(t.WaitForScreen("Busy: please wait, keys are ignored", 30000)) << t.ScreenText();
    EXPECT_NE(t.ScreenText().find("1TB [E: ]"), std::string::npos) << t.ScreenText();
    t.Send("\x1b");
    ASSERT_TRUE(t.WaitForScreen("Busy: please wait", 60000, false)) << t.ScreenText();
    // Still open: Up picks the first disk again and shows it.
    EXPECT_TRUE(t.Running());
    t.Send(kUp);
    ASSERT_TRUE(t.WaitForScreen("1TB [D: ]", 30000)) << t.ScreenText();
    t.Send("\x1b");
    EXPECT_EQ(t.WaitExit(10000), 0);
}

// At 40 x 12 every label is whole with its value after it (the value cut at the frame), the list
// entry keeps its drive letter, and RUN its whole label.
TEST(TerminalFrontEnd, At40By12LabelsStayWholeAndEntriesKeepTheirDriveLetters) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    Terminal t(dir.Path(), 12, 40, false);
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForScreen("1000 GB", 30000)) << t.ScreenText();
    const std::vector<std::string> expected = {
        "┌─────────── FW update tool ───────────┐", "│                                      │",
        "│  [ZX] [ZELTARIX ZX5~ [D: ] v] [ RUN ]│", "│       Model  ZELTARIX ZX5016 1TB     │",
        "│       ────────────────────────────   │", "│       Serial No.  ZX5016A000000000000│",
        "│       Interface  PCIE Gen3 Signaling │", "│       Firmware  041k0207             │",
        "│       Capacity  1000 GB              │", "│       ────────────────────────────   │",
        "│[....................................]│", "└──────────────────────────────────────┘",
    };
    // The screen is drawn row by row: every row must have arrived before they are compared.
    for (const std::string& row : expected) {
        ASSERT_TRUE(t.WaitForScreen(row, 30000)) << t.ScreenText();
    }
    for (size_t r = 0; r < expected.size(); r++) {
        EXPECT_EQ(t.ScreenRow(static_cast<int>(r)), expected[r]) << "row " << r;
    }
    t.Send("\x1b");
    EXPECT_EQ(t.WaitExit(10000), 0);
}

// --help and --version answer without a terminal and without starting the dialog.
TEST(TerminalFrontEnd, HelpAndVersionPrintAndExitWithoutTheDialog) {
    struct Case {
        const char* argument;
        std::string firstLine;
    };
    const Case cases[] = {
        {"--help", "usage: zxflash [--device-backend sim|linux] [/debug]"},
        {"--version", "zxflash 0.1"},
    };
    for (const Case& c : cases) {
        std::string command = std::string(ZXFLASH_PATH) + " " + c.argument + " </dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            out.append(buffer, n);
        }
        const int status = pclose(pipe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.argument << "\n" << out;
        const std::string first = out.substr(0, out.find('\n'));
        EXPECT_EQ(first.compare(0, c.firstLine.size(), c.firstLine), 0) << first;
    }
}

// After "Update FW Fail !" the program's exit code says that an update failed: 1, not 0.
TEST(TerminalFrontEnd, AFailedUpdateEndsTheProgramWithExitCodeOne) {
    TempFolder dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string scenario = dir.Path() + "/two.scenario";
    WriteFile(scenario, testsupport::TwoDemoNvmeDisks("faults = download_fail\n", true));
    Terminal t(dir.Path(), 24, 80, false, nullptr, "",
               {"ZX_SIM_SCENARIO=" + scenario, "ZX_SIM_SPEED=20"});
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForScreen("1TB [D: ]", 30000)) << t.ScreenText();
    t.Send(kDown);
    ASSERT_TRUE(t.WaitForScreen("1TB [E: ]", 30000)) << t.ScreenText();
    ASSERT_TRUE(t.WaitForScreen("ZX5016A0000000000002", 30000)) << t.ScreenText();
    t.Send("\r");
    ASSERT_TRUE(t.WaitForScreen(kQuestion, 30000)) << t.ScreenText();
    t.Send(std::string(kLeft) + "\r"); // Yes
    ASSERT_TRUE(t.WaitForScreen("Update FW Fail !", 120000)) << t.ScreenText();
    t.Send("\r");
    ASSERT_TRUE(t.WaitForScreen("Update FW Fail !", 30000, false)) << t.ScreenText();
    t.Send("\x1b");
    EXPECT_EQ(t.WaitExit(10000), 1);
}
