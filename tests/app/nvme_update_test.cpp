// The NVMe update through the program on the default simulated PC: RUN on each ZELTARIX disk,
// the worker's requests in order, the version text written before or after the download or not
// at all, the outcome boxes with the power-off or restart offer, a fault at each step, and a
// disk that does not come back. The package's images are five pages long, so a download is five
// chunks at offsets 0, 4096, 8192, 12288 and 16384.
#include "app/disk_table.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "tests/app/program_fixture.h"
#include "tests/support/trace_reader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

using namespace zxtest;
using tracetest::Field;
using tracetest::Record;

namespace {

// MB_OKCANCEL | MB_ICONINFORMATION | MB_DEFBUTTON2: Enter on the offer is Cancel.
const UINT kOkCancelInformation = 0x141;
const UINT kOkInformation = 0x40; // MB_OK | MB_ICONINFORMATION
const UINT kOkWarning = 0x30;     // MB_OK | MB_ICONWARNING

// Images of the demo package's versions and FTL build numbers: A for the 9BC5587130 NAND,
// B for the 2CC30832E604 one.
zxpkg::ImageRecipe SmallImage(const std::string& last, uint32_t ftl, int kind) {
    zxpkg::ImageRecipe r;
    r.versionParts = {"04", "1k", "02", last};
    r.ftlBuildNumber = ftl;
    r.checksumKind = kind;
    r.regions[0][0] = 1;
    r.regions[0][1] = 1;
    r.regions[1][0] = 2;
    r.regions[1][1] = 2;
    r.regions[2][0] = 3;
    r.regions[2][1] = 3;
    return r;
}

std::string Hex32(const std::string& number) {
    char text[16];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(std::stoul(number)));
    return text;
}

// The n-th number of an array field ("[a,b,...]").
std::string Item(const std::string& array, size_t n) {
    std::string inner = array.size() > 2 ? array.substr(1, array.size() - 2) : "";
    std::stringstream in(inner);
    std::string item;
    for (size_t i = 0; std::getline(in, item, ','); i++) {
        if (i == n) {
            return item;
        }
    }
    return "?";
}

// One request of the trace in one short line: what it is and the fields that tell the steps of
// an update apart.
std::string Summary(const Record& r) {
    const std::string failed = Field(r, "ok") == "true" ? "" : " failed";
    if (Field(r, "op") == "CreateFileW") {
        return "open " + Field(r, "path") + failed;
    }
    const std::string ioctl = Field(r, "ioctl");
    const std::string path = Field(r, "path");
    std::string what;
    if (ioctl == "IOCTL_STORAGE_PROTOCOL_COMMAND") {
        const std::string cdw = Field(r, "cdw");
        what = "nvme " + Hex32(Item(cdw, 0)) + " cdw10=" + Hex32(Item(cdw, 10)) +
               " cdw12=" + Hex32(Item(cdw, 12)) + " cdw13=" + Hex32(Item(cdw, 13));
    } else if (ioctl == "IOCTL_STORAGE_QUERY_PROPERTY") {
        what = "query " + Field(r, "property_id");
        if (r.count("data_type") != 0) {
            what += " " + Field(r, "data_type") + " " + Field(r, "request_value");
        }
    } else if (ioctl == "IOCTL_STORAGE_FIRMWARE_DOWNLOAD") {
        what = "download " + Field(r, "offset") + " " + Field(r, "buffer_size");
    } else if (ioctl == "IOCTL_STORAGE_FIRMWARE_ACTIVATE") {
        what = "activate slot " + Field(r, "slot") + " flags " + Field(r, "flags");
    } else if (ioctl == "IOCTL_SCSI_MINIPORT") {
        what = Field(r, "signature");
        if (r.count("cmd") != 0) {
            what += " " + Field(r, "cmd").substr(0, 2) + " cdw12=" + Field(r, "cmd").substr(96, 8);
        } else {
            what +=
                " function " + Field(r, "function") + " length " + Field(r, "data_buffer_length");
        }
    } else if (ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT" && r.count("cdb") != 0) {
        what = "cdb " + Field(r, "cdb") + " in " + Field(r, "data_in") + " length " +
               Field(r, "transfer_len");
        // A bridge's command phase carries the NVMe command: 64 bytes, or a JMicron block of
        // 512 ("NVME", then the command at 8; a power request's value at 72).
        const std::string data = Field(r, "data");
        if (Field(r, "data_in") != "0") {
        } else if (Field(r, "transfer_len") == "64") {
            what += " opcode " + data.substr(0, 2);
        } else if (data.rfind("4e564d45", 0) == 0) {
            what += " opcode " + data.substr(16, 2) + " value " + data.substr(144, 2);
        }
    } else {
        what = ioctl;
    }
    return what + " " + path + failed;
}

// The worker's requests (the trace's second thread: the dialog's thread asked first), from its
// open of the disk up to the re-find by port, which starts with the open of a disk interface.
std::vector<std::string> WorkerRequests(const std::string& tracePath) {
    std::vector<std::string> out;
    for (const Record& r : tracetest::ReadTrace(tracePath)) {
        if (Field(r, "tid") != "2") {
            continue;
        }
        std::string line = Summary(r);
        if (!out.empty() && line.rfind("open \\\\.\\scsi#", 0) == 0) {
            // the interface opens of the disk's own open come before any disk command
            bool commanded = false;
            for (const std::string& earlier : out) {
                commanded = commanded || earlier.compare(0, 5, "nvme ") == 0 ||
                            earlier.compare(0, 4, "cdb ") == 0 ||
                            earlier.compare(0, 8, "IntelNvm") == 0;
            }
            if (commanded) {
                break;
            }
        }
        out.push_back(line);
    }
    return out;
}

