#include "app/app_state.h"

#include <gtest/gtest.h>

#include <string.h>

namespace {

TEST(AppStateTest, DebugSwitchAnywhereInAnyCase) {
    const char* on[] = {"/debug", "/Debug", "/DEBUG", "x /DeBuG y", "abc/DEBUGxyz", "-a /debug"};
    for (const char* line : on) {
        InitAppState(line);
        EXPECT_EQ(GetAppState()->DebugFlag, 1u) << line;
    }
    const char* off[] = {"", "debug", "/debu", "/ debug", "\\debug"};
    for (const char* line : off) {
        InitAppState(line);
        EXPECT_EQ(GetAppState()->DebugFlag, 0u) << line;
    }
    InitAppState(nullptr);
    EXPECT_EQ(GetAppState()->DebugFlag, 0u);
}

TEST(AppStateTest, CommandLineTooLongForItsBufferLeavesTheLogOff) {
    std::string line(1023, 'a');
    line.replace(1000, 6, "/debug");
    InitAppState(line.c_str()); // 1023 characters and the terminator fit
    EXPECT_EQ(GetAppState()->DebugFlag, 1u);
    line.push_back('b'); // 1024 characters no longer fit with the terminator
    InitAppState(line.c_str());
    EXPECT_EQ(GetAppState()->DebugFlag, 0u);
}

TEST(AppStateTest, StartsAllZeroAndIdle) {
    AppState* s = GetAppState();
    memset(s, 0x5A, sizeof(*s));
    InitAppState("");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(s);
    for (size_t i = 0; i < sizeof(*s); ++i) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
    EXPECT_EQ(s->ProgressHigh, 0);
    EXPECT_EQ(IsBusy(), 0);
    s->hWorker = reinterpret_cast<HANDLE>(0x100);
    EXPECT_EQ(IsBusy(), 1);
    s->hWorker = nullptr;
    EXPECT_EQ(GetAppState(), s);
}

TEST(AppStateTest, TextFieldsHaveTheirCapacities) {
    AppState s;
    EXPECT_EQ(sizeof(s.Title) / sizeof(WCHAR), 260u);
    EXPECT_EQ(sizeof(s.WorkingFolder) / sizeof(WCHAR), 260u);
    EXPECT_EQ(sizeof(s.ConfigPath) / sizeof(WCHAR), 260u);
    EXPECT_EQ(sizeof(s.SOCID) / sizeof(WCHAR), 64u);
    EXPECT_EQ(sizeof(s.ModelName) / sizeof(WCHAR), 260u);
    EXPECT_EQ(sizeof(s.FWVersion) / sizeof(WCHAR), 260u);
    EXPECT_EQ(sizeof(s.NEWVERSION) / sizeof(WCHAR), 64u);
    EXPECT_EQ(sizeof(s.BeforeMessage) / sizeof(WCHAR), 1024u);
    EXPECT_EQ(sizeof(s.AfterMessage) / sizeof(WCHAR), 1024u);
    EXPECT_EQ(sizeof(s.Disks) / sizeof(s.Disks[0]), 26u);
    EXPECT_EQ(sizeof(s.PowerCtrl), 1u);
    EXPECT_EQ(sizeof(s.ProgressLow), 2u);
    EXPECT_EQ(sizeof(s.ProgressHigh), 2u);
}

TEST(DiskRecordTest, ZeroedRecordAndCopies) {
    DiskRecord a;
    memset(&a, 0, sizeof(a));
    EXPECT_EQ(a.iCmdType, 0);
    EXPECT_EQ(a.iPort, 0);
    EXPECT_EQ(a.Model[0], 0);
    a.iPort = 9000000000000000099LL;
    a.NandId[5] = 0x04;
    wcscpy(a.Model, L"ZX-1");
    DiskRecord b = a;
    EXPECT_EQ(memcmp(&a, &b, sizeof(a)), 0);
    b.Model[0] = L'Y';
    EXPECT_EQ(a.Model[0], L'Z'); // a copy, never a reference
    EXPECT_EQ(sizeof(a.DevicePath) / sizeof(WCHAR), 64u);
    EXPECT_EQ(sizeof(a.NandId), 6u);
    EXPECT_EQ(sizeof(a.iPort), 8u);
}

} // namespace
