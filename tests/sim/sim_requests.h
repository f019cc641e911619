// The requests the program sends, built byte by byte from the layouts the drivers and bridges
// read, so that a test can send one as given or with one field changed, and the calls that send
// them through the simulated PC's Windows API.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace simreq {

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
    }
}
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    Put32(b, at, uint32_t(v));
    Put32(b, at + 4, uint32_t(v >> 32));
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

struct Result {
    bool ok;
    DWORD error;
    DWORD returned;
};

inline Result Ioctl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0xDEAD;
    SetLastError(0);
    BOOL ok = DeviceIoControl(h, code, in, inSize, out, outSize, &returned, NULL);
    return Result{ok != 0, ok ? 0 : GetLastError(), returned};
}

// IOCTL_STORAGE_PROTOCOL_COMMAND of 144 + length bytes: Version 1, Length 84, ProtocolType 3,
// Flags 0x80000000, CommandLength 64, TimeOutValue 10, both buffer offsets 144, CommandSpecific
// 1; the command at 80 with CDW0 the opcode, CDW1 FFFFFFFF, CDW10 length / 4 and CDW12..15.
// direction 0 none, 1 to the device, 2 from the device.
inline std::vector<uint8_t> ProtocolCommand(uint8_t opcode, int direction, uint32_t length,
                                            uint32_t cdw12 = 0, uint32_t cdw13 = 0,
                                            uint32_t cdw14 = 0, uint32_t cdw15 = 0) {
    std::vector<uint8_t> b(144 + (direction == 0 ? 0 : length), 0);
    Put32(b, 0, 1);                            // Version
    Put32(b, 4, 84);                           // Length
    Put32(b, 8, 3);                            // ProtocolType: NVMe
    Put32(b, 12, 0x80000000u);                 // Flags: adapter request
    Put32(b, 24, 64);                          // CommandLength
    Put32(b, 32, direction == 1 ? length : 0); // DataToDeviceTransferLength
    Put32(b, 36, direction == 2 ? length : 0); // DataFromDeviceTransferLength
    Put32(b, 40, 10);                          // TimeOutValue
    Put32(b, 48, 144);                         // DataToDeviceBufferOffset
    Put32(b, 52, 144);                         // DataFromDeviceBufferOffset
    Put32(b, 56, 1);                           // CommandSpecific: admin command
    Put32(b, 80, opcode);                      // CDW0
    Put32(b, 84, 0xFFFFFFFFu);                 // CDW1
    Put32(b, 80 + 40, length / 4);             // CDW10
    Put32(b, 80 + 48, cdw12);
    Put32(b, 80 + 52, cdw13);
    Put32(b, 80 + 56, cdw14);
    Put32(b, 80 + 60, cdw15);
    return b;
}

// IOCTL_STORAGE_QUERY_PROPERTY for protocol data, 48 + length bytes: PropertyId, QueryType 0,
// then STORAGE_PROTOCOL_SPECIFIC_DATA with ProtocolType 3, the data type, the request value and
// sub-value, ProtocolDataOffset 40 and ProtocolDataLength.
inline std::vector<uint8_t> ProtocolQuery(uint32_t propertyId, uint32_t dataType, uint32_t value,
                                          uint32_t subValue, uint32_t length) {
    std::vector<uint8_t> b(48 + length, 0);
    Put32(b, 0, propertyId);
    Put32(b, 8, 3);
    Put32(b, 12, dataType);
    Put32(b, 16, value);
    Put32(b, 20, subValue);
    Put32(b, 24, 40);
    Put32(b, 28, length);
    return b;
}

// "IntelNvm" of 167 + length bytes: SRB_IO_CONTROL (HeaderLength 28, the signature, Timeout 40,
// ControlCode F0002808, Length = size - 28), version 1, the path id, the 64-byte command at 32,
// parameter length 164, return buffer length; data at 164.
inline std::vector<uint8_t> IntelNvm(uint8_t pathId, const uint32_t (&cdw)[16], uint32_t length) {
    std::vector<uint8_t> b(167 + length, 0);
    Put32(b, 0, 28);
    std::memcpy(&b[4], "IntelNvm", 8);
    Put32(b, 12, 40);
    Put32(b, 16, 0xF0002808u);
    Put32(b, 24, uint32_t(b.size() - 28));
    b[28] = 1;
    b[29] = pathId;
    for (int i = 0; i < 16; ++i) {
        Put32(b, 32 + 4 * size_t(i), cdw[i]);
    }
    Put32(b, 116, 164);
    Put32(b, 120, length);
    return b;
}

