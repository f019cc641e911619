// The NVMe-to-USB bridges of the simulated PC's enclosures and the ZELTARIX vendor command set
// of its NVMe drives.
//
// Bridges (scenario key `bridge`): "asmedia", "jmicron" and "realtek". Each answers the
// standard SCSI commands, its INQUIRY signature and its own NVMe tunnel, and refuses with
// CHECK CONDITION what the chip would refuse: an unknown CDB (also another family's tunnel),
// a phase out of order, a length that does not match the CDB or the phase, a direction or
// transfer kind that does not match the phase or the command phase, a non-zero byte where the
// CDB or the JMicron request block reserves zeros. A command the drive fails ends its data
// phase in CHECK CONDITION; the completion phase then still returns the completion. Keys of
// the disk:
//   bridge_signature = no      INQUIRY without the bytes 36-37 signature (ASMedia, JMicron;
//                              a Realtek bridge is known by "9210B" in its product text)
//   bridge_zero_ids = yes      the bridge's Identify Controller answer has zero PCI vendor and
//                              subsystem vendor ids (the chip answers it itself)
//   bridge_inquiry = HEX       the standard INQUIRY data byte for byte (any USB disk)
//   bridge_errors = completion a command the drive fails ends its data phase GOOD, and the
//                              error is only in the completion (as real bridges can answer)
// Faults of the disk, consumed per tunnel request: bridge_fail_<phase> makes the call fail
// (no SCSI status), bridge_check_<phase> answers CHECK CONDITION, with <phase> one of
// command, data, completion; the faulted phase has no effect. bridge_check_inquiry answers
// the next standard INQUIRY with CHECK CONDITION (any USB disk).
// Power requests are accepted in their exact form only: ASMedia EA 5A value and thirteen zero
// bytes with DataIn OUT and no data; JMicron a request block with an empty command and the
// value in byte 72, a non-data phase A1 81 with DataIn IN, and the response phase. What they
// do to the drive is left to the firmware model.
#pragma once

#include "sim/bridge_model.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

std::unique_ptr<UsbBridge> MakeAsmediaBridge();
std::unique_ptr<UsbBridge> MakeJmicronBridge();
std::unique_ptr<UsbBridge> MakeRealtekBridge();

// The vendor command set of generation 0 or 1 (scenario key `vsc`). Keys of the disk:
//   vsc_unlock = required      vendor commands other than the unlock are refused until the
//                              unlock (0xFC) has been sent since the last reset
//   vsc_checksum = crc32 | crc32c   check value kind of the FW configuration write
//   vsc_drvinfo = no           the Drive information block is not valid (first byte 0)
//   vsc_soc_id, vsc_nand_id (12 hex digits), vsc_drvinfo_version, vsc_ftl_build
//   vsc_mp_format (default 1768), vsc_ch, vsc_ce, vsc_lun, vsc_pln, vsc_pg,
//   vsc_nand_table (hex, from offset 1352), vsc_mp_soc_id, vsc_mp_version (10 bytes at 1606),
//   vsc_mp_header_version (8 bytes at 88), vsc_fw_version (8 bytes at 1064 of FW configuration)
// A block given whole (keys drvinfo, mpinfo, fwconfig) takes the place of the synthesised one.
// The blocks live in the drive's state, so what is written persists. The MP information write
// (F1) takes the 144-byte header and keeps the rest of the drive's block. When new firmware
// starts, the blocks take what its image brings (FirmwareImage): its version in the Drive
// information block (32..39, with its FTL build number at 72) and, in format 1768, in the MP
// information block (1606..1615), and its FW configuration block.
std::unique_ptr<NvmeCommandSet> MakeZeltarixCommandSet(int generation);

// The vendor block ("drvinfo", "mpinfo" or "fwconfig", 4096 bytes) that a ZELTARIX drive with
// these scenario keys (the vsc_ keys above) and this running firmware starts with; the ATA
// drives' vendor commands return the same blocks.
std::vector<uint8_t> MakeZeltarixBlock(const std::string& name,
                                       const std::map<std::string, std::string>& params,
                                       const std::string& firmware);

// CRC-32 (kind 0) and CRC-32C (kind 1) of a buffer.
uint32_t SimCrc(const uint8_t* data, size_t length, int kind);

} // namespace sim
