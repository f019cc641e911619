// The properties of a device node as the Windows device tree gives them: a USB device's
// location text, the driver service, the bus number, the PCIe link and the device instance id.
#include "platform/linux/sysfs.h"

#include <stdio.h>
#include <string.h>

namespace {

// A serial number Windows takes into an instance id: printable, without blanks or separators.
bool UsableSerial(const char* text) {
    if (text[0] == 0 || strlen(text) > 64) {
        return false;
    }
    for (const char* p = text; *p; ++p) {
        if (*p <= ' ' || *p > '~' || *p == '\\' || *p == ',') {
            return false;
        }
    }
    return true;
}

bool IsPciAddress(const char* name) {
    // dddd:bb:dd.f
    if (strlen(name) != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') {
        return false;
    }
    for (int i = 0; i < 12; ++i) {
        if (i == 4 || i == 7 || i == 10) {
            continue;
        }
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace

int LxNodeLocation(const char* node, char* out, size_t capacity) {
    const char* name = LxBaseName(node);
    uint32_t bus = 0;
    char path[LX_PATH_CHARS];
    char text[LX_NAME_CHARS];
    uint32_t hub = 0;
    if (strchr(name, ':') != NULL || LxIsRootHubName(name, &bus) || !LxExists(node, "idVendor") ||
        LxJoin(path, sizeof(path), node, "devpath") < 0 ||
        LxReadText(path, text, sizeof(text)) <= 0) {
        return 0;
    }
    const char* last = strrchr(text, '.');
    uint32_t port = 0;
    if (LxParseNumber(last != NULL ? last + 1 : text, 10, 255, &port) < 0) {
        return 0;
    }
    // The hub above: the folder that holds this device.
    char up[LX_PATH_CHARS];
    if (LxCopyText(up, sizeof(up), node) < 0) {
        return 0;
    }
    char* slash = strrchr(up, '/');
    if (slash != NULL) {
        *slash = 0;
        if (LxJoin(path, sizeof(path), up, "devnum") >= 0 &&
            LxReadText(path, text, sizeof(text)) > 0) {
            LxParseNumber(text, 10, 9999, &hub);
        }
    }
    int n = snprintf(out, capacity, "Port_#%04u.Hub_#%04u", (unsigned)port, (unsigned)hub);
    return n > 0 && (size_t)n < capacity ? 1 : 0;
}

int LxNodeService(const char* node, int isDisk, char* out, size_t capacity) {
    if (isDisk) {
        return LxCopyText(out, capacity, "disk") >= 0 ? 1 : 0;
    }
    char path[LX_PATH_CHARS];
    if (LxJoin(path, sizeof(path), node, "driver") >= 0 && LxLinkName(path, out, capacity) >= 0) {
        return 1;
    }
    char transport[LX_NAME_CHARS];
    if (LxJoin(path, sizeof(path), node, "transport") >= 0 &&
        LxReadText(path, transport, sizeof(transport)) > 0) {
        return snprintf(out, capacity, "nvme-%s", transport) < (int)capacity ? 1 : 0;
    }
    return 0;
}

int LxNodeBusNumber(const char* node, uint32_t* out) {
    const char* name = LxBaseName(node);
    char hex[3] = {0, 0, 0};
    if (IsPciAddress(name)) {
        hex[0] = name[5];
        hex[1] = name[6];
        return LxParseNumber(hex, 16, 0xFF, out) >= 0 ? 1 : 0;
    }
    // A PCI root: pci<domain>:<bus>.
    if (strncmp(name, "pci", 3) == 0 && strlen(name) == 10 && name[7] == ':') {
        hex[0] = name[8];
        hex[1] = name[9];
        return LxParseNumber(hex, 16, 0xFF, out) >= 0 ? 1 : 0;
    }
    // An NVMe controller on a transport other than PCIe.
    char path[LX_PATH_CHARS];
    char transport[LX_NAME_CHARS];
    uint32_t instance = 0;
    if (strncmp(name, "nvme", 4) == 0 && LxParseNumber(name + 4, 10, 0xFFFF, &instance) >= 0 &&
        LxJoin(path, sizeof(path), node, "transport") >= 0 &&
        LxReadText(path, transport, sizeof(transport)) > 0 && strcmp(transport, "pcie") != 0) {
        *out = 0x10000u + instance;
        return 1;
    }
    return 0;
}

int LxNodeLink(const char* node, int which, uint32_t* out) {
    static const char* const kFiles[4] = {"current_link_speed", "current_link_width",
                                          "max_link_speed", "max_link_width"};
    if (which < 0 || which > 3 || !IsPciAddress(LxBaseName(node))) {
        return 0;
    }
    char path[LX_PATH_CHARS];
    char text[LX_NAME_CHARS];
    if (LxJoin(path, sizeof(path), node, kFiles[which]) < 0 ||
        LxReadText(path, text, sizeof(text)) <= 0) {
        return 0;
    }
    if (which == 1 || which == 3) {
        return LxParseNumber(text, 10, 32, out) >= 0 ? 1 : 0;
    }
    // "8.0 GT/s PCIe", "2.5 GT/s": the rate before the blank.
    static const struct {
        const char* rate;
        uint32_t code;
    } kRates[] = {{"2.5", 1}, {"5.0", 2},  {"5", 2},  {"8.0", 3},  {"8", 3}, {"16.0", 4},
                  {"16", 4},  {"32.0", 5}, {"32", 5}, {"64.0", 6}, {"64", 6}};
    char* blank = strchr(text, ' ');
    if (blank == NULL || strncmp(blank, " GT/s", 5) != 0) {
        return 0;
    }
    *blank = 0;
    for (size_t i = 0; i < sizeof(kRates) / sizeof(kRates[0]); ++i) {
        if (strcmp(text, kRates[i].rate) == 0) {
            *out = kRates[i].code;
            return 1;
        }
    }
    return 0;
}

int LxNodeInstanceId(const char* node, int isDisk, char* out, size_t capacity) {
    const char* name = LxBaseName(node);
    int n = 0;
    uint32_t bus = 0;
    uint32_t usbVendor = 0;
    uint32_t usbProduct = 0;
    if (isDisk) {
        n = snprintf(out, capacity, "BLOCK\\%s", name);
    } else if (LxIsRootHubName(name, &bus) && LxExists(node, "idVendor")) {
        char path[LX_PATH_CHARS];
        char speed[16];
        uint32_t mbps = 0;
        if (LxJoin(path, sizeof(path), node, "speed") < 0 ||
            LxReadText(path, speed, sizeof(speed)) <= 0 ||
            LxParseNumber(speed, 10, 1000000, &mbps) < 0) {
            mbps = 480;
        }
        n = snprintf(out, capacity, "USB\\ROOT_HUB%s\\%s", mbps >= 5000 ? "30" : "20", name);
    } else if (strchr(name, ':') == NULL && LxUsbIds(node, &usbVendor, &usbProduct) == 1) {
        char path[LX_PATH_CHARS];
        char serial[LX_TEXT_CHARS];
        const bool hasSerial = LxJoin(path, sizeof(path), node, "serial") >= 0 &&
                               LxReadText(path, serial, sizeof(serial)) > 0 && UsableSerial(serial);
        n = snprintf(out, capacity, "USB\\VID_%04X&PID_%04X\\%s", (unsigned)usbVendor,
                     (unsigned)usbProduct, hasSerial ? serial : name);
    } else if (IsPciAddress(name)) {
        char path[LX_PATH_CHARS];
        char vendor[16];
        char device[16];
        uint32_t v = 0;
        uint32_t d = 0;
        if (LxJoin(path, sizeof(path), node, "vendor") < 0 ||
            LxReadText(path, vendor, sizeof(vendor)) != 6 ||
            LxParseNumber(vendor + 2, 16, 0xFFFF, &v) < 0 ||
            LxJoin(path, sizeof(path), node, "device") < 0 ||
            LxReadText(path, device, sizeof(device)) != 6 ||
            LxParseNumber(device + 2, 16, 0xFFFF, &d) < 0) {
            v = 0;
            d = 0;
        }
        n = snprintf(out, capacity, "PCI\\VEN_%04X&DEV_%04X\\%s", (unsigned)v, (unsigned)d, name);
    } else if (strncmp(name, "nvme", 4) == 0) {
        n = snprintf(out, capacity, "NVME\\%s", name);
    } else {
        n = snprintf(out, capacity, "SYSFS\\%s", name);
    }
    return n > 0 && (size_t)n < capacity ? 1 : 0;
}
