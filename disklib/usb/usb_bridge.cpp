#include "disklib/usb/usb_bridge.h"

#include "common/byte_order.h"
#include "disklib/nvme_command.h"
#include "disklib/nvme_identify.h"
#include "disklib/usb/usb_requests.h"

#include <string.h>

namespace {

const UCHAR kInquirySenseLength = 64;
const ULONG kInquiryTimeout = 10;

// What a phase's outcome is tested for.
enum PhaseCheck {
    CHECK_CALL_AND_STATUS, // a failed call or CHECK CONDITION fails the phase
    CHECK_STATUS_ONLY      // only CHECK CONDITION fails it
};

// Checks of an ordinary command, and of a firmware chunk: phases 1 and 2 tested fully, the
// completion only for its status (a completion that cannot be read is left to the next request).
// A chunk the drive refuses (CHECK CONDITION) stops the download at that chunk.
const PhaseCheck kCommandChecks[3] = {CHECK_CALL_AND_STATUS, CHECK_CALL_AND_STATUS,
                                      CHECK_STATUS_ONLY};
// Realtek tests every phase fully, for commands and firmware chunks alike.
const PhaseCheck kRtkChecks[3] = {CHECK_CALL_AND_STATUS, CHECK_CALL_AND_STATUS,
                                  CHECK_CALL_AND_STATUS};

// The NVMe status field (SCT in bits 10..8, SC in bits 7..0) of a 16-byte completion entry,
// whose bytes 14..15 hold the phase tag (bit 0), SC (bits 8..1) and SCT (bits 11..9).
uint16_t CompletionStatus(const UCHAR* completion16) {
    return (uint16_t)((get_le16(completion16 + 14) >> 1) & 0x7FF);
}

void NoteStatus(uint16_t* status, uint16_t value) {
    if (status != NULL) {
        *status = value;
    }
}

// After a data phase the drive refused (CHECK CONDITION), the completion is still read when the
// caller asks why: the status tells a commit whose activation needs a reset from a refused one.
bool AsksWhy(bool askWhy, const UsbPhaseOutcome& dataPhase) {
    return askWhy && dataPhase.callOk;
}

// A completion phase whose call succeeded without CHECK CONDITION was read.
bool CompletionRead(const UsbPhaseOutcome& outcome) {
    return outcome.callOk && outcome.scsiStatus != USB_SCSI_STATUS_CHECK_CONDITION;
}

bool PhaseFailed(const UsbPhaseOutcome& outcome, PhaseCheck check) {
    const bool checkCondition = outcome.scsiStatus == USB_SCSI_STATUS_CHECK_CONDITION;
    switch (check) {
    case CHECK_CALL_AND_STATUS:
        return !outcome.callOk || checkCondition;
    default:
        return checkCondition;
    }
}

// The DataBuffer of a tunnel's data phase: none when it moves nothing.
void* DataBufferOf(void* data, uint32_t length) {
    return length != 0 ? data : NULL;
}

bool IsValidDirection(int32_t direction) {
    return direction == XFER_NONE || direction == XFER_OUT || direction == XFER_IN;
}

// The transfer kind carried in the bridges' CDBs: 0 none, 1 device to host, 2 host to device.
UCHAR TransferKind(int32_t direction) {
    if (direction == XFER_IN) {
        return 1;
    }
    if (direction == XFER_OUT) {
        return 2;
    }
    return 0;
}

// DataIn of a data phase.
UCHAR DataPhaseDataIn(int32_t direction) {
    if (direction == XFER_IN) {
        return SCSI_IOCTL_DATA_IN;
    }
    if (direction == XFER_OUT) {
        return SCSI_IOCTL_DATA_OUT;
    }
    return SCSI_IOCTL_DATA_UNSPECIFIED;
}

// --- ASMedia ---------------------------------------------------------------------------------

const UCHAR kAsmPhaseCommand = 0x80;
const UCHAR kAsmPhaseData = 0x81;
const UCHAR kAsmPhaseCompletion = 0x82;
const ULONG kAsmCompletionBytes = 16;

int32_t AsmThreePhase(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command, void* data,
                      uint32_t length, uint16_t* status, bool askWhy) {
    const PhaseCheck* checks = kCommandChecks;
    NoteStatus(status, USB_COMPLETION_UNREAD);
    if (command == NULL || !IsValidDirection(direction)) {
        return DISKLIB_ERR_IO;
    }
    const UCHAR kind = TransferKind(direction);
    UCHAR cdb[16];

    UsbBuildAsmCdb(cdb, USB_ASM_TO_DEVICE, kAsmPhaseCommand, kind, sizeof(NvmeCommandBlock));
    UsbPhaseOutcome outcome =
        UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_OUT, command, sizeof(NvmeCommandBlock),
                           USB_ASM_SENSE_LENGTH, USB_ASM_TIMEOUT);
    if (PhaseFailed(outcome, checks[0])) {
        return DISKLIB_ERR_IO;
    }

