// The main dialog on the headless window manager: initialisation and layout, the close with
// the busy refusal and the clean-up, the device-change debounce, and the progress messages.
#include "app/app_main.h"
#include "app/app_state.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "app/resource_ids.h"
#include "platform/posix/control.h"
#include "platform/posix/ui_control.h"
#include "platform/win32.h"
#include "sim/control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

using namespace zxposix::ui;

namespace {

const std::chrono::milliseconds kWait{10000};

std::atomic<bool> g_releaseWorker{false};

// Stands in for an update worker: runs until released, then ends as the real one does (posts
// WM_UPDATE_DONE, then empties the worker slot).
DWORD WINAPI FakeWorker(LPVOID) {
    while (!g_releaseWorker) {
        Sleep(10);
    }
    PostMessageW(GetAppState()->hDialog, WM_UPDATE_DONE, 0, 1);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&GetAppState()->hWorker), NULL);
    return 1;
}

bool Exists(const WCHAR* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Group directory of the program icon as zxflash registers it: one 64 x 64 image.
const unsigned char kIconDirectory[] = {0, 0, 1,  0, 1, 0, 64, 64, 0, 0,
                                        1, 0, 32, 0, 0, 0, 0,  0,  1, 0};

std::vector<MessageRecord> ProgressMessages() {
    std::vector<MessageRecord> out;
    for (const MessageRecord& r : MessageLog()) {
        if (r.controlId == 0 && r.message == WM_UPDATE_PROGRESS) {
            out.push_back(r);
        }
    }
    return out;
}

class MainDialog : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zxdialog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tempDir_ = pattern;
        setenv("TMPDIR", tempDir_.c_str(), 1);
        SetScreenSize(1024, 768);
        ClearRecords();
        ClearPendingAnswers();
        g_releaseWorker = false;
    }

    void TearDown() override {
        g_releaseWorker = true;
        if (ui_.joinable()) {
            if (HWND d = CurrentDialog()) {
                EndDialog(d, 0);
            }
            ui_.join();
        }
        zxposix::SetClockSpeed(1.0);
        std::string cmd = "rm -rf '" + tempDir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // Runs the program entry on a thread of its own, as the process's UI thread; returns once
    // dialog initialisation is over.
    HWND StartProgram() {
        ui_ = std::thread([this] { exitCode_ = AppMain(GetModuleHandleW(NULL), ""); });
        EXPECT_TRUE(WaitUntil([] { return CurrentDialog() != nullptr; }, kWait));
        HWND d = CurrentDialog();
        SendMessageW(d, WM_NULL, 0, 0); // handled only after WM_INITDIALOG has returned
        return d;
    }

    int Stop() {
        ui_.join();
        return exitCode_;
    }

    std::string tempDir_;
    std::thread ui_;
    std::atomic<int> exitCode_{-1};
};

} // namespace

