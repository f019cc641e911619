// What keeps an update from the wrong disk, a bad image and a drive that cannot take it, through
// the program itself: RUN refuses a foreign drive whatever the package admits, a drive that no
// longer reports its Drive information, an image that is damaged or cannot be patched, and a
// battery too low to finish on; the worker refuses, on the handle it opened and before its first
// write, another disk at the picked disk's path and a drive whose firmware fields say it cannot
// take the update as it is sent; the system disk gets a question of its own, and every question
// opens on No.
#include "app/disk_table.h"
#include "app/messages.h"
#include "tests/app/program_fixture.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

using namespace zxtest;

namespace {

const UINT kWarningOk = 0x30;        // MB_OK | MB_ICONWARNING
const UINT kQuestionNoFirst = 0x134; // MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
    }
}

// Stores a CRC-32 image checksum (zlib's CRC-32, not the program's) over the header's first 80
// bytes, 4016 zero bytes and regions 0, 1 and 2 as the header places them, in the trailer page
// after region 2: an image whose layout is odd but whose checksum is right.
void SignCrc32(std::vector<uint8_t>& image) {
    const std::vector<uint8_t> zeros(4016, 0);
    uLong crc = crc32(0, image.data(), 80);
    crc = crc32(crc, zeros.data(), 4016);
    for (int r = 0; r < 3; r++) {
        const size_t first = Le32(image, 16 + 8 * size_t(r));
        const size_t last = Le32(image, 20 + 8 * size_t(r));
        crc = crc32(crc, image.data() + first * 4096, uInt((last + 1 - first) * 4096));
    }
    const size_t trailer = (Le32(image, 36) + 1) * 4096;
    PutLe32(image, trailer + 12, uint32_t(crc));
}

// Five pages: header, regions 0, 1 and 2 on pages 1, 2 and 3, trailer on page 4; CRC-32.
zxpkg::ImageRecipe FivePages() {
    zxpkg::ImageRecipe r = MatchingImage();
    r.checksumKind = 0;
    r.regions[0][0] = 1;
    r.regions[0][1] = 1;
    r.regions[1][0] = 2;
    r.regions[1][1] = 2;
    r.regions[2][0] = 3;
    r.regions[2][1] = 3;
    return r;
}

bool Enabled(HWND d, int id) {
    return IsWindowEnabled(GetDlgItem(d, id)) != FALSE;
}

// The Debug log from the last "Press OK" on.
std::vector<std::string> FromPressOk(const std::vector<std::string>& lines) {
    auto at = std::find(lines.rbegin(), lines.rend(), "Press OK");
    return at == lines.rend() ? std::vector<std::string>()
                              : std::vector<std::string>(at.base() - 1, lines.end());
}

class UpdateSafety : public ProgramTest {
protected:
    // The firmware drive "a" runs after the test, and whether it waits for a reset.
    static std::string Running(const std::string& disk = "a") {
        std::string running;
        EXPECT_TRUE(
            sim::WithDrive(disk, [&](sim::NvmeDrive& drive) { running = drive.State().firmware; }));
        return running;
    }
    static int Pending(const std::string& disk = "a") {
        int pending = -1;
        EXPECT_TRUE(sim::WithDrive(
            disk, [&](sim::NvmeDrive& drive) { pending = drive.State().pendingSlot; }));
        return pending;
    }

    // Presses RUN, answers the package's question Yes and returns the outcome's box, left open,
    // once the worker has ended.
    MessageBoxRecord RunAndAnswerYes(HWND d) {
        MessageBoxRecord question = PressRun(d);
        EXPECT_EQ(question.text, L"Update now?");
        return AnswerYes();
    }

    // Answers the open question Yes and returns the outcome's box, left open, once the worker
    // has traced its last rule (it empties its slot just before).
    MessageBoxRecord AnswerYes() {
        size_t before = MessageBoxes().size();
        AnswerMessageBox(IDYES);
        MessageBoxRecord box;
        EXPECT_TRUE(WaitUntil(
            [&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
        const std::string rule(52, '-');
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::vector<std::string> log = FromPressOk(LogLines());
                return std::count(log.begin(), log.end(), rule) == 2;
            },
            kWait));
        OutputDebugStringW(L""); // orders the rest after the worker's last trace
        return box;
    }
};

} // namespace

