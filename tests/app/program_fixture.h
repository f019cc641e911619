// The program on the headless window manager and the simulated PC, with a package made for the
// test: ReflashInfo.ini from the test's keys and images built from recipes, zipped and embedded
// as the program's package. The Debug log goes to a file of the test's own folder.
#pragma once

#include "app/app_main.h"
#include "app/resource_ids.h"
#include "app/state/app_state.h"
#include "platform/posix/control.h"
#include "platform/posix/ui_control.h"
#include "platform/win32.h"
#include "sim/control.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario_builders.h"
#include "tools/zxpkg/image_writer.h"
#include "tools/zxpkg/zip_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

namespace zxtest {

using namespace zxposix::ui;

using testsupport::NvmeDisk;
using testsupport::Serial;

const std::chrono::milliseconds kWait{20000};

// The UPDATEINFO keys a test starts from: the title "Test", the SOC id and revisions of the
// disks that NvmeDisk() describes, and a question before the update.
inline std::map<std::string, std::string> BaseKeys() {
    return {
        {"TITLE", "54 00 65 00 73 00 74 00"},
        {"SOCID", "0x3C71"},
        {"ModelName", ""},
        {"FWVersion", "|041k0207|041k020A|"},
        {"NEWVERSION", "KEEP"},
        {"iInternalFWVersionCheckPart", "2"},
        {"bRemoveFtlBuildNumCheck", "0"},
        {"bIsSATA", "0"},
        {"BeforeMessage", "Update now?"},
        {"AfterMessage", ""},
        {"PowerCtrl", "0"},
    };
}

inline std::wstring W(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// An image whose version is 041k0207 and FTL build 0x00010203, matching NvmeDisk().
inline zxpkg::ImageRecipe MatchingImage() {
    zxpkg::ImageRecipe r;
    r.versionParts = {"04", "1k", "02", "07"};
    r.ftlBuildNumber = 0x00010203;
    r.checksumKind = 1;
    return r;
}

class ProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim::Install(); }

    void SetUp() override {
        char pattern[] = "/tmp/zxprogram-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("TMPDIR", dir_.c_str(), 1);
        log_.Start(dir_ + "/debug.log", /*readWhileWritten=*/true); // the worker writes it
        SetScreenSize(1024, 768);
        ClearRecords();
        ClearPendingAnswers();
        zxposix::SetClockSpeed(100.0); // the one-second attempts of a re-read pass in 10 ms
        keys_ = BaseKeys();
        nandMap_ = "9BC5587130_1=A.fw\n";
        images_ = {{"A.fw", MatchingImage()}};
    }

