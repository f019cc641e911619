// How an update ends, as the drive shows it afterwards, through the program itself: after the
// commit the worker waits for the drive (not for the clock), finds it again and compares what it
// runs with the image; the dialog then says which outcome it is (the new firmware runs; it waits
// for a power-off; the drive reports something else; the version text did not go in), with the
// status line naming each step while it runs and the bar never moving back. A disk that left
// stays as its Disconnect entry afterwards.
#include "app/messages.h"
#include "platform/posix/control.h"
#include "app/update_outcome.h"
#include "tests/app/program_fixture.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>

using namespace zxtest;

namespace {

const UINT kOkInformation = 0x00;        // the package's AfterMessage with PowerCtrl 0
const UINT kOkWarning = 0x30;            // MB_OK | MB_ICONWARNING
const UINT kOkCancelCancelFirst = 0x141; // MB_OKCANCEL | MB_ICONINFORMATION | MB_DEFBUTTON2

// An image of 041k0208 that the disks NvmeDisk() describes may take: CRC-32, the check value
// kind of their FW configuration writes.
zxpkg::ImageRecipe NewerImage() {
    zxpkg::ImageRecipe r = MatchingImage();
    r.versionParts = {"04", "1k", "02", "08"};
    r.checksumKind = 0;
    r.regions[0][0] = 1;
    r.regions[0][1] = 1;
    r.regions[1][0] = 2;
    r.regions[1][1] = 2;
    r.regions[2][0] = 3;
    r.regions[2][1] = 3;
    return r;
}

class UpdateOutcomes : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        keys_["NEWVERSION"] = "041k0210";
        keys_["AfterMessage"] = "Done";
        images_ = {{"A.fw", NewerImage()}};
    }
    void TearDown() override {
        ProgramTest::TearDown();
        sim::ClearPower();
    }

    // Starts the program on the disk, presses RUN, answers Yes and returns the outcome's box,
    // left open, once the worker has traced its last rule.
    MessageBoxRecord Update(const std::string& diskKeys) {
        UseScenario(NvmeDisk("a", 2, "ZX A", diskKeys));
        ClearLog();
        ClearRecords();
        d_ = Start("/debug");
        MessageBoxRecord question = PressRun(d_);
        EXPECT_EQ(question.text, L"Update now?");
        const size_t before = MessageBoxes().size();
        AnswerMessageBox(IDYES);
        MessageBoxRecord box;
        EXPECT_TRUE(WaitUntil(
            [&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
        const std::string rule(52, '-');
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::vector<std::string> log = LogLines();
                return std::count(log.begin(), log.end(), rule) == 2;
            },
            kWait));
        OutputDebugStringW(L""); // orders the rest after the worker's last trace
        return box;
    }

    // The steps the status line named, in the order the dialog got them.
    static std::vector<LPARAM> Steps() {
        std::vector<LPARAM> steps;
        for (const MessageRecord& m : MessageLog()) {
            if (m.controlId == 0 && m.message == WM_UPDATE_STEP) {
                steps.push_back(m.lParam);
            }
        }
        return steps;
    }

    // The bar's positions as the dialog set them, in order.
    static std::vector<WPARAM> BarPositions() {
        std::vector<WPARAM> positions;
        for (const MessageRecord& m : MessageLog()) {
            if (m.controlId == IDC_PROGRESS && m.message == PBM_SETPOS) {
                positions.push_back(m.wParam);
            }
        }
        return positions;
    }

    static std::string Running() {
        std::string running;
        EXPECT_TRUE(
            sim::WithDrive("a", [&](sim::NvmeDrive& drive) { running = drive.State().firmware; }));
        return running;
    }

    HWND d_ = nullptr;
};

} // namespace

