// RUN through the program itself: the checks in their order with their refusal texts, with and
// without "/debug", the checks that are skipped, the package's question, and the start of the
// update.
#include "app/disk_table.h"
#include "app/messages.h"
#include "tests/app/program_fixture.h"

#include <algorithm>

using namespace zxtest;

namespace {

// MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2: the question opens on No, so that Enter pressed
// twice never starts an update.
const UINT kQuestionType = 0x134;
const UINT kPlainType = 0x00; // MB_OK, no icon

bool Enabled(HWND d, int id) {
    return IsWindowEnabled(GetDlgItem(d, id)) != FALSE;
}

// The Debug log from the first "Press OK" on.
std::vector<std::string> FromPressOk(const std::vector<std::string>& lines) {
    auto at = std::find(lines.begin(), lines.end(), "Press OK");
    return std::vector<std::string>(at, lines.end());
}

class MainDialogRun : public ProgramTest {
protected:
    // One disk a (extra lines of NvmeDisk()), the package's keys over BaseKeys(), its NandMap
    // and its one image A.fw; the program started with commandLine.
    HWND StartOn(const std::map<std::string, std::string>& keys, const std::string& nandMap,
                 const std::string& disk, const zxpkg::ImageRecipe& image,
                 const std::string& commandLine) {
        UseScenario(NvmeDisk("a", 2, "ZX A", disk));
        keys_ = BaseKeys();
        for (const auto& k : keys) {
            keys_[k.first] = k.second;
        }
        nandMap_ = nandMap;
        images_ = {{"A.fw", image}};
        ClearLog();
        ClearRecords();
        return Start(commandLine);
    }
};

// One package and one disk; RUN on the disk refuses with text.
struct Refusal {
    const char* name;
    std::map<std::string, std::string> keys; // replacing BaseKeys()
    std::string nandMap;                     // replacing the fixture's
    std::string disk;                        // extra lines of NvmeDisk()
    zxpkg::ImageRecipe image;
    std::string text;
};

} // namespace

// A disk failing several checks shows the first; without "/debug" every refusal reads "Do not
// need to update.". The box has the title as caption, an OK button and no icon, and RUN and the
// list stay enabled.
TEST_F(MainDialogRun, RefusesWithTheFirstFailedCheck) {
    zxpkg::ImageRecipe newerDrvInfo = MatchingImage();
    newerDrvInfo.versionParts = {"05", "1k", "02", "07"};
    zxpkg::ImageRecipe otherFtl = MatchingImage();
    otherFtl.ftlBuildNumber = 0x00010299;
    zxpkg::ImageRecipe both = newerDrvInfo;
    both.ftlBuildNumber = 0x00010299;
    const std::string map = "9BC5587130_1=A.fw\n";
    const Refusal cases[] = {
        {"revision not in the list",
         {{"FWVersion", "|041k0300|041k0301|"}},
         map,
         "",
         MatchingImage(),
         "Limit FW Versoin : |041k0300|041k0301| (Disk Version : |041k0207|)"},
        {"revision and image",
         {{"FWVersion", "|041k0300|"}},
         "",
         "",
         both,
         "Limit FW Versoin : |041k0300| (Disk Version : |041k0207|)"},
        {"no image",
         {},
         "2CC30832E604_1=A.fw\n",
         "",
         MatchingImage(),
         "No this fw, Lun=1, NAND=9B C5 58 71 30 00"},
        {"no image for LUN class 2",
         {},
         "2CC30832E604_1=A.fw\n2CC30832E6_1=A.fw\n",
         "vsc_nand_id = 2CC30832E604\nvsc_lun = 4\n",
         MatchingImage(),
         "No this fw, Lun=4, NAND=2C C3 08 32 E6 04"},
        {"image file missing",
         {},
         "9BC5587130_1=B.fw\n",
         "",
         both,
         "No this fw, Lun=1, NAND=9B C5 58 71 30 00"},
        {"drive information version",
         {},
         map,
         "",
         newerDrvInfo,
         "Limit Drv FW Version : 041k0207, BinFileVer : 051k0207, Compare 2 Part"},
        {"drive information version and FTL",
         {},
         map,
         "",
         both,
         "Limit Drv FW Version : 041k0207, BinFileVer : 051k0207, Compare 2 Part"},
        {"drive information version, four parts",
         {{"iInternalFWVersionCheckPart", "4"}},
         map,
         "vsc_drvinfo_version = 041k0208\n",
         MatchingImage(),
         "Limit Drv FW Version : 041k0208, BinFileVer : 041k0207, Compare 4 Part"},
        {"FTL build number", {}, map, "", otherFtl, "Limit iFtlBuildNum : 0x00010203, 0x00010299"},
    };
    for (const Refusal& c : cases) {
        for (bool debug : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (debug ? " /debug" : ""));
            HWND d = StartOn(c.keys, c.nandMap, c.disk, c.image, debug ? "/debug" : "");
            MessageBoxRecord box = PressRun(d);
            EXPECT_EQ(box.text, debug ? W(c.text) : L"Do not need to update.");
            EXPECT_EQ(box.caption, L"Test");
            EXPECT_EQ(box.type, kPlainType);
            Answer(d, IDOK);
            EXPECT_EQ(MessageBoxes().size(), 1u);
            EXPECT_TRUE(Enabled(d, IDOK));
            EXPECT_TRUE(Enabled(d, IDC_DISK_LIST));
            EXPECT_EQ(IsBusy(), 0);
            if (debug) {
                std::vector<std::string> log = FromPressOk(LogLines());
                ASSERT_FALSE(log.empty());
                EXPECT_EQ(log.back(), c.text);
            }
            EXPECT_EQ(Stop(d), 0);
        }
    }
}

