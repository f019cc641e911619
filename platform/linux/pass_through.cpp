// SCSI and ATA pass-through of a SCSI disk, through the kernel's SCSI generic driver (SG_IO on
// the disk's /dev/sgN): IOCTL_SCSI_PASS_THROUGH_DIRECT carries the caller's CDB, data and sense
// as the Windows port driver does; IOCTL_ATA_PASS_THROUGH_DIRECT becomes an ATA PASS-THROUGH
// (16) CDB, and the ATA registers come back from the sense data (platform/linux/sat.h).
//
// The kernel answers ATA PASS-THROUGH CDBs itself, and never sends them, for a USB device with
// usb-storage's NO_ATA_1X quirk; A1h is also the JMicron bridge's tunnel. Such a refusal fails
// the request and leaves a notice that says so (LinuxBackendNotice), never a drive failure.
#include "platform/linux/linux_backend.h"
#include "platform/linux/nvme_admin.h"
#include "platform/linux/objects.h"
#include "platform/linux/sat.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const uint32_t kMaxTransfer = 2u << 20;     // the largest data a request may carry here
const uint32_t kMaxTimeoutSeconds = 108000; // 30 hours, the port driver's limit
const uint8_t kCheckCondition = 0x02;
const uint8_t kAtaPassThrough12 = 0xA1;
const uint8_t kAtaPassThrough16 = 0x85;
// Host byte of an SG_IO that did not reach the device.
const uint16_t kDidNoConnect = 0x01;
const uint16_t kDidTimeOut = 0x03;
const uint16_t kDidBadTarget = 0x04;
// Driver byte: only DRIVER_SENSE (the sense buffer was filled) is no failure.
const uint16_t kDriverSense = 0x08;

enum { kNoticeChars = 512, kMaxNotices = 8 };
pthread_mutex_t g_noticeLock = PTHREAD_MUTEX_INITIALIZER;
char g_notices[kMaxNotices][kNoticeChars];
int g_noticeCount = 0;

void AddNotice(const char* text) {
    pthread_mutex_lock(&g_noticeLock);
    bool known = false;
    for (int i = 0; i < g_noticeCount && !known; ++i) {
        known = strcmp(g_notices[i], text) == 0;
    }
    if (!known && g_noticeCount < kMaxNotices) {
        snprintf(g_notices[g_noticeCount++], kNoticeChars, "%s", text);
    }
    pthread_mutex_unlock(&g_noticeLock);
}

// How one SG_IO ended: 0 and the SCSI status, the bytes moved and the sense, or the Windows
// error of a request that did not complete.
struct CdbResult {
    DWORD error;
    uint8_t status;
    uint32_t transferred;
    uint8_t sense[64];
    uint32_t senseLength;
};

// Opens the disk's SCSI generic node, checked against the dev number sysfs gives it.
int OpenGeneric(const LxDiskHandle* h, DWORD* error) {
    char folder[LX_PATH_CHARS];
    char path[LX_PATH_CHARS];
    char name[LX_NAME_CHARS];
    char number[32];
    name[0] = 0;
    *error = ERROR_NOT_SUPPORTED; // no sg node: the kernel has no SCSI generic driver for it
    if (LxJoin(folder, sizeof(folder), h->disk.device, "scsi_generic") < 0) {
        return -1;
    }
    DIR* dir = opendir(folder);
    if (dir == NULL) {
        return -1;
    }
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        const size_t n = strlen(entry->d_name);
        if (strncmp(entry->d_name, "sg", 2) == 0 && n < sizeof(name)) {
            memcpy(name, entry->d_name, n + 1);
        }
    }
    closedir(dir);
    uint32_t major = 0;
    uint32_t minor = 0;
    char* colon = NULL;
    if (name[0] == 0 ||
        snprintf(path, sizeof(path), "%s/%s/dev", folder, name) >= (int)sizeof(path) ||
        LxReadText(path, number, sizeof(number)) < 3 || (colon = strchr(number, ':')) == NULL) {
        return -1;
    }
    *colon = 0;
    if (LxParseNumber(number, 10, 0xFFFFF, &major) < 0 ||
        LxParseNumber(colon + 1, 10, 0xFFFFF, &minor) < 0 ||
        LxJoin(path, sizeof(path), LxDevRoot(), name) < 0) {
        return -1;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_NO_SUCH_DEVICE;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != major ||
        minor(st.st_rdev) != minor) {
        close(fd);
        *error = ERROR_NOT_SUPPORTED;
        return -1;
    }
    return fd;
}

