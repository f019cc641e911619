// The details panel: what the chosen disk is, how it is attached and how fast its link runs.
#include "app/disk_list.h"
#include "app/resource_ids.h"
#include "common/wformat.h"

namespace {

// Indexed by iLinkSpeed; a value outside a table gives the empty text.
const WCHAR* const kPcieSpeeds[] = {
    L"",
    L"PCIE Gen1 Signaling Speed (2.5 Gbps)",
    L"PCIE Gen2 Signaling Speed (5.0 Gbps)",
    L"PCIE Gen3 Signaling Speed (8.0 Gbps)",
    L"PCIE Gen4 Signaling Speed (16.0 Gbps)",
    L"PCIE Gen5 Signaling Speed (32.0 Gbps)",
};
const WCHAR* const kSataSpeeds[] = {
    L"",
    L"Serial ATA Gen1 Signaling Speed (1.5 Gbps)",
    L"Serial ATA Gen2 Signaling Speed (3.0 Gbps)",
    L"Serial ATA Gen3 Signaling Speed (6.0 Gbps)",
};

const WCHAR* SpeedText(const WCHAR* const* table, size_t count, int32_t speed) {
    if (speed < 0 || static_cast<size_t>(speed) >= count) {
        return L"";
    }
    return table[speed];
}

// The USB port number of a bridge disk: the last two decimal digits of its port id.
int UsbPortOf(const DiskRecord* disk) {
    return static_cast<int>(static_cast<uint64_t>(disk->iPort) % 100u);
}

void FormatInterface(const DiskRecord* disk, WCHAR* text, size_t capacity) {
    text[0] = 0;
    switch (disk->iCmdType) {
    case CMD_USB_ASM:
        WFormat(text, capacity, L"ASMedia Bridge NVME to USB-%d", UsbPortOf(disk));
        break;
    case CMD_USB_JMI:
        WFormat(text, capacity, L"JMicron Bridge NVME to USB-%d", UsbPortOf(disk));
        break;
    case CMD_NVME:
        WFormat(
            text, capacity, L"%s x %d",
            SpeedText(kPcieSpeeds, sizeof(kPcieSpeeds) / sizeof(kPcieSpeeds[0]), disk->iLinkSpeed),
            static_cast<int>(disk->iLinkWidth));
        break;
    case CMD_RST:
        WFormat(text, capacity, L"%s", L"Intel Rapid Storage Technology");
        break;
    case CMD_USB_RTK:
        WFormat(text, capacity, L"Realtek Bridge NVME to USB-%d", UsbPortOf(disk));
        break;
    case CMD_SATA:
    case CMD_SATA_USB:
    case CMD_SATA_SCSI:
        WFormat(
            text, capacity, L"%s",
            SpeedText(kSataSpeeds, sizeof(kSataSpeeds) / sizeof(kSataSpeeds[0]), disk->iLinkSpeed));
        break;
    default:
        break; // a command type without an interface text
    }
}

} // namespace

void ShowDiskDetails(HWND dialog, const DiskRecord* disk) {
    SetDlgItemTextW(dialog, IDC_MODEL, disk->Model);
    SetDlgItemTextW(dialog, IDC_SERIAL, disk->SerialNumber);
    SetDlgItemTextW(dialog, IDC_FIRMWARE, disk->FirmwareRev);
    WCHAR text[DISK_DETAIL_CHARS];
    WFormat(text, DISK_DETAIL_CHARS, L"%d GB", static_cast<int32_t>(disk->iCapacityGB));
    SetDlgItemTextW(dialog, IDC_CAPACITY, text);
    FormatInterface(disk, text, DISK_DETAIL_CHARS);
    SetDlgItemTextW(dialog, IDC_INTERFACE, text);
}