    void TearDown() override {
        if (ui_.joinable()) {
            // A failed test may leave a message box open: answer every box and end the dialog
            // until the program has returned.
            while (!uiDone_) {
                MessageBoxRecord box;
                if (OpenMessageBox(&box)) {
                    AnswerMessageBox(IDCANCEL);
                }
                if (HWND d = CurrentDialog()) {
                    EndDialog(d, 0);
                }
                WaitUntil([this] { return uiDone_.load(); }, std::chrono::milliseconds(50));
            }
            ui_.join();
        }
        ClearPendingAnswers();
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&GetAppState()->hWorker),
                                   NULL);
        zxposix::RegisterResource(L"FWPACKAGEZIP", IDR_FWPACKAGEZIP, "", 0);
        zxposix::SetClockSpeed(1.0);
        log_.Stop();
        EXPECT_EQ(chdir("/"), 0); // the program may have left the folder as its current one
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    void UseScenario(const std::string& text) {
        std::string error;
        ASSERT_TRUE(sim::LoadScenarioText(text, &error)) << error;
    }

    // Builds the package from keys_, nandMap_ and images_ and embeds it.
    void MakePackage() {
        std::string ini = "[UPDATEINFO]\n";
        for (const auto& k : keys_) {
            ini += k.first + "=" + k.second + "\n";
        }
        ini += "\n[NandMap]\n" + nandMap_;
        std::vector<zxpkg::ZipInput> entries;
        entries.push_back({"ReflashInfo.ini", std::vector<unsigned char>(ini.begin(), ini.end())});
        for (const auto& image : images_) {
            ASSERT_EQ(zxpkg::ValidateImageRecipe(image.second), "");
            std::vector<uint8_t> bytes = zxpkg::BuildImage(image.second);
            auto edit = imageEdits_.find(image.first);
            if (edit != imageEdits_.end()) {
                edit->second(bytes);
            }
            entries.push_back(
                {image.first, std::vector<unsigned char>(bytes.begin(), bytes.end())});
        }
        std::string zipPath = dir_ + "/package.zip";
        ASSERT_EQ(zxpkg::WriteZip(zipPath, entries), "");
        std::ifstream in(zipPath, std::ios::binary);
        package_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        zxposix::RegisterResource(L"FWPACKAGEZIP", IDR_FWPACKAGEZIP, package_.data(),
                                  package_.size());
    }

    // Embeds the package and runs the program entry on a thread of its own, as the process's
    // UI thread; returns once dialog initialisation is over.
    HWND Start(const std::string& commandLine = "") {
        MakePackage();
        commandLine_ = commandLine;
        uiDone_ = false;
        ui_ = std::thread([this] {
            exitCode_ = AppMain(GetModuleHandleW(NULL), commandLine_.c_str());
            uiDone_ = true;
        });
        EXPECT_TRUE(WaitUntil([] { return CurrentDialog() != nullptr; }, kWait));
        HWND d = CurrentDialog();
        SendMessageW(d, WM_NULL, 0, 0); // handled only after WM_INITDIALOG has returned
        return d;
    }

    int Stop(HWND d) {
        EXPECT_TRUE(WaitUntilIdle(d, kWait));
        PressKey(d, VK_ESCAPE);
        ui_.join();
        return exitCode_;
    }

    DialogView View(HWND d) {
        EXPECT_TRUE(WaitUntilIdle(d, kWait));
        DialogView v;
        EXPECT_TRUE(ReadDialog(d, &v));
        return v;
    }

    // A timer rescan without a device change, handled to its end.
    void TimerRescan(HWND d) {
        ASSERT_TRUE(PostMessageW(d, WM_TIMER, 1000, 0));
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
    }

    // Changes the simulated PC in a way it announces (a disk taken out or plugged in) and waits
    // until the device-change timer has fired and its rescan is over.
    void ChangeDisks(HWND d, const std::function<void()>& change) {
        auto timers = [] {
            size_t n = 0;
            for (const MessageRecord& m : MessageLog()) {
                n += m.controlId == 0 && m.message == WM_TIMER ? 1 : 0;
            }
            return n;
        };
        size_t before = timers();
        change();
        ASSERT_TRUE(WaitUntil([&] { return timers() > before; }, kWait));
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
    }

    // Picks list entry i as the user does and waits until the dialog has handled it.
    void Pick(HWND d, int i) {
        ASSERT_TRUE(SelectEntry(d, IDC_DISK_LIST, i));
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
    }

    // Presses RUN and returns the message box it opens, left open.
    MessageBoxRecord PressRun(HWND d) {
        size_t before = MessageBoxes().size();
        EXPECT_TRUE(ClickButton(d, IDOK));
        MessageBoxRecord box;
        EXPECT_TRUE(WaitUntil(
            [&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
        return box;
    }

    void Answer(HWND d, int answer) {
        size_t count = MessageBoxes().size();
        AnswerMessageBox(answer);
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::vector<MessageBoxRecord> boxes = MessageBoxes();
                return boxes.size() >= count && !boxes[count - 1].open;
            },
            kWait));
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
    }

    // The host path of a file in the program's working folder (its Windows form without the
    // simulated PC's drive letter).
    static std::string WorkingFile(const std::string& name) {
        std::string path;
        for (const WCHAR* w = GetAppState()->WorkingFolder; *w != 0; ++w) {
            path.push_back(*w == L'\\' ? '/' : static_cast<char>(*w));
        }
        const size_t root = path.find('/');
        return (root == std::string::npos ? path : path.substr(root)) + "/" + name;
    }

    // The Debug log's lines without their prefix, in order.
    std::vector<std::string> LogLines() const { return log_.Lines(); }
    void ClearLog() const { log_.Clear(); }

    std::map<std::string, std::string> keys_;
    std::string nandMap_;
    std::vector<std::pair<std::string, zxpkg::ImageRecipe>> images_;
    // Changes made to an image's bytes after it is built (a damaged or odd image), by name.
    std::map<std::string, std::function<void(std::vector<uint8_t>&)>> imageEdits_;
    std::string dir_;
    testsupport::LogCapture log_;
    std::vector<char> package_;
    std::string commandLine_;
    std::thread ui_;
    std::atomic<bool> uiDone_{false};
    std::atomic<int> exitCode_{-1};
};

} // namespace zxtest