    UsbBuildAsmCdb(cdb, direction == XFER_OUT ? USB_ASM_TO_DEVICE : USB_ASM_FROM_DEVICE,
                   kAsmPhaseData, kind, length);
    outcome = UsbSendPassThrough(hDisk, cdb, DataPhaseDataIn(direction), DataBufferOf(data, length),
                                 length, USB_ASM_SENSE_LENGTH, USB_ASM_TIMEOUT);
    const bool refused = PhaseFailed(outcome, checks[1]);
    if (refused && !AsksWhy(askWhy, outcome)) {
        return DISKLIB_ERR_IO;
    }

    // The completion lands over the first 16 bytes of the caller's command block.
    UsbBuildAsmCdb(cdb, USB_ASM_FROM_DEVICE, kAsmPhaseCompletion, kind, kAsmCompletionBytes);
    outcome = UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_IN, command, kAsmCompletionBytes,
                                 USB_ASM_SENSE_LENGTH, USB_ASM_TIMEOUT);
    if (PhaseFailed(outcome, checks[2])) {
        return DISKLIB_ERR_IO;
    }
    if (CompletionRead(outcome)) {
        NoteStatus(status, CompletionStatus((const UCHAR*)command));
    }
    return refused ? DISKLIB_ERR_IO : DISKLIB_OK;
}

// --- JMicron ---------------------------------------------------------------------------------

const uint32_t kJmiMaxLength = 0xFFFFFF; // the CDB carries a 24-bit length

UCHAR JmiDataProtocol(int32_t direction) {
    if (direction == XFER_IN) {
        return USB_JMI_PHASE_DATA_IN;
    }
    if (direction == XFER_OUT) {
        return USB_JMI_PHASE_DATA_OUT;
    }
    return USB_JMI_PHASE_NO_DATA;
}

int32_t JmiThreePhase(HANDLE hDisk, int32_t direction, const NvmeCommandBlock* command, void* data,
                      uint32_t length, uint16_t* status, bool askWhy) {
    NoteStatus(status, USB_COMPLETION_UNREAD);
    if (command == NULL || !IsValidDirection(direction) || length > kJmiMaxLength) {
        return DISKLIB_ERR_IO;
    }
    UCHAR block[USB_JMI_BLOCK_BYTES];
    UCHAR cdb[16];
    UsbBuildJmiBlock(block, command);

    UsbBuildJmiCdb(cdb, USB_JMI_PHASE_COMMAND, USB_JMI_BLOCK_BYTES);
    UsbPhaseOutcome outcome =
        UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_OUT, block, USB_JMI_BLOCK_BYTES,
                           USB_JMI_SENSE_LENGTH, USB_JMI_TIMEOUT);
    if (PhaseFailed(outcome, kCommandChecks[0])) {
        return DISKLIB_ERR_IO;
    }

    if (direction != XFER_OUT && data != NULL) {
        memset(data, 0, length);
    }
    UsbBuildJmiCdb(cdb, JmiDataProtocol(direction), length);
    outcome = UsbSendPassThrough(hDisk, cdb, DataPhaseDataIn(direction), DataBufferOf(data, length),
                                 length, USB_JMI_SENSE_LENGTH, USB_JMI_TIMEOUT);
    const bool refused = PhaseFailed(outcome, kCommandChecks[1]);
    if (refused && !AsksWhy(askWhy, outcome)) {
        return DISKLIB_ERR_IO;
    }

    // The response block carries the completion after "NVME" and four zero bytes.
    memset(block, 0, sizeof(block));
    UsbBuildJmiCdb(cdb, USB_JMI_PHASE_RESPONSE, USB_JMI_BLOCK_BYTES);
    outcome = UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_IN, block, USB_JMI_BLOCK_BYTES,
                                 USB_JMI_SENSE_LENGTH, USB_JMI_TIMEOUT);
    if (PhaseFailed(outcome, kCommandChecks[2])) {
        return DISKLIB_ERR_IO;
    }
    if (CompletionRead(outcome)) {
        NoteStatus(status, CompletionStatus(block + USB_JMI_BLOCK_COMMAND_OFFSET));
    }
    return refused ? DISKLIB_ERR_IO : DISKLIB_OK;
}