// The disk's USB identity, for the log and the quirk: serial number, vendor and product ids.
void UsbIdentity(const LxDiskHandle* h, char* serial, size_t capacity, uint32_t* vendor,
                 uint32_t* product) {
    char path[LX_PATH_CHARS];
    serial[0] = 0;
    *vendor = 0;
    *product = 0;
    if (h->disk.busType != 7) {
        return;
    }
    LxUsbIds(h->disk.parent, vendor, product);
    if (LxJoin(path, sizeof(path), h->disk.parent, "serial") < 0 ||
        LxReadText(path, serial, capacity) < 0) {
        serial[0] = 0;
    }
    for (char* p = serial; *p; ++p) {
        if (*p == '"' || *p == '\\' || *p < ' ') {
            *p = '?'; // kept out of the JSON line
        }
    }
}

// One CDB through SG_IO. direction: SG_DXFER_NONE, SG_DXFER_TO_DEV or SG_DXFER_FROM_DEV.
void SendCdb(LxDiskHandle* h, const uint8_t* cdb, uint8_t cdbLength, int direction, void* data,
             uint32_t length, uint32_t timeoutMs, CdbResult* r) {
    memset(r, 0, sizeof(*r));
    if (h->sgFd < 0) {
        h->sgFd = OpenGeneric(h, &r->error);
        if (h->sgFd < 0) {
            return;
        }
        r->error = 0;
    }
    sg_io_hdr_t io;
    memset(&io, 0, sizeof(io));
    io.interface_id = 'S';
    io.dxfer_direction = length == 0 ? SG_DXFER_NONE : direction;
    io.cmd_len = cdbLength;
    io.mx_sb_len = sizeof(r->sense);
    io.dxfer_len = length;
    io.dxferp = length != 0 ? data : NULL;
    io.cmdp = (unsigned char*)cdb;
    io.sbp = r->sense;
    io.timeout = timeoutMs;
    if (ioctl(h->sgFd, SG_IO, &io) != 0) {
        r->error = errno == ENODEV || errno == ENXIO   ? ERROR_NO_SUCH_DEVICE
                   : errno == EINVAL                   ? ERROR_INVALID_PARAMETER
                   : errno == EPERM || errno == EACCES ? ERROR_ACCESS_DENIED
                                                       : ERROR_IO_DEVICE;
        return;
    }
    if (io.host_status != 0 || (io.driver_status & ~kDriverSense) != 0) {
        // The command did not complete on the bus: the device left, or it timed out.
        r->error = io.host_status == kDidNoConnect || io.host_status == kDidBadTarget
                       ? ERROR_NO_SUCH_DEVICE
                   : io.host_status == kDidTimeOut ? ERROR_TIMEOUT
                                                   : ERROR_IO_DEVICE;
        return;
    }
    r->status = io.status;
    r->transferred =
        io.resid >= 0 && (uint32_t)io.resid <= length ? length - (uint32_t)io.resid : 0;
    r->senseLength = io.sb_len_wr <= sizeof(r->sense) ? io.sb_len_wr : 0;
}

// Logs one request: which disk, the CDB the kernel got, the data either way, and how it ended.
void LogRequest(const LxDiskHandle* h, const char* ioctlName, const uint8_t* cdb, uint8_t cdbLength,
                int direction, const uint8_t* data, uint32_t length, uint32_t timeout,
                uint32_t senseInfoLength, const CdbResult* r, const uint8_t* taskFiles) {
    char serial[LX_TEXT_CHARS];
    uint32_t vendor = 0;
    uint32_t product = 0;
    UsbIdentity(h, serial, sizeof(serial), &vendor, &product);
    char head[512];
    char cdbText[40];
    for (uint8_t i = 0; i < cdbLength && i < 16; ++i) {
        snprintf(cdbText + 2 * i, 3, "%02x", cdb[i]);
    }
    cdbText[2 * (cdbLength < 16 ? cdbLength : 16)] = 0;
    const char* dir = length == 0 ? "none" : direction == SG_DXFER_FROM_DEV ? "in" : "out";
    snprintf(head, sizeof(head),
             "{\"dev\":\"%s\",\"disk\":\"%s\",\"usb\":\"%04x:%04x\",\"origin\":\"program\","
             "\"ioctl\":\"%s\",\"cdb\":\"%s\",\"dir\":\"%s\",\"len\":%u,\"timeout\":%u,"
             "\"sense_len\":%u,\"data\":\"",
             h->disk.name, serial[0] != 0 ? serial : h->disk.name, (unsigned)vendor,
             (unsigned)product, ioctlName, cdbText, dir, (unsigned)length, (unsigned)timeout,
             (unsigned)senseInfoLength);
    const uint32_t moved = direction == SG_DXFER_TO_DEV ? length
                           : r->error == 0              ? r->transferred
                                                        : 0;
    char tail[400];
    if (r->error != 0) {
        snprintf(tail, sizeof(tail), "\",\"failed\":%u}", (unsigned)r->error);
    } else {
        int n = snprintf(tail, sizeof(tail), "\",\"status\":%u,\"sense\":\"", (unsigned)r->status);
        const uint32_t senseShown = r->status == kCheckCondition ? r->senseLength : 0;
        for (uint32_t i = 0; i < senseShown && n + 3 < (int)sizeof(tail); ++i) {
            n += snprintf(tail + n, sizeof(tail) - (size_t)n, "%02x", r->sense[i]);
        }
        n += snprintf(tail + n, sizeof(tail) - (size_t)n, "\"");
        if (taskFiles != NULL) {
            n += snprintf(tail + n, sizeof(tail) - (size_t)n, ",\"tf\":\"");
            for (int i = 0; i < 16; ++i) {
                n += snprintf(tail + n, sizeof(tail) - (size_t)n, "%02x", taskFiles[i]);
            }
            n += snprintf(tail + n, sizeof(tail) - (size_t)n, "\"");
        }
        snprintf(tail + n, sizeof(tail) - (size_t)n, "}");
    }
    LxLogWrite(head, data, moved, tail);
}

