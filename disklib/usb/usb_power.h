// The bridges' power requests, sent at the end of a firmware update so that the enclosure
// power-cycles the drive and it starts the new firmware. ASMedia and JMicron bridges have one;
// Realtek bridges get none. Both travel in the pass-through envelope of the NVMe tunnels.
#pragma once

#include "platform/win32.h"

#include <stdint.h>

// ASMedia: one request, CDB EA 5A value and thirteen zero bytes, DataIn OUT, no data. Returns
// DISKLIB_OK when the call went through (ScsiStatus is not examined), else DISKLIB_ERR_IO.
int32_t IO_USB_ASM_PowerCtrl(HANDLE hDisk, uint8_t value);

// JMicron: a JMicron request block with an all-zero NVMe command and the value in byte 72, sent
// as command, non-data and response phases. Returns DISKLIB_ERR_IO when the command or the
// non-data call fails, else DISKLIB_OK; ScsiStatus is examined in no phase.
int32_t IO_USB_JMI_PowerCtrl(HANDLE hDisk, uint8_t value);
