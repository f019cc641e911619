// The program's shutdown request (process token, shutdown privilege, ExitWindowsEx) reaches the
// simulated PC through the platform layer, which records it and never touches the host.
#include "platform/posix/ui_control.h"
#include "tests/support/sim_fixture.h"

namespace {

class PowerTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::ClearPower();
        zxposix::ui::ClearRecords();
    }
    void TearDown() override {
        sim::ClearPower();
        SimTest::TearDown();
    }

    // The calls of the program's RequestShutdown: the token for adjusting and querying, the
    // privilege's LUID, the privilege enabled, ExitWindowsEx(flags, 0). The last call's result.
    static BOOL RequestShutdown(UINT flags, DWORD access, bool enable, DWORD& error) {
        HANDLE token = nullptr;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
        TOKEN_PRIVILEGES tp = {};
        EXPECT_TRUE(LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &tp.Privileges[0].Luid));
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
        SetLastError(0);
        const BOOL ok = ExitWindowsEx(flags, 0);
        error = GetLastError();
        EXPECT_TRUE(CloseHandle(token));
        return ok;
    }
};

TEST_F(PowerTest, TheShutdownRequestReachesThePcAndNeverTheHost) {
    DWORD error = 0;
    EXPECT_TRUE(RequestShutdown(EWX_POWEROFF, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, true, error));
    const sim::PowerView power = sim::Power();
    EXPECT_EQ(power.calls, (std::vector<std::string>{"OpenProcessToken 0x28",
                                                     "LookupPrivilegeValueW SeShutdownPrivilege",
                                                     "AdjustTokenPrivileges SeShutdownPrivilege "
                                                     "enabled",
                                                     "ExitWindowsEx 0x8 0x0"}));
    ASSERT_EQ(power.shutdowns.size(), 1u);
    EXPECT_EQ(power.shutdowns[0].flags, 8u);
    EXPECT_EQ(power.shutdowns[0].reason, 0u);
    EXPECT_TRUE(power.shutdowns[0].privilegeHeld);
    EXPECT_TRUE(power.shutdowns[0].accepted);
    EXPECT_EQ(power.state, "off");
    EXPECT_EQ(sim::ShutdownRequested(), "power off");
    // The platform's own records stay empty: the request went to the simulated PC.
    EXPECT_TRUE(zxposix::ui::ShutdownRequests().empty());
}

TEST_F(PowerTest, ARestartAndWhatTheTokenAllows) {
    const struct {
        const char* what;
        UINT flags;
        DWORD access;
        bool enable;
        BOOL ok;
        DWORD error;
        const char* state;
        const char* requested;
    } cases[] = {
        {"restart", EWX_REBOOT, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, true, TRUE, 0, "restart",
         "restart"},
        {"power off without the privilege", EWX_POWEROFF, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
         false, FALSE, 1314, "on", ""}, // ERROR_PRIVILEGE_NOT_HELD
        {"a token that may not adjust", EWX_POWEROFF, TOKEN_QUERY, true, FALSE, 1314, "on", ""},
        {"a log-off needs no privilege", EWX_LOGOFF, TOKEN_QUERY, false, TRUE, 0, "on", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ClearPower();
        DWORD error = 0;
        EXPECT_EQ(RequestShutdown(c.flags, c.access, c.enable, error), c.ok);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(sim::Power().state, c.state);
        EXPECT_EQ(sim::ShutdownRequested(), c.requested);
        ASSERT_EQ(sim::Power().shutdowns.size(), 1u);
        EXPECT_EQ(sim::Power().shutdowns[0].accepted, c.ok == TRUE);
    }
    // The adjustment of a token opened without TOKEN_ADJUST_PRIVILEGES is refused.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp = {};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &tp.Privileges[0].Luid));
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 5u); // ERROR_ACCESS_DENIED
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &tp.Privileges[0].Luid));
    EXPECT_EQ(GetLastError(), 1313u); // ERROR_NO_SUCH_PRIVILEGE
}

} // namespace