// What both "IntelFw " requests start with: SRB_IO_CONTROL (HeaderLength 28, the signature,
// Timeout 200, ControlCode F0000040, Length = size - 28), 1 and the path id at 28..29, and
// FIRMWARE_REQUEST_BLOCK (Version 1, Size 24, the function, Flags 1, DataBufferOffset 56, the
// data buffer length).
inline void IntelFwHead(std::vector<uint8_t>& b, uint8_t pathId, uint32_t function,
                        uint32_t dataLength) {
    Put32(b, 0, 28);
    std::memcpy(&b[4], "IntelFw ", 8);
    Put32(b, 12, 200);
    Put32(b, 16, 0xF0000040u);
    Put32(b, 24, uint32_t(b.size() - 28));
    b[28] = 1;
    b[29] = pathId;
    Put32(b, 32, 1);
    Put32(b, 36, 24);
    Put32(b, 40, function);
    Put32(b, 44, 1);
    Put32(b, 48, 56);
    Put32(b, 52, dataLength);
}

// "IntelFw " download of 88 + chunk bytes: SRB_IO_CONTROL (Timeout 200, ControlCode F0000040,
// Length chunk + 60), 1 and the path id at 28..29, FIRMWARE_REQUEST_BLOCK (Version 1, Size 24,
// Function 2, Flags 1, DataBufferOffset 56, DataBufferLength chunk + 32), then
// STORAGE_FIRMWARE_DOWNLOAD_V2 (Version 2, Size 32, Offset, BufferSize, Slot FF, ImageSize 0)
// and the chunk at 88.
inline std::vector<uint8_t> IntelFwDownload(uint8_t pathId, uint64_t offset,
                                            const std::vector<uint8_t>& chunk) {
    const uint32_t n = uint32_t(chunk.size());
    std::vector<uint8_t> b(88 + n, 0);
    IntelFwHead(b, pathId, 2, n + 32);
    Put32(b, 56, 2);
    Put32(b, 60, 32);
    Put64(b, 64, offset);
    Put64(b, 72, n);
    b[80] = 0xFF;
    if (n != 0) {
        std::memcpy(&b[88], chunk.data(), n);
    }
    return b;
}

// "IntelFw " activate of 4184 bytes: the header with Length 4156, FIRMWARE_REQUEST_BLOCK with
// Function 3 and DataBufferLength 12, STORAGE_FIRMWARE_ACTIVATE (Version 1, Size 12,
// SlotToActivate 1), the dwords 5 and 7 at 68, zeros to the end.
inline std::vector<uint8_t> IntelFwActivate(uint8_t pathId) {
    std::vector<uint8_t> b(4184, 0);
    IntelFwHead(b, pathId, 3, 12);
    Put32(b, 56, 1);
    Put32(b, 60, 12);
    b[64] = 1;
    Put32(b, 68, 5);
    Put32(b, 72, 7);
    return b;
}

// IOCTL_STORAGE_FIRMWARE_DOWNLOAD of 40 + chunk bytes: Version 40, Size 40 + chunk, Flags 1,
// Slot 1, Offset, BufferSize, the chunk at 32.
inline std::vector<uint8_t> NativeDownload(uint64_t offset, const std::vector<uint8_t>& chunk) {
    const uint32_t n = uint32_t(chunk.size());
    std::vector<uint8_t> b(40 + n, 0);
    Put32(b, 0, 40);
    Put32(b, 4, 40 + n);
    Put32(b, 8, 1);
    b[12] = 1;
    Put64(b, 16, offset);
    Put64(b, 24, n);
    if (n != 0) {
        std::memcpy(&b[32], chunk.data(), n);
    }
    return b;
}

// IOCTL_STORAGE_FIRMWARE_ACTIVATE of 16 bytes: Version 16, Size 16, Flags, Slot.
inline std::vector<uint8_t> NativeActivate(uint8_t slot, uint32_t flags) {
    std::vector<uint8_t> b(16, 0);
    Put32(b, 0, 16);
    Put32(b, 4, 16);
    Put32(b, 8, flags);
    b[12] = slot;
    return b;
}

// One IOCTL_SCSI_PASS_THROUGH_DIRECT in the envelope the program uses: SCSI_PASS_THROUGH_DIRECT
// of the build, CdbLength 16, the sense area after it.
struct PassThrough {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[64];
};

// A phase's outcome: the SCSI status, or -1 when the call failed (with its error), and the
// sense key, ASC and ASCQ of a CHECK CONDITION.
struct Phase {
    int status;
    DWORD error;
    uint8_t senseKey = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

inline Phase Scsi(HANDLE h, const std::vector<uint8_t>& cdb, UCHAR dataIn, void* data, ULONG length,
                  UCHAR senseLength, ULONG timeout) {
    PassThrough rq;
    std::memset(&rq, 0, sizeof(rq));
    rq.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    rq.sptd.CdbLength = 16;
    rq.sptd.SenseInfoLength = senseLength;
    rq.sptd.SenseInfoOffset = ULONG(offsetof(PassThrough, sense));
    rq.sptd.DataIn = dataIn;
    rq.sptd.DataTransferLength = length;
    rq.sptd.DataBuffer = length ? data : nullptr;
    rq.sptd.TimeOutValue = timeout;
    std::memcpy(rq.sptd.Cdb, cdb.data(), cdb.size() < 16 ? cdb.size() : 16);
    DWORD returned = 0;
    SetLastError(0);
    if (!DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &rq, sizeof(rq), &rq, sizeof(rq),
                         &returned, nullptr)) {
        return Phase{-1, GetLastError()};
    }
    return Phase{rq.sptd.ScsiStatus, 0, uint8_t(rq.sense[2] & 0x0F), rq.sense[12], rq.sense[13]};
}

