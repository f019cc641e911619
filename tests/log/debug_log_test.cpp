#include "log/debug_log.h"
#include "app/state/app_state.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// Points the debugger output at a fresh file for the length of one test.
class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = "/tmp/zx_debug_log_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        unlink(path_.c_str());
        setenv("ZX_DEBUG_LOG", path_.c_str(), 1);
        InitAppState("");
    }
    void TearDown() override {
        unsetenv("ZX_DEBUG_LOG");
        unlink(path_.c_str());
    }
    bool LogExists() const { return access(path_.c_str(), F_OK) == 0; }
    std::string Log() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string path_;
};

TEST_F(DebugLogTest, WritesNothingUnlessTheFlagIsExactlyOne) {
    GetAppState()->DebugFlag = 0;
    DebugPrint(L"Item=%s", L"x");
    GetAppState()->DebugFlag = 2;
    DebugPrint(L"Item=%s", L"x");
    DebugPrint(L"");
    // Off means not even formatted: reading this argument would crash.
    DebugPrint(L"%S", reinterpret_cast<const char*>(1));
    GetAppState()->DebugFlag = 0;
    DebugPrint(L"%s", reinterpret_cast<const wchar_t*>(1));
    EXPECT_FALSE(LogExists()); // not even an empty line
}

TEST_F(DebugLogTest, OneLineWithThePrefix) {
    InitAppState("zxflash.exe /debug");
    DebugPrint(L"Item=%s", L"983C98B37601_2");
    DebugPrint(L"Item Retry=%s", L"983C98B376_2");
    EXPECT_EQ(Log(), "[ZX]          [middle] Item=983C98B37601_2\n"
                     "[ZX]          [middle] Item Retry=983C98B376_2\n");
}

TEST_F(DebugLogTest, FormatsOfTheSystem) {
    GetAppState()->DebugFlag = 1;
    DebugPrint(L"%s - iCmdType = %d, iPort = %I64d", L"\\\\.\\PhysicalDrive1", 2,
               static_cast<int64_t>(-1));
    DebugPrint(L"Now[%S],New[%S]", "EXD7201Q", "\x80X");
    DebugPrint(L"%s", L"");
    EXPECT_EQ(Log(), "[ZX]          [middle] \\\\.\\PhysicalDrive1 - iCmdType = 2, iPort = -1\n"
                     "[ZX]          [middle] Now[EXD7201Q],New[\xE2\x82\xACX]\n"
                     "[ZX]          [middle] \n");
}

TEST_F(DebugLogTest, LongMessageIsCutTo1023Characters) {
    GetAppState()->DebugFlag = 1;
    std::wstring message(2000, L'm');
    DebugPrint(L"%s", message.c_str());
    std::string want = "[ZX]          [middle] " + std::string(1000, 'm') + "\n";
    std::string got = Log();
    EXPECT_EQ(got.size(), 1024u); // 1023 characters and the newline
    EXPECT_EQ(got, want);
}

TEST_F(DebugLogTest, MessageThatJustFits) {
    GetAppState()->DebugFlag = 1;
    std::wstring message(999, L'k');
    DebugPrint(L"%s!", message.c_str());
    EXPECT_EQ(Log(), "[ZX]          [middle] " + std::string(999, 'k') + "!\n");
}

} // namespace