// --- Realtek ---------------------------------------------------------------------------------

const UCHAR kRtkToDevice = 0xE5;
const UCHAR kRtkFromDevice = 0xE4;
const UCHAR kRtkPhaseCommand = 0xF7;
const UCHAR kRtkPhaseData = 0xF8;
const UCHAR kRtkPhaseCompletion = 0xF9;
const ULONG kRtkCompletionBytes = 16;
const uint32_t kRtkMaxLength = 0xFFFF; // the CDB carries a 16-bit length

// Realtek CDB: [0] E4/E5, [1..2] length little-endian 16-bit, [3] phase, [6] transfer kind in
// the data phase.
void BuildRtkCdb(UCHAR cdb[16], UCHAR operation, ULONG length, UCHAR phase, UCHAR kind) {
    memset(cdb, 0, USB_CDB_BYTES);
    cdb[0] = operation;
    put_le16(cdb + 1, length);
    cdb[3] = phase;
    cdb[6] = kind;
}

int32_t RtkThreePhase(HANDLE hDisk, int32_t direction, const NvmeCommandBlock* command, void* data,
                      uint32_t length, uint16_t* status, bool askWhy) {
    NoteStatus(status, USB_COMPLETION_UNREAD);
    // A length the 16-bit field cannot hold is refused before anything is sent.
    if (command == NULL || !IsValidDirection(direction) || length > kRtkMaxLength) {
        return DISKLIB_ERR_IO;
    }
    // Realtek request block: the NVMe command block in bytes 0..63, zeros to 512.
    UCHAR block[USB_RTK_BLOCK_BYTES];
    UCHAR cdb[16];
    memset(block, 0, sizeof(block));
    memcpy(block, command, sizeof(NvmeCommandBlock));

    BuildRtkCdb(cdb, kRtkToDevice, sizeof(NvmeCommandBlock), kRtkPhaseCommand, 0);
    UsbPhaseOutcome outcome =
        UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_OUT, block, sizeof(NvmeCommandBlock),
                           USB_RTK_SENSE_LENGTH, USB_RTK_TIMEOUT);
    if (PhaseFailed(outcome, kRtkChecks[0])) {
        return DISKLIB_ERR_IO;
    }

    if (direction != XFER_OUT && data != NULL) {
        memset(data, 0, length);
    }
    BuildRtkCdb(cdb, direction == XFER_IN ? kRtkFromDevice : kRtkToDevice, length, kRtkPhaseData,
                TransferKind(direction));
    outcome = UsbSendPassThrough(hDisk, cdb, DataPhaseDataIn(direction), DataBufferOf(data, length),
                                 length, USB_RTK_SENSE_LENGTH, USB_RTK_TIMEOUT);
    const bool refused = PhaseFailed(outcome, kRtkChecks[1]);
    if (refused && !AsksWhy(askWhy, outcome)) {
        return DISKLIB_ERR_IO;
    }

    memset(block, 0, sizeof(block));
    BuildRtkCdb(cdb, kRtkFromDevice, kRtkCompletionBytes, kRtkPhaseCompletion, 0);
    outcome = UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_IN, block, kRtkCompletionBytes,
                                 USB_RTK_SENSE_LENGTH, USB_RTK_TIMEOUT);
    if (PhaseFailed(outcome, kRtkChecks[2])) {
        return DISKLIB_ERR_IO;
    }
    NoteStatus(status, CompletionStatus(block));
    return refused ? DISKLIB_ERR_IO : DISKLIB_OK;
}

// A firmware chunk: the drive's completion must report success, or the chunk was refused.
int32_t ChunkResult(int32_t result, uint16_t status) {
    if (result != DISKLIB_OK) {
        return result;
    }
    return status == USB_COMPLETION_UNREAD || status == 0 ? DISKLIB_OK : DISKLIB_ERR_IO;
}

