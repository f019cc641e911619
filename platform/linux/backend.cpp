// The Linux backend's table: device paths and handles, the device tree of SetupAPI and the
// configuration manager (device_tree.h), and its installation.
#include "platform/device_backend.h"
#include "platform/linux/device_tree.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/nvme_admin.h"
#include "platform/linux/objects.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

char g_sysRoot[LX_PATH_CHARS];
char g_devRoot[LX_PATH_CHARS];

// An ASCII copy of a device path; false for anything else or too long.
bool Narrow(LPCWSTR path, char* out, size_t capacity) {
    size_t i = 0;
    for (; path[i] != 0; ++i) {
        if (i + 1 >= capacity || path[i] > 0x7E || path[i] < 0x20) {
            return false;
        }
        out[i] = (char)path[i];
    }
    out[i] = 0;
    return true;
}

// The disk a device path names: \\.\PhysicalDriveN (any case) or a disk interface path.
bool FindDisk(const char* path, LxDisk* disk, uint32_t* driveNumber) {
    static LxDisk disks[LX_MAX_DISKS]; // guarded by g_listLock
    static pthread_mutex_t g_listLock = PTHREAD_MUTEX_INITIALIZER;
    const char physical[] = "\\\\.\\physicaldrive";
    const size_t physicalLength = sizeof(physical) - 1;
    int wanted = -1;
    char name[LX_NAME_CHARS];
    name[0] = 0;
    if (strncasecmp(path, physical, physicalLength) == 0) {
        uint32_t n = 0;
        if (LxParseNumber(path + physicalLength, 10, 9999, &n) < 0) {
            return false;
        }
        wanted = (int)n;
    } else if (!LxDiskOfInterfacePath(path, name, sizeof(name))) {
        return false;
    }
    pthread_mutex_lock(&g_listLock);
    int count = LxListAnnouncedDisks(disks, LX_MAX_DISKS);
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        if (i == wanted || (name[0] != 0 && strcmp(disks[i].name, name) == 0)) {
            *disk = disks[i];
            *driveNumber = (uint32_t)i;
            found = true;
        }
    }
    pthread_mutex_unlock(&g_listLock);
    return found;
}

