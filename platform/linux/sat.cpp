#include "platform/linux/sat.h"

#include <string.h>

namespace {

enum {
    kAtaPassThrough16 = 0x85,
    // PROTOCOL (byte 1, bits 4..1).
    kProtocolNonData = 3,
    kProtocolPioIn = 4,
    kProtocolPioOut = 5,
    kProtocolDma = 6,
    kExtend = 0x01,
    // Byte 2.
    kCkCond = 0x20,
    kTDirIn = 0x08,
    kBytBlok = 0x04,
    kTLengthInCount = 0x02,
    // Sense.
    kDescriptorAtaReturn = 0x09,
    kAscqAtaInformation = 0x1D,
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A hex number of 1..4 digits from p up to the stop character; -1 otherwise.
long HexField(const char* p, const char* end, char stop, const char** next) {
    long value = 0;
    int digits = 0;
    for (; p < end && *p != stop; ++p, ++digits) {
        int d = HexDigit(*p);
        if (d < 0 || digits >= 4) {
            return -1;
        }
        value = value * 16 + d;
    }
    if (digits == 0 || p >= end) {
        return -1;
    }
    *next = p + 1;
    return value;
}

} // namespace

int LxSatBuildCdb(const uint8_t previous[8], const uint8_t current[8], uint32_t ataFlags,
                  uint32_t length, uint8_t cdb[16]) {
    const bool in = (ataFlags & LX_ATA_DATA_IN) != 0;
    const bool out = (ataFlags & LX_ATA_DATA_OUT) != 0;
    const bool extend = (ataFlags & LX_ATA_48BIT) != 0;
    if ((in && out) || length % 512 != 0 || ((in || out) != (length != 0))) {
        return -1;
    }
    const uint8_t protocol = (ataFlags & LX_ATA_USE_DMA) != 0 && (in || out) ? kProtocolDma
                             : in                                            ? kProtocolPioIn
                             : out                                           ? kProtocolPioOut
                                                                             : kProtocolNonData;
    memset(cdb, 0, 16);
    cdb[0] = kAtaPassThrough16;
    cdb[1] = (uint8_t)(protocol << 1 | (extend ? kExtend : 0));
    // CK_COND only without data: libata reads the registers of a PIO data-in command from the
    // PIO Setup FIS, whose status still has DRQ set, and so fails a command that went well.
    cdb[2] = (uint8_t)(in || out ? (in ? kTDirIn : 0) | kBytBlok | kTLengthInCount : kCkCond);
    cdb[3] = extend ? previous[0] : 0; // FEATURES 15..8
    cdb[4] = current[0];
    cdb[5] = extend ? previous[1] : 0; // COUNT 15..8
    cdb[6] = current[1];
    cdb[7] = extend ? previous[2] : 0; // LBA 31..24
    cdb[8] = current[2];
    cdb[9] = extend ? previous[3] : 0; // LBA 39..32
    cdb[10] = current[3];
    cdb[11] = extend ? previous[4] : 0; // LBA 47..40
    cdb[12] = current[4];
    cdb[13] = current[5];
    cdb[14] = current[6];
    return 1;
}

int LxSatReadRegisters(const uint8_t* sense, size_t length, uint8_t previous[8],
                       uint8_t current[8]) {
    if (length < 8) {
        return 0;
    }
    const uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        // Descriptors from byte 8, as many as the additional length (byte 7) covers.
        size_t end = 8 + (size_t)sense[7];
        if (end > length) {
            end = length;
        }
        for (size_t at = 8; at + 2 <= end;) {
            const size_t size = 2 + (size_t)sense[at + 1];
            if (sense[at] == kDescriptorAtaReturn && sense[at + 1] >= 0x0C && at + 14 <= end) {
                const uint8_t* d = sense + at;
                current[0] = d[3];  // ERROR
                current[1] = d[5];  // COUNT 7..0
                current[2] = d[7];  // LBA 7..0
                current[3] = d[9];  // LBA 15..8
                current[4] = d[11]; // LBA 23..16
                current[5] = d[12]; // DEVICE
                current[6] = d[13]; // STATUS
                current[7] = 0;
                if ((d[2] & 0x01) != 0) { // EXTEND: the upper bytes are valid
                    memset(previous, 0, 8);
                    previous[1] = d[4];  // COUNT 15..8
                    previous[2] = d[6];  // LBA 31..24
                    previous[3] = d[8];  // LBA 39..32
                    previous[4] = d[10]; // LBA 47..40
                }
                return 1;
            }
            at += size;
        }
        return 0;
    }
    if ((code == 0x70 || code == 0x71) && length >= 14 && sense[12] == 0x00 &&
        sense[13] == kAscqAtaInformation) {
        // INFORMATION: ERROR, STATUS, DEVICE, COUNT 7..0; COMMAND-SPECIFIC INFORMATION: the
        // EXTEND and upper-nonzero bits, then LBA 7..0, 15..8, 23..16.
        current[0] = sense[3];
        current[1] = sense[6];
        current[2] = sense[9];
        current[3] = sense[10];
        current[4] = sense[11];
        current[5] = sense[5];
        current[6] = sense[4];
        current[7] = 0;
        return 1;
    }
    return 0;
}

int LxQuirkBlocksAtaPassThrough(const char* quirks, uint32_t vendor, uint32_t product) {
    if (quirks == NULL) {
        return 0;
    }
    const char* p = quirks;
    const char* end = quirks + strlen(quirks);
    while (p < end) {
        const char* entryEnd = strchr(p, ',');
        if (entryEnd == NULL) {
            entryEnd = end;
        }
        const char* next = NULL;
        const long v = HexField(p, entryEnd, ':', &next);
        const char* flags = NULL;
        const long d = v >= 0 ? HexField(next, entryEnd, ':', &flags) : -1;
        if (v == (long)vendor && d == (long)product) {
            // The first entry that names the device counts, its flags in either case.
            const size_t n = (size_t)(entryEnd - flags);
            return memchr(flags, 't', n) != NULL || memchr(flags, 'T', n) != NULL ? 1 : 0;
        }
        p = entryEnd + 1;
    }
    return 0;
}