// --- Firmware Image Download ----------------------------------------------------------------

// NSID 0, NUMD and OFST.
NvmeCommandBlock BuildFirmwareDownloadCommand(uint32_t offset, uint32_t length) {
    NvmeCommandBlock command;
    memset(&command, 0, sizeof(command));
    command.CDW0 = NVME_ADMIN_FIRMWARE_DOWNLOAD;
    command.CDW10 = NvmeFirmwareDownloadNumd(length);
    command.CDW11 = NvmeFirmwareDownloadOfst(offset);
    return command;
}

// --- Detection -------------------------------------------------------------------------------

const UCHAR kInquiryOperation = 0x12;
const ULONG kInquiryBytes = 0x26;
const size_t kInquiryProductOffset = 16;
const size_t kInquirySignatureOffset = 36;
const uint32_t kInquiryBufferBytes = 4096;

// Looks for "9210B" in the bytes from start up to the first zero byte or the end.
bool ContainsRealtekProduct(const UCHAR* start, size_t available) {
    static const char kPattern[] = "9210B";
    const size_t patternLength = sizeof(kPattern) - 1;
    size_t textLength = 0;
    while (textLength < available && start[textLength] != 0) {
        ++textLength;
    }
    for (size_t i = 0; i + patternLength <= textLength; ++i) {
        if (memcmp(start + i, kPattern, patternLength) == 0) {
            return true;
        }
    }
    return false;
}

// Sends Identify Controller through a candidate family's Identify operation and accepts the
// candidate when it succeeds with non-zero PCI vendor and subsystem vendor ids.
bool CandidateAnswersIdentify(HANDLE hDisk, int32_t candidate, UCHAR* buffer) {
    NvmeCommandBlock command;
    memset(&command, 0, sizeof(command));
    command.CDW0 = NVME_ADMIN_IDENTIFY;
    command.CDW1 = 0;
    command.CDW10 = NVME_CNS_CONTROLLER;
    memset(buffer, 0, NVME_IDENTIFY_BYTES);
    int32_t result = DISKLIB_ERR_IO;
    if (candidate == CMD_USB_JMI) {
        result = IO_USB_JMI_NvmePassThrough(hDisk, XFER_IN, &command, buffer, NVME_IDENTIFY_BYTES);
    } else if (candidate == CMD_USB_ASM) {
        result = IO_USB_ASM_Identify(hDisk, XFER_IN, &command, buffer, NVME_IDENTIFY_BYTES);
    } else if (candidate == CMD_USB_RTK) {
        result = IO_USB_RTK_NvmePassThrough(hDisk, XFER_IN, &command, buffer, NVME_IDENTIFY_BYTES);
    }
    if (result != DISKLIB_OK) {
        return false;
    }
    const uint16_t vendorId = get_le16(buffer + NVME_IDCTRL_VID);
    const uint16_t subsystemVendorId = get_le16(buffer + NVME_IDCTRL_SSVID);
    return vendorId != 0 && subsystemVendorId != 0;
}

} // namespace

int32_t IO_USB_GetBridgeType(HANDLE hDisk) {
    UCHAR* buffer =
        (UCHAR*)VirtualAlloc(NULL, kInquiryBufferBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffer == NULL) {
        return CMD_NONE;
    }
    int32_t type = CMD_NONE;

    // INQUIRY: 12 00 00 00 26, 38 bytes in.
    UCHAR cdb[16];
    memset(cdb, 0, sizeof(cdb));
    cdb[0] = kInquiryOperation;
    cdb[4] = (UCHAR)kInquiryBytes;
    const UsbPhaseOutcome outcome =
        UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_IN, buffer, kInquiryBytes,
                           kInquirySenseLength, kInquiryTimeout);
    if (!PhaseFailed(outcome, CHECK_CALL_AND_STATUS)) {
        const UCHAR b36 = buffer[kInquirySignatureOffset];
        const UCHAR b37 = buffer[kInquirySignatureOffset + 1];
        if (b36 == 0x60 && b37 == 0x23) {
            type = CMD_USB_ASM;
        } else if (b36 == 0x30 && b37 == 0x35) {
            type = CMD_USB_JMI;
        } else if (ContainsRealtekProduct(buffer + kInquiryProductOffset,
                                          kInquiryBufferBytes - kInquiryProductOffset)) {
            type = CMD_USB_RTK;
        } else {
            static const int32_t kCandidates[3] = {CMD_USB_JMI, CMD_USB_ASM, CMD_USB_RTK};
            for (int i = 0; i < 3; ++i) {
                if (CandidateAnswersIdentify(hDisk, kCandidates[i], buffer)) {
                    type = kCandidates[i];
                    break;
                }
            }
        }
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    return type;
}