// The requests as they came, one per line, for the message of a mismatch.
std::string Listing(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); i++) {
        text += std::to_string(i + 1) + ": " + lines[i] + "\n";
    }
    return text;
}

void ExpectSameLines(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    for (size_t i = 0; i < want.size(); i++) {
        ASSERT_LT(i, got.size()) << "request " << i + 1 << " missing, expected: " << want[i]
                                 << "\nthe requests:\n"
                                 << Listing(got);
        ASSERT_EQ(got[i], want[i]) << "request " << i + 1 << "\nthe requests:\n" << Listing(got);
    }
    EXPECT_EQ(got.size(), want.size()) << "extra from " << want.size() + 1 << ": "
                                       << (got.size() > want.size() ? got[want.size()] : "");
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::string& line) {
    a.push_back(line);
    return a;
}

std::vector<std::string> Repeat(int n, const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) {
        out = out + lines;
    }
    return out;
}

// Data directions of a tunnelled NVMe command.
enum Dir { kNone, kIn, kOut };

// The hex of a data phase's length as a bridge's CDB carries it: big-endian 32 (ASMedia) and
// 24 bits (JMicron), little-endian 16 (Realtek).
std::string Be32(uint32_t n) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", n);
    return text;
}

// One NVMe command through a bridge, as its three phases: the command (with its opcode), the
// data or non-data phase (4096 bytes, or the length given) and the completion.
std::vector<std::string> Asm(const std::string& opcode, Dir dir, uint32_t length = 4096) {
    const std::string drive = " \\\\.\\PhysicalDrive4";
    const char* kind = dir == kIn ? "01" : dir == kOut ? "02" : "00";
    const std::string n = std::to_string(length);
    const std::string data =
        dir == kIn    ? "cdb eb5a8100010000000000" + Be32(length) + "0000 in 1 length " + n
        : dir == kOut ? "cdb ea5a8100020000000000" + Be32(length) + "0000 in 0 length " + n
                      : "cdb eb5a8100000000000000000000000000 in 2 length 0";
    return {"cdb ea5a8000" + std::string(kind) + "0000000000000000400000 in 0 length 64 opcode " +
                opcode + drive,
            data + drive,
            "cdb eb5a8200" + std::string(kind) + "0000000000000000100000 in 1 length 16" + drive};
}
std::vector<std::string> Jmi(const std::string& opcode, Dir dir, uint32_t length = 4096) {
    const std::string drive = " \\\\.\\PhysicalDrive5";
    const std::string n = std::to_string(length);
    const std::string be24 = Be32(length).substr(2);
    const std::string data =
        dir == kIn    ? "cdb a18200" + be24 + "00000000000000000000 in 1 length " + n
        : dir == kOut ? "cdb a18300" + be24 + "00000000000000000000 in 0 length " + n
                      : "cdb a1810000000000000000000000000000 in 2 length 0";
    return {"cdb a1800000020000000000000000000000 in 0 length 512 opcode " + opcode + " value 00" +
                drive,
            data + drive, "cdb a18f0000020000000000000000000000 in 1 length 512" + drive};
}
std::vector<std::string> Rtk(const std::string& opcode, Dir dir, uint32_t length = 4096) {
    const std::string drive = " \\\\.\\PhysicalDrive6";
    const std::string n = std::to_string(length);
    const std::string be = Be32(length);
    const std::string le16 = be.substr(6, 2) + be.substr(4, 2);
    const std::string data =
        dir == kIn    ? "cdb e4" + le16 + "f8000001000000000000000000 in 1 length " + n
        : dir == kOut ? "cdb e5" + le16 + "f8000002000000000000000000 in 0 length " + n
                      : "cdb e50000f8000000000000000000000000 in 2 length 0";
    return {"cdb e54000f7000000000000000000000000 in 0 length 64 opcode " + opcode + drive,
            data + drive, "cdb e41000f9000000000000000000000000 in 1 length 16" + drive};
}

// A tunnelled command the drive failed: its data or non-data phase ends in CHECK CONDITION and
// no completion is read after it.
std::vector<std::string> Refused(std::vector<std::string> lines) {
    lines.pop_back();
    return lines;
}

// The disk interfaces the open of a native or RST disk looks its device number up in.
const std::string kSystemInterface =
    "\\\\.\\scsi#disk&ven_nvme&prod_samsung_mzvl2512#5&c7e2cfc5&0&000000#{53f56307-b6bf-11d0-"
    "94f2-00a0c91efb8b}";
const std::string kNativeInterface =
    "\\\\.\\scsi#disk&ven_nvme&prod_zeltarix_zx5016#5&a573abbe&0&000000#{53f56307-b6bf-11d0-"
    "94f2-00a0c91efb8b}";
const std::string kRstInterface =
    "\\\\.\\scsi#disk&ven_nvme&prod_zeltarix_zx5012#5&b1dcd196&0&010000#{53f56307-b6bf-11d0-"
    "94f2-00a0c91efb8b}";

std::vector<std::string> Interfaces(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) {
        out = out + std::vector<std::string>{"open " + p, "IOCTL_STORAGE_GET_DEVICE_NUMBER " + p};
    }
    return out;
}

// The worker's open of a disk (the SCSI address, its port, the bus type), then the command set's
// unlock, log page and generation test.
std::vector<std::string> OpenOf(int drive) {
    const std::string d = "\\\\.\\PhysicalDrive" + std::to_string(drive);
    return {"open " + d, "IOCTL_SCSI_GET_ADDRESS " + d,
            "open \\\\.\\scsi" + std::to_string(drive) + ":", "query 0 " + d};
}
const std::string kNative = " \\\\.\\PhysicalDrive1";
const std::string kNativeUnlock = "nvme fc cdw10=0 cdw12=1f cdw13=6b716d77" + kNative;
const std::string kNativeConfigRead = "nvme fe cdw10=400 cdw12=82 cdw13=1" + kNative;
const std::string kNativeConfigWrite = "nvme fd cdw10=400 cdw12=81 cdw13=1" + kNative;
const std::vector<std::string> kNativeOpen =
    OpenOf(1) + Interfaces({kSystemInterface, kNativeInterface}) +
    std::vector<std::string>{kNativeUnlock, "query 50 2 5" + kNative,
                             "nvme fe cdw10=400 cdw12=82 cdw13=3" + kNative};
