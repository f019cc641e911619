// The disk list and the details panel through the program itself: which disks are listed and
// how, the item data, the selection kept across rescans by port, the Disconnect entry while an
// update runs, the idle rescan without disks, the interface texts, and the re-read when the
// user picks a disk.
#include "app/disk_list.h"
#include "app/messages.h"
#include "tests/app/program_fixture.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace zxtest;

namespace {

const ControlView& Control(const DialogView& v, int id) {
    const ControlView* c = v.Find(id);
    EXPECT_NE(c, nullptr) << id;
    static const ControlView none;
    return c != nullptr ? *c : none;
}

// The five panel fields, model to capacity, in template order.
std::vector<std::wstring> Panel(const DialogView& v) {
    return {Control(v, IDC_MODEL).text, Control(v, IDC_SERIAL).text, Control(v, IDC_INTERFACE).text,
            Control(v, IDC_FIRMWARE).text, Control(v, IDC_CAPACITY).text};
}

const std::vector<std::wstring> kEmptyPanel = {L"", L"", L"", L"", L""};

// Marks the program busy, as a running worker does, without a worker.
void SetBusy(bool busy) {
    static int marker;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&GetAppState()->hWorker),
                               busy ? static_cast<PVOID>(&marker) : NULL);
}

class MainDialogDiskList : public ProgramTest {};

} // namespace

// Table index 2 is refused by the SOC rule (and 1 as well by the model rule); it still counts,
// so the entries after it keep their table index as item data.
TEST_F(MainDialogDiskList, ListsTheAdmittedDisksWithTheirTableIndex) {
    struct Case {
        const char* modelName;
        std::vector<std::wstring> entries;
        std::vector<LPARAM> data;
    };
    const Case cases[] = {
        {"", {L"ZX Alpha [C: D: ]", L"ZX Beta (RAW)", L"ZX Delta [E: ]"}, {0, 1, 3}},
        {"|ZX Alpha|ZX Gamma|ZX Delta|", {L"ZX Alpha [C: D: ]", L"ZX Delta [E: ]"}, {0, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modelName);
        UseScenario(NvmeDisk("a", 0, "ZX Alpha", "volumes = C D\n") + NvmeDisk("b", 1, "ZX Beta") +
                    NvmeDisk("c", 2, "ZX Gamma", "vsc_soc_id = 0x5016\n") +
                    NvmeDisk("d", 3, "ZX Delta", "volumes = E\n"));
        keys_["ModelName"] = c.modelName;
        HWND d = Start();
        DialogView v = View(d);
        const ControlView& list = Control(v, IDC_DISK_LIST);
        EXPECT_EQ(list.items, c.entries);
        EXPECT_EQ(list.itemData, c.data);
        EXPECT_EQ(list.curSel, 0);
        EXPECT_EQ(GetAppState()->DiskCount, 4u);
        EXPECT_EQ(Panel(v), (std::vector<std::wstring>{L"ZX Alpha", L"SN000000000000000000",
                                                       L"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4",
                                                       L"041k0207", L"1000 GB"}));
        EXPECT_TRUE(Control(v, IDOK).enabled);
        EXPECT_EQ(Stop(d), 0);
    }
}

TEST_F(MainDialogDiskList, TheSelectedDiskStaysSelectedWhenADiskAppearsBeforeIt) {
    UseScenario(NvmeDisk("late", 1, "ZX Late", "present = no\n") + NvmeDisk("a", 2, "ZX A") +
                NvmeDisk("b", 3, "ZX B"));
    HWND d = Start();
    Pick(d, 1);
    EXPECT_EQ(Panel(View(d))[0], L"ZX B");
    ChangeDisks(d, [] { ASSERT_TRUE(sim::AddDisk("late")); });
    DialogView v = View(d);
    const ControlView& list = Control(v, IDC_DISK_LIST);
    EXPECT_EQ(list.items,
              (std::vector<std::wstring>{L"ZX Late (RAW)", L"ZX A (RAW)", L"ZX B (RAW)"}));
    EXPECT_EQ(list.itemData, (std::vector<LPARAM>{0, 1, 2}));
    EXPECT_EQ(list.curSel, 2);
    EXPECT_EQ(Panel(v)[0], L"ZX B");
    EXPECT_EQ(Panel(v)[1], L"SN000000000000000003");
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.SerialNumber), L"SN000000000000000003");
    EXPECT_EQ(Stop(d), 0);
}

// Two disks on one controller share a port id: the rescan keeps the disk the user picked (the
// one with its serial number and model) selected, not the last one at the port, which RUN would
// then have updated.
TEST_F(MainDialogDiskList, OfDisksSharingThePortThePickedOneStaysSelected) {
    std::string disks = "[controller nv]\nkind = nvme\nbus = 2\n\n";
    for (int drive : {2, 3}) {
        disks += "[disk d" + std::to_string(drive) + "]\nkind = nvme\ncontroller = nv\n" +
                 "scsi_target = " + std::to_string(drive) + "\ndrive = " + std::to_string(drive) +
                 "\nmodel = ZX " + std::to_string(drive) + "\nserial = " + Serial(drive) +
                 "\nfirmware = 041k0207\nvendor_id = 0x1E5C\nssvid = 0x1E5C\n" +
                 "sectors = 1953525168\nvsc = 1\nvsc_soc_id = 0x3C71\n\n";
    }
    UseScenario(disks);
    HWND d = Start();
    Pick(d, 0);
    ASSERT_EQ(GetAppState()->Disks[0].iPort, GetAppState()->Disks[1].iPort);
    TimerRescan(d);
    DialogView v = View(d);
    EXPECT_EQ(Control(v, IDC_DISK_LIST).items,
              (std::vector<std::wstring>{L"ZX 2 (RAW)", L"ZX 3 (RAW)"}));
    EXPECT_EQ(Control(v, IDC_DISK_LIST).curSel, 0);
    EXPECT_EQ(Panel(v)[1], L"SN000000000000000002");
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.SerialNumber), L"SN000000000000000002");
    EXPECT_EQ(Stop(d), 0);
}

// A rescan asked for while another runs is not lost: the running one, which read a disk before
// that disk changed, runs once more and the panel shows what the disk now reports. (The update
// worker's last rescan is such a request when a timer rescan is running.)
TEST_F(MainDialogDiskList, ARescanAskedForWhileOneRunsIsRunAfterIt) {
    UseScenario(NvmeDisk("a", 1, "ZX A") + NvmeDisk("b", 2, "ZX B"));
    HWND d = Start();
    ASSERT_EQ(Panel(View(d))[3], L"041k0207");
    ASSERT_TRUE(sim::InjectFault("b", "slow:1"));
    std::mutex lock;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;
    std::thread::id runner;
    // The running rescan waits at its request to b, after it has read a.
    sim::SetSlowWaitHook([&](uint32_t) {
        std::unique_lock<std::mutex> guard(lock);
        if (std::this_thread::get_id() != runner || holding) {
            return;
        }
        holding = true;
        changed.notify_all();
        changed.wait(guard, [&] { return released; });
    });
    std::thread first([&] {
        {
            std::lock_guard<std::mutex> guard(lock);
            runner = std::this_thread::get_id();
        }
        Rescan(d, RESCAN_AFTER_CHANGE);
    });
    bool held;
    {
        std::unique_lock<std::mutex> guard(lock);
        held = changed.wait_for(guard, kWait, [&] { return holding; });
    }
    EXPECT_TRUE(held);
    if (held) {
        EXPECT_TRUE(sim::WithDrive(
            "a", [](sim::NvmeDrive& drive) { drive.State().firmware = "041k0300"; }));
        Rescan(d, RESCAN_AFTER_CHANGE); // returns at once: the running rescan holds the guard
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
    }
    changed.notify_all();
    first.join();
    sim::SetSlowWaitHook(nullptr);
    DialogView v = View(d);
    EXPECT_EQ(Control(v, IDC_DISK_LIST).curSel, 0);
    EXPECT_EQ(Panel(v)[3], L"041k0300");
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.FirmwareRev), L"041k0300");
    EXPECT_EQ(Stop(d), 0);
}

