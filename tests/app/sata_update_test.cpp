// The SATA update through the program and the simulated PC: RUN, Yes, and the worker's requests
// from its open to its rescan in order, on AHCI, behind a USB-to-SATA bridge and on a SAS
// adapter; the version write after the download (KEEP, a version already there,
// bSetVersionBeforeReflash); a failed download.
#include "app/disk_table.h"
#include "app/main_dialog.h"
#include "tests/app/program_fixture.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/trace_reader.h"

#include <algorithm>
#include <functional>

using namespace zxtest;

namespace {

using tracetest::Field;
using tracetest::Record;

const UINT kPlainType = 0x00; // MB_OK, no icon

// A ZELTARIX SATA disk as drive 2 whose FW configuration block holds the version 051s0102: on
// AHCI (PathId 0), in a USB-to-SATA enclosure (root port 3 of controller 1), or on a SAS adapter
// (bus type 10, PathId 1).
std::string SataDisk(const std::string& where, const std::string& extra = "") {
    const std::string keys = "vsc_fw_version = 051s0102\n" + extra;
    if (where == "USB") {
        return testsupport::UsbSataDisk("d", 2, 3, keys);
    }
    if (where == "SAS") {
        return testsupport::SasSataDisk("d", 2, "scsi_path = 1\n" + keys);
    }
    return testsupport::SataDisk("d", 2, keys);
}

// Five pages (header, regions 1, 2 and 3, trailer): 20480 bytes, five pieces. Version 051s0108.
zxpkg::ImageRecipe SataImage() {
    zxpkg::ImageRecipe r;
    r.versionParts = {"05", "1s", "01", "08"};
    r.ftlBuildNumber = 0x00020001;
    r.checksumKind = 1;
    r.regions[0][0] = 1;
    r.regions[0][1] = 1;
    r.regions[1][0] = 2;
    r.regions[1][1] = 2;
    r.regions[2][0] = 3;
    r.regions[2][1] = 3;
    return r;
}

// A request in short: the open with its path; an ATA pass-through with its CurrentTaskFile; a
// SAT pass-through with its CDB; any other control code by name; each marked when it failed.
std::string Summary(const Record& r) {
    const std::string failed = Field(r, "ok") == "true" ? "" : " failed";
    if (Field(r, "op") == "CreateFileW") {
        return "open " + Field(r, "path") + failed;
    }
    const std::string ioctl = Field(r, "ioctl");
    if (ioctl == "IOCTL_ATA_PASS_THROUGH_DIRECT") {
        return "ata " + Field(r, "cur_tf") + failed;
    }
    if (ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
        return "sat " + Field(r, "cdb") + failed;
    }
    return ioctl + failed;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// What each transport sends for the worker's commands: the DOWNLOAD MICROCODE pieces at block
// offsets 0, 8, 16, 24 and 32, the vendor read 0xC3 FEATURES 2 and the vendor write 0xC2
// FEATURES 1 (SECTOR COUNT 8, LBA 0); the re-find of the disk by its port (the disk's device
// interface, ending with its device number); the probe of drive 2 (IDENTIFY DEVICE, the vendor
// reads 3 and 4, then its port: the SCSI address, or for the USB disk its device interface).
struct Transport {
    const char* where;
    std::vector<std::string> identify; // IDENTIFY DEVICE on the worker's handle
    std::vector<std::string> pieces;
    std::vector<std::string> configRead;
    std::vector<std::string> configWrite;
    std::vector<std::string> refind;
    std::vector<std::string> probe;
};

const Transport kAhci = {
    "AHCI",
    {"ata 000100000040ec00"},
    {"ata 0308000000409200", "ata 0308000800409200", "ata 0308001000409200", "ata 0308001800409200",
     "ata 0308002000409200"},
    {"ata 020800000040c300"},
    {"ata 010800000040c200"},
    {"open \\\\.\\scsi#disk&ven_ata&prod_zeltarix_zx3000#5&48412578&0&000000#{53f56307-b6bf-"
     "11d0-94f2-00a0c91efb8b}",
     "IOCTL_STORAGE_QUERY_PROPERTY", "IOCTL_SCSI_GET_ADDRESS", "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
    {"open \\\\.\\PhysicalDrive2", "IOCTL_STORAGE_QUERY_PROPERTY", "ata 000100000040ec00",
     "ata 030800000040c300", "ata 040800000040c300", "IOCTL_SCSI_GET_ADDRESS"},
};
const char kUsbInterface[] = "open \\\\.\\usbstor#disk&ven_usb3.0&prod_sata_bridge&rev_#"
                             "zx3000g0000000000002&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const Transport kUsb = {
    "USB",
    {"sat a1080e000100000040ec0000"},
    {"sat a10a06030800000040920000", "sat a10a06030800080040920000", "sat a10a06030800100040920000",
     "sat a10a06030800180040920000", "sat a10a06030800200040920000"},
    {"sat a1080e020800000040c30000"},
    {"sat a10a06010800000040c20000"},
    {kUsbInterface, "IOCTL_STORAGE_QUERY_PROPERTY", "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
    {"open \\\\.\\PhysicalDrive2", "IOCTL_STORAGE_QUERY_PROPERTY", "sat a1080e000100000040ec0000",
     "sat a1080e030800000040c30000", "sat a1080e040800000040c30000", kUsbInterface,
     "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
};
const Transport kSas = {
    "SAS",
    kUsb.identify,
    kUsb.pieces,
    kUsb.configRead,
    kUsb.configWrite,
    {"open \\\\.\\scsi#disk&ven_ata&prod_zeltarix_zx3000#5&48412578&0&010000#{53f56307-b6bf-"
     "11d0-94f2-00a0c91efb8b}",
     "IOCTL_STORAGE_QUERY_PROPERTY", "IOCTL_SCSI_GET_ADDRESS", "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
    {"open \\\\.\\PhysicalDrive2", "IOCTL_STORAGE_QUERY_PROPERTY", "sat a1080e000100000040ec0000",
     "sat a1080e030800000040c30000", "sat a1080e040800000040c30000", "IOCTL_SCSI_GET_ADDRESS"},
};

// The worker's open of drive 2 for commands.
const std::vector<std::string> kOpen = {"open \\\\.\\PhysicalDrive2",
                                        "IOCTL_STORAGE_QUERY_PROPERTY"};
const UINT kWarningType = 0x30; // MB_OK | MB_ICONWARNING

// The rescan: drives 0 to 19 (only drive 2 opens and is probed), then the volumes C: to Z:
// (none opens).
std::vector<std::string> Rescan(const Transport& t) {
    std::vector<std::string> lines = {"open \\\\.\\PhysicalDrive0 failed",
                                      "open \\\\.\\PhysicalDrive1 failed"};
    lines.insert(lines.end(), t.probe.begin(), t.probe.end());
    for (int drive = 3; drive <= 19; drive++) {
        lines.push_back("open \\\\.\\PhysicalDrive" + std::to_string(drive) + " failed");
    }
    for (char letter = 'C'; letter <= 'Z'; letter++) {
        lines.push_back(std::string("open \\\\.\\") + letter + ": failed");
    }
    return lines;
}

// Everything after the version write: the re-find, the probe and the rescan.
std::vector<std::string> AfterVersion(const Transport& t) {
    return Join({t.refind, t.probe, Rescan(t)});
}

class SataUpdate : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        keys_["TITLE"] = "54 00 65 00 73 00 74 00";
        keys_["SOCID"] = "0x3A31";
        keys_["FWVersion"] = "|051s0102|";
        keys_["NEWVERSION"] = "051s0108";
        keys_["bIsSATA"] = "1";
        keys_["AfterMessage"] = "Update FW OK !";
        nandMap_ = "9BC5587130_1=S.fw\n";
        images_ = {{"S.fw", SataImage()}};
        tracePath_ = dir_ + "/trace.jsonl";
    }

    // Starts the program on the scenario, presses RUN, does `underQuestion` while the question
    // is open, records the requests from the answer Yes on and returns the outcome's message
    // box, left open; the progress bar is read beneath it.
    MessageBoxRecord Update(const std::string& scenario,
                            const std::function<void()>& underQuestion = {}) {
        UseScenario(scenario);
        ClearLog();
        d_ = Start("/debug");
        MessageBoxRecord question = PressRun(d_);
        EXPECT_EQ(question.text, L"Update now?");
        if (underQuestion) {
            underQuestion();
        }
        EXPECT_TRUE(sim::SetTraceFile(tracePath_));
        size_t before = MessageBoxes().size();
        AnswerMessageBox(IDYES);
        MessageBoxRecord box;
        EXPECT_TRUE(WaitUntil(
            [&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
        sim::SetTraceFile("");
        DialogView v;
        EXPECT_TRUE(ReadDialog(d_, &v));
        progress_ = v.Find(IDC_PROGRESS)->pos;
        firmwareShown_ = v.Find(IDC_FIRMWARE)->text;
        return box;
    }

    // The requests the worker made, in short; all of them on the worker's one thread.
    std::vector<std::string> Requests() {
        std::vector<Record> trace = tracetest::ReadTrace(tracePath_);
        std::vector<std::string> lines;
        for (const Record& r : trace) {
            EXPECT_EQ(Field(r, "tid"), Field(trace.front(), "tid"));
            lines.push_back(Summary(r));
        }
        return lines;
    }

    // Answers the outcome and waits until the worker has emptied its slot and traced its last
    // rule; then closes the program.
    void Finish() {
        AnswerMessageBox(IDOK);
        const std::string rule(52, '-');
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::vector<std::string> log = LogLines();
                return std::count(log.begin(), log.end(), rule) == 2;
            },
            kWait));
        OutputDebugStringW(L""); // orders the rest after the worker's last trace
        EXPECT_EQ(IsBusy(), 0);
        EXPECT_EQ(Stop(d_), 0);
    }

    // The version field (offset 1064, 8 bytes) of the drive's FW configuration block.
    std::string ConfigVersion() {
        std::string version;
        EXPECT_TRUE(sim::WithAtaDrive("d", [&](sim::AtaDrive& drive) {
            std::vector<uint8_t> block = drive.Block("fwconfig");
            version.assign(block.begin() + 1064, block.begin() + 1072);
        }));
        return version;
    }

    std::string tracePath_;
    HWND d_ = nullptr;
    int progress_ = -1;
    std::wstring firmwareShown_;
};

} // namespace

// A whole update on each transport: the five pieces, the settle, the configuration block read
// and written with 051s0108, the disk re-read by its port (the details show the new firmware),
// the rescan, and the package's AfterMessage with the bar at 100.
TEST_F(SataUpdate, UpdatesTheDiskOnEachTransportWithTheRequestsInOrder) {
    for (const Transport* t : {&kAhci, &kUsb, &kSas}) {
        SCOPED_TRACE(t->where);
        ClearRecords();
        MessageBoxRecord box = Update(SataDisk(t->where));
        EXPECT_EQ(box.text, L"Update FW OK !");
        EXPECT_EQ(box.caption, L"Test");
        EXPECT_EQ(box.type, kPlainType);
        EXPECT_EQ(progress_, 100);
        EXPECT_EQ(firmwareShown_, L"051s0108");
        EXPECT_EQ(ConfigVersion(), "051s0108");
        EXPECT_EQ(Requests(), Join({kOpen, t->identify, t->pieces, t->configRead, t->configWrite,
                                    AfterVersion(*t)}));
        Finish();
    }
}

// The version write after the download: none at all for "KEEP" in any letter case; a block
// already holding NEWVERSION read and not written back; bSetVersionBeforeReflash 1 changing
// nothing (no version write before the download, the same write after it).
TEST_F(SataUpdate, WritesTheVersionAfterTheDownloadOnlyWhenItChangesTheBlock) {
    const struct {
        const char* newVersion;
        const char* beforeReflash;
        std::vector<std::string> versionPart;
        const char* configVersion;
    } cases[] = {
        {"KEEP", "0", {}, "051s0102"},
        {"keep", "0", {}, "051s0102"},
        {"KeEp", "1", {}, "051s0102"},
        {"051s0102", "0", kAhci.configRead, "051s0102"},
        {"051s0108", "1", Join({kAhci.configRead, kAhci.configWrite}), "051s0108"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.newVersion) + ", bSetVersionBeforeReflash " + c.beforeReflash);
        ClearRecords();
        keys_["NEWVERSION"] = c.newVersion;
        keys_["bSetVersionBeforeReflash"] = c.beforeReflash;
        MessageBoxRecord box = Update(SataDisk("AHCI"));
        EXPECT_EQ(box.text, L"Update FW OK !");
        EXPECT_EQ(progress_, 100);
        EXPECT_EQ(firmwareShown_, L"051s0108");
        EXPECT_EQ(ConfigVersion(), c.configVersion);
        EXPECT_EQ(Requests(),
                  Join({kOpen, kAhci.identify, kAhci.pieces, c.versionPart, AfterVersion(kAhci)}));
        Finish();
    }
}

// The third piece fails three times (the first two were taken): the update ends with -4 at
// once, "Update FW Fail !" with the piece and the firmware the drive still runs, no version
// write, no re-find and no rescan. The bar stays where the download left it: 40 % of the 0..40
// step, 16.
TEST_F(SataUpdate, AFailedDownloadEndsTheUpdateWithTheBarInsideItsStep) {
    MessageBoxRecord box = Update(SataDisk("USB", "faults = ata_fail:0x92@2"));
    EXPECT_EQ(box.text, L"Update FW Fail !\r\n\r\nThe drive did not take the firmware download "
                        L"(the piece at byte 8192 of 20480). The drive still runs its old firmware "
                        L"051s0102.");
    EXPECT_EQ(box.caption, L"Test");
    EXPECT_EQ(box.type, kWarningType);
    EXPECT_EQ(progress_, 16);
    EXPECT_EQ(firmwareShown_, L"051s0102");
    EXPECT_EQ(ConfigVersion(), "051s0102");
    EXPECT_EQ(Requests(), Join({kOpen,
                                kUsb.identify,
                                {"sat a10a06030800000040920000", "sat a10a06030800080040920000",
                                 "sat a10a06030800100040920000", "sat a10a06030800100040920000",
                                 "sat a10a06030800100040920000"}}));
    Finish();
    std::vector<std::string> log = LogLines();
    auto in = std::find(log.begin(), log.end(), "DISKLIB_SATA_Reflash IN");
    ASSERT_NE(in, log.end());
    auto rule = std::find(in, log.end(), std::string(52, '-'));
    ASSERT_NE(rule, log.end());
    EXPECT_EQ(
        std::vector<std::string>(in, rule + 1),
        (std::vector<std::string>{"DISKLIB_SATA_Reflash IN", "DownloadFW  20%", "DownloadFW  40%",
                                  "DISKLIB_SATA_Reflash Error, Retry 1",
                                  "DISKLIB_SATA_Reflash Error, Retry 2", std::string(52, '-')}));
}

namespace {

std::atomic<DWORD> g_dialogThread{0};
std::atomic<int> g_workerRequests{0};
std::atomic<HWND> g_dialog{nullptr};

// Counts the worker's requests to the slow disk; at its ninth (the vendor write) a timer
// rescan is queued on the dialog thread, which then runs alongside the worker's re-find and
// rescan. The dialog thread's own requests pass.
void TimerRescanAtTheVersionWrite(uint32_t) {
    if (GetCurrentThreadId() == g_dialogThread) {
        return;
    }
    if (++g_workerRequests == 9) {
        PostMessageW(g_dialog, WM_TIMER, DEVICE_CHANGE_TIMER_ID, 0);
    }
}

} // namespace

// A timer rescan on the dialog thread overlaps the worker's re-find and rescan (run under
// ThreadSanitizer too): the update ends well, the timer's rescan ran, and the list and the
// selected disk show the disk with its new firmware.
// The image RUN checked is the one written: deleting the file from the working folder while the
// question is open changes nothing, the whole update runs with the checked image.
TEST_F(SataUpdate, AnImageGoneFromTheWorkingFolderUnderTheQuestionIsNeverRead) {
    MessageBoxRecord box = Update(SataDisk("AHCI"), [] {
        const std::string image = WorkingFile("S.fw");
        EXPECT_EQ(std::remove(image.c_str()), 0) << image;
    });
    EXPECT_EQ(box.text, L"Update FW OK !");
    EXPECT_EQ(progress_, 100);
    EXPECT_EQ(firmwareShown_, L"051s0108");
    EXPECT_EQ(ConfigVersion(), "051s0108");
    Finish();
}

TEST_F(SataUpdate, ATimerRescanAlongsideTheFinalRereadKeepsTheUpdatedDiskSelected) {
    g_workerRequests = 0;
    UseScenario(SataDisk("AHCI", "faults = slow:1"));
    ClearLog();
    d_ = Start("/debug");
    g_dialog = d_;
    // The start-up rescan filled the list from the dialog thread: no other thread ran yet.
    for (const IssuedMessage& m : IssuedMessages()) {
        if (m.controlId == IDC_DISK_LIST && m.message == CB_RESETCONTENT) {
            g_dialogThread = m.senderThread;
        }
    }
    ASSERT_NE(g_dialogThread.load(), 0u);
    MessageBoxRecord question = PressRun(d_);
    EXPECT_EQ(question.text, L"Update now?");
    sim::SetSlowWaitHook(TimerRescanAtTheVersionWrite);
    size_t before = MessageBoxes().size();
    AnswerMessageBox(IDYES);
    MessageBoxRecord box;
    EXPECT_TRUE(
        WaitUntil([&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.text, L"Update FW OK !");
    auto timers = [] {
        size_t n = 0;
        for (const MessageRecord& m : MessageLog()) {
            n += m.controlId == 0 && m.message == WM_TIMER ? 1 : 0;
        }
        return n;
    };
    EXPECT_TRUE(WaitUntil([&] { return timers() == 1; }, kWait));
    Finish();
    sim::SetSlowWaitHook(nullptr);
    EXPECT_GE(g_workerRequests.load(), 9);
    DiskRecord selected;
    ReadSelectedDisk(&selected);
    EXPECT_STREQ(selected.FirmwareRev, L"051s0108");
    EXPECT_STREQ(selected.SerialNumber, L"ZX3000G0000000000002");
}

// On the handle it opened and before its first piece, the worker finds from IDENTIFY DEVICE that
// the drive does not take DOWNLOAD MICROCODE as it is sent: the update is refused with the reason
// and nothing but IDENTIFY DEVICE reaches the drive.
TEST_F(SataUpdate, TheWorkerRefusesADriveThatDoesNotTakeTheDownloadAsItIsSent) {
    const struct {
        const char* keys;
        const wchar_t* reason;
    } cases[] = {
        {"ata_microcode = none\n", L"it does not support DOWNLOAD MICROCODE"},
        {"ata_microcode = no_offsets\n",
         L"it does not support DOWNLOAD MICROCODE with offsets (mode 3)"},
        {"ata_dm_max = 4\n", L"it does not take DOWNLOAD MICROCODE pieces of 8 blocks (4 KiB)"},
        {"ata_dm_min = 16\nata_dm_max = 64\n",
         L"it does not take DOWNLOAD MICROCODE pieces of 8 blocks (4 KiB)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        ClearRecords();
        MessageBoxRecord box = Update(SataDisk("AHCI", c.keys));
        EXPECT_EQ(box.text, L"ZELTARIX ZX3000 SATA 480GB cannot take this update: " +
                                std::wstring(c.reason) + L". Nothing was written.");
        EXPECT_EQ(box.type, kWarningType);
        EXPECT_EQ(progress_, 0);
        EXPECT_EQ(firmwareShown_, L"051s0102");
        EXPECT_EQ(ConfigVersion(), "051s0102");
        EXPECT_EQ(Requests(), Join({kOpen, kAhci.identify}));
        Finish();
    }
}