int32_t IO_USB_ASM_Identify(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command, void* data,
                            uint32_t length) {
    if (command == NULL || !IsValidDirection(direction)) {
        return DISKLIB_ERR_IO;
    }
    // CDB: E6, opcode, 00, CDW10 bits 7..0, 00 00 00, NSID bits 7..0, eight zeros.
    UCHAR cdb[16];
    memset(cdb, 0, sizeof(cdb));
    cdb[0] = 0xE6;
    cdb[1] = (UCHAR)command->CDW0;
    cdb[3] = (UCHAR)command->CDW10;
    cdb[7] = (UCHAR)command->CDW1;
    const UsbPhaseOutcome outcome =
        UsbSendPassThrough(hDisk, cdb, DataPhaseDataIn(direction), DataBufferOf(data, length),
                           length, USB_ASM_SENSE_LENGTH, USB_ASM_TIMEOUT);
    return PhaseFailed(outcome, CHECK_CALL_AND_STATUS) ? DISKLIB_ERR_IO : DISKLIB_OK;
}

int32_t IO_USB_ASM_NvmePassThrough(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command,
                                   void* data, uint32_t length) {
    return AsmThreePhase(hDisk, direction, command, data, length, NULL, false);
}

int32_t IO_USB_JMI_NvmePassThrough(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command,
                                   void* data, uint32_t length) {
    return JmiThreePhase(hDisk, direction, command, data, length, NULL, false);
}

int32_t IO_USB_RTK_NvmePassThrough(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command,
                                   void* data, uint32_t length) {
    return RtkThreePhase(hDisk, direction, command, data, length, NULL, false);
}

int32_t IO_USB_NvmePassThroughStatus(int32_t cmdType, HANDLE hDisk, int32_t direction,
                                     NvmeCommandBlock* command, void* data, uint32_t length,
                                     uint16_t* status) {
    switch (cmdType) {
    case CMD_USB_ASM:
        return AsmThreePhase(hDisk, direction, command, data, length, status, true);
    case CMD_USB_JMI:
        return JmiThreePhase(hDisk, direction, command, data, length, status, true);
    case CMD_USB_RTK:
        return RtkThreePhase(hDisk, direction, command, data, length, status, true);
    default:
        NoteStatus(status, USB_COMPLETION_UNREAD);
        return DISKLIB_ERR_UNSUPPORTED;
    }
}

int32_t IO_USB_ASM_FirmwareDownload(HANDLE hDisk, uint32_t offset, const void* chunk,
                                    uint32_t length) {
    NvmeCommandBlock command = BuildFirmwareDownloadCommand(offset, length);
    uint16_t status = USB_COMPLETION_UNREAD;
    const int32_t result =
        AsmThreePhase(hDisk, XFER_OUT, &command, const_cast<void*>(chunk), length, &status, false);
    return ChunkResult(result, status);
}

int32_t IO_USB_JMI_FirmwareDownload(HANDLE hDisk, uint32_t offset, const void* chunk,
                                    uint32_t length) {
    NvmeCommandBlock command = BuildFirmwareDownloadCommand(offset, length);
    uint16_t status = USB_COMPLETION_UNREAD;
    const int32_t result =
        JmiThreePhase(hDisk, XFER_OUT, &command, const_cast<void*>(chunk), length, &status, false);
    return ChunkResult(result, status);
}

int32_t IO_USB_RTK_FirmwareDownload(HANDLE hDisk, uint32_t offset, const void* chunk,
                                    uint32_t length) {
    NvmeCommandBlock command = BuildFirmwareDownloadCommand(offset, length);
    uint16_t status = USB_COMPLETION_UNREAD;
    const int32_t result =
        RtkThreePhase(hDisk, XFER_OUT, &command, const_cast<void*>(chunk), length, &status, false);
    return ChunkResult(result, status);
}