// The worker's look at the drive on its handle before the first write: Identify Controller and
// the Firmware Slot Information log (512 bytes).
const std::vector<std::string> kNativeCheck = {"query 49 1 1" + kNative, "query 50 2 3" + kNative};
// Identify again after the commit: the drive answers once its controller reset is over.
const std::string kNativeAnswers = "query 49 1 1" + kNative;
const std::vector<std::string> kNativeDownload = {
    "download 0 4096" + kNative,     "download 4096 4096" + kNative,
    "download 8192 4096" + kNative,  "download 12288 4096" + kNative,
    "download 16384 4096" + kNative, "activate slot 1 flags 1" + kNative};
const std::string kRst = " \\\\.\\scsi2:";
const std::vector<std::string> kRstOpen =
    OpenOf(2) + Interfaces({kSystemInterface, kNativeInterface, kRstInterface}) +
    std::vector<std::string>{"IntelNvm fc cdw12=1f000000" + kRst,
                             "IntelNvm 02 cdw12=00000000" + kRst};
const std::string kRstConfigRead = "IntelNvm e6 cdw12=01000000" + kRst;
const std::string kRstAnswers = "IntelNvm 06 cdw12=00000000" + kRst;
const std::vector<std::string> kRstCheck = {kRstAnswers, "IntelNvm 02 cdw12=00000000" + kRst};
// a bridge's open: the SCSI address, the port, the bus type and INQUIRY
std::vector<std::string> UsbOpen(int drive) {
    return OpenOf(drive) + std::vector<std::string>{"cdb 12000000260000000000000000000000 in 1 "
                                                    "length 38 \\\\.\\PhysicalDrive" +
                                                    std::to_string(drive)};
}
const std::vector<std::string> kAsmOpen = UsbOpen(4) + Asm("02", kIn) + Asm("fe", kIn);
const std::vector<std::string> kJmiOpen = UsbOpen(5) + Jmi("02", kIn);
const std::vector<std::string> kRtkOpen = UsbOpen(6) + Rtk("02", kIn) + Rtk("fe", kIn);
// The look at a bridged drive: Identify (ASMedia: its one-request form) and the slot log.
const std::vector<std::string> kAsmCheck =
    std::vector<std::string>{"cdb e6060001000000000000000000000000 in 1 length 4096 "
                             "\\\\.\\PhysicalDrive4"} +
    Asm("02", kIn, 512);
const std::vector<std::string> kJmiCheck = Jmi("06", kIn) + Jmi("02", kIn, 512);
const std::vector<std::string> kRtkCheck = Rtk("06", kIn) + Rtk("02", kIn, 512);

class MainDialogNvmeUpdate : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        trace_ = dir_ + "/trace.jsonl";
        keys_["NEWVERSION"] = "041k0210";
        keys_["bSetVersionBeforeReflash"] = "0";
        keys_["AfterMessage"] = "Done<BR>Power off?";
        keys_["PowerCtrl"] = "1";
        nandMap_ = "9BC5587130_1=A.fw\n9BC5587130_2=A.fw\n2CC30832E604_2=B.fw\n";
        images_ = {{"A.fw", SmallImage("0C", 0x00010203, 1)},
                   {"B.fw", SmallImage("0D", 0x00010204, 0)}};
        std::string error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
    }
    void TearDown() override {
        sim::SetTraceFile("");
        ProgramTest::TearDown();
        sim::SetStateFile("");
        sim::ClearPower();
    }

    // Starts the program with "/debug", picks list entry, presses RUN with the trace on and
    // answers the question Yes. Faults given are injected into the disk, and underQuestion is
    // run, while the question is open. Returns once the worker has ended and the dialog has handled
    // its end (the outcome box, if any, left open).
    HWND Update(int entry, const std::string& disk = "", const std::string& faults = "",
                const std::function<void()>& underQuestion = nullptr) {
        liveBlocks_ = zxposix::LiveVirtualBlocks();
        refusedFrees_ = zxposix::RefusedVirtualFrees();
        HWND d = Start("/debug");
        Pick(d, entry);
        ClearRecords();
        EXPECT_TRUE(sim::SetTraceFile(trace_));
        MessageBoxRecord question = PressRun(d);
        EXPECT_EQ(question.text, L"Update now?");
        if (!faults.empty()) {
            EXPECT_TRUE(sim::InjectFault(disk, faults));
        }
        if (underQuestion) {
            underQuestion();
        }
        const std::string rule(52, '-');
        auto rules = [&] {
            std::vector<std::string> log = LogLines();
            return std::count(log.begin(), log.end(), rule);
        };
        const auto rulesBefore = rules();
        AnswerMessageBox(IDYES);
        // The worker's last act is the rule after the one RUN traced; the trace was written
        // under the debug output's lock, which OutputDebugStringW takes too, so everything the
        // worker did comes before the rest of the test (and the next run's fresh state).
        EXPECT_TRUE(WaitUntil([&] { return rules() == rulesBefore + 2; }, kWait));
        OutputDebugStringW(L"");
        EXPECT_EQ(IsBusy(), 0);
        EXPECT_TRUE(WaitUntilIdle(d, kWait));
        return d;
    }

    // The lParams of the progress messages the worker sent (not posted), in order.
    static std::vector<LPARAM> SentProgress() {
        std::vector<LPARAM> out;
        for (const IssuedMessage& m : IssuedMessages()) {
            if (m.message == WM_UPDATE_PROGRESS && !m.posted && m.senderThread == Worker()) {
                out.push_back(m.lParam);
            }
        }
        return out;
    }

    // The worker's thread: the one that posted WM_UPDATE_DONE.
    static DWORD Worker() {
        for (const IssuedMessage& m : IssuedMessages()) {
            if (m.message == WM_UPDATE_DONE) {
                return m.senderThread;
            }
        }
        return 0;
    }

    // The worker's rescans: the list resets it sent.
    static int WorkerRescans() {
        int n = 0;
        for (const IssuedMessage& m : IssuedMessages()) {
            n += m.controlId == IDC_DISK_LIST && m.message == CB_RESETCONTENT &&
                         m.senderThread == Worker()
                     ? 1
                     : 0;
        }
        return n;
    }

    // The bar's position as the dialog last set it.
    int Bar(HWND d) { return View(d).Find(IDC_PROGRESS)->pos; }

    // Once the program has ended: every buffer it took (the image among them) was released,
    // and none twice.
    void ExpectBuffersReleasedOnce() {
        EXPECT_EQ(zxposix::LiveVirtualBlocks(), liveBlocks_);
        EXPECT_EQ(zxposix::RefusedVirtualFrees(), refusedFrees_);
    }

    std::string trace_;
    size_t liveBlocks_ = 0;
    size_t refusedFrees_ = 0;
};

} // namespace