TEST_F(MainDialog, InitialisationClearsThePanelShowsTheIconAndListsTheDisksFound) {
    std::string error;
    ASSERT_TRUE(sim::LoadScenarioText(
        "[disk a]\nkind = nvme\ndrive = 0\nmodel = ZX One\nserial = 1\nfirmware = F\n"
        "vendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = 1953525168\nbus = 1\nvolumes = C D\n\n"
        "[disk b]\nkind = nvme\ndrive = 3\nmodel = ZX Two\nserial = 2\nfirmware = F\n"
        "vendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = 1953525168\nbus = 2\n",
        &error))
        << error;
    zxposix::RegisterResource(RT_GROUP_ICON, IDI_MAIN, kIconDirectory, sizeof(kIconDirectory));
    HWND d = StartProgram();
    AppState* state = GetAppState();
    EXPECT_EQ(state->hDialog, d);
    DialogView v;
    ASSERT_TRUE(ReadDialog(d, &v));
    for (int id : {501, 502, 503, 504, 505, 510}) {
        SCOPED_TRACE(id);
        ASSERT_NE(v.Find(id), nullptr);
        EXPECT_EQ(v.Find(id)->text, L"");
    }
    // the template's label texts stay
    ASSERT_NE(v.controls.size(), 0u);
    EXPECT_EQ(v.controls[1].text, L"Model ");
    // the title is the package's (without a package: the default title's decoding)
    EXPECT_EQ(v.title, std::wstring(state->Title));
    EXPECT_NE(v.title, L"Dialog");
    // icon 105 at 64 x 64 in default colours, shown in 1004 and made the class's big icon
    std::vector<ImageRequest> images = ImageRequests();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].resourceId, 105u);
    EXPECT_EQ(images[0].type, 1u); // IMAGE_ICON
    EXPECT_EQ(images[0].cx, 64);
    EXPECT_EQ(images[0].cy, 64);
    EXPECT_EQ(images[0].flags, 0u); // LR_DEFAULTCOLOR
    ASSERT_NE(images[0].result, nullptr);
    const ControlView* icon = v.Find(IDC_PROGRAM_ICON);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->image, images[0].result);
    EXPECT_EQ(v.classIcon, images[0].result);
    // the disks found, in table order, the first selected; RUN stays disabled while the update
    // launch is not built
    const ControlView* list = v.Find(IDC_DISK_LIST);
    EXPECT_EQ(list->items, (std::vector<std::wstring>{L"ZX One [C: D: ]", L"ZX Two (RAW)"}));
    EXPECT_EQ(list->itemData, (std::vector<LPARAM>{0, 1}));
    EXPECT_EQ(list->curSel, 0);
    EXPECT_EQ(state->DiskCount, 2u);
    EXPECT_FALSE(v.Find(IDOK)->enabled);
    EXPECT_TRUE(Exists(state->WorkingFolder));
    EXPECT_EQ(GdiplusStartCount(), 1);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(GdiplusStartCount(), 0);
    EXPECT_GE(CommonControlsInitialised(), 1);
}

TEST_F(MainDialog, StartsOnTheDemoPackageWithItsTitleAndRemovesItsFolderAtTheClose) {
    static std::vector<char> zip; // registered while the program runs
    std::ifstream in(ZX_DEMO_ZIP, std::ios::binary);
    ASSERT_TRUE(in.good()) << ZX_DEMO_ZIP;
    zip.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    zxposix::RegisterResource(L"FWPACKAGEZIP", IDR_FWPACKAGEZIP, zip.data(), zip.size());
    HWND d = StartProgram();
    AppState* state = GetAppState();
    std::wstring folder = state->WorkingFolder;
    DialogView v;
    ASSERT_TRUE(ReadDialog(d, &v));
    EXPECT_EQ(v.title, L"FW update tool");
    EXPECT_TRUE(Exists(state->ConfigPath));
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(Exists(folder.c_str()));
    zxposix::RegisterResource(L"FWPACKAGEZIP", IDR_FWPACKAGEZIP, "", 0);
}

TEST_F(MainDialog, HeightFitAndProgressBarOnAKnownScreen) {
    HWND d = StartProgram();
    DialogView v;
    ASSERT_TRUE(ReadDialog(d, &v));
    // 340 x 117 units at 6 x 16 pixels per 4 x 8 units: 510 x 234 client, 516 x 259 window.
    // The status line (y 100, height 8 units) ends 216 pixels down the client area, 22 below
    // the window's top: 2 x 238 - 222 + 5 = 259, so the height stays.
    EXPECT_EQ(v.window.left, 254); // (1024 - 516) / 2
    EXPECT_EQ(v.window.top, 254);  // (768 - 259) / 2
    EXPECT_EQ(v.window.right - v.window.left, 516);
    EXPECT_EQ(v.window.bottom - v.window.top, 259);
    const ControlView* bar = v.Find(IDC_PROGRESS);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->rect.left, 0);
    EXPECT_EQ(bar->rect.top, 229);
    EXPECT_EQ(bar->rect.right, 510);
    EXPECT_EQ(bar->rect.bottom, 234);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(MainDialog, HeightFitFollowsTheStatusLine) {
    // The same template with the status line 20 units higher.
    HRSRC res = FindResourceW(NULL, MAKEINTRESOURCEW(ZX_DIALOG_SCRIPT_ID), ZX_DIALOG_SCRIPT_TYPE);
    ASSERT_NE(res, nullptr);
    const char* original = static_cast<const char*>(LockResource(LoadResource(NULL, res)));
    DWORD size = SizeofResource(NULL, res);
    static std::string script; // registered while the dialog runs
    script.assign(original, size);
    size_t at = script.find("65, 100, 258, 8");
    ASSERT_NE(at, std::string::npos);
    script.replace(at, 15, "65, 80, 258, 8");
    zxposix::RegisterResource(ZX_DIALOG_SCRIPT_TYPE, ZX_DIALOG_SCRIPT_ID, script.data(),
                              script.size());
    HWND d = StartProgram();
    DialogView v;
    bool read = ReadDialog(d, &v);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
    zxposix::RegisterResource(ZX_DIALOG_SCRIPT_TYPE, ZX_DIALOG_SCRIPT_ID, original, size);
    ASSERT_TRUE(read);
    // status line 160..176 in the client area, 182..198 below the window's top:
    // 2 x 198 - 182 + 5 = 219; client height 219 - 25 = 194
    EXPECT_EQ(v.window.bottom - v.window.top, 219);
    EXPECT_EQ(v.window.right - v.window.left, 516);
    EXPECT_EQ(v.window.left, 254);
    EXPECT_EQ(v.window.top, 274); // (768 - 219) / 2
    const ControlView* bar = v.Find(IDC_PROGRESS);
    EXPECT_EQ(bar->rect.left, 0);
    EXPECT_EQ(bar->rect.top, 189);
    EXPECT_EQ(bar->rect.right, 510);
    EXPECT_EQ(bar->rect.bottom, 194);
}

