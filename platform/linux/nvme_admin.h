// NVMe admin commands through the kernel's NVMe driver (NVME_IOCTL_ADMIN_CMD on the controller's
// character device), the controller reset (NVME_IOCTL_RESET), and the log of both.
#pragma once

#include <stdint.h>

// Who asked for a command: the program (a request it made), or the backend itself (what the
// Windows driver does on its own: reading the Commands Supported and Effects log, resetting).
enum LxOrigin { LX_ORIGIN_PROGRAM = 0, LX_ORIGIN_PLATFORM = 1 };

// Data direction of a command, as the request moves it.
enum LxDirection { LX_DIR_NONE = 0, LX_DIR_TO_DEVICE = 1, LX_DIR_FROM_DEVICE = 2 };

// Status code type and status code of a completion, as one number: SCT << 8 | SC.
enum {
    LX_NVME_INVALID_FIRMWARE_SLOT = 0x106,
    LX_NVME_INVALID_FIRMWARE_IMAGE = 0x107,
    LX_NVME_NEEDS_CONVENTIONAL_RESET = 0x10B,
    LX_NVME_NEEDS_SUBSYSTEM_RESET = 0x110,
    LX_NVME_NEEDS_CONTROLLER_RESET = 0x111,
};

// One admin command: the 16 dwords of the submission entry (CDW0 bits 0..7 the opcode, CDW1 the
// namespace; the data pointer fields are the driver's) and its data.
struct LxNvmeCommand {
    uint32_t cdw[16];
    int direction;
    uint8_t* data;
    uint32_t length;
    uint32_t timeoutMs;
};

// Sends the command on fd. Returns 0 on success, the completion status (SCT << 8 | SC) when the
// controller failed it, or -errno when the driver did not run it. result receives DW0.
int LxNvmeAdmin(int fd, const char* controller, int origin, const LxNvmeCommand* command,
                uint32_t* result);
// Resets the controller (NVME_IOCTL_RESET): 0, or -errno.
int LxNvmeReset(int fd, const char* controller);

// The command log (platform/linux/linux_backend.h).
int LxSetCommandLog(const char* path);
// Writes one line to the command log, if one is open: head, the data as hex, tail and a line
// end, in one piece.
void LxLogWrite(const char* head, const uint8_t* data, uint32_t length, const char* tail);
