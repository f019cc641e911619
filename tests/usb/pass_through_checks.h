// What the bridge and vendor-command tests check of a SCSI pass-through request: the envelope as
// the build lays it out and one record of the trace against its CDB and family; and the command
// context of a disk reached without a SCSI port.
#pragma once

#include "disklib/disk_record.h"
#include "tests/support/trace_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace usbtest {

// The pass-through envelope as the build lays it out: the 32-bit layout has Length 44, sense
// area at 48 and 112 bytes in all; the 64-bit one Length 56, sense area at 60, 128 bytes.
constexpr bool k64 = sizeof(void*) == 8;
constexpr unsigned kSptdLength = k64 ? 56 : 44;
constexpr unsigned kSenseOffset = k64 ? 60 : 48;
constexpr unsigned kRequestBytes = k64 ? 128 : 112;

inline CommandContext Context(int32_t cmdType, uint32_t vscType = 0) {
    CommandContext c;
    memset(&c, 0, sizeof(c));
    c.iCmdType = cmdType;
    c.hScsiPort = INVALID_HANDLE_VALUE;
    c.iVSCType = vscType;
    return c;
}

// Checks one pass-through record: its CDB (16 bytes, hex), DataIn, transfer length, the
// family's sense length and timeout, and the envelope's fixed fields.
inline void ExpectPassThrough(const tracetest::Record& r, const std::string& cdb, int dataIn,
                              unsigned transferLength, unsigned senseLength, unsigned timeout) {
    using tracetest::Field;
    EXPECT_EQ(Field(r, "op"), "DeviceIoControl");
    EXPECT_EQ(Field(r, "ioctl"), "IOCTL_SCSI_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(r, "cdb"), cdb);
    EXPECT_EQ(Field(r, "cdb_len"), "16");
    EXPECT_EQ(Field(r, "data_in"), std::to_string(dataIn));
    EXPECT_EQ(Field(r, "transfer_len"), std::to_string(transferLength));
    EXPECT_EQ(Field(r, "sense_len"), std::to_string(senseLength));
    EXPECT_EQ(Field(r, "timeout"), std::to_string(timeout));
    EXPECT_EQ(Field(r, "length"), std::to_string(kSptdLength));
    EXPECT_EQ(Field(r, "sense_off"), std::to_string(kSenseOffset));
    EXPECT_EQ(Field(r, "in_len"), std::to_string(kRequestBytes));
    EXPECT_EQ(Field(r, "out_len"), std::to_string(kRequestBytes));
}

} // namespace usbtest