// The old disk is gone while idle: the first entry is selected and shown, but the selected disk
// keeps the old record until the user picks an entry or presses RUN.
TEST_F(MainDialogDiskList, AnIdleRescanWithoutTheSelectedDiskSelectsTheFirstEntry) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
    HWND d = Start();
    Pick(d, 1);
    ChangeDisks(d, [] { ASSERT_TRUE(sim::RemoveDisk("b")); });
    DialogView v = View(d);
    EXPECT_EQ(Control(v, IDC_DISK_LIST).items, (std::vector<std::wstring>{L"ZX A (RAW)"}));
    EXPECT_EQ(Control(v, IDC_DISK_LIST).curSel, 0);
    EXPECT_EQ(Panel(v)[1], L"SN000000000000000002");
    EXPECT_TRUE(Control(v, IDOK).enabled);
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.SerialNumber), L"SN000000000000000003");
    EXPECT_EQ(Stop(d), 0);
}

TEST_F(MainDialogDiskList, AnIdleRescanWithNoDiskClearsThePanelAndDisablesRun) {
    UseScenario(NvmeDisk("a", 2, "ZX A"));
    HWND d = Start();
    DialogView before = View(d);
    ASSERT_EQ(Panel(before)[0], L"ZX A");
    ASSERT_TRUE(Control(before, IDOK).enabled);
    ChangeDisks(d, [] { ASSERT_TRUE(sim::RemoveDisk("a")); });
    DialogView v = View(d);
    EXPECT_TRUE(Control(v, IDC_DISK_LIST).items.empty());
    EXPECT_EQ(Control(v, IDC_DISK_LIST).curSel, -1);
    EXPECT_EQ(Panel(v), kEmptyPanel);
    EXPECT_EQ(Control(v, IDC_STATUS).text, L"");
    EXPECT_FALSE(Control(v, IDOK).enabled);
    EXPECT_EQ(Stop(d), 0);
}

// While an update runs, a rescan that misses the selected disk lists the others and adds and
// selects "<old entry> - Disconnect" with the disk count as item data; the panel and RUN stay.
TEST_F(MainDialogDiskList, ABusyRescanMarksTheGoneDiskDisconnect) {
    struct Case {
        const char* name;
        std::vector<const char*> removed;
        std::vector<std::wstring> entries;
        std::vector<LPARAM> data;
    };
    const Case cases[] = {
        {"others remain",
         {"b"},
         {L"ZX A (RAW)", L"ZX C [F: ]", L"ZX B [E: ] - Disconnect"},
         {0, 1, 2}},
        {"nothing listed", {"a", "b", "c"}, {L"ZX B [E: ] - Disconnect"}, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B", "volumes = E\n") +
                    NvmeDisk("c", 4, "ZX C", "volumes = F\n"));
        HWND d = Start();
        Pick(d, 1);
        // the pick's re-read probes the disk alone, without its volumes; the rescan that finds
        // it again copies the scan's record, letters and all, into the selected disk
        TimerRescan(d);
        DialogView before = View(d);
        SetBusy(true);
        ChangeDisks(d, [&] {
            for (const char* disk : c.removed) {
                ASSERT_TRUE(sim::RemoveDisk(disk));
            }
        });
        DialogView v = View(d);
        SetBusy(false);
        const ControlView& list = Control(v, IDC_DISK_LIST);
        EXPECT_EQ(list.items, c.entries);
        EXPECT_EQ(list.itemData, c.data);
        EXPECT_EQ(list.curSel, static_cast<int>(c.entries.size()) - 1);
        EXPECT_EQ(Panel(v), Panel(before));
        EXPECT_EQ(Panel(v)[0], L"ZX B");
        EXPECT_TRUE(Control(v, IDOK).enabled); // left alone; the update disables it
        EXPECT_EQ(Stop(d), 0);
    }
}

