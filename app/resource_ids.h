// Resource and control ids shared by the resource script (resources/dialog.rc,
// resources/zxflash.rc) and the program. Plain #define lines only: the resource compiler and the
// POSIX template reader both read this file.
#pragma once

#define IDD_MAIN 102
#define IDI_MAIN 105
#define IDR_FWPACKAGEZIP 1000

#define IDC_DISK_LIST 500
#define IDC_MODEL 501
#define IDC_SERIAL 502
#define IDC_INTERFACE 503
#define IDC_FIRMWARE 504
#define IDC_CAPACITY 505
#define IDC_STATUS 510
#define IDC_PROGRESS 1003
#define IDC_PROGRAM_ICON 1004
#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif
