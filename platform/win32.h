// The one include for the Windows API. Every subsystem reaches the operating system through
// this header only. On Windows it is the SDK (plus what the mingw-w64 headers lack); elsewhere
// it is the subset implemented in platform/posix/, which forwards device I/O and the device tree
// to the installed device backend (platform/device_backend.h).
#pragma once

#ifdef _WIN32

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
// GUIDs and property keys declared from here on are defined (as selectany data) where they are
// used, so that no import library has to provide them.
#include <initguid.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <devpkey.h>
#include <pciprop.h>
#include <usbiodef.h>
#include <commctrl.h>
#include <dbt.h>
// GDI+ is started and shut down around the dialog; its headers need the property types that
// WIN32_LEAN_AND_MEAN leaves out of windows.h.
#include <objidl.h>
#include <gdiplus.h>
#include "platform/sdk_additions.h"
// The win32-sim and win64-sim builds: device calls go to the device backend (never in a shipped
// program).
#ifdef ZX_DEVICE_BACKEND
#include "platform/windows/device_routing.h"
#endif

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
#include "platform/posix/system_objects.h"
#include "platform/sdk_additions.h"
#include "platform/posix/setupapi.h"
#include "platform/posix/user.h"

#endif