// Opens the NVMe controller's character device and checks that it is the device sysfs names.
int OpenController(const LxDisk& disk, DWORD* error) {
    char sysPath[LX_PATH_CHARS];
    char devPath[LX_PATH_CHARS];
    char number[32];
    char controllerDir[LX_PATH_CHARS];
    uint32_t major = 0;
    uint32_t minor = 0;
    char* colon = NULL;
    if (snprintf(controllerDir, sizeof(controllerDir), "%s/class/nvme/%s", g_sysRoot,
                 disk.controller) >= (int)sizeof(controllerDir) ||
        LxJoin(sysPath, sizeof(sysPath), controllerDir, "dev") < 0 ||
        LxReadText(sysPath, number, sizeof(number)) < 3 || (colon = strchr(number, ':')) == NULL) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    *colon = 0;
    if (LxParseNumber(number, 10, 0xFFFFF, &major) < 0 ||
        LxParseNumber(colon + 1, 10, 0xFFFFF, &minor) < 0 ||
        LxJoin(devPath, sizeof(devPath), g_devRoot, disk.controller) < 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int fd = open(devPath, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // A controller that is resetting or reconnecting cannot be opened (EWOULDBLOCK): as on
        // Windows, the disk is not there until it is back.
        *error = errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != major ||
        minor(st.st_rdev) != minor) {
        close(fd);
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    return fd;
}

HANDLE OpenDevice(LPCWSTR path, DWORD, DWORD, DWORD creationDisposition, DWORD) {
    char text[LX_PATH_CHARS];
    LxDisk disk;
    uint32_t driveNumber = 0;
    if (path == NULL || !Narrow(path, text, sizeof(text)) || !FindDisk(text, &disk, &driveNumber)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    if (disk.kind == LX_DISK_NVME) {
        DWORD error = 0;
        fd = OpenController(disk, &error);
        if (fd < 0) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    LxDiskHandle* h = (LxDiskHandle*)calloc(1, sizeof(LxDiskHandle));
    if (h == NULL) {
        if (fd >= 0) {
            close(fd);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    h->kind = LX_OBJECT_DISK;
    h->fd = fd;
    h->sgFd = -1;
    h->driveNumber = driveNumber;
    h->disk = disk;
    HANDLE handle = NewBackendHandle(h);
    if (handle == INVALID_HANDLE_VALUE) {
        if (fd >= 0) {
            close(fd);
        }
        free(h);
    }
    return handle;
}

BOOL CloseDevice(HANDLE handle) {
    void* object = DropBackendHandle(handle);
    if (object == NULL) {
        return LxFail(ERROR_INVALID_HANDLE);
    }
    uint32_t kind = 0;
    memcpy(&kind, object, sizeof(kind));
    if (kind == LX_OBJECT_DISK && ((LxDiskHandle*)object)->fd >= 0) {
        close(((LxDiskHandle*)object)->fd);
    }
    if (kind == LX_OBJECT_DISK && ((LxDiskHandle*)object)->sgFd >= 0) {
        close(((LxDiskHandle*)object)->sgFd);
    }
    free(object);
    return TRUE;
}

BOOL IoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
               LPDWORD returned, LPOVERLAPPED overlapped) {
    LxDiskHandle* h = LxObjectOf<LxDiskHandle>(device, LX_OBJECT_DISK);
    if (h == NULL) {
        return LxFail(ERROR_INVALID_HANDLE);
    }
    if (overlapped != NULL || returned == NULL) {
        return LxFail(ERROR_INVALID_PARAMETER);
    }
    DWORD error = LxDiskIoControl(h, code, (const BYTE*)in, inSize, (BYTE*)out, outSize, returned);
    if (error != 0) {
        *returned = 0;
        return LxFail(error);
    }
    return TRUE;
}

const DeviceBackend kBackend = {
    OpenDevice,
    CloseDevice,
    IoControl,
    LxClassDevs,
    LxEnumDeviceInfo,
    LxEnumDeviceInterfaces,
    LxGetInterfaceDetail,
    LxGetRegistryProperty,
    LxGetProperty,
    LxDestroySet,
    LxGetParent,
    LxGetDeviceId,
    LxGetDeviceIdSize,
    NULL,
};

// Resolves a root folder into out; false when it is missing, no folder, or too long.
bool ResolveRoot(const char* root, char* out, size_t capacity) {
    char resolved[PATH_MAX];
    struct stat st;
    if (root == NULL || root[0] == 0 || realpath(root, resolved) == NULL ||
        stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode) || strlen(resolved) + 1 > capacity) {
        return false;
    }
    memcpy(out, resolved, strlen(resolved) + 1);
    return true;
}

} // namespace

const char* LxSysRoot() {
    return g_sysRoot;
}

const char* LxDevRoot() {
    return g_devRoot;
}

int LinuxBackendUserAllowed(char* reason, unsigned long capacity) {
    if (geteuid() == 0) {
        if (capacity > 0) {
            reason[0] = 0;
        }
        return 1;
    }
    snprintf(reason, capacity, "the Linux device backend opens real disks and runs only as root");
    return 0;
}

int LinuxBackendInstall(const char* sysRoot, const char* devRoot) {
    char sys[LX_PATH_CHARS];
    char dev[LX_PATH_CHARS];
    if (!ResolveRoot(sysRoot, sys, sizeof(sys)) || !ResolveRoot(devRoot, dev, sizeof(dev))) {
        return -1;
    }
    memcpy(g_sysRoot, sys, sizeof(sys));
    memcpy(g_devRoot, dev, sizeof(dev));
    LxForgetNodes();
    LxStartDeviceEvents();
    InstallDeviceBackend(&kBackend);
    return 1;
}

int LinuxBackendSetCommandLog(const char* path) {
    return LxSetCommandLog(path);
}