// Each outcome with its message, its status line and what the drive runs afterwards.
TEST_F(UpdateOutcomes, EachOutcomeSaysWhatTheDriveRunsAndWhatToDo) {
    const struct {
        const char* name;
        const char* disk;
        const wchar_t* text;
        UINT type;
        const wchar_t* status;
        const char* running;
    } cases[] = {
        // the driver's controller reset keeps the disk away 6 s, longer than the 3 s pause: the
        // worker waits for it before writing the version text
        {"activation reset of 6 s", "fw_activation = reset\nreset_ms = 6000\n", L"Done",
         kOkInformation, L"Update finished: ZX A runs firmware 041k0208.", "041k0208"},
        // the driver answers STG_S_POWER_CYCLE_REQUIRED: the image waits for a power-off
        {"a power cycle is needed", "fw_activation = power_cycle\n",
         L"The new firmware 041k0208 is installed on ZX A and starts after the PC is shut down and "
         L"started again. Until then the drive runs 041k0207.\r\n\r\nShut the PC down now?",
         kOkCancelCancelFirst,
         L"Firmware 041k0208 installed; it starts after the PC is shut down and started again.",
         "041k0207"},
        // a drive that keeps reporting its revision whatever it took
        {"the revision does not change", "firmware_check = any\n",
         L"The firmware was committed to ZX A, but the drive reports firmware 041k0207 where the "
         L"image carries 041k0208. The update could not be verified: shut the PC down, start it "
         L"again and run this program to check the drive.",
         kOkWarning, L"Firmware committed; the drive's revision could not be verified.",
         "041k0207"},
        // no Drive information: the version goes into the MP information block after the commit
        {"the version write after the commit is refused",
         "vsc_drvinfo = no\nvsc_mp_soc_id = 0x3C71\nfaults = nvme_fail:0xF1\n",
         L"The new firmware 041k0208 is committed to ZX A and runs now, but the version text "
         L"041k0210 could not be written into the drive's configuration.",
         kOkWarning, L"Firmware committed; the version text was not written.", "041k0208"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MessageBoxRecord box = Update(c.disk);
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.caption, L"Test");
        EXPECT_EQ(box.type, c.type);
        Answer(d_, IDCANCEL);
        EXPECT_EQ(View(d_).Find(IDC_STATUS)->text, c.status);
        EXPECT_EQ(View(d_).Find(IDC_PROGRESS)->pos, 100);
        EXPECT_EQ(Stop(d_), 0);
        EXPECT_EQ(Running(), c.running);
        EXPECT_TRUE(sim::Power().calls.empty());
    }
}

// The status line names each step as it starts, and the bar only moves forward: with a 30 s
// reset the worker waits for the drive in the bar's step after the commit.
// The signal (Ctrl-C here) that asked for the end of the session, once the dialog let it end.
std::atomic<int> g_sessionEndedBy{0};

void EndSessionForTest(int signalNumber) {
    g_sessionEndedBy = signalNumber;
    EndDialog(CurrentDialog(), 0);
}

TEST_F(UpdateOutcomes, AnEndOfTheSessionDuringTheUpdateWaitsUntilItsOutcomeIsTold) {
    // The first Firmware Download (opcode 11h) holds the worker until the test lets it go on.
    std::mutex lock;
    std::condition_variable changed;
    bool downloading = false;
    bool release = false;
    sim::SetAdminObserver([&](const sim::NvmeDrive&, const sim::NvmeAdminRequest& request,
                              const sim::NvmeCompletion&) {
        if (request.cmd.Opcode() != 0x11) {
            return;
        }
        std::unique_lock<std::mutex> lk(lock);
        downloading = true;
        changed.notify_all();
        changed.wait(lk, [&] { return release; });
    });
    g_sessionEndedBy = 0;
    zxposix::SetSessionEndHandler(EndSessionForTest);
    UseScenario(NvmeDisk("a", 2, "ZX A", ""));
    d_ = Start("/debug");
    ASSERT_EQ(PressRun(d_).text, L"Update now?");
    const size_t before = MessageBoxes().size();
    AnswerMessageBox(IDYES);
    {
        std::unique_lock<std::mutex> lk(lock);
        changed.wait(lk, [&] { return downloading; });
    }

    // Ctrl-C in the middle of the download: refused, and held with the update's reason.
    zxposix::RequestSessionEnd(SIGINT);
    const std::wstring reason =
        L"A drive's firmware is being updated. Ending the session now could leave the drive "
        L"unusable.";
    ASSERT_TRUE(WaitUntil([&] { return SessionEndHeldReason() == reason; }, kWait));
    EXPECT_EQ(SendMessageW(d_, WM_QUERYENDSESSION, 0, 0), 0);
    {
        std::lock_guard<std::mutex> lk(lock);
        release = true;
    }
    changed.notify_all();

    // The update runs to its end and tells its outcome; the session ends only after that.
    MessageBoxRecord box;
    ASSERT_TRUE(
        WaitUntil([&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.text, L"Done");
    EXPECT_EQ(g_sessionEndedBy.load(), 0);
    AnswerMessageBox(IDOK);
    const bool ended = WaitUntil([&] { return uiDone_.load(); }, kWait);
    std::vector<std::pair<UINT, WPARAM>> asked;
    for (const MessageRecord& m : MessageLog()) {
        if (m.controlId == 0 && (m.message == WM_QUERYENDSESSION || m.message == WM_ENDSESSION)) {
            asked.push_back({m.message, m.wParam});
        }
    }
    ASSERT_TRUE(ended) << ::testing::PrintToString(asked);
    EXPECT_EQ(g_sessionEndedBy.load(), SIGINT);
    ui_.join();
    sim::SetAdminObserver(nullptr);
    zxposix::SetSessionEndHandler(nullptr);
    EXPECT_EQ(Running(), "041k0208");
    const std::vector<std::pair<UINT, WPARAM>> want = {
        {WM_QUERYENDSESSION, 0}, {WM_ENDSESSION, FALSE}, // held during the download
        {WM_QUERYENDSESSION, 0},                         // the test's own question
        {WM_QUERYENDSESSION, 0}, {WM_ENDSESSION, TRUE},  // asked again after the outcome
    };
    EXPECT_EQ(asked, want);
}

TEST_F(UpdateOutcomes, TheStatusLineNamesEachStepAndTheBarNeverMovesBack) {
    MessageBoxRecord box = Update("fw_activation = reset\nreset_ms = 30000\n");
    EXPECT_EQ(box.text, L"Done");
    EXPECT_EQ(Steps(), (std::vector<LPARAM>{STEP_OPEN, STEP_CHECK, STEP_CONFIG_READ, STEP_DOWNLOAD,
                                            STEP_COMMIT, STEP_REFIND, STEP_VERSION_AFTER,
                                            STEP_REFIND, STEP_VERIFY}));
    const std::vector<WPARAM> positions = BarPositions();
    ASSERT_FALSE(positions.empty());
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), 100u);
    // the wait for the drive moved the bar between 60 and 80
    EXPECT_TRUE(
        std::any_of(positions.begin(), positions.end(), [](WPARAM p) { return p > 60 && p < 80; }));
    Answer(d_, IDOK);
    EXPECT_EQ(Stop(d_), 0);
}

