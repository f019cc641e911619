// The one include for the Windows API. Every subsystem reaches the operating system through
// this header only. On Windows it is the SDK (plus what the mingw-w64 headers lack); elsewhere
// it is the subset implemented in platform/posix/, which forwards device I/O to the simulated PC.
#pragma once

#ifdef _WIN32

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <devpkey.h>
#include "platform/windows/sdk_additions.h"

#else

#include "platform/posix/types.h"
#include "platform/posix/codepage.h"
#include "platform/posix/debug_output.h"
#include "platform/posix/files.h"
#include "platform/posix/memory.h"
#include "platform/posix/profile.h"
#include "platform/posix/resources.h"
#include "platform/posix/threads.h"
#include "platform/posix/storage.h"
#include "platform/posix/setupapi.h"
#include "platform/posix/user.h"

#endif