// True when the kernel itself refused an ATA PASS-THROUGH CDB to a USB device because of its
// NO_ATA_1X quirk: the answer usb-storage makes up (CHECK CONDITION, ILLEGAL REQUEST, INVALID
// FIELD IN CDB) for a device the quirks parameter flags. Leaves the notice that says so.
bool KernelBlocked(const LxDiskHandle* h, uint8_t opcode, const CdbResult* r) {
    if ((opcode != kAtaPassThrough12 && opcode != kAtaPassThrough16) || h->disk.busType != 7 ||
        r->error != 0 || r->status != kCheckCondition || r->senseLength < 14 ||
        (r->sense[0] & 0x7F) != 0x70 || (r->sense[2] & 0x0F) != 0x05 || r->sense[12] != 0x24 ||
        r->sense[13] != 0x00) {
        return false;
    }
    char path[LX_PATH_CHARS];
    char quirks[LX_TEXT_CHARS * 4];
    uint32_t vendor = 0;
    uint32_t product = 0;
    if (LxUsbIds(h->disk.parent, &vendor, &product) != 1 ||
        LxJoin(path, sizeof(path), LxSysRoot(), "module/usb_storage/parameters/quirks") < 0 ||
        LxReadText(path, quirks, sizeof(quirks)) <= 0 ||
        !LxQuirkBlocksAtaPassThrough(quirks, vendor, product)) {
        return false;
    }
    char text[kNoticeChars];
    snprintf(text, sizeof(text),
             "the kernel blocks ATA PASS-THROUGH commands (A1h, 85h) to the USB device "
             "%04x:%04x (%s): usb-storage's quirk NO_ATA_1X is set for it "
             "(usb-storage.quirks=%04x:%04x:t). A1h is also the JMicron bridge's command, so the "
             "drive behind it cannot be reached: remove the quirk (the flag t of that entry, on "
             "the kernel command line or in /sys/module/usb_storage/parameters/quirks) and plug "
             "the enclosure in again",
             (unsigned)vendor, (unsigned)product, h->disk.name, (unsigned)vendor,
             (unsigned)product);
    AddNotice(text);
    char line[LX_NAME_CHARS + 64];
    snprintf(line, sizeof(line), "{\"dev\":\"%s\",\"blocked\":\"NO_ATA_1X\"}", h->disk.name);
    LxLogWrite(line, NULL, 0, "");
    return true;
}

uint32_t TimeoutMs(uint32_t seconds) {
    return seconds * 1000u;
}

} // namespace

int LinuxBackendNotice(int index, char* out, unsigned long capacity) {
    pthread_mutex_lock(&g_noticeLock);
    const bool there = index >= 0 && index < g_noticeCount;
    if (there && capacity > 0) {
        snprintf(out, capacity, "%s", g_notices[index]);
    }
    pthread_mutex_unlock(&g_noticeLock);
    return there ? 1 : 0;
}

