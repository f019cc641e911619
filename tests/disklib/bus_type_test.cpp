// The bus type query reads the descriptor's BusType as the dword the driver returned, also when
// a driver returns a value no bus type has, and nothing when the answer stops short of it.
#include "devquery/device_queries.h"
#include "platform/device_backend.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int g_device = 0;
const BYTE* g_answer = nullptr; // the descriptor bytes the driver returns
DWORD g_answerSize = 0;

HANDLE Open(LPCWSTR, DWORD, DWORD, DWORD, DWORD) {
    return NewBackendHandle(&g_device);
}

BOOL Close(HANDLE handle) {
    return DropBackendHandle(handle) != nullptr;
}

BOOL IoControl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned,
               LPOVERLAPPED) {
    if (code != IOCTL_STORAGE_QUERY_PROPERTY || outSize < g_answerSize) {
        return FALSE;
    }
    std::memcpy(out, g_answer, g_answerSize);
    *returned = g_answerSize;
    return TRUE;
}

TEST(BusTypeQuery, TheDwordTheDriverReturnsAtOffset28) {
    DeviceBackend backend = {};
    backend.OpenDevice = Open;
    backend.CloseHandle = Close;
    backend.IoControl = IoControl;
    const DeviceBackend* before = InstalledDeviceBackend();
    InstallDeviceBackend(&backend);
    HANDLE device = CreateFileW(L"\\\\.\\PhysicalDrive0", GENERIC_READ, FILE_SHARE_READ, NULL,
                                OPEN_EXISTING, 0, NULL);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    // Version, Size, the type bytes and the offsets, then BusType at byte 28.
    BYTE descriptor[40] = {};
    descriptor[0] = 40;
    descriptor[4] = 40;
    const struct {
        BYTE busType[4];
        DWORD answered;
        uint32_t expected;
    } cases[] = {
        {{0x11, 0x00, 0x00, 0x00}, 40, 17u},         // NVMe
        {{0x4A, 0x4A, 0x4A, 0x4A}, 40, 0x4A4A4A4Au}, // no bus type has it
        {{0x80, 0x00, 0x00, 0x00}, 40, 0x80u},       // past BusTypeMaxReserved
        {{0x11, 0x00, 0x00, 0x00}, 31, 0u},          // the answer ends inside BusType
    };
    for (const auto& c : cases) {
        std::memcpy(descriptor + 28, c.busType, 4);
        g_answer = descriptor;
        g_answerSize = c.answered;
        EXPECT_EQ(IO_GetBusType(device), c.expected) << c.expected;
    }
    EXPECT_TRUE(CloseHandle(device));
    InstallDeviceBackend(before);
}

} // namespace