// Disks that pass: a revision listed in another letter case, and each check skipped by its
// condition although the disk would fail it. RUN then asks the package's question.
TEST_F(MainDialogRun, AsksThePackagesQuestionWhenEveryCheckPassesOrIsSkipped) {
    zxpkg::ImageRecipe newerDrvInfo = MatchingImage();
    newerDrvInfo.versionParts = {"05", "1k", "02", "07"};
    zxpkg::ImageRecipe otherFtl = MatchingImage();
    otherFtl.ftlBuildNumber = 0x00010299;
    const std::string map = "9BC5587130_1=A.fw\n";
    struct Pass {
        const char* name;
        std::map<std::string, std::string> keys;
        std::string nandMap;
        std::string disk;
        zxpkg::ImageRecipe image;
        bool ftlCheckRemoved;
    };
    const Pass cases[] = {
        {"revision in another case",
         {{"FWVersion", "|041K0300|041K0207|"}},
         map,
         "",
         MatchingImage(),
         false},
        {"empty FWVersion",
         {{"FWVersion", ""}},
         map,
         "firmware = ZZ99ZZ99\nvsc_drvinfo_version = 041k0207\n",
         MatchingImage(),
         false},
        {"check part 0", {{"iInternalFWVersionCheckPart", "0"}}, map, "", newerDrvInfo, false},
        // a Drive information block whose version field is empty
        {"no drive information version",
         {},
         map,
         "drvinfo = 5A00713C 000000000000000000000000 9BC558713000 " + std::string(100, '0') +
             " 03020100\n",
         newerDrvInfo,
         false},
        // the vendor fields come from the MP information block: no bDrvInfoValid
        {"no drive information", {}, map, "vsc_drvinfo = no\n", otherFtl, false},
        {"FTL check removed", {{"bRemoveFtlBuildNumCheck", "1"}}, map, "", otherFtl, true},
    };
    for (const Pass& c : cases) {
        SCOPED_TRACE(c.name);
        HWND d = StartOn(c.keys, c.nandMap, c.disk, c.image, "/debug");
        MessageBoxRecord box = PressRun(d);
        EXPECT_EQ(box.text, L"Update now?");
        EXPECT_EQ(box.type, kQuestionType);
        Answer(d, IDNO);
        std::vector<std::string> log = FromPressOk(LogLines());
        EXPECT_EQ(std::count(log.begin(), log.end(), "Remove FTL Build Num Check"),
                  c.ftlCheckRemoved ? 1 : 0);
        EXPECT_EQ(Stop(d), 0);
    }
}