TEST_F(MainDialog, CloseWhileBusyIsRefusedAndAfterTheWorkerEndsRemovesTheWorkingFolder) {
    HWND d = StartProgram();
    AppState* state = GetAppState();
    std::wstring folder = state->WorkingFolder;
    std::wstring title = state->Title;
    ASSERT_TRUE(Exists(folder.c_str()));
    HANDLE worker = CreateThread(NULL, 0, FakeWorker, NULL, 0, NULL);
    ASSERT_NE(worker, nullptr);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&state->hWorker), worker);

    // Esc, then the close box: each shows the refusal and the dialog stays.
    PressKey(d, VK_ESCAPE);
    MessageBoxRecord box;
    ASSERT_TRUE(WaitUntil([&] { return OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.text, L"Update FW Now!\nCan't Exit Program.");
    EXPECT_EQ(box.caption, title);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
    AnswerMessageBox(IDOK);
    ASSERT_TRUE(
        WaitUntil([] { return MessageBoxes().size() == 1 && !MessageBoxes()[0].open; }, kWait));
    PressCloseBox(d);
    ASSERT_TRUE(WaitUntil([&] { return OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.text, L"Update FW Now!\nCan't Exit Program.");
    AnswerMessageBox(IDOK);
    ASSERT_TRUE(
        WaitUntil([] { return MessageBoxes().size() == 2 && !MessageBoxes()[1].open; }, kWait));
    EXPECT_TRUE(IsWindow(d));
    EXPECT_TRUE(Exists(folder.c_str()));

    g_releaseWorker = true;
    ASSERT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
    CloseHandle(worker);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(MessageBoxes().size(), 2u);
    EXPECT_FALSE(IsWindow(d));
    EXPECT_FALSE(Exists(folder.c_str()));
}

TEST_F(MainDialog, ASubFolderMakesRemovalFailAndTheDialogClosesAnyway) {
    HWND d = StartProgram();
    std::wstring folder = GetAppState()->WorkingFolder;
    std::wstring sub = folder + L"\\kept";
    std::wstring file = folder + L"\\plain.txt";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), NULL));
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    PressCloseBox(d);
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(IsWindow(d));
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_TRUE(Exists(folder.c_str())); // could not be removed
    EXPECT_TRUE(Exists(sub.c_str()));
    EXPECT_FALSE(Exists(file.c_str())); // its plain files are gone
}

