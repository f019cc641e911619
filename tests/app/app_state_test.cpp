#include "app/state/app_state.h"

#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <initializer_list>
#include <type_traits>

namespace {

// The records' capacities, field order and types that the subsystems rely on, checked when this
// file compiles.
constexpr bool Increasing(std::initializer_list<size_t> offsets) {
    size_t before = 0;
    bool first = true;
    for (size_t at : offsets) {
        if (!first && at <= before) {
            return false;
        }
        first = false;
        before = at;
    }
    return true;
}

constexpr size_t Chars(size_t bytes) {
    return bytes / sizeof(WCHAR);
}

static_assert(Chars(sizeof(AppState::Title)) == 260 &&
                  Chars(sizeof(AppState::WorkingFolder)) == 260 &&
                  Chars(sizeof(AppState::ConfigPath)) == 260 &&
                  Chars(sizeof(AppState::SOCID)) == 64 &&
                  Chars(sizeof(AppState::ModelName)) == 260 &&
                  Chars(sizeof(AppState::FWVersion)) == 260 &&
                  Chars(sizeof(AppState::NEWVERSION)) == 64 &&
                  Chars(sizeof(AppState::BeforeMessage)) == 1024 &&
                  Chars(sizeof(AppState::AfterMessage)) == 1024,
              "Application state text capacities");
static_assert(sizeof(AppState::Disks) / sizeof(DiskRecord) == 26, "the Disk table holds 26");
static_assert(sizeof(AppState::PowerCtrl) == 1 && sizeof(AppState::ProgressLow) == 2 &&
                  sizeof(AppState::ProgressHigh) == 2,
              "Application state field sizes");
static_assert(offsetof(AppState, hDialog) == 0 &&
                  Increasing({offsetof(AppState, hDialog),
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
                              offsetof(AppState, bIsSATA)}),
              "Application state fields in their order");
static_assert(std::is_same<decltype(AppState::DiskCount), uint32_t>::value &&
                  std::is_same<decltype(AppState::ProgressLow), int16_t>::value &&
                  std::is_same<decltype(AppState::iInternalFWVersionCheckPart), int32_t>::value,
              "Application state field types");

static_assert(
    offsetof(DiskRecord, DevicePath) == 0 &&
        Increasing({offsetof(DiskRecord, DevicePath),     offsetof(DiskRecord, iCmdType),
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
                    offsetof(DiskRecord, iBusType)}),
    "Disk record fields in their order");
static_assert(std::is_same<decltype(DiskRecord::iCmdType), int32_t>::value &&
                  std::is_same<decltype(DiskRecord::iPort), int64_t>::value &&
                  std::is_same<decltype(DiskRecord::iTotalSectors), uint64_t>::value &&
                  std::is_same<decltype(DiskRecord::iLinkSpeed), int32_t>::value &&
                  std::is_same<decltype(DiskRecord::bRaw), uint8_t>::value &&
                  std::is_same<decltype(DiskRecord::bDrvInfoValid), uint8_t>::value &&
                  std::is_same<decltype(DiskRecord::iBusType), uint32_t>::value,
              "Disk record field types");
static_assert(Chars(sizeof(DiskRecord::DevicePath)) == 64 &&
                  Chars(sizeof(DiskRecord::DrvInfoVersion)) == 64 &&
                  sizeof(DiskRecord::NandId) == 6,
              "Disk record capacities");

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

} // namespace