// RUN refuses, in full with or without "/debug" (each refusal keeps a write from the wrong drive
// or a harmed drive): no worker starts, RUN and the list stay enabled, and the drive runs what it
// ran.
TEST_F(UpdateSafety, RunRefusesWhatMustNotBeWritten) {
    const std::string map = "9BC5587130_1=A.fw\n";
    const struct {
        const char* name;
        std::map<std::string, std::string> keys;
        std::string nandMap;
        std::string disk; // extra lines of NvmeDisk()
        std::function<void(std::vector<uint8_t>&)> edit;
        const char* fault; // struck from RUN's re-read on
        const wchar_t* text;
    } cases[] = {
        // rules that admit every disk, and a drive of another maker that passes them
        {"foreign disk",
         {{"SOCID", "*"}, {"FWVersion", ""}},
         "000000000000_0=A.fw\n",
         "vsc = none\n",
         nullptr,
         "",
         L"ZX A (serial number SN000000000000000002) is not a ZELTARIX drive: it does not "
         L"answer the ZELTARIX vendor commands. This program writes only to ZELTARIX drives; "
         L"nothing was written."},
        // listed with its Drive information, whose read fails once at RUN (the generation
        // test's read passes, the next one fails): not taken for a drive without it
        {"Drive information gone",
         {},
         map,
         "",
         nullptr,
         "nvme_fail:0xFE@1*1",
         L"The program cannot read the drive's information from ZX A (serial number "
         L"SN000000000000000002), which it reported when it was listed. Nothing was written. "
         L"Reconnect the drive and try again."},
        {"a bit flipped in region 1",
         {},
         map,
         "",
         [](std::vector<uint8_t>& image) { image[2 * 4096 + 100] ^= 0x10; },
         "",
         L"The firmware image A.fw of this package cannot be written: its stored checksum matches "
         L"neither CRC-32 nor CRC-32C: the file is damaged. Nothing was written."},
        // region 2 (the FW configuration page) inside region 1, with a right checksum
        {"configuration page inside region 1",
         {},
         map,
         "",
         [](std::vector<uint8_t>& image) {
             PutLe32(image, 28, 3); // region 1: pages 2-3
             SignCrc32(image);
         },
         "",
         L"The firmware image A.fw of this package cannot be written: its regions overlap or are "
         L"out of order, so it has no FW configuration page of its own. Nothing was written."},
        {"region 0 after region 1",
         {},
         map,
         "",
         [](std::vector<uint8_t>& image) {
             PutLe32(image, 16, 2); // region 0: page 2
             PutLe32(image, 20, 2);
             PutLe32(image, 24, 1); // region 1: page 1
             PutLe32(image, 28, 1);
             SignCrc32(image);
         },
         "",
         L"The firmware image A.fw of this package cannot be written: its regions overlap or are "
         L"out of order, so it has no FW configuration page of its own. Nothing was written."},
        {"a page after the trailer",
         {},
         map,
         "",
         [](std::vector<uint8_t>& image) { image.resize(image.size() + 4096, 0xEE); },
         "",
         L"The firmware image A.fw of this package cannot be written: the file does not end "
         L"with its trailer page. Nothing was written."},
        {"battery at 10 % without AC",
         {},
         map,
         "[power supply]\nac = offline\nbattery = 10\n",
         nullptr,
         "",
         L"The battery is at 10%. A PC that loses power during a firmware update can leave the "
         L"drive unusable: connect it to AC power and update when the battery holds at least 25% "
         L"(10% on AC power). Nothing was written."},
        {"battery at 9 % on AC",
         {},
         map,
         "[power supply]\nac = online\nbattery = 9\n",
         nullptr,
         "",
         L"The battery is at 9%. A PC that loses power during a firmware update can leave the "
         L"drive unusable: connect it to AC power and update when the battery holds at least 25% "
         L"(10% on AC power). Nothing was written."},
    };
    for (const auto& c : cases) {
        for (bool debug : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (debug ? " /debug" : ""));
            // A [power] section goes after the disk, as a section of its own.
            UseScenario(NvmeDisk("a", 2, "ZX A", c.disk));
            keys_ = BaseKeys();
            for (const auto& k : c.keys) {
                keys_[k.first] = k.second;
            }
            nandMap_ = c.nandMap;
            images_ = {{"A.fw", FivePages()}};
            imageEdits_.clear();
            if (c.edit) {
                imageEdits_["A.fw"] = c.edit;
            }
            ClearLog();
            ClearRecords();
            HWND d = Start(debug ? "/debug" : "");
            if (c.fault[0] != 0) {
                ASSERT_TRUE(sim::InjectFault("a", c.fault));
            }
            MessageBoxRecord box = PressRun(d);
            EXPECT_EQ(box.text, c.text);
            EXPECT_EQ(box.caption, L"Test");
            EXPECT_EQ(box.type, kWarningOk);
            Answer(d, IDOK);
            EXPECT_EQ(MessageBoxes().size(), 1u);
            EXPECT_TRUE(Enabled(d, IDOK));
            EXPECT_TRUE(Enabled(d, IDC_DISK_LIST));
            EXPECT_EQ(IsBusy(), 0);
            std::vector<std::string> log = LogLines();
            EXPECT_EQ(std::count(log.begin(), log.end(), std::string(52, '-')), 0);
            EXPECT_EQ(Stop(d), 0);
            EXPECT_EQ(Running(), "041k0207");
            sim::ClearFaults("a");
        }
    }
}

// The battery rule's edges, and a PC without a battery: these start the update (the package's
// question comes).
TEST_F(UpdateSafety, EnoughBatteryOrNoBatteryAsksThePackagesQuestion) {
    for (const char* supply :
         {"ac = offline\nbattery = 25\n", "ac = online\nbattery = 10\n",
          "ac = offline\nbattery = none\n", "ac = online\nbattery = unknown\n"}) {
        SCOPED_TRACE(supply);
        UseScenario(NvmeDisk("a", 2, "ZX A", std::string("[power supply]\n") + supply));
        HWND d = Start("/debug");
        MessageBoxRecord box = PressRun(d);
        EXPECT_EQ(box.text, L"Update now?");
        Answer(d, IDNO);
        EXPECT_EQ(Stop(d), 0);
    }
}

