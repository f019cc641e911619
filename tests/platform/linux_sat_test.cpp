// The SAT forms of the Linux backend: ATA commands of the Windows ATA pass-through as ATA
// PASS-THROUGH (16) CDBs, the ATA registers read back from descriptor and fixed sense data, and
// usb-storage's quirks parameter read for NO_ATA_1X. Expected bytes are written out from the SAT
// tables, one case per row.
#include "platform/linux/sat.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

struct CdbCase {
    const char* what;
    uint8_t previous[8];
    uint8_t current[8];
    uint32_t flags;
    uint32_t length;
    const char* cdb; // "" when refused
};

const CdbCase kCdbCases[] = {
    // IDENTIFY DEVICE: PIO data-in, T_DIR, BYT_BLOK, T_LENGTH in COUNT (no CK_COND); 1 block.
    {"identify",
     {},
     {0, 1, 0, 0, 0, 0x40, 0xEC, 0},
     0x03,
     512,
     "8508 0e 00 00 00 01 00 00 00 00 00 00 40 ec 00"},
    // The vendor read of 8 blocks with FEATURES 3.
    {"vendor read",
     {},
     {3, 8, 0, 0, 0, 0x40, 0xC3, 0},
     0x03,
     4096,
     "8508 0e 00 03 00 08 00 00 00 00 00 00 40 c3 00"},
    // DOWNLOAD MICROCODE, mode 3, 8 blocks at block offset 0x1F8 (LBA 7..0 0xF8, 15..8 0x01):
    // PIO data-out, no T_DIR.
    {"download",
     {},
     {3, 8, 0xF8, 0x01, 0, 0x40, 0x92, 0},
     0x05,
     4096,
     "850a 06 00 03 00 08 00 f8 00 01 00 00 40 92 00"},
    // A 48-bit command: EXTEND, the previous file's upper bytes in 3, 5, 7, 9, 11.
    {"48-bit",
     {0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0},
     {0x01, 0x02, 0x03, 0x04, 0x05, 0x40, 0x25, 0},
     0x0B,
     512,
     "8509 0e 11 01 22 02 33 03 44 04 55 05 40 25 00"},
    // The upper bytes are not sent without EXTEND; a non-data command asks for its registers
    // (CK_COND).
    {"28-bit ignores previous",
     {0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0},
     {0, 0, 0, 0, 0, 0xA0, 0xE5, 0},
     0x01,
     0,
     "8506 20 00 00 00 00 00 00 00 00 00 00 a0 e5 00"},
    // DMA, data in.
    {"dma",
     {},
     {0, 1, 0, 0, 0, 0x40, 0xC8, 0},
     0x13,
     512,
     "850c 0e 00 00 00 01 00 00 00 00 00 00 40 c8 00"},
    {"both ways", {}, {}, 0x07, 512, ""},
    {"no whole block", {}, {}, 0x03, 100, ""},
    {"data without a direction", {}, {}, 0x01, 512, ""},
    {"a direction without data", {}, {}, 0x03, 0, ""},
};

std::string Spaced(const char* text) {
    std::string s;
    for (const char* p = text; *p; ++p) {
        if (*p != ' ') {
            s += *p;
        }
    }
    return s;
}

TEST(LinuxSatTest, BuildsAtaPassThrough16FromTheTaskFiles) {
    for (const CdbCase& c : kCdbCases) {
        uint8_t cdb[16];
        memset(cdb, 0xEE, sizeof(cdb));
        const int result = LxSatBuildCdb(c.previous, c.current, c.flags, c.length, cdb);
        if (c.cdb[0] == 0) {
            EXPECT_EQ(result, -1) << c.what;
            continue;
        }
        EXPECT_EQ(result, 1) << c.what;
        EXPECT_EQ(Hex(cdb, 16), Spaced(c.cdb)) << c.what;
    }
}

