// The scenario texts the tests build: disk sections of the kinds the simulated PC knows, each
// with the defaults of a ZELTARIX disk, and the one way of replacing or adding a section's keys.
#pragma once

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

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

// The serial number NvmeDisk() gives the disk of a drive number: 20 characters, as Identify
// reports them.
inline std::string Serial(int drive) {
    char text[24];
    std::snprintf(text, sizeof(text), "SN%018d", drive);
    return text;
}

// A ZELTARIX NVMe disk on the platform's NVMe driver, admitted by the program tests' BaseKeys():
// vendor command set 1, SOC id 0x3C71, revision 041k0207, NAND id 9BC558713000 on LUN class 1,
// FTL build 0x00010203; it checks a committed image as ZELTARIX drives do and runs it at once. The
// extra lines (key = value) are added to the section and replace those of these keys that they
// name.
inline std::string NvmeDisk(const std::string& name, int drive, const std::string& model,
                            const std::string& extra = "") {
    std::string s = "[disk " + name + "]\nkind = nvme\ndrive = " + std::to_string(drive) +
                    "\nmodel = " + model + "\nserial = " + Serial(drive) +
                    "\nvendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = 1953525168\nbus = " +
                    std::to_string(drive + 1) + "\n";
    for (const char* key : {"vsc", "firmware", "vsc_soc_id", "vsc_nand_id", "vsc_lun",
                            "vsc_ftl_build", "firmware_check", "fw_activation"}) {
        if (extra.find(std::string(key) + " =") == std::string::npos) {
            static const std::map<std::string, std::string> defaults = {
                {"vsc", "1"},
                {"firmware", "041k0207"},
                {"vsc_soc_id", "0x3C71"},
                {"vsc_nand_id", "9BC558713000"},
                {"vsc_lun", "1"},
                {"vsc_ftl_build", "0x00010203"},
                {"firmware_check", "image"},
                {"fw_activation", "immediate"}};
            s += std::string(key) + " = " + defaults.at(key) + "\n";
        }
    }
    return s + extra + "\n";
}

// One USB enclosure of a scenario.
inline std::string UsbDisk(const std::string& name, int drive, const std::string& bridge,
                           const std::string& usbPath, const std::string& vendor,
                           const std::string& product, const std::string& extra = "") {
    return "[disk " + name + "]\nkind = usb\ndrive = " + std::to_string(drive) +
           "\nbridge = " + bridge + "\nusb = " + usbPath +
           "\nusb_vid = 174C\nusb_pid = 2362\nvendor = " + vendor + "\nproduct = " + product +
           "\nrevision = 0\nmodel = ZELTARIX ZX5016 1TB\nserial = ZX5016D000000000000" +
           std::to_string(drive) +
           "\nfirmware = ZX16A100\nvendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = "
           "1953525168\nvsc = 1\n" +
           extra + "\n";
}

// A ZELTARIX disk on the platform's NVMe driver.
inline std::string NativeDisk(const std::string& name, int drive, int bus,
                              const std::string& extra = "") {
    return "[disk " + name + "]\nkind = nvme\ndrive = " + std::to_string(drive) +
           "\nmodel = ZELTARIX ZX5016 1TB\nserial = ZX5016A000000000000" + std::to_string(drive) +
           "\nfirmware = ZX16A100\nvendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = "
           "1953525168\nbus = " +
           std::to_string(bus) + "\nroot_bus = 0\nlink = 3,4,4,4\n" + extra + "\n";
}

// An Intel RST controller on SCSI port 3 and a ZELTARIX disk at path id 1 behind it.
inline std::string RstDisk(const std::string& name, int drive, const std::string& extra = "") {
    return "[controller rst0]\nkind = rst\nservice = iaStorAC\nbus = 7\nroot_bus = 0\n"
           "scsi_port = 3\n\n[disk " +
           name + "]\nkind = rst\ndrive = " + std::to_string(drive) +
           "\ncontroller = rst0\nscsi_path = 1\nmodel = ZELTARIX ZX5012 512GB\nserial = "
           "ZX5012B0000000000002\nfirmware = ZX12B105\nvendor_id = 0x1E5C\nssvid = "
           "0x1E5C\nsectors = 1000215216\n" +
           extra + "\n";
}

// Two ZELTARIX NVMe disks on the NVMe driver that the demo package admits (model ZX5016 1TB, NAND
// 9BC558713000, revision 041k0207, reset activation); `extraB` goes into the second one, and with
// volumes they hold D: and E:.
inline std::string TwoDemoNvmeDisks(const std::string& extraB, bool volumes) {
    std::string text;
    for (int i = 1; i <= 2; i++) {
        text += "[disk zx-" + std::string(i == 1 ? "a" : "b") +
                "]\nkind = nvme\ndrive = " + std::to_string(i) +
                "\nmodel = ZELTARIX ZX5016 1TB\nserial = ZX5016A000000000000" + std::to_string(i) +
                "\nfirmware = 041k0207\nvendor_id = 0x1E5C\nssvid = 0x1E5C\n"
                "sectors = 1953525168\nbus = " +
                std::to_string(i + 1) +
                "\nroot_bus = 0\nlink = 3,4,4,4\nvsc = 1\nvsc_soc_id = 0x3C71\n"
                "vsc_nand_id = 9BC558713000\nvsc_lun = 1\nvsc_ftl_build = 0x00010203\n"
                "firmware_check = image\nfw_activation = reset\n" +
                (volumes ? "volumes = " + std::string(i == 1 ? "D" : "E") + "\n" : std::string()) +
                (i == 2 ? extraB : std::string()) + "\n";
    }
    return text;
}

} // namespace testsupport