// OK to the power-off the pending image needs: the PC is asked to power off.
TEST_F(UpdateOutcomes, ThePendingImagesOfferPowersThePcOff) {
    MessageBoxRecord box = Update("fw_activation = power_cycle\n");
    EXPECT_EQ(box.type, kOkCancelCancelFirst);
    Answer(d_, IDOK);
    EXPECT_EQ(sim::ShutdownRequested(), "power off");
    EXPECT_EQ(Stop(d_), 0);
}

// A disk that did not come back stays as its Disconnect entry once the update has ended: an idle
// rescan does not move the selection to another disk, and RUN on it is refused; once the user
// picks another entry, rescans select as before.
TEST_F(UpdateOutcomes, ADiskThatLeftStaysItsDisconnectEntryUntilTheUserPicksAnother) {
    UseScenario(NvmeDisk("b", 1, "ZX B") + NvmeDisk("a", 2, "ZX A", "fw_activation = reset") + "");
    ASSERT_TRUE(sim::InjectFault("a", "no_return"));
    ClearLog();
    d_ = Start("/debug");
    Pick(d_, 1);
    MessageBoxRecord question = PressRun(d_);
    EXPECT_EQ(question.text, L"Update now?");
    const size_t before = MessageBoxes().size();
    AnswerMessageBox(IDYES);
    MessageBoxRecord box;
    ASSERT_TRUE(
        WaitUntil([&] { return MessageBoxes().size() > before && OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.text.rfind(L"The new firmware 041k0208 was committed to ZX A, but the drive did "
                             L"not come back",
                             0),
              0u);
    Answer(d_, IDOK);
    ASSERT_TRUE(WaitUntil([] { return IsBusy() == 0; }, kWait));
    TimerRescan(d_);
    DialogView v = View(d_);
    const ControlView* list = v.Find(IDC_DISK_LIST);
    EXPECT_EQ(list->items, (std::vector<std::wstring>{L"ZX B (RAW)", L"ZX A (RAW) - Disconnect"}));
    EXPECT_EQ(list->curSel, 1);
    ClearRecords();
    MessageBoxRecord refusal = PressRun(d_);
    EXPECT_EQ(refusal.text, L"The selected disk is not connected.");
    Answer(d_, IDOK);
    Pick(d_, 0);
    TimerRescan(d_);
    EXPECT_EQ(View(d_).Find(IDC_DISK_LIST)->items, (std::vector<std::wstring>{L"ZX B (RAW)"}));
    EXPECT_EQ(View(d_).Find(IDC_DISK_LIST)->curSel, 0);
    EXPECT_EQ(Stop(d_), 0);
}
