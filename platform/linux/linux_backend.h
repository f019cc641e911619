// The Linux device backend: the storage side of the Windows API served by the Linux kernel
// (platform/device_backend.h). Disks are the kernel's NVMe namespaces and SCSI disks, numbered
// as \\.\PhysicalDriveN in a stable order; NVMe requests become admin commands on the
// controller's character device (NVME_IOCTL_ADMIN_CMD, NVME_IOCTL_RESET); the device tree comes
// from sysfs. docs/linux.md says what it serves and what it refuses.
//
// It touches real disks, so it is never installed by default: a program installs it only when
// its user asks for it, and only as root. The sysfs and device roots come from the caller, so
// that tests point it at a tree they made.
#pragma once

// Returns 1 when the process may use real devices (it runs as root); otherwise 0 and the reason
// in `reason` (capacity bytes, terminated).
int LinuxBackendUserAllowed(char* reason, unsigned long capacity);

// Installs the Linux backend into the platform layer with the sysfs root (normally "/sys") and
// the device-node root (normally "/dev"). Returns 1, or -1 when a root is missing, too long or
// not a folder (nothing is installed then).
int LinuxBackendInstall(const char* sysRoot, const char* devRoot);

// Writes every NVMe admin command the backend sends from now on, one JSON object per line, to
// the file (NULL or "": stop). Returns 1, or -1 when the file cannot be opened.
int LinuxBackendSetCommandLog(const char* path);

// What the backend could not do for a reason its user can remove, one text per cause (for
// example the kernel's NO_ATA_1X quirk keeping a USB bridge's commands from it). Copies notice
// `index` (from 0) into out (capacity bytes, terminated) and returns 1, or returns 0 when there
// is no such notice. The program's Linux entry points print them when the run ends.
int LinuxBackendNotice(int index, char* out, unsigned long capacity);