TEST_F(MainDialog, TenDeviceChangesWithinOneSecondGiveOneRescanTwoSecondsAfterTheLast) {
    zxposix::SetClockSpeed(20.0);
    HWND d = StartProgram();
    ClearRecords();
    for (int i = 0; i < 10; i++) {
        PostMessageW(d, WM_DEVICECHANGE, 0x0007, 0);               // DBT_DEVNODES_CHANGED
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // about 20 ms of program time
    }
    auto rescans = [] {
        std::vector<MessageRecord> r;
        for (const MessageRecord& m : MessageLog()) {
            if (m.controlId == IDC_DISK_LIST && m.message == CB_RESETCONTENT) {
                r.push_back(m);
            }
        }
        return r;
    };
    ASSERT_TRUE(WaitUntil([&] { return !rescans().empty(); }, kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(250)); // 5 s more of program time
    std::vector<MessageRecord> log = MessageLog();
    uint64_t first = 0;
    uint64_t last = 0;
    int changes = 0;
    int timers = 0;
    uint64_t timerTime = 0;
    for (const MessageRecord& m : log) {
        if (m.controlId == 0 && m.message == WM_DEVICECHANGE) {
            first = changes++ == 0 ? m.timeMs : first;
            last = m.timeMs;
        }
        if (m.controlId == 0 && m.message == WM_TIMER) {
            EXPECT_EQ(m.wParam, 1000u);
            timerTime = m.timeMs;
            timers++;
        }
    }
    ASSERT_EQ(changes, 10);
    EXPECT_LT(last - first, 1000u);
    EXPECT_EQ(timers, 1);
    // The rescan starts when the timer fires; its discovery then takes what it takes.
    EXPECT_GE(timerTime, last + 2000);
    EXPECT_LT(timerTime, last + 2500);
    std::vector<MessageRecord> r = rescans();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_GE(r[0].timeMs, timerTime);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(MainDialog, ProgressMessagesAreMappedIntoTheRange) {
    HWND d = StartProgram();
    AppState* state = GetAppState();
    auto bar = [d] { return SendDlgItemMessageW(d, IDC_PROGRESS, PBM_GETPOS, 0, 0); };
    // the range never set (0..0): 50 maps to 50 and the high end is stored as 100
    SendMessageW(d, WM_UPDATE_PROGRESS, 0, 50);
    EXPECT_EQ(bar(), 50);
    EXPECT_EQ(state->ProgressHigh, 100);
    // 30..40: 50 puts the bar at 35, 0 at 30
    SetProgressRange(30, 40, 0);
    EXPECT_EQ(bar(), 30);
    PostMessageW(d, WM_UPDATE_PROGRESS, 0, 50);
    ASSERT_TRUE(WaitUntil([&] { return bar() == 35; }, kWait));
    SendMessageW(d, WM_UPDATE_PROGRESS, 0, 0);
    EXPECT_EQ(bar(), 30);
    SendMessageW(d, WM_UPDATE_PROGRESS, 0, 100);
    EXPECT_EQ(bar(), 40);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}

TEST(MapProgress, ZeroGivesTheLowEndWithoutTouchingTheHighEnd) {
    InitAppState("");
    AppState* state = GetAppState();
    state->ProgressLow = 60;
    EXPECT_EQ(MapProgress(0), 60);
    EXPECT_EQ(state->ProgressHigh, 0);
    EXPECT_EQ(MapProgress(50), 80); // 60 + (100 - 60) x 50 / 100, high now 100
    EXPECT_EQ(state->ProgressHigh, 100);
    state->ProgressLow = 30;
    state->ProgressHigh = 40;
    EXPECT_EQ(MapProgress(33), 33); // 30 + 10 x 33 / 100 = 33.3, truncated
    EXPECT_EQ(MapProgress(99), 39);
    state->ProgressLow = 100;
    state->ProgressHigh = 100;
    EXPECT_EQ(MapProgress(70), 100);
}

TEST_F(MainDialog, WaitWithProgressPostsEachSecondAndSendsTheLastPart) {
    zxposix::SetClockSpeed(20.0);
    HWND d = StartProgram();
    struct Want {
        bool posted;
        LPARAM percent;
    };
    auto check = [&](DWORD total, std::vector<Want> want) {
        SCOPED_TRACE(total);
        ClearRecords();
        uint64_t start = GetTickCount64();
        std::thread worker([total] { WaitWithProgress(total); });
        worker.join();
        uint64_t took = GetTickCount64() - start;
        EXPECT_GE(took, total);
        // the posted ones are in the log once the dialog has handled them
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<MessageRecord> got = ProgressMessages();
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].posted, want[i].posted) << i;
            EXPECT_EQ(got[i].lParam, want[i].percent) << i;
            EXPECT_EQ(got[i].wParam, 0u) << i;
        }
    };
    check(3000, {{true, 33}, {true, 66}, {false, 100}});
    check(1000, {{false, 100}});
    check(0, {});
    check(2500, {{true, 40}, {true, 80}, {false, 100}});
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}
