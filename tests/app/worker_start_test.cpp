// StartWorker with routines that stand in for the update workers: one that ends at once, a slot
// already taken, and a worker that reads and re-reads the selected disk while timer rescans
// rewrite the Disk table and the selected disk on the dialog thread (run under ThreadSanitizer
// too).
#include "app/disk_list.h"
#include "app/disk_table.h"
#include "app/launch.h"
#include "app/main_dialog.h"
#include "tests/app/program_fixture.h"

#include <condition_variable>
#include <mutex>

using namespace zxtest;

namespace {

const std::chrono::seconds kLongest{30}; // a fail-safe only: every wait ends on an event

// What the routines tell the test, under its lock.
struct Reports {
    std::mutex lock;
    std::condition_variable changed;
    int ended = 0;
    int withoutHandle = 0; // routines that found the slot empty when they ran
    int reads = 0;
    int tornReads = 0;
    DWORD threadId = 0;
};
Reports g_reports;

PVOID volatile* SharedSlot(LPVOID slot) {
    return static_cast<PVOID volatile*>(slot);
}

// The last act of every worker: empty the slot and release the handle taken from it.
void EndWorker(LPVOID slot) {
    PVOID mine = InterlockedExchangePointer(SharedSlot(slot), NULL);
    if (mine != NULL) {
        CloseHandle(mine);
    }
    std::lock_guard<std::mutex> guard(g_reports.lock);
    g_reports.withoutHandle += mine == NULL ? 1 : 0;
    g_reports.ended++;
    g_reports.changed.notify_all();
}

DWORD WINAPI EndAtOnce(LPVOID slot) {
    EndWorker(slot);
    return 0;
}

void WaitForEnded(int count) {
    std::unique_lock<std::mutex> guard(g_reports.lock);
    ASSERT_TRUE(
        g_reports.changed.wait_for(guard, kLongest, [count] { return g_reports.ended >= count; }));
}

void ResetReports() {
    std::lock_guard<std::mutex> guard(g_reports.lock);
    g_reports.ended = 0;
    g_reports.withoutHandle = 0;
    g_reports.reads = 0;
    g_reports.tornReads = 0;
    g_reports.threadId = 0;
}

class MainDialogWorkerStart : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        ResetReports();
    }
};

} // namespace

// The handle is in the slot before the routine runs, so a routine that ends at once empties it
// and the program is idle again: no dead handle is left behind.
TEST_F(MainDialogWorkerStart, AWorkerThatEndsAtOnceFindsItsHandleInTheSlot) {
    for (int i = 1; i <= 200; i++) {
        HANDLE slot = NULL;
        ASSERT_EQ(StartWorker(&slot, EndAtOnce), 1);
        WaitForEnded(i);
        EXPECT_EQ(
            InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&slot), NULL, NULL),
            nullptr);
    }
    std::lock_guard<std::mutex> guard(g_reports.lock);
    EXPECT_EQ(g_reports.withoutHandle, 0);
}

TEST_F(MainDialogWorkerStart, ATakenSlotRefusesTheStart) {
    InitAppState("/debug");
    static int marker;
    HANDLE slot = &marker;
    EXPECT_EQ(StartWorker(&slot, EndAtOnce), 0);
    EXPECT_EQ(slot, static_cast<HANDLE>(&marker));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Thread is Running"});
}

namespace {

std::atomic<bool> g_stopReading{false};
std::atomic<int64_t> g_portOfB{0};

// Reads and re-reads the selected disk until told to stop, checking that every copy is a whole
// record of disk b, then rescans as the update worker's last step does.
DWORD WINAPI RereadingWorker(LPVOID slot) {
    {
        std::lock_guard<std::mutex> guard(g_reports.lock);
        g_reports.threadId = GetCurrentThreadId();
    }
    const std::wstring serial = W(Serial(3));
    while (!g_stopReading) {
        DiskRecord r;
        ReadSelectedDisk(&r);
        bool whole = std::wstring(r.Model) == L"ZX B" && std::wstring(r.SerialNumber) == serial &&
                     r.iPort == g_portOfB && std::wstring(r.DevicePath) == L"\\\\.\\PhysicalDrive3";
        RereadSelectedDisk(1);
        std::lock_guard<std::mutex> guard(g_reports.lock);
        g_reports.reads++;
        g_reports.tornReads += whole ? 0 : 1;
        g_reports.changed.notify_all();
    }
    Rescan(GetAppState()->hDialog, RESCAN_AFTER_CHANGE);
    EndWorker(slot);
    return 1;
}

class MainDialogRescanOverlap : public MainDialogWorkerStart {};

} // namespace

// The device-change rescans on the dialog thread, with disk c coming and going, overlap a worker
// that keeps reading and re-reading the selected disk b. Every copy it gets is whole, nothing
// deadlocks, and the worker's own rescan at the end still finds b and shows it. The worker never
// waits, so program time stands still while it runs and the device-change timer cannot come due:
// the test posts the timer's WM_TIMER itself after each change, and the dialog rescans at once,
// while the worker reads.
TEST_F(MainDialogRescanOverlap, TimerRescansOverlapAWorkerRereadingTheSelectedDisk) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B") + NvmeDisk("c", 4, "ZX C"));
    HWND d = Start();
    Pick(d, 1);
    DiskRecord b;
    ReadSelectedDisk(&b);
    ASSERT_EQ(std::wstring(b.Model), L"ZX B");
    g_portOfB = b.iPort;
    g_stopReading = false;
    ASSERT_EQ(StartWorker(&GetAppState()->hWorker, RereadingWorker), 1);
    for (int i = 0; i < 20; i++) {
        ChangeDisks(d, [i, d] {
            ASSERT_TRUE(i % 2 == 0 ? sim::RemoveDisk("c") : sim::AddDisk("c"));
            ASSERT_TRUE(PostMessageW(d, WM_TIMER, DEVICE_CHANGE_TIMER_ID, 0));
        });
    }
    {
        std::unique_lock<std::mutex> guard(g_reports.lock);
        ASSERT_TRUE(
            g_reports.changed.wait_for(guard, kLongest, [] { return g_reports.reads > 0; }));
    }
    ClearRecords();
    g_stopReading = true;
    WaitForEnded(1);
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_EQ(IsBusy(), 0);
    DWORD workerId;
    {
        std::lock_guard<std::mutex> guard(g_reports.lock);
        EXPECT_GT(g_reports.reads, 0);
        EXPECT_EQ(g_reports.tornReads, 0);
        EXPECT_EQ(g_reports.withoutHandle, 0);
        workerId = g_reports.threadId;
    }
    int workerRescans = 0;
    for (const IssuedMessage& m : IssuedMessages()) {
        if (m.senderThread == workerId && m.controlId == IDC_DISK_LIST &&
            m.message == CB_RESETCONTENT) {
            workerRescans++;
        }
    }
    EXPECT_EQ(workerRescans, 1);
    DialogView v = View(d);
    const ControlView* list = v.Find(IDC_DISK_LIST);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->items,
              (std::vector<std::wstring>{L"ZX A (RAW)", L"ZX B (RAW)", L"ZX C (RAW)"}));
    EXPECT_EQ(list->curSel, 1);
    EXPECT_EQ(v.Find(IDC_MODEL)->text, L"ZX B");
    EXPECT_EQ(Stop(d), 0);
}
