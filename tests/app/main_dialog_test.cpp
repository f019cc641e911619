// The main dialog on the headless window manager: initialisation and layout, the commands and
// what the procedure returns, the close with the busy refusal and the clean-up, the
// device-change debounce and the timer, centring, and the progress messages.
#include "app/app_main.h"
#include "app/state/app_state.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "app/resource_ids.h"
#include "disklib/progress.h"
#include "platform/posix/control.h"
#include "platform/posix/ui_control.h"
#include "platform/win32.h"
#include "sim/control.h"
#include "app/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
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

std::vector<MessageRecord> Rescans() {
    std::vector<MessageRecord> r;
    for (const MessageRecord& m : MessageLog()) {
        if (m.controlId == IDC_DISK_LIST && m.message == CB_RESETCONTENT) {
            r.push_back(m);
        }
    }
    return r;
}

// What the dialog procedure returned for each message, in the order the messages came in.
struct ProcCall {
    UINT message;
    WPARAM wParam;
    INT_PTR result;
};
std::mutex g_callsLock;
std::vector<ProcCall> g_calls;

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    size_t at;
    {
        std::lock_guard<std::mutex> guard(g_callsLock);
        at = g_calls.size();
        g_calls.push_back(ProcCall{message, wParam, -1});
    }
    INT_PTR result = MainDialogProc(dialog, message, wParam, lParam);
    std::lock_guard<std::mutex> guard(g_callsLock);
    g_calls[at].result = result;
    return result;
}

INT_PTR CALLBACK PlainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}

class MainDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim::Install(); }
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
            // A failed test may leave a message box open, whose loop would keep the dialog
            // alive: answer every box and end the dialog until the program has returned.
            while (!uiDone_) {
                MessageBoxRecord box;
                if (OpenMessageBox(&box)) {
                    AnswerMessageBox(IDCANCEL); // or the box's Esc answer, or its first button
                }
                if (HWND d = CurrentDialog()) {
                    EndDialog(d, 0);
                }
                WaitUntil([this] { return uiDone_.load(); }, std::chrono::milliseconds(50));
            }
            ui_.join();
            ClearPendingAnswers();
        }
        zxposix::SetClockSpeed(1.0);
        std::string cmd = "rm -rf '" + tempDir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // Runs the program entry on a thread of its own, as the process's UI thread; returns once
    // dialog initialisation is over.
    HWND StartProgram() {
        ui_ = std::thread([this] {
            exitCode_ = AppMain(GetModuleHandleW(NULL), "");
            uiDone_ = true;
        });
        return WaitForDialog();
    }

    // Runs dialog 102 with proc on the UI thread, as the program entry does after its start-up.
    HWND StartDialog(DLGPROC proc) {
        InitAppState("");
        ui_ = std::thread([this, proc] {
            exitCode_ = static_cast<int>(
                DialogBoxParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDD_MAIN), NULL, proc, 0));
            uiDone_ = true;
        });
        return WaitForDialog();
    }

    HWND WaitForDialog() {
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
    std::atomic<bool> uiDone_{false};
    std::atomic<int> exitCode_{-1};
};

} // namespace

TEST_F(MainDialog, InitialisationClearsThePanelShowsTheIconAndFindsTheDisks) {
    std::string error;
    ASSERT_TRUE(sim::LoadScenarioText(
        "[disk a]\nkind = nvme\ndrive = 0\nmodel = ZX One\nserial = 1\nfirmware = F\n"
        "vendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = 1953525168\nbus = 1\nvolumes = C D\n\n"
        "[disk b]\nkind = nvme\ndrive = 3\nmodel = ZX Two\nserial = 2\nfirmware = F\n"
        "vendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = 1953525168\nbus = 2\n",
        &error))
        << error;
    zxposix::RegisterResource(RT_GROUP_ICON, IDI_MAIN, kIconDirectory, sizeof(kIconDirectory));
    int commonControlsBefore = CommonControlsInitialised();
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
    // no package is registered: the title of a package without TITLE
    EXPECT_EQ(v.title, L"Package Error");
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
    // both disks are found, but without a package (no SOCID) none is admitted to the list
    const ControlView* list = v.Find(IDC_DISK_LIST);
    EXPECT_TRUE(list->items.empty());
    EXPECT_EQ(state->DiskCount, 2u);
    EXPECT_FALSE(v.Find(IDOK)->enabled);
    EXPECT_TRUE(Exists(state->WorkingFolder));
    EXPECT_EQ(GdiplusStartCount(), 1);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(GdiplusStartCount(), 0);
    EXPECT_EQ(CommonControlsInitialised() - commonControlsBefore, 1);
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
    EXPECT_TRUE(Exists(file.c_str())); // not extracted by this run, so not removed by it
}

