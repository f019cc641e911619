// The kernel's device events (a netlink socket of uevents): which disks the kernel has
// announced, and the device-change broadcast of the Linux backend.
#include "platform/device_backend.h"
#include "platform/linux/device_tree.h"
#include "platform/linux/objects.h"

#include <errno.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Which disks the kernel has announced. A disk that comes while the program runs is in sysfs
// before the kernel announces it (a SCSI disk's announcement waits for its partition scan); on
// Windows a disk is there once its arrival is announced, so here too a disk that came counts from
// its announcement on. The disks present when the events are first heard count from the start.
// Without the kernel's events every disk in sysfs counts.
pthread_mutex_t g_announcedLock = PTHREAD_MUTEX_INITIALIZER;
bool g_gated = false;
char g_announced[2 * LX_MAX_DISKS][LX_NAME_CHARS];
int g_announcedCount = 0;

bool Announced(const char* name) {
    pthread_mutex_lock(&g_announcedLock);
    bool found = !g_gated;
    for (int i = 0; i < g_announcedCount && !found; ++i) {
        found = strcmp(g_announced[i], name) == 0;
    }
    pthread_mutex_unlock(&g_announcedLock);
    return found;
}

// Notes that a disk came (add) or left; the lock is held by the caller.
void NoteDisk(const char* name, bool add) {
    for (int i = 0; i < g_announcedCount; ++i) {
        if (strcmp(g_announced[i], name) == 0) {
            if (!add) {
                memcpy(g_announced[i], g_announced[--g_announcedCount], LX_NAME_CHARS);
            }
            return;
        }
    }
    if (add && g_announcedCount < 2 * LX_MAX_DISKS && strlen(name) < LX_NAME_CHARS) {
        memcpy(g_announced[g_announcedCount++], name, strlen(name) + 1);
    }
}

// The kernel's device events stand for Windows' device-change broadcast: a disk or NVMe
// controller that comes, goes or changes (a controller reset ends with "change") tells the
// program's windows, as DBT_DEVNODES_CHANGED does.
void* WatchDeviceEvents(void* socketFd) {
    const int fd = (int)(intptr_t)socketFd;
    char message[8192];
    for (;;) {
        ssize_t n = recv(fd, message, sizeof(message) - 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return NULL;
        }
        message[n] = 0;
        // "ACTION@DEVPATH", then KEY=VALUE texts, each terminated.
        bool storage = false;
        bool disk = false;
        const char* action = "";
        const char* name = "";
        for (ssize_t at = 0; at < n; at += (ssize_t)strlen(message + at) + 1) {
            const char* field = message + at;
            storage = storage || strcmp(field, "SUBSYSTEM=block") == 0 ||
                      strcmp(field, "SUBSYSTEM=nvme") == 0 ||
                      strcmp(field, "SUBSYSTEM=scsi_generic") == 0;
            disk = disk || strcmp(field, "DEVTYPE=disk") == 0;
            if (strncmp(field, "ACTION=", 7) == 0) {
                action = field + 7;
            } else if (strncmp(field, "DEVNAME=", 8) == 0) {
                name = field + 8;
            }
        }
        if (disk && name[0] != 0 && (strcmp(action, "add") == 0 || strcmp(action, "remove") == 0)) {
            pthread_mutex_lock(&g_announcedLock);
            NoteDisk(name, strcmp(action, "add") == 0);
            pthread_mutex_unlock(&g_announcedLock);
        }
        if (storage) {
            AnnounceDeviceChange();
        }
    }
}

} // namespace

int LxListAnnouncedDisks(LxDisk* disks, int capacity) {
    const int count = LxListDisks(LxSysRoot(), disks, capacity);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (Announced(disks[i].name)) {
            disks[kept++] = disks[i];
        }
    }
    return kept;
}

void LxStartDeviceEvents() {
    static pthread_mutex_t g_startLock = PTHREAD_MUTEX_INITIALIZER;
    static bool g_started = false;
    pthread_mutex_lock(&g_startLock);
    if (!g_started) {
        int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        struct sockaddr_nl address;
        memset(&address, 0, sizeof(address));
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1; // the kernel's own events
        pthread_t thread;
        if (fd >= 0 && bind(fd, (struct sockaddr*)&address, sizeof(address)) == 0 &&
            pthread_create(&thread, NULL, WatchDeviceEvents, (void*)(intptr_t)fd) == 0) {
            pthread_detach(thread);
            g_started = true;
        } else if (fd >= 0) {
            close(fd); // without events the program rescans when asked, as before
        }
    }
    pthread_mutex_unlock(&g_startLock);
    // The disks there now count from the start; every later one from its event.
    static LxDisk present[LX_MAX_DISKS];
    pthread_mutex_lock(&g_announcedLock);
    const int count = LxListDisks(LxSysRoot(), present, LX_MAX_DISKS);
    g_announcedCount = 0;
    for (int i = 0; i < count; ++i) {
        NoteDisk(present[i].name, true);
    }
    g_gated = g_started;
    pthread_mutex_unlock(&g_announcedLock);
}