DWORD LxScsiPassThrough(LxDiskHandle* h, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                        DWORD* returned) {
    SCSI_PASS_THROUGH_DIRECT sp;
    if (inSize < sizeof(sp) || outSize < sizeof(sp)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (h->disk.kind != LX_DISK_SCSI) {
        return ERROR_INVALID_FUNCTION;
    }
    memcpy(&sp, in, sizeof(sp));
    if (sp.Length != sizeof(sp) || sp.CdbLength == 0 || sp.CdbLength > 16 ||
        sp.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED || sp.TimeOutValue == 0 ||
        sp.TimeOutValue > kMaxTimeoutSeconds || sp.DataTransferLength > kMaxTransfer ||
        (sp.DataTransferLength != 0 && sp.DataBuffer == NULL) ||
        (sp.DataTransferLength != 0 && sp.DataIn == SCSI_IOCTL_DATA_UNSPECIFIED) ||
        (sp.SenseInfoLength != 0 &&
         (sp.SenseInfoOffset < sizeof(sp) ||
          (uint64_t)sp.SenseInfoOffset + sp.SenseInfoLength > outSize))) {
        return ERROR_INVALID_PARAMETER;
    }
    const int direction = sp.DataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    CdbResult r;
    SendCdb(h, sp.Cdb, sp.CdbLength, direction, sp.DataBuffer, sp.DataTransferLength,
            TimeoutMs(sp.TimeOutValue), &r);
    LogRequest(h, "scsi", sp.Cdb, sp.CdbLength, direction, (const uint8_t*)sp.DataBuffer,
               sp.DataTransferLength, sp.TimeOutValue, sp.SenseInfoLength, &r, NULL);
    if (r.error != 0) {
        return r.error;
    }
    if (KernelBlocked(h, sp.Cdb[0], &r)) {
        return ERROR_NOT_SUPPORTED;
    }
    const uint32_t senseLength = r.status == kCheckCondition && r.senseLength < sp.SenseInfoLength
                                     ? r.senseLength
                                 : r.status == kCheckCondition ? sp.SenseInfoLength
                                                               : 0;
    if (senseLength != 0) {
        memcpy(out + sp.SenseInfoOffset, r.sense, senseLength);
    }
    sp.ScsiStatus = r.status;
    sp.DataTransferLength = r.transferred;
    sp.SenseInfoLength = (UCHAR)senseLength;
    memcpy(out, &sp, sizeof(sp));
    *returned = senseLength != 0 ? sp.SenseInfoOffset + senseLength : (DWORD)sizeof(sp);
    return 0;
}

DWORD LxAtaPassThrough(LxDiskHandle* h, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                       DWORD* returned) {
    ATA_PASS_THROUGH_DIRECT ap;
    if (inSize < sizeof(ap) || outSize < sizeof(ap)) {
        return ERROR_INVALID_PARAMETER;
    }
    // The ATA pass-through reaches disks on an ATA port (libata), as on Windows.
    if (h->disk.kind != LX_DISK_SCSI || h->disk.busType != 11) {
        return ERROR_INVALID_FUNCTION;
    }
    memcpy(&ap, in, sizeof(ap));
    uint8_t cdb[16];
    if (ap.Length != sizeof(ap) || ap.TimeOutValue == 0 || ap.TimeOutValue > kMaxTimeoutSeconds ||
        ap.DataTransferLength > kMaxTransfer ||
        (ap.DataTransferLength != 0 && ap.DataBuffer == NULL) ||
        LxSatBuildCdb(ap.PreviousTaskFile, ap.CurrentTaskFile, ap.AtaFlags, ap.DataTransferLength,
                      cdb) != 1) {
        return ERROR_INVALID_PARAMETER;
    }
    const int direction = (ap.AtaFlags & LX_ATA_DATA_IN) != 0 ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    CdbResult r;
    SendCdb(h, cdb, sizeof(cdb), direction, ap.DataBuffer, ap.DataTransferLength,
            TimeoutMs(ap.TimeOutValue), &r);
    uint8_t previous[8];
    uint8_t current[8];
    memcpy(previous, ap.PreviousTaskFile, 8);
    memcpy(current, ap.CurrentTaskFile, 8);
    if (r.error == 0 && LxSatReadRegisters(r.sense, r.senseLength, previous, current) != 1) {
        // No registers came back: a command that completed leaves the device ready; one the
        // translation refused is aborted.
        memset(current, 0, 8);
        current[6] = r.status == 0 ? 0x50 : 0x51; // DRDY (and ERR)
        current[0] = r.status == 0 ? 0x00 : 0x04; // ABRT
    }
    uint8_t taskFiles[16];
    memcpy(taskFiles, previous, 8);
    memcpy(taskFiles + 8, current, 8);
    LogRequest(h, "ata", cdb, sizeof(cdb), direction, (const uint8_t*)ap.DataBuffer,
               ap.DataTransferLength, ap.TimeOutValue, 0, &r, taskFiles);
    if (r.error != 0) {
        return r.error;
    }
    memcpy(ap.PreviousTaskFile, previous, 8);
    memcpy(ap.CurrentTaskFile, current, 8);
    ap.DataTransferLength = r.transferred;
    memcpy(out, &ap, sizeof(ap));
    *returned = sizeof(ap);
    return 0;
}