TEST_F(MainDialog, TenDeviceChangesWithinOneSecondGiveOneRescanTwoSecondsAfterTheLast) {
    zxposix::SetClockSpeed(4.0);
    HWND d = StartProgram();
    ClearRecords();
    for (int i = 0; i < 10; i++) {
        PostMessageW(d, WM_DEVICECHANGE, 0x0007, 0); // DBT_DEVNODES_CHANGED
        Sleep(10);
    }
    ASSERT_TRUE(WaitUntil([&] { return !Rescans().empty(); }, kWait));
    // A timer left running would fire again 2 seconds after the first; wait past that.
    uint64_t seen = GetTickCount64();
    ASSERT_TRUE(WaitUntil([&] { return GetTickCount64() >= seen + 2500; }, kWait));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
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
    EXPECT_LT(timerTime, last + 3000);
    std::vector<MessageRecord> r = Rescans();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_GE(r[0].timeMs, timerTime);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(MainDialog, ATimerOfAnyIdKillsTheDebounceTimerAndRescans) {
    HWND d = StartProgram();
    // a device change sets timer 1000
    ASSERT_TRUE(PostMessageW(d, WM_DEVICECHANGE, 0x0007, 0));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_TRUE(KillTimer(d, DEVICE_CHANGE_TIMER_ID));
    // set again, then a timer of another id arrives first
    ASSERT_TRUE(PostMessageW(d, WM_DEVICECHANGE, 0x0007, 0));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    ClearRecords();
    ASSERT_TRUE(PostMessageW(d, WM_TIMER, 7, 0));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_FALSE(KillTimer(d, DEVICE_CHANGE_TIMER_ID)); // already killed
    std::vector<MessageRecord> log = MessageLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].controlId, 0);
    EXPECT_EQ(log[0].message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(log[0].wParam, 7u);
    EXPECT_EQ(Rescans().size(), 1u);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(MainDialog, OnlyTheListsSelEndOkRefreshesTheSelection) {
    std::string error;
    ASSERT_TRUE(sim::LoadScenarioText("", &error)) << error; // no disks: the list has no entry
    HWND d = StartProgram();
    AppState* state = GetAppState();
    HWND list = GetDlgItem(d, IDC_DISK_LIST);
    ASSERT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), CB_ERR);
    std::vector<unsigned char> marked(sizeof(DiskRecord), 0x5A);
    std::vector<unsigned char> zeros(sizeof(DiskRecord), 0);
    auto selected = [state] {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&state->SelectedDisk);
        return std::vector<unsigned char>(p, p + sizeof(DiskRecord));
    };
    std::memset(&state->SelectedDisk, 0x5A, sizeof(DiskRecord));
    // CBN_SELCHANGE, CBN_DROPDOWN, CBN_CLOSEUP and CBN_SELENDCANCEL of the list, and
    // notification 9 of another control, change nothing
    for (int n : {1, 7, 8, 10}) {
        SCOPED_TRACE(n);
        SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_DISK_LIST, n), reinterpret_cast<LPARAM>(list));
        EXPECT_EQ(selected(), marked);
    }
    SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_MODEL, 9),
                 reinterpret_cast<LPARAM>(GetDlgItem(d, IDC_MODEL)));
    EXPECT_EQ(selected(), marked);
    // CBN_SELENDOK of the list: no current entry, so the selected disk is filled with zeros
    SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_DISK_LIST, 9), reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(selected(), zeros);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(MainDialog, TheProcedureReturnsOneOnlyForACompletedClose) {
    std::string error;
    ASSERT_TRUE(sim::LoadScenarioText("", &error)) << error;
    {
        std::lock_guard<std::mutex> guard(g_callsLock);
        g_calls.clear();
    }
    HWND d = StartDialog(RecordingProc);
    HWND list = GetDlgItem(d, IDC_DISK_LIST);
    SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_DISK_LIST, 9), reinterpret_cast<LPARAM>(list));
    SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_DISK_LIST, 1), reinterpret_cast<LPARAM>(list));
    SendMessageW(d, WM_DEVICECHANGE, 0x0007, 0);
    SendMessageW(d, WM_TIMER, 1000, 0);
    SendMessageW(d, WM_UPDATE_PROGRESS, 0, 50);
    // busy: the close is refused with a message box, answered here
    AppState* state = GetAppState();
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&state->hWorker),
                               reinterpret_cast<PVOID>(GetCurrentProcess()));
    AnswerMessageBox(IDOK);
    SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&state->hWorker), NULL);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(MessageBoxes().size(), 1u);
    std::vector<ProcCall> want = {
        {WM_INITDIALOG, reinterpret_cast<WPARAM>(list), 0}, // the first control to take focus
        {WM_SETTEXT, 0, 0},                                 // the title, set during initialisation
        {WM_NULL, 0, 0},
        {WM_COMMAND, MAKEWPARAM(500, 9), 0},
        {WM_COMMAND, MAKEWPARAM(500, 1), 0},
        {WM_DEVICECHANGE, 7, 0},
        {WM_TIMER, 1000, 0},
        {0x8030, 0, 0},                    // WM_UPDATE_PROGRESS
        {WM_COMMAND, MAKEWPARAM(2, 0), 0}, // refused
        {WM_COMMAND, MAKEWPARAM(2, 0), 1}, // completed
        {WM_DESTROY, 0, 0},
    };
    std::lock_guard<std::mutex> guard(g_callsLock);
    ASSERT_EQ(g_calls.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_calls[i].message, want[i].message);
        EXPECT_EQ(g_calls[i].wParam, want[i].wParam);
        EXPECT_EQ(g_calls[i].result, want[i].result);
    }
}