TEST(LinuxSatTest, ReadsTheRegistersOfDescriptorSense) {
    // RECOVERED ERROR, ATA PASS-THROUGH INFORMATION AVAILABLE, the ATA Status Return
    // descriptor with EXTEND: ERROR 04, COUNT 0102, LBA 06 05 04 03 02 01 (47..0), DEVICE 40,
    // STATUS 51.
    const uint8_t sense[] = {0x72, 0x01, 0x00, 0x1D, 0,    0,    0,    14,   0x09, 0x0C, 0x01,
                             0x04, 0x01, 0x02, 0x04, 0x01, 0x05, 0x02, 0x06, 0x03, 0x40, 0x51};
    uint8_t previous[8];
    uint8_t current[8];
    memset(previous, 0xEE, 8);
    memset(current, 0xEE, 8);
    ASSERT_EQ(LxSatReadRegisters(sense, sizeof(sense), previous, current), 1);
    EXPECT_EQ(Hex(current, 8), "0402010203405100");
    EXPECT_EQ(Hex(previous, 8), "0001040506000000");
    // Without EXTEND the previous file is left as it was.
    uint8_t plain[sizeof(sense)];
    memcpy(plain, sense, sizeof(sense));
    plain[10] = 0;
    memset(previous, 0xEE, 8);
    ASSERT_EQ(LxSatReadRegisters(plain, sizeof(plain), previous, current), 1);
    EXPECT_EQ(Hex(previous, 8), "eeeeeeeeeeeeeeee");
    // A descriptor cut short by the sense length is no answer.
    EXPECT_EQ(LxSatReadRegisters(sense, 20, previous, current), 0);
}

TEST(LinuxSatTest, FindsTheAtaReturnAfterOtherDescriptors) {
    // An information descriptor (00h, 10 bytes after its header) before the ATA return.
    const uint8_t sense[] = {0x72, 0x0B, 0x00, 0x00, 0, 0, 0, 26, 0x00, 0x0A, 0x80, 0,
                             1,    2,    3,    4,    5, 6, 7, 8,  0x09, 0x0C, 0x00, 0x00,
                             0,    0x08, 0,    0,    0, 0, 0, 0,  0xE0, 0x50};
    uint8_t previous[8] = {};
    uint8_t current[8] = {};
    ASSERT_EQ(LxSatReadRegisters(sense, sizeof(sense), previous, current), 1);
    EXPECT_EQ(Hex(current, 8), "0008000000e05000");
}

TEST(LinuxSatTest, ReadsTheRegistersOfFixedSense) {
    // ABORTED COMMAND, 00h/1Dh: INFORMATION = ERROR 04, STATUS 51, DEVICE 40, COUNT 08;
    // LBA 7..0, 15..8, 23..16 = 01 02 03 in bytes 9..11.
    const uint8_t sense[18] = {0xF0, 0,    0x0B, 0x04, 0x51, 0x40, 0x08, 10, 0x00,
                               0x01, 0x02, 0x03, 0x00, 0x1D, 0,    0,    0,  0};
    uint8_t previous[8] = {};
    uint8_t current[8] = {};
    ASSERT_EQ(LxSatReadRegisters(sense, sizeof(sense), previous, current), 1);
    EXPECT_EQ(Hex(current, 8), "0408010203405100");
    // Other fixed sense (INVALID FIELD IN CDB) holds no registers.
    const uint8_t refused[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
    memset(current, 0xEE, 8);
    EXPECT_EQ(LxSatReadRegisters(refused, sizeof(refused), previous, current), 0);
    EXPECT_EQ(Hex(current, 8), "eeeeeeeeeeeeeeee");
    EXPECT_EQ(LxSatReadRegisters(sense, 7, previous, current), 0);
}

TEST(LinuxSatTest, ReadsNoAta1xFromTheQuirksParameter) {
    const struct {
        const char* quirks;
        uint32_t vendor, product;
        int blocked;
    } cases[] = {
        {"152d:0583:t", 0x152D, 0x0583, 1},
        {"152D:0583:T", 0x152D, 0x0583, 1},
        {"174c:2362:t,152d:0583:ut", 0x152D, 0x0583, 1},
        {"152d:0583:u", 0x152D, 0x0583, 0},
        {"152d:0583:", 0x152D, 0x0583, 0},
        {"152d:0578:t", 0x152D, 0x0583, 0},
        // The first entry that names the device counts.
        {"152d:0583:u,152d:0583:t", 0x152D, 0x0583, 0},
        {"", 0x152D, 0x0583, 0},
        {"152d0583t", 0x152D, 0x0583, 0},
        {"12345:0583:t", 0x2345, 0x0583, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LxQuirkBlocksAtaPassThrough(c.quirks, c.vendor, c.product), c.blocked)
            << c.quirks;
    }
    EXPECT_EQ(LxQuirkBlocksAtaPassThrough(nullptr, 0x152D, 0x0583), 0);
}

} // namespace
