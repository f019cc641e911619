// The embedded default scenario: one disk of every kind the program supports, plus disks it
// must leave alone.
#include "sim/scenario.h"

namespace sim {

const std::string& DefaultScenarioText() {
    static const std::string text =
        R"(# The default simulated PC. Its ZELTARIX NVMe disks carry what the demo package admits: SOC
# id 0x3C71, firmware 041k0207 or 041k020A, and NAND ids the package's NandMap names; its
# ZELTARIX SATA disks what the SATA demo package admits. The NVMe ones check an image at commit
# as ZELTARIX drives do (the demo package's images pass) and run it after their next reset: the
# native and RST disks ask their driver for a controller reset, the bridged ones run it after
# the bridge's power cycle (Realtek: after a replug). The native and RST disks refuse vendor
# commands until they are unlocked.

# A foreign NVMe disk that holds the system volume.
[disk system]
kind = nvme
drive = 0
model = SAMSUNG MZVL2512HCJQ-00B00
serial = S675NX0T123456
firmware = GXA7601Q
vendor_id = 0x144D
ssvid = 0x144D
sectors = 1000215216
bus = 1
root_bus = 0
link = 4,4,4,4
vsc = none
volumes = C

# A ZELTARIX disk on the platform's NVMe driver.
[disk zx-native]
kind = nvme
drive = 1
model = ZELTARIX ZX5016 1TB
serial = ZX5016A0000000000001
firmware = 041k0207
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
bus = 2
root_bus = 0
link = 3,4,4,4
vsc = 1
vsc_soc_id = 0x3C71
vsc_nand_id = 9BC558713000
vsc_lun = 1
vsc_ftl_build = 0x00010203
vsc_checksum = crc32c
vsc_unlock = required
firmware_check = image
fw_activation = reset
volumes = D

# A ZELTARIX disk behind the Intel RST driver.
[controller rst0]
kind = rst
service = iaStorAC
bus = 0
root_bus = 0

[disk zx-rst]
kind = rst
drive = 2
controller = rst0
scsi_path = 1
model = ZELTARIX ZX5012 512GB
serial = ZX5012B0000000000002
firmware = 041k020A
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1000215216
vsc = 0
vsc_soc_id = 0x3C71
vsc_nand_id = 2CC30832E604
vsc_lun = 4
vsc_ftl_build = 0x00010204
vsc_unlock = required
firmware_check = image
fw_activation = reset

# A ZELTARIX disk too small to be listed.
[disk zx-small]
kind = nvme
drive = 3
model = ZELTARIX ZX2008 15GB
serial = ZX2008C0000000000003
firmware = ZX08C001
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 29360128
bus = 3
root_bus = 0
link = 3,2,3,2
vsc = 1

# USB enclosures: controller 1 has a hub on root port 2; controller 2 has devices on its
# root ports.
[disk usb-asmedia]
kind = usb
drive = 4
bridge = asmedia
usb = 1/2/3
usb_vid = 174C
usb_pid = 2362
vendor = ASMT
product = 2362
revision = 0
model = ZELTARIX ZX5016 1TB
serial = ZX5016D0000000000004
firmware = 041k0207
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
vsc = 1
vsc_soc_id = 0x3C71
vsc_nand_id = 9BC558713000
vsc_lun = 2
vsc_ftl_build = 0x00010203
vsc_checksum = crc32c
firmware_check = image
volumes = E

[disk usb-jmicron]
kind = usb
drive = 5
bridge = jmicron
usb = 2/4
usb_vid = 152D
usb_pid = 0583
vendor = JMicron
product = Tech
revision = 0205
model = ZELTARIX ZX5012 512GB
serial = ZX5012E0000000000005
firmware = 041k020A
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1000215216
vsc = 0
vsc_soc_id = 0x3C71
vsc_nand_id = 2CC30832E604
vsc_lun = 2
vsc_ftl_build = 0x00010204
firmware_check = image

[disk usb-realtek]
kind = usb
drive = 6
bridge = realtek
usb = 1/2/4
usb_vid = 0BDA
usb_pid = 9210
vendor = Realtek
product = RTL9210B NVME
revision = 1.00
model = ZELTARIX ZX5016 1TB
serial = ZX5016F0000000000006
firmware = 041k0207
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
vsc = 1
vsc_drvinfo = no
vsc_mp_soc_id = 0x3C71
vsc_nand_id = 9BC558713000
vsc_lun = 1
vsc_checksum = crc32c
firmware_check = image

# A USB stick of another maker.
[disk usb-stick]
kind = usb
drive = 7
bridge = plain
usb = 2/1
usb_vid = 0781
usb_pid = 5583
vendor = SanDisk
product = Ultra Fit
revision = 1.00
serial = 4C530001230511104223
sectors = 60063744
volumes = F

# Two SATA disks on two AHCI controllers, both at PathId 0: a ZELTARIX one with the vendor
# blocks the SATA demo package admits (SOC id 0x3A31, firmware 051s0102 or 051s0104, NAND ids
# its NandMap names, its FTL build number), and one of another maker.
[controller ahci0]
kind = ahci
service = storahci
bus = 0
root_bus = 0

[controller ahci1]
kind = ahci
service = storahci
bus = 5
root_bus = 0

[disk sata-a]
kind = sata
drive = 8
controller = ahci0
scsi_path = 0
model = ZELTARIX ZX3000 SATA 480GB
serial = ZX3000G0000000000008
firmware = 051s0102
sectors = 937703088
vsc = ata
vsc_soc_id = 0x3A31
vsc_nand_id = 9BC558713000
vsc_lun = 1
vsc_ftl_build = 0x00020001
vsc_fw_version = 051s0102
volumes = G

[disk sata-b]
kind = sata
drive = 9
controller = ahci1
scsi_path = 0
model = WDC WDS500G2B0A-00SM50
serial = 190427801234
firmware = 401000WD
sectors = 976773168

# A ZELTARIX SATA disk in a USB-to-SATA enclosure on root port 3 of controller 2.
[disk sata-usb]
kind = usb
drive = 10
bridge = sata
usb = 2/3
usb_vid = 1A2B
usb_pid = 0578
vendor = USB3.0
product = SATA Bridge
revision = 0100
model = ZELTARIX ZX3000 SATA 960GB
serial = ZX3000H0000000000010
firmware = 051s0104
sectors = 1875385008
vsc = ata
vsc_soc_id = 0x3A31
vsc_nand_id = 2CC30832E604
vsc_lun = 2
vsc_ftl_build = 0x00020001
vsc_fw_version = 051s0104
volumes = H

# A ZELTARIX SATA disk on a SAS adapter, PathId 2 and target 4: its port id (the PathId) differs
# from the AHCI disk's, so the disk list tells the two apart.
[controller sas0]
kind = sas
bus = 6
root_bus = 0

[disk sata-sas]
kind = sata
drive = 11
controller = sas0
bus_type = 10
scsi_path = 2
scsi_target = 4
model = ZELTARIX ZX3000 SATA 240GB
serial = ZX3000J0000000000011
firmware = 051s0102
sectors = 468862128
vsc = ata
vsc_soc_id = 0x3A31
vsc_nand_id = 9BC558713000
vsc_lun = 2
vsc_ftl_build = 0x00020001
vsc_fw_version = 051s0102
)";
    return text;
}

} // namespace sim