TEST_F(MainDialog, CenterWindowCentresOverTheParentTruncating) {
    // an owner and a dialog it owns, each on a thread of its own
    ui_ = std::thread([this] {
        DialogBoxParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDD_MAIN), NULL, PlainProc, 0);
        uiDone_ = true;
    });
    ASSERT_TRUE(WaitUntil([] { return CurrentDialog() != nullptr; }, kWait));
    HWND owner = CurrentDialog();
    std::atomic<bool> secondDone{false};
    std::thread second([owner, &secondDone] {
        DialogBoxParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDD_MAIN), owner, PlainProc, 0);
        secondDone = true;
    });
    struct Ender {
        std::thread& t;
        std::atomic<bool>& done;
        ~Ender() {
            while (!done) {
                if (HWND d = CurrentDialog()) {
                    EndDialog(d, 0);
                }
                WaitUntil([this] { return done.load(); }, std::chrono::milliseconds(50));
            }
            t.join();
        }
    } ender{second, secondDone};
    ASSERT_TRUE(WaitUntil([owner] { return CurrentDialog() != owner; }, kWait));
    HWND owned = CurrentDialog();
    ASSERT_EQ(GetParent(owned), owner);
    DialogView v;
    // 516 x 259 over 777 x 400 at (101, 50): 101 + 261 / 2, 50 + 141 / 2
    ASSERT_TRUE(MoveWindow(owner, 101, 50, 777, 400, TRUE));
    CenterWindow(owned);
    ASSERT_TRUE(ReadDialog(owned, &v));
    EXPECT_EQ(v.window.left, 231);
    EXPECT_EQ(v.window.top, 120);
    EXPECT_EQ(v.window.right - v.window.left, 516);
    EXPECT_EQ(v.window.bottom - v.window.top, 259);
    // over a smaller parent the halves are negative and truncate toward zero:
    // 500 + (301 - 516) / 2 = 500 - 107, 300 + (100 - 259) / 2 = 300 - 79
    ASSERT_TRUE(MoveWindow(owner, 500, 300, 301, 100, TRUE));
    CenterWindow(owned);
    ASSERT_TRUE(ReadDialog(owned, &v));
    EXPECT_EQ(v.window.left, 393);
    EXPECT_EQ(v.window.top, 221);
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

