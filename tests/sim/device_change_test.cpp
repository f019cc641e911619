// A disk that leaves and comes back tells the dialog: a bridge's power cycle reaches a dialog
// as two WM_DEVICECHANGE messages, the second once the enclosure is back.
#include "tests/platform/window_manager_fixture.h"
#include "tests/sim/sim_requests.h"
#include "sim/control.h"

#include <condition_variable>

namespace {

class SimDeviceChange : public WindowManager {
protected:
    static void SetUpTestSuite() { sim::Install(); }
};

TEST_F(SimDeviceChange, APowerCycledEnclosureIsAnnouncedWhenItLeavesAndWhenItIsBack) {
    ASSERT_TRUE(sim::LoadScenarioText(
        "[disk e]\nkind = usb\ndrive = 4\nbridge = asmedia\nusb = 1/2\nvendor = ASMT\n"
        "product = 2362\nmodel = ZELTARIX ZX5016 1TB\nvendor_id = 0x1E5C\nssvid = 0x1E5C\n"
        "sectors = 1953525168\npower_cycle_ms = 200\n"));
    std::mutex lock;
    std::condition_variable changed;
    std::vector<bool> presentAtEach; // the enclosure's presence as each message is handled
    SetHandler([&](HWND, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == WM_DEVICECHANGE && w == 0x0007) { // DBT_DEVNODES_CHANGED
            const bool present = sim::IsPresent("e");
            std::lock_guard<std::mutex> guard(lock);
            presentAtEach.push_back(present);
            changed.notify_all();
        }
        return 0;
    });
    HWND dialog = Start();
    ASSERT_NE(dialog, nullptr);
    zxposix::SetClockSpeed(10);
    HANDLE h = CreateFileW(L"\\\\.\\PhysicalDrive4", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(
        simreq::Scsi(h, simreq::Cdb("ea5a01"), SCSI_IOCTL_DATA_OUT, nullptr, 0, 24, 10).status, 0);
    CloseHandle(h);
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, kWait, [&] { return presentAtEach.size() >= 2; }));
        // The second is posted once the enclosure is back (when the first is handled it may
        // already be back too).
        ASSERT_EQ(presentAtEach.size(), 2u);
        EXPECT_TRUE(presentAtEach[1]);
    }
    EXPECT_EQ(sim::DeviceChanges(), (std::vector<std::string>{"left e", "back e"}));
    ASSERT_TRUE(PressKey(dialog, VK_ESCAPE));
    EXPECT_EQ(Finish(), 7);
}

} // namespace