// RUN on each of the five ZELTARIX disks updates it: the worker's requests in order, the
// progress steps it sends (a power-cycle wait only behind ASMedia and JMicron), the outcome (the
// package's AfterMessage with the power-off offer, Cancel first, where the drive runs the new
// firmware; behind Realtek, which has no power request, the new firmware waits for a replug and
// the program says so instead of OK), the list rescanned with the disk selected, and the new
// revision: in the selected disk where the drive was reset, and in a second run that takes the
// drive state from the file (Realtek: after a replug).
TEST_F(MainDialogNvmeUpdate, UpdatesEachPathAndTheNextRunSeesTheNewRevision) {
    const std::vector<LPARAM> kNoPowerStep = {0, 0, 100, 0, 100, 0, 0, 0};
    const std::vector<LPARAM> kPowerStep = {0, 0, 100, 0, 100, 0, 100, 0, 0};
    const struct {
        int entry;
        const char* disk;
        const wchar_t* model;
        std::vector<std::string> requests;
        std::vector<LPARAM> progress;
        const wchar_t* selectedRevision; // what the re-find read
        const char* nextRunRevision;
        // The worker's own rescan, where no device change can bring a timer rescan that takes
        // its place (the guard drops the one that comes second); -1 where one can.
        int workerRescans;
    } cases[] = {
        {0, "zx-native", L"ZELTARIX ZX5016 1TB",
         kNativeOpen + kNativeCheck + std::vector<std::string>{kNativeConfigRead} +
             kNativeDownload +
             std::vector<std::string>{kNativeAnswers, kNativeUnlock, kNativeConfigRead},
         kNoPowerStep, L"041k020C", "041k020C", -1},
        {1, "zx-rst", L"ZELTARIX ZX5012 512GB",
         kRstOpen + kRstCheck + std::vector<std::string>{kRstConfigRead} +
             Repeat(5, {"IntelFw  function 2 length 4128" + kRst}) +
             std::vector<std::string>{"IntelFw  function 3 length 12" + kRst, kRstAnswers,
                                      "IntelNvm fc cdw12=1f000000" + kRst, kRstConfigRead},
         kNoPowerStep, L"041k020D", "041k020D", -1},
        {2, "usb-asmedia", L"ZELTARIX ZX5016 1TB",
         kAsmOpen + kAsmCheck + Asm("fe", kIn) + Repeat(5, Asm("11", kOut)) + Asm("10", kNone) +
             Asm("fe", kIn) + Asm("fd", kOut) +
             std::vector<std::string>{
                 "cdb ea5a0100000000000000000000000000 in 0 length 0 \\\\.\\PhysicalDrive4"},
         kPowerStep, L"041k020C", "041k020C", -1},
        {3, "usb-jmicron", L"ZELTARIX ZX5012 512GB",
         kJmiOpen + kJmiCheck + Jmi("e6", kIn) + Repeat(5, Jmi("11", kOut)) + Jmi("10", kNone) +
             Jmi("e6", kIn) + Jmi("e5", kOut) +
             std::vector<std::string>{
                 "cdb a1800000020000000000000000000000 in 0 length 512 opcode 00 value 05 "
                 "\\\\.\\PhysicalDrive5",
                 "cdb a1810000000000000000000000000000 in 1 length 0 \\\\.\\PhysicalDrive5",
                 "cdb a18f0000020000000000000000000000 in 1 length 512 \\\\.\\PhysicalDrive5"},
         kPowerStep, L"041k020D", "041k020D", -1},
        {4, "usb-realtek", L"ZELTARIX ZX5016 1TB",
         kRtkOpen + kRtkCheck + Repeat(5, Rtk("11", kOut)) + Rtk("10", kNone) + Rtk("f2", kIn) +
             Rtk("f1", kOut),
         kNoPowerStep, L"041k0207", "041k020C", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.disk);
        std::string error;
        ASSERT_TRUE(sim::SetStateFile(dir_ + "/state-" + c.disk, &error)) << error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        HWND d = Update(c.entry);
        ExpectSameLines(WorkerRequests(trace_), c.requests);
        EXPECT_EQ(SentProgress(), c.progress);
        if (c.workerRescans >= 0) {
            EXPECT_EQ(WorkerRescans(), c.workerRescans);
        }
        const bool pending = std::string(c.disk) == "usb-realtek";
        MessageBoxRecord box;
        ASSERT_TRUE(OpenMessageBox(&box));
        EXPECT_EQ(box.text, pending ? L"The new firmware 041k020C is installed on ZELTARIX ZX5016 "
                                      L"1TB and starts after its enclosure is unplugged and "
                                      L"plugged in again. Until then the drive runs 041k0207."
                                    : L"Done\r\nPower off?");
        EXPECT_EQ(box.caption, L"Test");
        EXPECT_EQ(box.type, pending ? kOkInformation : kOkCancelInformation);
        Answer(d, pending ? IDOK : IDCANCEL);
        EXPECT_TRUE(sim::Power().calls.empty());
        DialogView v = View(d);
        EXPECT_EQ(v.Find(IDC_STATUS)->text,
                  pending ? L"Firmware 041k020C installed; it starts after its enclosure is "
                            L"unplugged and plugged in again."
                          : L"Update finished: " + std::wstring(c.model) + L" runs firmware " +
                                c.selectedRevision + L".");
        EXPECT_EQ(v.Find(IDC_PROGRESS)->pos, 100);
        EXPECT_TRUE(v.Find(IDOK)->enabled);
        EXPECT_TRUE(v.Find(IDC_DISK_LIST)->enabled);
        EXPECT_EQ(v.Find(IDC_DISK_LIST)->curSel, c.entry);
        EXPECT_EQ(v.Find(IDC_FIRMWARE)->text, c.selectedRevision);
        EXPECT_EQ(Stop(d), 0);
        ExpectBuffersReleasedOnce();
        ASSERT_TRUE(sim::SaveState(&error)) << error;
        // the next run: a PC built from the scenario and the saved state
        ASSERT_TRUE(sim::SetStateFile(dir_ + "/state-" + c.disk, &error)) << error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        if (std::string(c.disk) == "usb-realtek") {
            ASSERT_TRUE(sim::ReplugDisk(c.disk));
        }
        std::string running;
        ASSERT_TRUE(sim::WithDrive(
            c.disk, [&](sim::NvmeDrive& drive) { running = drive.State().firmware; }));
        EXPECT_EQ(running, c.nextRunRevision);
        sim::SetTraceFile("");
    }
}

