// The disk list (control 500) and the details panel (controls 501 to 505).
#pragma once

#include "platform/win32.h"

// Rediscovers the disks and rebuilds the list; initial is 1 only for dialog initialisation.
void Rescan(HWND dialog, int initial);

// Re-reads the disk of the current list entry into the selected disk and shows it.
void RefreshSelection(HWND dialog);
