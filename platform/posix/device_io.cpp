// Device I/O of the POSIX layer: DeviceIoControl, and the device paths of CreateFileW, served
// by the simulated PC.
#include "platform/posix/device_hook.h"
#include "platform/posix/storage.h"
#include "sim/windows_api.h"

namespace {
// Device paths of CreateFileW go to the simulated PC from the start of the program.
const bool g_openerRegistered = (zxposix::SetDeviceOpener(&sim::OpenDevice), true);
} // namespace

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
    (void)g_openerRegistered;
    return sim::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                outBufferSize, bytesReturned, overlapped);
}
