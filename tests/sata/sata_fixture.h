// Shared set-up of the SATA tests: scenario texts of SATA disks on AHCI, in a USB-to-SATA
// enclosure and on a SAS adapter, the request trace in short, the pass-through request's input
// compared with the DataBuffer pointer masked, and the progress the disk library reports.
#pragma once

#include "disklib/progress.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace satatest {

using tracetest::Field;
using tracetest::Record;

// The literal layouts in these tests are the x86_64 ones (ATA_PASS_THROUGH_DIRECT 48 bytes,
// SCSI_PASS_THROUGH_DIRECT 56, the pass-through request 128 with the sense area at 60).
static_assert(sizeof(void*) == 8, "the SATA tests' literal layouts are x86_64's");

// A disk section from default keys, each replaced or extended by a line "key = value" of extra.
inline std::string Section(const std::string& name,
                           std::vector<std::pair<std::string, std::string>> keys,
                           const std::string& extra) {
    std::istringstream lines(extra);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find(" = ");
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 3);
        bool replaced = false;
        for (auto& kv : keys) {
            if (kv.first == key) {
                kv.second = value;
                replaced = true;
            }
        }
        if (!replaced) {
            keys.push_back({key, value});
        }
    }
    std::string text = "[disk " + name + "]\n";
    for (const auto& kv : keys) {
        text += kv.first + " = " + kv.second + "\n";
    }
    return text + "\n";
}

// A ZELTARIX SATA disk on an AHCI controller of its own, 480 GB, with the vendor commands.
inline std::string SataDisk(const std::string& name, int drive, const std::string& extra = "") {
    return Section(name,
                   {{"kind", "sata"},
                    {"drive", std::to_string(drive)},
                    {"model", "ZELTARIX ZX3000 SATA 480GB"},
                    {"serial", "ZX3000G000000000000" + std::to_string(drive % 10)},
                    {"firmware", "051s0102"},
                    {"sectors", "937703088"},
                    {"vsc", "ata"},
                    {"vsc_soc_id", "0x3A31"},
                    {"vsc_nand_id", "9BC558713000"},
                    {"vsc_lun", "1"},
                    {"vsc_ftl_build", "0x00020001"}},
                   extra);
}

// The same disk in a USB-to-SATA enclosure on port `port` of the root hub of controller 1.
inline std::string UsbSataDisk(const std::string& name, int drive, int port,
                               const std::string& extra = "") {
    return SataDisk(name, drive,
                    "kind = usb\nbridge = sata\nusb = 1/" + std::to_string(port) +
                        "\nusb_vid = 1A2B\nusb_pid = 0578\nvendor = USB3.0\nproduct = SATA "
                        "Bridge\n" +
                        extra);
}

// The same disk on a SAS adapter of its own (bus type 10).
inline std::string SasSataDisk(const std::string& name, int drive, const std::string& extra = "") {
    return "[controller sas" + std::to_string(drive) +
           "]\nkind = sas\nbus = " + std::to_string(drive + 10) + "\n\n" +
           SataDisk(name, drive,
                    "controller = sas" + std::to_string(drive) + "\nbus_type = 10\n" + extra);
}

// A request of the trace in short: the operation, and for a DeviceIoControl the control code,
// whether it succeeded, and what tells requests of that code apart.
inline std::string Summary(const Record& r) {
    if (Field(r, "op") == "CreateFileW") {
        return "CreateFileW " + Field(r, "path") + (Field(r, "ok") == "true" ? "" : " failed");
    }
    const std::string ioctl = Field(r, "ioctl");
    std::string line = ioctl + (Field(r, "ok") == "true" ? "" : " failed");
    if (ioctl == "IOCTL_ATA_PASS_THROUGH_DIRECT") {
        // CurrentTaskFile from the input as given (bytes 40..47), also of a refused request.
        line += " " + Field(r, "in").substr(2 * 40, 16);
    } else if (ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
        line += " " + Field(r, "cdb");
    } else if (ioctl == "IOCTL_STORAGE_QUERY_PROPERTY") {
        line += " " + Field(r, "property_id");
    }
    return line;
}

inline std::vector<std::string> Summaries(const std::vector<Record>& trace) {
    std::vector<std::string> lines;
    for (const Record& r : trace) {
        lines.push_back(Summary(r));
    }
    return lines;
}

// The hex of a request's input with the 8 bytes of a pointer at `pointerAt` written as "x".
inline std::string MaskPointer(const std::string& hex, size_t pointerAt) {
    std::string masked = hex;
    if (masked.size() >= 2 * (pointerAt + 8)) {
        masked.replace(2 * pointerAt, 16, std::string(16, 'x'));
    }
    return masked;
}

// Every percentage the disk library reported, in order.
inline std::vector<int>& Reported() {
    static std::vector<int> reported;
    return reported;
}

inline void RecordProgress(int percent) {
    Reported().push_back(percent);
}

class SataTest : public usbtest::SimTest {
protected:
    void SetUp() override {
        usbtest::SimTest::SetUp();
        Reported().clear();
        DISKLIB_SetProgressSink(RecordProgress);
    }
    void TearDown() override {
        DISKLIB_SetProgressSink(nullptr);
        usbtest::SimTest::TearDown();
    }
};

} // namespace satatest
