#include "app/state/app_state.h"

#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <type_traits>

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

// The record's fields in the order and with the types every subsystem relies on.
TEST(DiskRecordTest, FieldsInTheirOrderWithTheirTypes) {
    const size_t offsets[] = {
        offsetof(DiskRecord, DevicePath),     offsetof(DiskRecord, iCmdType),
        offsetof(DiskRecord, iPort),          offsetof(DiskRecord, iCapacityGB),
        offsetof(DiskRecord, iSectorSize),    offsetof(DiskRecord, iTotalSectors),
        offsetof(DiskRecord, Model),          offsetof(DiskRecord, FirmwareRev),
        offsetof(DiskRecord, SerialNumber),   offsetof(DiskRecord, VolumeLetters),
        offsetof(DiskRecord, iDriveNumber),   offsetof(DiskRecord, bRaw),
        offsetof(DiskRecord, bSystemDisk),    offsetof(DiskRecord, bKnownController),
        offsetof(DiskRecord, iVendorId),      offsetof(DiskRecord, iSubsystemVendorId),
        offsetof(DiskRecord, iSocId),         offsetof(DiskRecord, iLinkSpeed),
        offsetof(DiskRecord, iLinkWidth),     offsetof(DiskRecord, iMaxLinkSpeed),
        offsetof(DiskRecord, iMaxLinkWidth),  offsetof(DiskRecord, bDrvInfoValid),
        offsetof(DiskRecord, NandId),         offsetof(DiskRecord, iLun),
        offsetof(DiskRecord, DrvInfoVersion), offsetof(DiskRecord, iFtlBuildNum),
        offsetof(DiskRecord, iBusType)};
    EXPECT_EQ(offsets[0], 0u);
    for (size_t i = 1; i < sizeof(offsets) / sizeof(offsets[0]); ++i) {
        EXPECT_LT(offsets[i - 1], offsets[i]) << "field " << i;
    }

    DiskRecord r;
    static_assert(std::is_same<decltype(r.iCmdType), int32_t>::value, "int32");
    static_assert(std::is_same<decltype(r.iPort), int64_t>::value, "signed 64-bit");
    static_assert(std::is_same<decltype(r.iTotalSectors), uint64_t>::value, "uint64");
    static_assert(std::is_same<decltype(r.iLinkSpeed), int32_t>::value, "int32");
    static_assert(std::is_same<decltype(r.bRaw), uint8_t>::value, "uint8");
    static_assert(std::is_same<decltype(r.bDrvInfoValid), uint8_t>::value, "uint8");
    static_assert(std::is_same<decltype(r.iBusType), uint32_t>::value, "uint32");
    EXPECT_EQ(sizeof(r.DevicePath) / sizeof(WCHAR), 64u);
    EXPECT_EQ(sizeof(r.DrvInfoVersion) / sizeof(WCHAR), 64u);
    EXPECT_EQ(sizeof(r.NandId), 6u);
}

// The Application state's fields in their order.
TEST(AppStateTest, FieldsInTheirOrder) {
    const size_t offsets[] = {offsetof(AppState, hDialog),
                              offsetof(AppState, hWorker),
                              offsetof(AppState, Title),
                              offsetof(AppState, WorkingFolder),
                              offsetof(AppState, ConfigPath),
                              offsetof(AppState, DiskCount),
                              offsetof(AppState, Disks),
                              offsetof(AppState, SelectedDisk),
                              offsetof(AppState, DebugFlag),
                              offsetof(AppState, SOCID),
                              offsetof(AppState, ModelName),
                              offsetof(AppState, FWVersion),
                              offsetof(AppState, NEWVERSION),
                              offsetof(AppState, BeforeMessage),
                              offsetof(AppState, AfterMessage),
                              offsetof(AppState, PowerCtrl),
                              offsetof(AppState, iInternalFWVersionCheckPart),
                              offsetof(AppState, bRemoveFtlBuildNumCheck),
                              offsetof(AppState, bSetVersionBeforeReflash),
                              offsetof(AppState, ProgressLow),
                              offsetof(AppState, ProgressHigh),
                              offsetof(AppState, bIsSATA)};
    EXPECT_EQ(offsets[0], 0u);
    for (size_t i = 1; i < sizeof(offsets) / sizeof(offsets[0]); ++i) {
        EXPECT_LT(offsets[i - 1], offsets[i]) << "field " << i;
    }
    AppState s;
    static_assert(std::is_same<decltype(s.DiskCount), uint32_t>::value, "uint32");
    static_assert(std::is_same<decltype(s.ProgressLow), int16_t>::value, "int16");
    static_assert(std::is_same<decltype(s.iInternalFWVersionCheckPart), int32_t>::value, "int32");
}

} // namespace
