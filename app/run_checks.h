// The checks of RUN: that the re-read disk is the disk the user picked and a ZELTARIX drive that
// still reports what it reported when listed; the package's rules in their fixed order (firmware
// revision list, image for the NAND identity, drive-information version, FTL build number), with
// the image loaded once and found sound; and the power supply.
#pragma once

#include "app/handed_image.h"
#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stddef.h>

enum {
    RUN_CHECK_PASSED = 1,
    RUN_REFUSED_BY_RULE = 0, // a rule of the package: shown in full only with "/debug"
    RUN_REFUSED_UNSAFE = -1  // writing would harm the wrong disk or the drive: always in full
};

// The re-read record against the listed one: the same drive (serial number and model), still
// answering the ZELTARIX vendor commands and reporting its Drive information when it did at
// listing. rereadResult is what the re-read returned.
int CheckPickedDisk(const DiskRecord* listed, const DiskRecord* disk, int rereadResult, WCHAR* text,
                    size_t capacity);

// The package's rules on the disk, in order; the image for its NAND identity is loaded into
// image (sound, with its checksum kind and revision) and checked from memory. On a refusal the
// detailed text is in text and image is empty.
int CheckDiskAgainstPackage(const DiskRecord* disk, CheckedImage* image, WCHAR* text,
                            size_t capacity);

// The least battery charge an update starts with: on battery power, and on AC power.
#define BATTERY_LEAST_ON_BATTERY 25
#define BATTERY_LEAST_ON_AC 10

// Refuses to start on a battery charged below BATTERY_LEAST_ON_BATTERY percent without AC power
// or below BATTERY_LEAST_ON_AC with it; when the charge is not known, on a battery that reports
// itself low or critical without AC power. A PC without a battery passes.
int CheckPowerSupply(WCHAR* text, size_t capacity);