// While an update runs and the disk is still there, it stays selected and the panel shows what
// the rescan found for it now.
TEST_F(MainDialogDiskList, ABusyRescanThatFindsTheDiskShowsItsNewRecord) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
    HWND d = Start();
    Pick(d, 1);
    ASSERT_TRUE(
        sim::WithDrive("b", [](sim::NvmeDrive& drive) { drive.State().firmware = "041k0208"; }));
    SetBusy(true);
    TimerRescan(d);
    DialogView v = View(d);
    SetBusy(false);
    EXPECT_EQ(Control(v, IDC_DISK_LIST).items,
              (std::vector<std::wstring>{L"ZX A (RAW)", L"ZX B (RAW)"}));
    EXPECT_EQ(Control(v, IDC_DISK_LIST).curSel, 1);
    EXPECT_EQ(Panel(v)[3], L"041k0208");
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.FirmwareRev), L"041k0208");
    EXPECT_EQ(Stop(d), 0);
}

TEST_F(MainDialogDiskList, TheDetailsPanelShowsTheInterfaceAndCapacityOfEachCommandType) {
    struct Case {
        int32_t cmdType;
        int64_t port;
        int32_t speed;
        uint32_t width;
        uint32_t capacity;
        const wchar_t* interfaceText;
        const wchar_t* capacityText;
    };
    const Case cases[] = {
        {0, 1203, 0, 0, 1000, L"ASMedia Bridge NVME to USB-3", L"1000 GB"},
        {0, -1203, 0, 0, 1000, L"ASMedia Bridge NVME to USB-13", L"1000 GB"},
        {1, 204, 0, 0, 512, L"JMicron Bridge NVME to USB-4", L"512 GB"},
        {4, 10204, 0, 0, 1000, L"Realtek Bridge NVME to USB-4", L"1000 GB"},
        {2, 7, 1, 1, 16, L"PCIE Gen1 Signaling Speed (2.5 Gbps) x 1", L"16 GB"},
        {2, 7, 2, 2, 16, L"PCIE Gen2 Signaling Speed (5.0 Gbps) x 2", L"16 GB"},
        {2, 7, 3, 4, 16, L"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4", L"16 GB"},
        {2, 7, 4, 4, 16, L"PCIE Gen4 Signaling Speed (16.0 Gbps) x 4", L"16 GB"},
        {2, 7, 5, 16, 16, L"PCIE Gen5 Signaling Speed (32.0 Gbps) x 16", L"16 GB"},
        {2, 7, 0, 4, 16, L" x 4", L"16 GB"},
        {2, 7, 6, 4, 16, L" x 4", L"16 GB"},
        {2, 7, -1, 4, 16, L" x 4", L"16 GB"},
        {3, 7, 3, 4, 2000, L"Intel Rapid Storage Technology", L"2000 GB"},
        {16, 0, 1, 0, 480, L"Serial ATA Gen1 Signaling Speed (1.5 Gbps)", L"480 GB"},
        {17, 0, 2, 0, 480, L"Serial ATA Gen2 Signaling Speed (3.0 Gbps)", L"480 GB"},
        {18, 0, 3, 0, 480, L"Serial ATA Gen3 Signaling Speed (6.0 Gbps)", L"480 GB"},
        {16, 0, 4, 0, 480, L"", L"480 GB"},
        {16, 0, 0, 0, 480, L"", L"480 GB"},
        {5, 1203, 3, 4, 480, L"", L"480 GB"},
        {255, 1203, 3, 4, 480, L"", L"480 GB"},
        {2, 7, 3, 4, 0xFFFFFFFFu, L"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4", L"-1 GB"},
    };
    UseScenario("");
    HWND d = Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cmdType << " " << c.port << " " << c.speed);
        DiskRecord r;
        std::memset(&r, 0, sizeof(r));
        wcscpy(r.Model, L"M");
        wcscpy(r.SerialNumber, L"S");
        wcscpy(r.FirmwareRev, L"F");
        r.iCmdType = c.cmdType;
        r.iPort = c.port;
        r.iLinkSpeed = c.speed;
        r.iLinkWidth = c.width;
        r.iCapacityGB = c.capacity;
        ShowDiskDetails(d, &r);
        DialogView v = View(d);
        EXPECT_EQ(Panel(v),
                  (std::vector<std::wstring>{L"M", L"S", c.interfaceText, L"F", c.capacityText}));
    }
    EXPECT_EQ(Stop(d), 0);
}