// No to the question: RUN and the list stay enabled, no worker starts, nothing more is shown
// and the disk is not opened for an update.
TEST_F(MainDialogRun, AnsweringNoChangesNothing) {
    UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
    keys_["BeforeMessage"] = "Warning !<BR>Data may be lost.";
    HWND d = Start("/debug");
    Pick(d, 1);
    ClearLog();
    MessageBoxRecord box = PressRun(d);
    EXPECT_EQ(box.text, L"Warning !\r\nData may be lost.");
    EXPECT_EQ(box.caption, L"Test");
    EXPECT_EQ(box.type, kQuestionType);
    EXPECT_FALSE(IsWindowEnabled(d)); // the box is modal
    Answer(d, IDNO);
    EXPECT_EQ(MessageBoxes().size(), 1u);
    EXPECT_TRUE(Enabled(d, IDOK));
    EXPECT_TRUE(Enabled(d, IDC_DISK_LIST));
    EXPECT_EQ(IsBusy(), 0);
    std::vector<std::string> log = LogLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), std::string(52, '-')), 0);
    EXPECT_EQ(std::wstring(GetAppState()->SelectedDisk.SerialNumber), W(Serial(3)));
    EXPECT_EQ(Stop(d), 0);
}

// An empty BeforeMessage starts the update at once: RUN and the list are disabled and the rule
// traced before the worker runs; they stay disabled until the outcome box is answered.
TEST_F(MainDialogRun, AnEmptyQuestionStartsTheUpdateWithoutAsking) {
    UseScenario(NvmeDisk("a", 2, "ZX A"));
    keys_["BeforeMessage"] = "";
    keys_["AfterMessage"] = "Done";
    HWND d = Start("/debug");
    ClearLog();
    // the first box is the outcome of the update: no question came before it
    MessageBoxRecord box = PressRun(d);
    EXPECT_EQ(box.text, L"Done");
    EXPECT_EQ(box.caption, L"Test");
    EXPECT_EQ(box.type, kPlainType);
    EXPECT_FALSE(Enabled(d, IDOK));
    EXPECT_FALSE(Enabled(d, IDC_DISK_LIST));
    Answer(d, IDOK);
    EXPECT_EQ(MessageBoxes().size(), 1u);
    EXPECT_TRUE(Enabled(d, IDOK));
    EXPECT_TRUE(Enabled(d, IDC_DISK_LIST));
    // the worker posts its result, then empties the slot and traces the rule as its last act
    const std::string rule(52, '-');
    std::vector<std::string> log;
    ASSERT_TRUE(WaitUntil(
        [&] {
            log = FromPressOk(LogLines());
            return std::count(log.begin(), log.end(), rule) == 2;
        },
        kWait));
    EXPECT_EQ(IsBusy(), 0);
    // The rule was written under the debug output's lock; taking that lock orders the rest of
    // the test, and the next test's fresh Application state, after the worker's last trace.
    OutputDebugStringW(L"");
    // the worker's lines lie between the two rules, the second its very last
    EXPECT_EQ(log.back(), rule);
    EXPECT_EQ(Stop(d), 0);
}