// On the handle it opened and before any write, the worker finds that the drive cannot take the
// update as it is sent: the update is refused with the reason, the drive's firmware and its
// vendor blocks stay as they were, and no download starts.
TEST_F(UpdateSafety, TheWorkerRefusesADriveThatCannotTakeTheUpdate) {
    const struct {
        const char* disk;
        const wchar_t* reason;
    } cases[] = {
        {"fw_slot1_ro = yes\n", L"its firmware slot 1 is read-only"},
        {"fw_ug = 2\n",
         L"it takes firmware only in pieces of 2 x 4 KiB, and this program sends 4 KiB pieces"},
        {"fw_pending_slot = 1\n",
         L"a firmware update is already waiting to be activated (slot 1); power the drive off and "
         L"on (or unplug and plug in its enclosure) first"},
        {"fw_commands = no\n", L"it does not support the firmware download and commit commands"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.disk);
        UseScenario(NvmeDisk("a", 2, "ZX A", c.disk));
        keys_["NEWVERSION"] = "041k0210";
        keys_["bSetVersionBeforeReflash"] = "1"; // a write that would come first
        keys_["AfterMessage"] = "Done";
        ClearLog();
        HWND d = Start("/debug");
        const int pendingBefore = Pending();
        MessageBoxRecord box = RunAndAnswerYes(d);
        EXPECT_EQ(box.text, L"ZX A cannot take this update: " + std::wstring(c.reason) +
                                L". Nothing was written.");
        EXPECT_EQ(box.type, kWarningOk);
        Answer(d, IDOK);
        EXPECT_EQ(View(d).Find(IDC_STATUS)->text, L"Update refused; nothing was written.");
        std::vector<std::string> log = FromPressOk(LogLines());
        EXPECT_EQ(std::count(log.begin(), log.end(), "DISKLIB_NVME_SetFWConfig IN"), 0);
        EXPECT_EQ(std::count(log.begin(), log.end(), "DISKLIB_NVME_DownloadFW IN"), 0);
        EXPECT_EQ(Stop(d), 0);
        EXPECT_EQ(Running(), "041k0207");
        EXPECT_EQ(Pending(), pendingBefore);
    }
}

// Another disk at the picked disk's path when the worker opens it (the picked disk was unplugged
// under the question and another one took its drive number): refused, nothing written to either.
TEST_F(UpdateSafety, TheWorkerRefusesAnotherDiskBehindTheOpenedPath) {
    UseScenario(NvmeDisk("a", 2, "ZX A") +
                NvmeDisk("b", 3, "ZX B", "present = no\nreturn_drive = 2\n"));
    keys_["AfterMessage"] = "Done";
    HWND d = Start("/debug");
    MessageBoxRecord question = PressRun(d);
    EXPECT_EQ(question.text, L"Update now?");
    ASSERT_TRUE(sim::RemoveDisk("a"));
    ASSERT_TRUE(sim::AddDisk("b"));
    MessageBoxRecord box = AnswerYes();
    EXPECT_EQ(box.text, L"\\\\.\\PhysicalDrive2 is no longer the disk you picked (ZX A, serial "
                        L"number SN000000000000000002). Nothing was written.");
    Answer(d, IDOK);
    EXPECT_EQ(Stop(d), 0);
    EXPECT_EQ(Running("b"), "041k0207");
    EXPECT_EQ(Pending("b"), 0);
}

// The system disk: a question of its own before the package's, opening on No; No ends there, Yes
// goes on to the package's question (which opens on No too).
TEST_F(UpdateSafety, TheSystemDiskIsAskedAboutFirstAndEveryQuestionOpensOnNo) {
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDYES ? "Yes" : "No");
        ClearRecords();
        UseScenario(NvmeDisk("a", 2, "ZX A", "volumes = C D\n"));
        HWND d = Start("/debug");
        MessageBoxRecord box = PressRun(d);
        EXPECT_EQ(box.text, L"ZX A holds the Windows system volume (C: D:). If the update fails, "
                            L"Windows may not start from this disk again. Back up your data "
                            L"before you go on.\r\n\r\nUpdate the system disk?");
        EXPECT_EQ(box.caption, L"Test");
        EXPECT_EQ(box.type, kQuestionNoFirst);
        Answer(d, answer);
        std::vector<MessageBoxRecord> boxes = MessageBoxes();
        if (answer == IDNO) {
            EXPECT_EQ(boxes.size(), 1u);
            EXPECT_EQ(IsBusy(), 0);
        } else {
            ASSERT_EQ(boxes.size(), 2u);
            EXPECT_EQ(boxes[1].text, L"Update now?");
            EXPECT_EQ(boxes[1].type, kQuestionNoFirst);
            Answer(d, IDNO);
        }
        EXPECT_EQ(Stop(d), 0);
        EXPECT_EQ(Running(), "041k0207");
    }
}