namespace {

// A vendor block as the drive holds it; empty while the drive has not made it yet (looked up
// without adding it, which would hand the drive an empty block).
std::vector<uint8_t> Block(const std::string& disk, const char* block) {
    std::vector<uint8_t> bytes;
    sim::WithDrive(disk, [&](sim::NvmeDrive& drive) {
        auto it = drive.State().blocks.find(block);
        if (it != drive.State().blocks.end()) {
            bytes = it->second;
        }
    });
    return bytes;
}

// The 8 bytes of a vendor block's field, up to the first zero.
std::string BlockText(const std::string& disk, const char* block, size_t offset) {
    std::string text;
    const std::vector<uint8_t> b = Block(disk, block);
    for (size_t i = offset; i < offset + 8 && i < b.size() && b[i] != 0; i++) {
        text.push_back(static_cast<char>(b[i]));
    }
    return text;
}

} // namespace

// Where NEWVERSION goes: with Drive information into the FW configuration block (and the image),
// without it into the MP information block; before the download or after the commit as
// bSetVersionBeforeReflash says; "KEEP" in any case writes nothing on either path and leaves the
// drive's own block in the image.
TEST_F(MainDialogNvmeUpdate, WritesTheVersionTextBeforeOrAfterOrNotAtAll) {
    const struct {
        const char* name;
        int entry;
        const char* disk;
        const char* newVersion;
        const char* before;
        std::vector<std::string> requests;
        const char* block; // where the version text lives
        size_t offset;
        const char* version; // the text there after the update
    } cases[] = {
        {"KEEP with Drive information", 2, "usb-asmedia", "KEEP", "0",
         kAsmOpen + kAsmCheck + Asm("fe", kIn) + Repeat(5, Asm("11", kOut)) + Asm("10", kNone) +
             Asm("fe", kIn) +
             std::vector<std::string>{
                 "cdb ea5a0100000000000000000000000000 in 0 length 0 \\\\.\\PhysicalDrive4"},
         "fwconfig", 1064, "041k0207"},
        {"before the download, Drive information", 0, "zx-native", "041k0210", "1",
         kNativeOpen + kNativeCheck +
             std::vector<std::string>{kNativeConfigRead, kNativeConfigWrite} + kNativeDownload,
         "fwconfig", 1064, "041k0210"},
        {"before the download, MP information", 4, "usb-realtek", "041k0210", "1",
         kRtkOpen + kRtkCheck + Rtk("f2", kIn) + Rtk("f1", kOut) + Repeat(5, Rtk("11", kOut)) +
             Rtk("10", kNone),
         "mpinfo", 88, "041k0210"},
        {"keep without Drive information", 4, "usb-realtek", "keep", "0",
         kRtkOpen + kRtkCheck + Repeat(5, Rtk("11", kOut)) + Rtk("10", kNone), "mpinfo", 88,
         "041k0207"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        keys_["NEWVERSION"] = c.newVersion;
        keys_["bSetVersionBeforeReflash"] = c.before;
        HWND d = Update(c.entry);
        ExpectSameLines(WorkerRequests(trace_), c.requests);
        Answer(d, IDCANCEL);
        EXPECT_EQ(Stop(d), 0);
        EXPECT_EQ(BlockText(c.disk, c.block, c.offset), c.version);
        if (std::string(c.block) == "mpinfo") {
            // The drive stores the MP information block as written: all but the version field
            // went back as it was (its geometry, NAND table, SOC id and version of format 1768,
            // which identify a drive without Drive information).
            std::vector<uint8_t> after = Block(c.disk, c.block);
            ASSERT_EQ(after.size(), 4096u);
            EXPECT_EQ(after[280], 0xE8); // format 1768
            EXPECT_EQ(after[281], 0x06);
            EXPECT_EQ(after[1582], 0x71); // SOC id 3C71
            EXPECT_EQ(after[1583], 0x3C);
            EXPECT_EQ(std::vector<uint8_t>(after.begin() + 1352, after.begin() + 1358),
                      (std::vector<uint8_t>{0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00}));
        }
        sim::SetTraceFile("");
    }
}

// The outcome of a successful update on the dialog: no box without an AfterMessage; with one, as
// PowerCtrl says: OK only, or OK and Cancel (Cancel first) with the power-off or restart request
// on OK; another value shows nothing. The status line says what the drive runs in every case.
// RUN and the list are enabled again and the program stays open.
TEST_F(MainDialogNvmeUpdate, ShowsTheOutcomeAndOffersPowerOffOrRestart) {
    const std::vector<std::string> kPowerOff = {
        "OpenProcessToken 0x28", "LookupPrivilegeValueW SeShutdownPrivilege",
        "AdjustTokenPrivileges SeShutdownPrivilege enabled", "ExitWindowsEx 0x8 0x0"};
    const std::vector<std::string> kRestart = {
        "OpenProcessToken 0x28", "LookupPrivilegeValueW SeShutdownPrivilege",
        "AdjustTokenPrivileges SeShutdownPrivilege enabled", "ExitWindowsEx 0x2 0x0"};
    const struct {
        const char* afterMessage;
        const char* powerCtrl;
        bool box;
        UINT type;
        int answer;
        std::vector<std::string> powerCalls;
        const char* shutdown;
    } cases[] = {
        {"", "1", false, 0, 0, {}, ""},
        {"Done", "0", true, 0x00, IDOK, {}, ""},
        {"Done", "1", true, kOkCancelInformation, IDCANCEL, {}, ""},
        {"Done", "1", true, kOkCancelInformation, IDOK, kPowerOff, "power off"},
        {"Done", "2", true, kOkCancelInformation, IDOK, kRestart, "restart"},
        {"Done", "3", false, 0, 0, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.afterMessage) + " PowerCtrl " + c.powerCtrl);
        std::string error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        sim::ClearPower();
        keys_["AfterMessage"] = c.afterMessage;
        keys_["PowerCtrl"] = c.powerCtrl;
        HWND d = Update(0);
        std::vector<MessageBoxRecord> boxes = MessageBoxes(); // the question, then the outcome
        ASSERT_EQ(boxes.size(), c.box ? 2u : 1u);
        if (c.box) {
            EXPECT_EQ(boxes[1].text, L"Done");
            EXPECT_EQ(boxes[1].caption, L"Test");
            EXPECT_EQ(boxes[1].type, c.type);
            Answer(d, c.answer);
        }
        EXPECT_EQ(sim::Power().calls, c.powerCalls);
        EXPECT_EQ(sim::ShutdownRequested(), c.shutdown);
        DialogView v = View(d);
        // with or without a closing message, the update ends with a word
        EXPECT_EQ(v.Find(IDC_STATUS)->text,
                  L"Update finished: ZELTARIX ZX5016 1TB runs firmware 041k020C.");
        EXPECT_TRUE(v.Find(IDOK)->enabled);
        EXPECT_TRUE(v.Find(IDC_DISK_LIST)->enabled);
        EXPECT_EQ(Stop(d), 0); // still open until closed
        sim::SetTraceFile("");
    }
}