// The program installs the disk library's progress sink at start-up: a report from another
// thread is posted to the dialog, wParam 0 and the percentage as lParam, in report order, and
// the reporter does not wait for the dialog.
TEST_F(MainDialog, DiskLibraryProgressIsPostedToTheDialog) {
    HWND d = StartProgram();
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    ClearRecords();
    std::atomic<DWORD> reporterId{0};
    std::thread reporter([&] {
        reporterId = GetCurrentThreadId();
        DISKLIB_ReportProgress(10);
        DISKLIB_ReportProgress(50);
        DISKLIB_ReportProgress(100);
    });
    reporter.join();
    std::vector<IssuedMessage> issued;
    for (const IssuedMessage& m : IssuedMessages()) {
        if (m.senderThread == reporterId) {
            issued.push_back(m);
        }
    }
    const LPARAM want[3] = {10, 50, 100};
    ASSERT_EQ(issued.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(issued[i].hwnd, d);
        EXPECT_EQ(issued[i].message, 0x8030u); // WM_UPDATE_PROGRESS
        EXPECT_EQ(issued[i].wParam, 0u);
        EXPECT_EQ(issued[i].lParam, want[i]);
        EXPECT_TRUE(issued[i].posted);
    }
    // the last one puts the bar at 100 (no range set)
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_EQ(SendDlgItemMessageW(d, IDC_PROGRESS, PBM_GETPOS, 0, 0), 100);
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
    // high below low: 40 + (30 - 40) x 33 / 100 = 40 - 3.3, truncated toward zero
    state->ProgressLow = 40;
    state->ProgressHigh = 30;
    EXPECT_EQ(MapProgress(33), 37);
}

TEST_F(MainDialog, WaitWithProgressPostsEachSecondAndSendsTheLastPart) {
    zxposix::SetClockSpeed(4.0);
    HWND d = StartProgram();
    struct Want {
        bool posted;
        LPARAM percent;
        uint64_t at; // program milliseconds after the start of the wait
    };
    // How late a message may be issued: the waits of a loaded machine overshoot, and these add
    // up over the seconds of a wait.
    const uint64_t kLate = 600;
    auto check = [&](DWORD total, std::vector<Want> want) {
        SCOPED_TRACE(total);
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
        ClearRecords();
        std::atomic<DWORD> workerId{0};
        std::atomic<uint64_t> start{0};
        std::atomic<uint64_t> end{0};
        std::thread worker([&] {
            workerId = GetCurrentThreadId();
            start = GetTickCount64();
            WaitWithProgress(total);
            end = GetTickCount64();
        });
        worker.join();
        EXPECT_GE(end + 1, start + total); // the clock counts whole milliseconds
        // what the worker issued, in the order it issued it
        std::vector<IssuedMessage> issued;
        for (const IssuedMessage& m : IssuedMessages()) {
            if (m.senderThread == workerId) {
                issued.push_back(m);
            }
        }
        ASSERT_EQ(issued.size(), want.size());
        for (size_t i = 0; i < issued.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(issued[i].hwnd, d);
            EXPECT_EQ(issued[i].message, 0x8030u); // WM_UPDATE_PROGRESS
            EXPECT_EQ(issued[i].wParam, 0u);
            EXPECT_EQ(issued[i].lParam, want[i].percent);
            EXPECT_EQ(issued[i].posted, want[i].posted);
            EXPECT_GE(issued[i].timeMs + 1, start + want[i].at);
            EXPECT_LE(issued[i].timeMs, start + want[i].at + kLate);
        }
        // each reached the dialog, in whatever order the sent one overtook the posted ones
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
        std::vector<std::pair<LPARAM, bool>> handled;
        for (const MessageRecord& r : ProgressMessages()) {
            handled.push_back({r.lParam, r.posted});
        }
        std::sort(handled.begin(), handled.end());
        std::vector<std::pair<LPARAM, bool>> expected;
        for (const Want& w : want) {
            expected.push_back({w.percent, w.posted});
        }
        EXPECT_EQ(handled, expected);
    };
    check(3000, {{true, 33, 1000}, {true, 66, 2000}, {false, 100, 3000}});
    check(1000, {{false, 100, 1000}});
    check(0, {});
    check(2500, {{true, 40, 1000}, {true, 80, 2000}, {false, 100, 2500}});
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Stop(), 0);
}