// A 16-byte CDB from hex digits.
inline std::vector<uint8_t> Cdb(const std::string& hex) {
    std::vector<uint8_t> out(16, 0);
    for (size_t i = 0; i + 1 < hex.size() && i / 2 < 16; i += 2) {
        out[i / 2] = uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// The three USB bridges' tunnels for one NVMe admin command: the SCSI status of each phase
// sent (the sequence stops at the first that is not GOOD), -1 for a failed call.
enum class Bridge { Asmedia, Jmicron, Realtek };

// kind: 0 no data, 1 from the device, 2 to the device.
inline std::vector<int> Tunnel(HANDLE h, Bridge bridge, const uint32_t (&cdw)[16], int kind,
                               void* data, uint32_t length) {
    std::vector<uint8_t> command(64, 0);
    for (int i = 0; i < 16; ++i) {
        Put32(command, 4 * size_t(i), cdw[i]);
    }
    const UCHAR dataIn = kind == 1   ? UCHAR(SCSI_IOCTL_DATA_IN)
                         : kind == 2 ? UCHAR(SCSI_IOCTL_DATA_OUT)
                                     : UCHAR(SCSI_IOCTL_DATA_UNSPECIFIED);
    std::vector<uint8_t> cdbs[3] = {std::vector<uint8_t>(16, 0), std::vector<uint8_t>(16, 0),
                                    std::vector<uint8_t>(16, 0)};
    std::vector<uint8_t> block(512, 0);
    void* buffers[3] = {command.data(), data, block.data()};
    ULONG lengths[3] = {64, length, 16};
    UCHAR senseLength = 24;
    ULONG timeout = 10;
    switch (bridge) {
    case Bridge::Asmedia:
        // EA/EB 5A phase 00 kind, five zeros, the length big-endian, two zeros.
        for (int p = 0; p < 3; ++p) {
            const ULONG n = lengths[p];
            cdbs[p][0] = (p == 0 || (p == 1 && kind == 2)) ? 0xEA : 0xEB;
            cdbs[p][1] = 0x5A;
            cdbs[p][2] = uint8_t(0x80 + p);
            cdbs[p][4] = uint8_t(kind);
            cdbs[p][10] = uint8_t(n >> 24);
            cdbs[p][11] = uint8_t(n >> 16);
            cdbs[p][12] = uint8_t(n >> 8);
            cdbs[p][13] = uint8_t(n);
        }
        break;
    case Bridge::Jmicron:
        // A1 code 00 length (24-bit big-endian); the command goes in the 512-byte request
        // block after "NVME" and four zeros.
        std::memcpy(block.data(), "NVME", 4);
        std::memcpy(block.data() + 8, command.data(), 64);
        buffers[0] = block.data();
        lengths[0] = 512;
        lengths[2] = 512;
        cdbs[0][1] = 0x80;
        cdbs[1][1] = uint8_t(0x81 + kind);
        cdbs[2][1] = 0x8F;
        for (int p = 0; p < 3; ++p) {
            cdbs[p][0] = 0xA1;
            cdbs[p][3] = uint8_t(lengths[p] >> 16);
            cdbs[p][4] = uint8_t(lengths[p] >> 8);
            cdbs[p][5] = uint8_t(lengths[p]);
        }
        break;
    case Bridge::Realtek:
        // E4/E5 length (16-bit little-endian) phase 00 00 kind (data phase only).
        senseLength = 64;
        timeout = 60;
        for (int p = 0; p < 3; ++p) {
            cdbs[p][0] = (p == 2 || (p == 1 && kind == 1)) ? 0xE4 : 0xE5;
            cdbs[p][1] = uint8_t(lengths[p]);
            cdbs[p][2] = uint8_t(lengths[p] >> 8);
            cdbs[p][3] = uint8_t(0xF7 + p);
        }
        cdbs[1][6] = uint8_t(kind);
        break;
    }
    const UCHAR dataIns[3] = {UCHAR(SCSI_IOCTL_DATA_OUT), dataIn, UCHAR(SCSI_IOCTL_DATA_IN)};
    std::vector<int> statuses;
    for (int p = 0; p < 3; ++p) {
        const Phase r = Scsi(h, cdbs[p], dataIns[p], buffers[p], lengths[p], senseLength, timeout);
        statuses.push_back(r.status);
        if (r.status != 0) {
            break;
        }
        if (p == 0 && bridge == Bridge::Jmicron) {
            std::memset(block.data(), 0, block.size());
        }
    }
    return statuses;
}

} // namespace simreq