// A failure at each step before the commit ends the update at once with "Update FW Fail !",
// which step failed and that the drive runs its old firmware: the requests stop at the failing
// one, the bar stays where the step left it, there is no rescan, and RUN and the list are enabled
// again; every buffer, the image among them, was released exactly once.
TEST_F(MainDialogNvmeUpdate, EndsAtTheFirstFailingStep) {
    const std::string kAsmPower = "cdb ea5a0100000000000000000000000000 in 0 length 0";
    const struct {
        const char* name;
        int entry;
        const char* disk;
        const char* faults;
        const char* before;
        std::vector<std::string> requests;
        int bar;
        const wchar_t* what; // the sentence after "Update FW Fail !"
    } cases[] = {
        {"open",
         0,
         "zx-native",
         "open_fail",
         "0",
         {"open \\\\.\\PhysicalDrive1 failed"},
         0,
         L"The disk \\\\.\\PhysicalDrive1 could not be opened."},
        {"configuration read", 0, "zx-native", "nvme_fail:0xFE@1", "0",
         kNativeOpen + kNativeCheck + std::vector<std::string>{kNativeConfigRead + " failed"}, 0,
         L"The drive's FW configuration block could not be read."},
        {"configuration write", 0, "zx-native", "nvme_fail:0xFD", "1",
         kNativeOpen + kNativeCheck +
             std::vector<std::string>{kNativeConfigRead, kNativeConfigWrite + " failed"},
         0, L"The version text could not be written into the drive before the download."},
        {"MP information write", 4, "usb-realtek", "nvme_fail:0xF1", "1",
         kRtkOpen + kRtkCheck + Rtk("f2", kIn) + Refused(Rtk("f1", kOut)), 0,
         L"The version text could not be written into the drive before the download."},
        {"download", 0, "zx-native", "download_fail:8192", "0",
         kNativeOpen + kNativeCheck +
             std::vector<std::string>{kNativeConfigRead, "download 0 4096" + kNative,
                                      "download 4096 4096" + kNative,
                                      "download 8192 4096" + kNative + " failed"},
         12, L"The drive did not take the firmware download (the piece at byte 8192 of 20480)."},
        // the disk leaves in the data phase of the piece at 4096, which answers CHECK CONDITION
        {"disk gone in the download", 2, "usb-asmedia", "download_vanish:4096", "0",
         kAsmOpen + kAsmCheck + Asm("fe", kIn) + Asm("11", kOut) + Asm("11", kOut).at(0) +
             Asm("11", kOut).at(1),
         6, L"The drive did not take the firmware download (the piece at byte 4096 of 20480)."},
        // the refused commit's completion is read all the same: its status says why
        {"commit", 3, "usb-jmicron", "commit_fail", "0",
         kJmiOpen + kJmiCheck + Jmi("e6", kIn) + Repeat(5, Jmi("11", kOut)) + Jmi("10", kNone), 40,
         L"The drive refused the firmware commit."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        keys_["bSetVersionBeforeReflash"] = c.before;
        HWND d = Update(c.entry, c.disk, c.faults);
        ExpectSameLines(WorkerRequests(trace_), c.requests);
        EXPECT_EQ(WorkerRescans(), 0);
        MessageBoxRecord box;
        ASSERT_TRUE(OpenMessageBox(&box));
        EXPECT_EQ(box.text, L"Update FW Fail !\r\n\r\n" + std::wstring(c.what) +
                                L" The drive still runs its old firmware 041k020" +
                                (c.entry == 1 || c.entry == 3 ? L"A." : L"7."));
        EXPECT_EQ(box.caption, L"Test");
        EXPECT_EQ(box.type, kOkWarning);
        Answer(d, IDOK);
        DialogView v = View(d);
        EXPECT_EQ(v.Find(IDC_PROGRESS)->pos, c.bar);
        EXPECT_EQ(v.Find(IDC_STATUS)->text, L"Update failed; the drive runs its old firmware.");
        EXPECT_TRUE(v.Find(IDOK)->enabled);
        EXPECT_TRUE(v.Find(IDC_DISK_LIST)->enabled);
        EXPECT_EQ(Stop(d), 0);
        ExpectBuffersReleasedOnce();
        sim::ClearFaults(c.disk);
        sim::SetTraceFile("");
    }
}

// A version text written before the download is put back when the download fails: the drive's
// own block goes back (with the check value of the image's checksum kind on the FW configuration
// path), so that the drive never names a version it does not run, and the message says so.
TEST_F(MainDialogNvmeUpdate, AFailedDownloadPutsBackTheVersionWrittenBeforeIt) {
    const struct {
        const char* name;
        int entry;
        const char* disk;
        std::vector<std::string> requests;
        const char* block;
        size_t offset;
    } cases[] = {
        {"FW configuration", 0, "zx-native",
         kNativeOpen + kNativeCheck +
             std::vector<std::string>{
                 kNativeConfigRead, kNativeConfigWrite, "download 0 4096" + kNative,
                 "download 4096 4096" + kNative + " failed", kNativeConfigWrite},
         "fwconfig", 1064},
        {"MP information", 4, "usb-realtek",
         kRtkOpen + kRtkCheck + Rtk("f2", kIn) + Rtk("f1", kOut) + Rtk("11", kOut) +
             Refused(Rtk("11", kOut)) + Rtk("f1", kOut),
         "mpinfo", 88},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        keys_["bSetVersionBeforeReflash"] = "1";
        const std::vector<uint8_t> original = Block(c.disk, c.block);
        HWND d = Update(c.entry, c.disk, "download_fail:4096");
        ExpectSameLines(WorkerRequests(trace_), c.requests);
        MessageBoxRecord box;
        ASSERT_TRUE(OpenMessageBox(&box));
        EXPECT_EQ(box.text, L"Update FW Fail !\r\n\r\nThe drive did not take the firmware download "
                            L"(the piece at byte 4096 of 20480). The version text written before "
                            L"the download was put back. The drive still runs its old firmware "
                            L"041k0207.");
        Answer(d, IDOK);
        EXPECT_EQ(Stop(d), 0);
        EXPECT_EQ(BlockText(c.disk, c.block, c.offset), "041k0207");
        if (!original.empty()) {
            EXPECT_EQ(Block(c.disk, c.block), original);
        }
        sim::ClearFaults(c.disk);
        sim::SetTraceFile("");
    }
}

// The image the worker writes is the one RUN checked: deleting or replacing the file in the
// working folder while the question is open changes nothing, the drive runs the checked image.
TEST_F(MainDialogNvmeUpdate, AnImageReplacedUnderTheQuestionIsNeverRead) {
    for (bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replaced" : "deleted");
        std::string error;
        ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
        HWND d = Update(0, "", "", [&] {
            const std::string image = WorkingFile("A.fw");
            if (replace) {
                // a sound image of another version: the drive would take it
                const std::vector<uint8_t> other =
                    zxpkg::BuildImage(SmallImage("0F", 0x00010203, 1));
                std::ofstream(image, std::ios::binary)
                    .write(reinterpret_cast<const char*>(other.data()),
                           static_cast<std::streamsize>(other.size()));
            } else {
                EXPECT_EQ(std::remove(image.c_str()), 0) << image;
            }
        });
        MessageBoxRecord box;
        ASSERT_TRUE(OpenMessageBox(&box));
        EXPECT_EQ(box.text, L"Done\r\nPower off?");
        Answer(d, IDCANCEL);
        EXPECT_EQ(Stop(d), 0);
        std::string running;
        ASSERT_TRUE(sim::WithDrive(
            "zx-native", [&](sim::NvmeDrive& drive) { running = drive.State().firmware; }));
        EXPECT_EQ(running, "041k020C");
        ExpectBuffersReleasedOnce();
        sim::SetTraceFile("");
    }
}

// A bridged disk that does not come back from its power cycle: the re-find gives up, the rescans
// while the update runs show the disk as the Disconnect entry (the selected disk's text: RUN's
// re-read found no volume on it), and the update ends saying that the image was committed and
// the drive is not answering, never OK.
TEST_F(MainDialogNvmeUpdate, ADiskThatDoesNotComeBackIsTheDisconnectEntry) {
    ASSERT_TRUE(sim::InjectFault("usb-asmedia", "no_return"));
    HWND d = Update(2);
    MessageBoxRecord box;
    ASSERT_TRUE(OpenMessageBox(&box));
    EXPECT_EQ(box.text, L"The new firmware 041k020C was committed to ZELTARIX ZX5016 1TB, but the "
                        L"drive did not come back after its reset. Do not write to it: unplug its "
                        L"enclosure and plug it in again, or shut the PC down and start it again, "
                        L"then run this program again to check the drive.");
    EXPECT_EQ(box.type, kOkWarning);
    Answer(d, IDOK);
    DialogView v = View(d);
    const ControlView* list = v.Find(IDC_DISK_LIST);
    EXPECT_EQ(list->items, (std::vector<std::wstring>{
                               L"ZELTARIX ZX5016 1TB [D: ]", L"ZELTARIX ZX5012 512GB (RAW)",
                               L"ZELTARIX ZX5012 512GB (RAW)", L"ZELTARIX ZX5016 1TB (RAW)",
                               L"ZELTARIX ZX5016 1TB (RAW) - Disconnect"}));
    EXPECT_EQ(list->curSel, 4);
    EXPECT_EQ(v.Find(IDC_PROGRESS)->pos, 100);
    EXPECT_EQ(v.Find(IDC_STATUS)->text, L"Firmware committed; the drive did not come back.");
    EXPECT_FALSE(sim::IsPresent("usb-asmedia"));
    EXPECT_EQ(Stop(d), 0);
}

namespace {

std::atomic<int> g_workerRequests{0};
std::atomic<DWORD> g_dialogThread{0};
std::atomic<HWND> g_updateDialog{nullptr};

// Counts the worker's requests to the ASMedia disk; at its 21st (the data phase of the second
// download piece, whose command phase the bridge holds) a timer rescan is posted to the dialog,
// and the request waits until the dialog has run it.
void RescanBetweenTheWorkersPhases(uint32_t) {
    if (GetCurrentThreadId() == g_dialogThread) {
        return;
    }
    if (++g_workerRequests == 21) {
        PostMessageW(g_updateDialog, WM_TIMER, DEVICE_CHANGE_TIMER_ID, 0);
        EXPECT_TRUE(WaitUntilIdle(g_updateDialog, kWait));
    }
}

} // namespace

// A device change while an update runs behind an ASMedia bridge: the dialog's rescan comes
// between the command and the data phase of a download piece. It must not probe that disk (its
// commands would take the worker's place on the bridge): the update ends well, the rescan sent
// the disk no SCSI command, and the list still shows the disk.
TEST_F(MainDialogNvmeUpdate, ARescanDuringABridgedDownloadLeavesTheBridgeToTheWorker) {
    ASSERT_TRUE(sim::InjectFault("usb-asmedia", "slow:1"));
    g_workerRequests = 0;
    HWND d = Start("/debug");
    g_updateDialog = d;
    Pick(d, 2);
    ASSERT_TRUE(sim::SetTraceFile(trace_));
    MessageBoxRecord question = PressRun(d);
    EXPECT_EQ(question.text, L"Update now?");
    // The dialog's thread: the one that filled the list at start-up.
    for (const IssuedMessage& m : IssuedMessages()) {
        if (m.controlId == IDC_DISK_LIST && m.message == CB_SETCURSEL) {
            g_dialogThread = m.senderThread;
        }
    }
    ASSERT_NE(g_dialogThread.load(), 0u);
    sim::SetSlowWaitHook(RescanBetweenTheWorkersPhases);
    const size_t before = MessageBoxes().size();
    AnswerMessageBox(IDYES);
    MessageBoxRecord box;
    ASSERT_TRUE(
        WaitUntil([&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.text, L"Done\r\nPower off?");
    Answer(d, IDCANCEL);
    sim::SetSlowWaitHook(nullptr);
    EXPECT_GE(g_workerRequests.load(), 21);
    // the timer's rescan ran, and sent the disk under update no pass-through request
    size_t timers = 0;
    for (const MessageRecord& m : MessageLog()) {
        timers += m.controlId == 0 && m.message == WM_TIMER ? 1 : 0;
    }
    EXPECT_GE(timers, 1u);
    const std::vector<Record> trace = tracetest::ReadTrace(trace_);
    std::string worker;
    for (const Record& r : trace) {
        if (Field(r, "ioctl") == "IOCTL_STORAGE_FIRMWARE_DOWNLOAD" ||
            Field(r, "cdb").rfind("ea5a8000020000", 0) == 0) {
            worker = Field(r, "tid");
            break;
        }
    }
    ASSERT_FALSE(worker.empty());
    // Between the worker's first and last request: once the worker has ended, a rescan may
    // probe the disk again.
    size_t first = trace.size();
    size_t last = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (Field(trace[i], "tid") == worker) {
            first = std::min(first, i);
            last = i;
        }
    }
    size_t rescanTunnel = 0;
    for (size_t i = first; i < last; ++i) {
        const Record& r = trace[i];
        if (Field(r, "tid") != worker && Field(r, "path") == "\\\\.\\PhysicalDrive4" &&
            Field(r, "ioctl") == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
            ++rescanTunnel;
        }
    }
    EXPECT_EQ(rescanTunnel, 0u);
    EXPECT_EQ(View(d).Find(IDC_DISK_LIST)->curSel, 2);
    EXPECT_EQ(Stop(d), 0);
    sim::SetTraceFile("");
}