// A rescan while the question is open (a disk appearing before the selected one moves it to
// another table slot, and the selected disk now reports another revision) rewrites the selected
// disk as one whole record, and Yes updates that disk.
TEST_F(MainDialogRun, ARescanUnderTheQuestionKeepsTheSelectedDiskWhole) {
    UseScenario(NvmeDisk("late", 1, "ZX Late", "present = no\n") + NvmeDisk("a", 2, "ZX A") +
                NvmeDisk("b", 3, "ZX B"));
    keys_["AfterMessage"] = "Done";
    HWND d = Start("/debug");
    Pick(d, 1);
    MessageBoxRecord box = PressRun(d);
    EXPECT_EQ(box.text, L"Update now?");
    ChangeDisks(d, [] {
        ASSERT_TRUE(sim::WithDrive(
            "b", [](sim::NvmeDrive& drive) { drive.State().firmware = "041k0208"; }));
        ASSERT_TRUE(sim::AddDisk("late"));
    });
    const DialogView v = View(d);
    ASSERT_NE(v.Find(IDC_DISK_LIST), nullptr);
    EXPECT_EQ(v.Find(IDC_DISK_LIST)->itemData, (std::vector<LPARAM>{0, 1, 2}));
    EXPECT_EQ(v.Find(IDC_DISK_LIST)->curSel, 2);
    DiskRecord listed;
    uint32_t generation = 0;
    ASSERT_TRUE(ReadListedDisk(2, &listed, &generation));
    EXPECT_EQ(std::wstring(listed.SerialNumber), L"SN000000000000000003");
    EXPECT_EQ(std::wstring(listed.FirmwareRev), L"041k0208");
    EXPECT_EQ(memcmp(&GetAppState()->SelectedDisk, &listed, sizeof(DiskRecord)), 0);
    ClearLog();
    AnswerMessageBox(IDYES);
    MessageBoxRecord done;
    ASSERT_TRUE(
        WaitUntil([&] { return MessageBoxes().size() == 2 && OpenMessageBox(&done); }, kWait));
    EXPECT_EQ(done.text, L"Done");
    Answer(d, IDOK);
    const std::string rule(52, '-');
    std::vector<std::string> log;
    ASSERT_TRUE(WaitUntil(
        [&] {
            log = LogLines();
            return std::count(log.begin(), log.end(), rule) == 2;
        },
        kWait));
    OutputDebugStringW(L"");
    auto named = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return line.find("PhysicalDrive") != std::string::npos;
    });
    ASSERT_NE(named, log.end());
    EXPECT_EQ(*named, "\\\\.\\PhysicalDrive3 iVSCType = 1, CmdType = 2");
    EXPECT_EQ(std::count(log.begin(), log.end(), "DISKLIB_NVME_DownloadFW Success OUT"), 1);
    EXPECT_EQ(Stop(d), 0);
}

// RUN on the Disconnect entry (its item data is the disk count) reads no table slot and
// refuses, with or without "/debug".
TEST_F(MainDialogRun, RunOnTheDisconnectEntryIsRefused) {
    for (bool debug : {true, false}) {
        SCOPED_TRACE(debug);
        UseScenario(NvmeDisk("a", 2, "ZX A") + NvmeDisk("b", 3, "ZX B"));
        HWND d = Start(debug ? "/debug" : "");
        Pick(d, 1);
        static int marker;
        PVOID volatile* slot = reinterpret_cast<PVOID volatile*>(&GetAppState()->hWorker);
        InterlockedExchangePointer(slot, &marker); // busy, as during an update
        ChangeDisks(d, [] { ASSERT_TRUE(sim::RemoveDisk("b")); });
        InterlockedExchangePointer(slot, NULL);
        // one disk left: the entry's item data 1 names the empty slot after it
        ASSERT_EQ(GetAppState()->DiskCount, 1u);
        ASSERT_EQ(SendDlgItemMessageW(d, IDC_DISK_LIST, CB_GETITEMDATA, 1, 0), 1);
        ClearLog();
        ClearRecords();
        MessageBoxRecord box = PressRun(d);
        EXPECT_EQ(box.text, L"The selected disk is not connected.");
        EXPECT_EQ(box.caption, L"Test");
        EXPECT_EQ(box.type, kPlainType);
        Answer(d, IDOK);
        EXPECT_EQ(IsBusy(), 0);
        EXPECT_EQ(LogLines(), debug
                                  ? std::vector<std::string>{"The selected disk is not connected."}
                                  : std::vector<std::string>{});
        for (const IssuedMessage& m : IssuedMessages()) {
            EXPECT_NE(m.message, static_cast<UINT>(WM_UPDATE_PROGRESS)); // nothing re-read
        }
        EXPECT_EQ(Stop(d), 0);
    }
}
