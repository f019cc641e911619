// The USB tree: the USB devices, hubs and host controllers in the Windows device tree's order,
// the USB device a node sits in and a USB device's ids.
#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <string.h>

namespace {

// USB device names sort as the kernel numbers them: shorter first (1-3 before 1-10), then by
// text.
bool UsbNameBefore(const char* a, const char* b) {
    size_t la = strlen(a);
    size_t lb = strlen(b);
    return la != lb ? la < lb : strcmp(a, b) < 0;
}

// Inserts a path into a list kept in order of its base name; false when the list is full or
// holds it already.
bool InsertUsb(char (*paths)[LX_PATH_CHARS], int* count, int capacity, const char* path) {
    for (int i = 0; i < *count; ++i) {
        if (strcmp(paths[i], path) == 0) {
            return false;
        }
    }
    if (*count >= capacity) {
        return false;
    }
    int at = *count;
    while (at > 0 && UsbNameBefore(LxBaseName(path), LxBaseName(paths[at - 1]))) {
        memcpy(paths[at], paths[at - 1], LX_PATH_CHARS);
        --at;
    }
    LxCopyText(paths[at], LX_PATH_CHARS, path);
    ++*count;
    return true;
}

// Reads a 4-digit hex id file (idVendor, idProduct).
bool ReadHexId(const char* node, const char* file, uint32_t* out) {
    char path[LX_PATH_CHARS];
    char text[16];
    return LxJoin(path, sizeof(path), node, file) >= 0 &&
           LxReadText(path, text, sizeof(text)) == 4 && LxParseNumber(text, 16, 0xFFFF, out) >= 0;
}

} // namespace

// "usb<N>": a root hub, and its bus number.
bool LxIsRootHubName(const char* name, uint32_t* bus) {
    return strncmp(name, "usb", 3) == 0 && LxParseNumber(name + 3, 10, 0xFFFF, bus) >= 0;
}

int LxUsbDeviceOf(const char* sysRoot, const char* node, char* out, size_t capacity) {
    char devices[LX_PATH_CHARS];
    char path[LX_PATH_CHARS];
    if (LxJoin(devices, sizeof(devices), sysRoot, "devices") < 0 ||
        LxCopyText(path, sizeof(path), node) < 0) {
        return -1;
    }
    const size_t floor = strlen(devices);
    while (strlen(path) > floor) {
        if (strchr(LxBaseName(path), ':') == NULL && LxExists(path, "idVendor")) {
            return LxCopyText(out, capacity, path) >= 0 ? 1 : -1;
        }
        char* slash = strrchr(path, '/');
        if (slash == NULL) {
            return -1;
        }
        *slash = 0;
    }
    return -1;
}

int LxUsbIds(const char* usbDevice, uint32_t* vendor, uint32_t* product) {
    return ReadHexId(usbDevice, "idVendor", vendor) && ReadHexId(usbDevice, "idProduct", product)
               ? 1
               : -1;
}

int LxListUsb(const char* sysRoot, int which, char (*paths)[LX_PATH_CHARS], int capacity) {
    char folder[LX_PATH_CHARS];
    if (LxJoin(folder, sizeof(folder), sysRoot, "bus/usb/devices") < 0) {
        return 0;
    }
    DIR* dir = opendir(folder);
    if (dir == NULL) {
        return 0;
    }
    // Root hubs by bus number (at most 64 here), the other devices in name order.
    char roots[64][LX_PATH_CHARS];
    uint32_t rootBus[64];
    int rootCount = 0;
    int count = 0;
    int others = 0;
    char(*rest)[LX_PATH_CHARS] = which == LX_USB_CONTROLLERS ? NULL : paths;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        const char* name = entry->d_name;
        char link[LX_PATH_CHARS];
        char node[LX_PATH_CHARS];
        uint32_t bus = 0;
        if (name[0] == '.' || strchr(name, ':') != NULL ||
            LxJoin(link, sizeof(link), folder, name) < 0 ||
            LxResolve(sysRoot, link, node, sizeof(node)) < 0 || !LxExists(node, "idVendor")) {
            continue;
        }
        if (LxIsRootHubName(name, &bus)) {
            if (rootCount < 64) {
                int at = rootCount++;
                while (at > 0 && rootBus[at - 1] > bus) {
                    memcpy(roots[at], roots[at - 1], LX_PATH_CHARS);
                    rootBus[at] = rootBus[at - 1];
                    --at;
                }
                LxCopyText(roots[at], LX_PATH_CHARS, node);
                rootBus[at] = bus;
            }
            continue;
        }
        char path[LX_PATH_CHARS];
        char deviceClass[8];
        const bool hub = LxJoin(path, sizeof(path), node, "bDeviceClass") >= 0 &&
                         LxReadText(path, deviceClass, sizeof(deviceClass)) > 0 &&
                         strcmp(deviceClass, "09") == 0;
        if (which == LX_USB_DEVICES || (which == LX_USB_HUBS && hub)) {
            // Hubs go after the root hubs: keep them apart until those are known.
            InsertUsb(rest, &others, capacity, node);
        }
    }
    closedir(dir);
    if (which == LX_USB_DEVICES) {
        return others;
    }
    if (which == LX_USB_HUBS) {
        const int rootsKept = rootCount < capacity ? rootCount : capacity;
        const int othersKept = others < capacity - rootsKept ? others : capacity - rootsKept;
        memmove(paths[rootsKept], paths[0], (size_t)othersKept * LX_PATH_CHARS);
        for (int i = 0; i < rootsKept; ++i) {
            memcpy(paths[i], roots[i], LX_PATH_CHARS);
        }
        return rootsKept + othersKept;
    }
    for (int i = 0; i < rootCount && count < capacity; ++i) {
        char controller[LX_PATH_CHARS];
        if (LxParentNode(sysRoot, roots[i], controller, sizeof(controller)) < 0) {
            continue;
        }
        bool seen = false;
        for (int k = 0; k < count && !seen; ++k) {
            seen = strcmp(paths[k], controller) == 0;
        }
        if (!seen) {
            LxCopyText(paths[count++], LX_PATH_CHARS, controller);
        }
    }
    return count;
}
