// Device I/O: DeviceIoControl and the storage structures and control codes of winioctl.h and
// ntddscsi.h, with their layouts. Device handles come from CreateFileW on \\.\ paths and are
// served by the simulated PC.
#pragma once

#include "platform/posix/types.h"