// Picking an entry re-reads the disk: the panel shows what the disk reports now, the status
// line is cleared and the bar set to 0 directly.
TEST_F(MainDialogDiskList, PickingAnEntryReReadsTheDiskAndResetsTheBar) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
    HWND d = Start();
    ASSERT_TRUE(
        sim::WithDrive("b", [](sim::NvmeDrive& drive) { drive.State().firmware = "041k0208"; }));
    SendDlgItemMessageW(d, IDC_PROGRESS, PBM_SETPOS, 50, 0);
    Pick(d, 1);
    DialogView v = View(d);
    EXPECT_EQ(Panel(v), (std::vector<std::wstring>{L"ZX B", L"SN000000000000000003",
                                                   L"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4",
                                                   L"041k0208", L"1000 GB"}));
    EXPECT_EQ(Control(v, IDC_PROGRESS).pos, 0);
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.FirmwareRev), L"041k0208");
    EXPECT_EQ(std::wstring(GetAppState()->Disks[1].FirmwareRev), L"041k0208");
    EXPECT_EQ(Stop(d), 0);
}

// A disk that cannot be opened is tried 30 times, one second each, each miss posting its share;
// the bar is set to 0 at the end, and the posted shares are shown only afterwards.
TEST_F(MainDialogDiskList, PickingADiskThatIsGoneTriesThirtyTimes) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
    HWND d = Start();
    ASSERT_TRUE(sim::InjectFault("b", "open_fail")); // b stays in the PC but cannot be opened
    ClearRecords();
    Pick(d, 1);
    HWND bar = GetDlgItem(d, IDC_PROGRESS);
    std::vector<std::pair<UINT, LPARAM>> got; // progress posts to the dialog, bar positions
    for (const IssuedMessage& m : IssuedMessages()) {
        if (m.hwnd == d && m.message == WM_UPDATE_PROGRESS) {
            EXPECT_TRUE(m.posted);
            got.push_back({m.message, m.lParam});
        } else if (m.hwnd == bar && m.message == PBM_SETPOS) {
            got.push_back({m.message, static_cast<LPARAM>(m.wParam)});
        }
    }
    const LPARAM shares[30] = {3,  6,  10, 13, 16, 20, 23, 26, 30, 33, 36, 40, 43, 46, 50,
                               53, 56, 60, 63, 66, 70, 73, 76, 80, 83, 86, 90, 93, 96, 100};
    std::vector<std::pair<UINT, LPARAM>> want;
    for (LPARAM s : shares) {
        want.push_back({WM_UPDATE_PROGRESS, s});
    }
    want.push_back({PBM_SETPOS, 0});
    for (LPARAM s : shares) {
        want.push_back({PBM_SETPOS, s}); // no range set: a share maps to itself
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(Panel(View(d))[0], L"ZX B"); // the record as it was
    EXPECT_EQ(Stop(d), 0);
}

// After an update whose disk is gone, the Disconnect entry names no disk: picking it reads
// nothing and changes neither the selected disk nor the panel.
TEST_F(MainDialogDiskList, PickingTheDisconnectEntryChangesNothing) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
    HWND d = Start();
    Pick(d, 1);
    SetBusy(true);
    ChangeDisks(d, [] { ASSERT_TRUE(sim::RemoveDisk("b")); });
    SetBusy(false);
    DialogView before = View(d);
    ASSERT_EQ(Control(before, IDC_DISK_LIST).items,
              (std::vector<std::wstring>{L"ZX A (RAW)", L"ZX B (RAW) - Disconnect"}));
    DiskRecord selected = GetAppState()->SelectedDisk;
    ClearRecords();
    Pick(d, 1);
    DialogView v = View(d);
    EXPECT_EQ(Panel(v), Panel(before));
    EXPECT_EQ(std::memcmp(&selected, &GetAppState()->SelectedDisk, sizeof(DiskRecord)), 0);
    for (const IssuedMessage& m : IssuedMessages()) {
        EXPECT_NE(m.message, static_cast<UINT>(WM_UPDATE_PROGRESS));
    }
    EXPECT_EQ(Stop(d), 0);
}
