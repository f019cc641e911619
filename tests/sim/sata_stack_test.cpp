// The SATA side of the simulated PC, request by request: the ATA drive's IDENTIFY DEVICE data,
// vendor commands and DOWNLOAD MICROCODE with offsets; storahci's checks of
// IOCTL_ATA_PASS_THROUGH_DIRECT; the USB and SAS disks that refuse it; and the SAT translation's
// answers, malformed CDBs and aborted commands with their sense data.
#include "platform/win32.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"
#include "tools/zxpkg/image_writer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

static_assert(sizeof(void*) == 8, "the literal layouts below are x86_64's");

std::string Hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// A ZELTARIX SATA disk on AHCI, without and with the vendor commands.
const std::string kAhciDisk =
    "[disk d]\nkind = sata\ndrive = 1\nmodel = ZELTARIX ZX3000 SATA 480GB\n"
    "serial = ZX3000G0000000000008\nfirmware = 051s0102\n"
    "sectors = 937703088\nvsc_soc_id = 0x3A31\n";
const std::string kAhci = kAhciDisk + "vsc = ata\n";

// A 5-page CMFG image of version 051s0108 (header, regions on pages 1, 2, 3, trailer).
std::vector<uint8_t> Image() {
    zxpkg::ImageRecipe recipe;
    recipe.versionParts = {"05", "1s", "01", "08"};
    recipe.ftlBuildNumber = 0x00020001;
    recipe.regions[0][0] = 1;
    recipe.regions[0][1] = 1;
    recipe.regions[1][0] = 2;
    recipe.regions[1][1] = 2;
    recipe.regions[2][0] = 3;
    recipe.regions[2][1] = 3;
    return zxpkg::BuildImage(recipe);
}

// What an IOCTL_ATA_PASS_THROUGH_DIRECT came back with.
struct AtaAnswer {
    bool ok = false;
    DWORD error = 0;
    uint8_t status = 0;
    uint8_t errorRegister = 0;
    uint8_t count = 0;
};

// A raw ATA_PASS_THROUGH_DIRECT; `edit` changes the request before it is sent.
struct AtaCall {
    USHORT flags = 3;
    uint8_t tf[8] = {0, 1, 0, 0, 0, 0x40, 0xEC, 0}; // CurrentTaskFile
    uint8_t* data = nullptr;
    ULONG length = 0;
};

class SataStackTest : public SimTest {
protected:
    void TearDown() override {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
        }
        SimTest::TearDown();
    }

    // Loads the scenario and opens the disk of `drive`.
    void Load(const std::string& scenario, int drive = 1) {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
        }
        SimTest::Load(scenario);
        h_ = Open((L"\\\\.\\PhysicalDrive" + std::to_wstring(drive)).c_str());
        ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    }

    AtaAnswer Ata(const AtaCall& call, ATA_PASS_THROUGH_DIRECT* edited = nullptr,
                  DWORD outSize = sizeof(ATA_PASS_THROUGH_DIRECT)) {
        ATA_PASS_THROUGH_DIRECT ap;
        memset(&ap, 0, sizeof(ap));
        ap.Length = sizeof(ap);
        ap.AtaFlags = call.flags;
        ap.DataTransferLength = call.length;
        ap.TimeOutValue = 60;
        ap.DataBuffer = call.data;
        memcpy(ap.CurrentTaskFile, call.tf, 8);
        if (edited != nullptr) {
            ap = *edited;
        }
        DWORD returned = 0;
        AtaAnswer a;
        a.ok = DeviceIoControl(h_, IOCTL_ATA_PASS_THROUGH_DIRECT, &ap, sizeof(ap), &ap, outSize,
                               &returned, NULL) != FALSE;
        a.error = a.ok ? 0 : GetLastError();
        a.status = ap.CurrentTaskFile[6];
        a.errorRegister = ap.CurrentTaskFile[0];
        a.count = ap.CurrentTaskFile[1];
        return a;
    }

    // A raw SCSI pass-through; returns the SCSI status (-1 when the call failed) and the sense
    // bytes returned.
    int Scsi(const std::vector<uint8_t>& cdb, UCHAR dataIn, void* data, ULONG length,
             std::string* sense = nullptr) {
        struct {
            SCSI_PASS_THROUGH_DIRECT sptd;
            ULONG filler;
            UCHAR sense[64];
        } rq;
        memset(&rq, 0, sizeof(rq));
        rq.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        rq.sptd.CdbLength = UCHAR(cdb.size());
        rq.sptd.SenseInfoLength = 64;
        rq.sptd.SenseInfoOffset = offsetof(decltype(rq), sense);
        rq.sptd.DataIn = dataIn;
        rq.sptd.DataTransferLength = length;
        rq.sptd.DataBuffer = data;
        rq.sptd.TimeOutValue = 60;
        memcpy(rq.sptd.Cdb, cdb.data(), cdb.size());
        DWORD returned = 0;
        if (!DeviceIoControl(h_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &rq, sizeof(rq), &rq, sizeof(rq),
                             &returned, NULL)) {
            return -1;
        }
        if (sense != nullptr) {
            *sense = Hex(rq.sense, rq.sptd.SenseInfoLength);
        }
        return rq.sptd.ScsiStatus;
    }

    sim::AtaDriveState Drive() {
        sim::AtaDriveState state;
        EXPECT_TRUE(sim::WithAtaDrive("d", [&](sim::AtaDrive& d) { state = d.State(); }));
        return state;
    }

    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// IDENTIFY DEVICE: the strings in ATA order, the link speed in word 77, the sector count in
// words 100-103, DOWNLOAD MICROCODE (with offsets) in words 83, 86 and 119, the block counts in
// words 234 and 235, and the integrity word.
TEST_F(SataStackTest, IdentifyDeviceData) {
    Load(kAhci + "ata_link = 2\nata_dm_max = 64\n");
    alignas(16) uint8_t id[512];
    AtaCall call;
    call.data = id;
    call.length = 512;
    const AtaAnswer a = Ata(call);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.status, 0x40);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 20, 20), "XZ03000G000000000080");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 46, 8), "50s11020");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 54, 40),
              "EZTLRAXIZ 3X00 0ASAT4 08BG              ");
    EXPECT_EQ(Hex(id + 154, 2), "0400");
    EXPECT_EQ(Hex(id + 200, 8), "b036e43700000000");
    EXPECT_EQ(Hex(id + 166, 2), "0144");
    EXPECT_EQ(Hex(id + 172, 2), "0184");
    EXPECT_EQ(Hex(id + 238, 2), "1040");
    EXPECT_EQ(Hex(id + 468, 4), "01004000");
    EXPECT_EQ(id[510], 0xA5);
    uint8_t sum = 0;
    for (uint8_t b : id) {
        sum = uint8_t(sum + b);
    }
    EXPECT_EQ(sum, 0);
}

TEST_F(SataStackTest, Word77CarriesTheLinkSpeed) {
    const struct {
        const char* link;
        const char* word;
    } cases[] = {{"1", "0200"}, {"2", "0400"}, {"3", "0600"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        Load(kAhci + "ata_link = " + c.link + "\n");
        alignas(16) uint8_t id[512];
        AtaCall call;
        call.data = id;
        call.length = 512;
        ASSERT_TRUE(Ata(call).ok);
        EXPECT_EQ(Hex(id + 154, 2), c.word);
    }
}

// The vendor read with FEATURES 2, 3 and 4 and the vendor write with FEATURES 1, 8 blocks at
// LBA 0; anything else, and any vendor command of a drive without them, is aborted: ERR in the
// status, ABRT in the error register.
TEST_F(SataStackTest, VendorCommands) {
    const struct {
        const char* what;
        bool vendor;
        uint8_t opcode;
        uint8_t features;
        uint8_t count;
        uint8_t lbaLow;
        USHORT flags;
        bool ok;
        size_t at;
        const char* bytes;
    } cases[] = {
        {"Drive information", true, 0xC3, 3, 8, 0, 3, true, 0, "5a00313a"},
        {"MP information", true, 0xC3, 4, 8, 0, 3, true, 280, "0010"},
        {"FW configuration", true, 0xC3, 2, 8, 0, 3, true, 1064, "3035317330313032"},
        {"read, FEATURES 5", true, 0xC3, 5, 8, 0, 3, false, 0, ""},
        {"read, 4 blocks", true, 0xC3, 3, 4, 0, 3, false, 0, ""},
        {"read, LBA 1", true, 0xC3, 3, 8, 1, 3, false, 0, ""},
        {"read as data out", true, 0xC3, 3, 8, 0, 5, false, 0, ""},
        {"write, FEATURES 2", true, 0xC2, 2, 8, 0, 5, false, 0, ""},
        {"no vendor commands", false, 0xC3, 3, 8, 0, 3, false, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(c.vendor ? kAhci : kAhciDisk);
        alignas(16) uint8_t block[4096];
        memset(block, 0xEE, sizeof(block));
        AtaCall call;
        call.flags = c.flags;
        const uint8_t tf[8] = {c.features, c.count, c.lbaLow, 0, 0, 0x40, c.opcode, 0};
        memcpy(call.tf, tf, 8);
        call.data = block;
        call.length = 4096;
        const AtaAnswer a = Ata(call);
        ASSERT_TRUE(a.ok); // the request completes; the drive's answer is in the status
        EXPECT_EQ(a.status, c.ok ? 0x40 : 0x41);
        EXPECT_EQ(a.errorRegister, c.ok ? 0x00 : 0x04);
        if (c.ok) {
            const size_t n = strlen(c.bytes) / 2;
            EXPECT_EQ(Hex(block + c.at, n), c.bytes);
        }
    }
}

TEST_F(SataStackTest, TheVendorWriteReplacesTheFwConfigurationBlock) {
    Load(kAhci);
    alignas(16) uint8_t block[4096];
    for (size_t i = 0; i < sizeof(block); ++i) {
        block[i] = uint8_t(i * 7);
    }
    AtaCall write;
    write.flags = 5;
    const uint8_t tf[8] = {1, 8, 0, 0, 0, 0x40, 0xC2, 0};
    memcpy(write.tf, tf, 8);
    write.data = block;
    write.length = 4096;
    ASSERT_EQ(Ata(write).status, 0x40);
    alignas(16) uint8_t read[4096];
    AtaCall call;
    const uint8_t rtf[8] = {2, 8, 0, 0, 0, 0x40, 0xC3, 0};
    memcpy(call.tf, rtf, 8);
    call.data = read;
    call.length = 4096;
    ASSERT_EQ(Ata(call).status, 0x40);
    EXPECT_EQ(memcmp(read, block, 4096), 0);
}

// DOWNLOAD MICROCODE, subcommand 3: the pieces from block offset 0 in order, each answered with
// COUNT 1 until the last, which the drive answers with COUNT 2 and then runs the image.
TEST_F(SataStackTest, DownloadMicrocodeAssemblesChecksAndRunsTheImage) {
    Load(kAhci);
    std::vector<uint8_t> image = Image();
    ASSERT_EQ(image.size(), 20480u);
    std::vector<int> counts;
    for (uint32_t piece = 0; piece < 5; ++piece) {
        alignas(16) uint8_t data[4096];
        memcpy(data, image.data() + 4096 * piece, 4096);
        AtaCall call;
        call.flags = 5;
        const uint8_t tf[8] = {3, 8, 0, uint8_t(8 * piece), 0, 0x40, 0x92, 0};
        memcpy(call.tf, tf, 8);
        call.data = data;
        call.length = 4096;
        const AtaAnswer a = Ata(call);
        ASSERT_EQ(a.status, 0x40) << "piece " << piece;
        counts.push_back(a.count);
    }
    EXPECT_EQ(counts, (std::vector<int>{1, 1, 1, 1, 2}));
    const sim::AtaDriveState state = Drive();
    EXPECT_EQ(state.firmware, "051s0108");
    EXPECT_EQ(state.updates, 1u);
    EXPECT_TRUE(state.staging.empty());
}

// What the drive aborts, each after the pieces before it were taken: the piece is refused with
// ERR and ABRT, an image already started is dropped, the firmware stays.
TEST_F(SataStackTest, DownloadMicrocodeAborts) {
    struct Piece {
        uint8_t features;
        uint8_t count;
        uint8_t lbaLow; // block count bits 15-8
        uint8_t offset; // block offset bits 7-0 (LBA bits 15-8)
        USHORT flags;
        uint32_t from; // byte of the image the piece starts at
    };
    const Piece p0 = {3, 8, 0, 0, 5, 0};
    const struct {
        const char* what;
        const char* extra;
        std::vector<Piece> pieces;
        bool corrupt;
    } cases[] = {
        {"out of order", "", {p0, {3, 8, 0, 16, 5, 8192}}, false},
        {"starts past 0", "", {{3, 8, 0, 8, 5, 4096}}, false},
        {"no blocks", "", {{3, 0, 0, 0, 5, 0}}, false},
        {"more blocks than word 235", "ata_dm_max = 4\n", {p0}, false},
        {"fewer blocks than word 234", "ata_dm_min = 16\n", {p0}, false},
        {"256 blocks in LBA bits 7-0", "", {{3, 0, 1, 0, 5, 0}}, false},
        {"subcommand 7", "", {{7, 8, 0, 0, 5, 0}}, false},
        {"data in", "", {{3, 8, 0, 0, 3, 0}}, false},
        {"not an image", "", {{3, 8, 0, 0, 5, 4096}}, false},
        {"bad checksum",
         "",
         {p0,
          {3, 8, 0, 8, 5, 4096},
          {3, 8, 0, 16, 5, 8192},
          {3, 8, 0, 24, 5, 12288},
          {3, 8, 0, 32, 5, 16384}},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(kAhci + c.extra);
        std::vector<uint8_t> image = Image();
        if (c.corrupt) {
            image[2 * 4096 + 100] ^= 1; // region 1
        }
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            const Piece& p = c.pieces[i];
            alignas(16) uint8_t data[4096];
            memcpy(data, image.data() + p.from, 4096);
            AtaCall call;
            call.flags = p.flags;
            const uint8_t tf[8] = {p.features, p.count, p.lbaLow, p.offset, 0, 0x40, 0x92, 0};
            memcpy(call.tf, tf, 8);
            call.data = data;
            call.length = 4096;
            const AtaAnswer a = Ata(call);
            const bool last = i + 1 == c.pieces.size();
            EXPECT_EQ(a.status, last ? 0x41 : 0x40) << "piece " << i;
            EXPECT_EQ(a.errorRegister, last ? 0x04 : 0x00) << "piece " << i;
        }
        const sim::AtaDriveState state = Drive();
        EXPECT_EQ(state.firmware, "051s0102");
        EXPECT_TRUE(state.staging.empty());
        EXPECT_EQ(state.updates, 0u);
    }
}

// storahci refuses what Windows refuses before the drive sees it: ERROR_INVALID_PARAMETER.
TEST_F(SataStackTest, StorahciChecksTheRequest) {
    Load(kAhci + "ata_alignment_mask = 0xF\n");
    alignas(16) static uint8_t buffer[256 * 1024 + 16];
    const struct {
        const char* what;
        USHORT length;
        USHORT flags;
        ULONG transfer;
        size_t bufferAt; // 0: no buffer, else the offset + 1 into the aligned buffer
        ULONG timeout;
        DWORD outSize;
        DWORD error;
        const char* refused;
    } cases[] = {
        {"good", 48, 3, 512, 1, 60, 48, 0, ""},
        {"Length 40", 40, 3, 512, 1, 60, 48, 87, "Length must be sizeof(ATA_PASS_THROUGH_DIRECT)"},
        {"output 40 bytes", 48, 3, 512, 1, 60, 40, 87,
         "the output must hold ATA_PASS_THROUGH_DIRECT"},
        {"data in and out", 48, 7, 512, 1, 60, 48, 87, "AtaFlags must not name both directions"},
        {"data in without length", 48, 3, 0, 1, 60, 48, 87,
         "a direction in AtaFlags must come with DataTransferLength, and only then"},
        {"length without data flag", 48, 1, 512, 1, 60, 48, 87,
         "a direction in AtaFlags must come with DataTransferLength, and only then"},
        {"beyond 128 KiB", 48, 3, 128 * 1024 + 512, 1, 60, 48, 87,
         "DataTransferLength must be at most 128 KiB"},
        {"no buffer", 48, 3, 512, 0, 60, 48, 87,
         "DataBuffer must be given with DataTransferLength"},
        {"buffer off the alignment", 48, 3, 512, 9, 60, 48, 87,
         "DataBuffer must meet the port's alignment"},
        {"no timeout", 48, 3, 512, 1, 0, 48, 87, "TimeOutValue must be 1 to 108000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ATA_PASS_THROUGH_DIRECT ap;
        memset(&ap, 0, sizeof(ap));
        ap.Length = c.length;
        ap.AtaFlags = c.flags;
        ap.DataTransferLength = c.transfer;
        ap.TimeOutValue = c.timeout;
        ap.DataBuffer = c.bufferAt == 0 ? nullptr : buffer + (c.bufferAt - 1);
        const uint8_t tf[8] = {0, 1, 0, 0, 0, 0x40, 0xEC, 0};
        memcpy(ap.CurrentTaskFile, tf, 8);
        StartTrace();
        const AtaAnswer a = Ata(AtaCall(), &ap, c.outSize);
        EXPECT_EQ(a.ok, c.error == 0);
        EXPECT_EQ(a.error, c.error);
        EXPECT_EQ(LastRefusal(), c.refused);
    }
}

// Only the AHCI port driver takes ATA pass-through: USB mass storage does not know it, a SAS
// adapter refuses it, an NVMe disk has no ATA drive; all of them take the SAT CDB but the NVMe.
TEST_F(SataStackTest, WhichDisksTakeTheAtaPassThrough) {
    const std::string identity =
        "model = ZELTARIX ZX3000 SATA 480GB\nsectors = 937703088\nvsc = ata\n";
    const struct {
        const char* what;
        std::string scenario;
        DWORD error;
        int satStatus;
        const char* refused; // why the ATA pass-through is refused
    } cases[] = {
        {"AHCI", kAhci, 0, 0, ""},
        {"USB", "[disk d]\nkind = usb\nbridge = sata\nusb = 1/2\ndrive = 1\n" + identity, 1, 0,
         "USB mass storage has no ATA pass-through"},
        {"SAS",
         "[controller s]\nkind = sas\n\n[disk d]\nkind = sata\ncontroller = s\n"
         "bus_type = 10\ndrive = 1\n" +
             identity,
         50, 0, "the SCSI and SAS adapters' miniports refuse ATA pass-through"},
        {"NVMe", "[disk d]\nkind = nvme\ndrive = 1\nsectors = 937703088\n", 1, 2,
         "ATA pass-through needs an ATA drive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(c.scenario);
        alignas(16) uint8_t id[512];
        AtaCall call;
        call.data = id;
        call.length = 512;
        StartTrace();
        EXPECT_EQ(Ata(call).error, c.error);
        EXPECT_EQ(LastRefusal(), c.refused);
        EXPECT_EQ(
            Scsi({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0}, SCSI_IOCTL_DATA_IN, id, 512),
            c.satStatus);
    }
}

// The SAT translation refuses malformed ATA PASS-THROUGH CDBs with CHECK CONDITION, ILLEGAL
// REQUEST, INVALID FIELD IN CDB, and the drive never sees them.
TEST_F(SataStackTest, MalformedAtaPassThroughCdbs) {
    Load(kAhci);
    const struct {
        const char* what;
        std::vector<uint8_t> cdb;
        UCHAR dataIn;
        ULONG length;
        const char* refused;
    } cases[] = {
        {"DMA protocol",
         {0xA1, 0x0C, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "PROTOCOL must be non-data, PIO data-in or PIO data-out"},
        {"MULTIPLE_COUNT",
         {0xA1, 0x28, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "MULTIPLE_COUNT must be 0"},
        {"OFF_LINE",
         {0xA1, 0x08, 0x4E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "OFF_LINE must be 0"},
        {"T_DIR against PIO in",
         {0xA1, 0x08, 0x06, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "T_DIR must match the PIO protocol"},
        {"DataIn against PIO in",
         {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         0,
         512,
         "the request's direction must match the PIO protocol"},
        {"T_LENGTH 3",
         {0xA1, 0x08, 0x0F, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "T_LENGTH must name FEATURES or SECTOR COUNT"},
        {"no blocks",
         {0xA1, 0x08, 0x0E, 0, 0, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "the transfer the CDB describes must fit the request's buffer"},
        {"longer than the buffer",
         {0xA1, 0x08, 0x0E, 0, 2, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "the transfer the CDB describes must fit the request's buffer"},
        {"reserved byte 10",
         {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 1, 0},
         1,
         512,
         "byte 1 bit 0 and byte 10 of ATA PASS-THROUGH (12) are reserved"},
        {"reserved bit of byte 1",
         {0xA1, 0x09, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0},
         1,
         512,
         "byte 1 bit 0 and byte 10 of ATA PASS-THROUGH (12) are reserved"},
        {"A1 in 16 bytes",
         {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0, 0, 0, 0, 0},
         1,
         512,
         "ATA PASS-THROUGH (12) must be 12 bytes long"},
        {"85 in 12 bytes",
         {0x85, 0x09, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0},
         1,
         512,
         "ATA PASS-THROUGH (16) must be 16 bytes long"},
        {"non-data with a transfer",
         {0xA1, 0x06, 0x00, 0, 0, 0, 0, 0, 0x40, 0xE7, 0, 0},
         1,
         512,
         "a non-data command must move no data (T_LENGTH 0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        alignas(16) uint8_t data[512];
        memset(data, 0xEE, sizeof(data));
        std::string sense;
        StartTrace();
        EXPECT_EQ(Scsi(c.cdb, c.dataIn, data, c.length, &sense), 2);
        EXPECT_EQ(sense, "700005000000000a00000000240000000000");
        EXPECT_EQ(LastRefusal(), c.refused);
        EXPECT_EQ(data[54], 0xEE);
    }
}

// A command the drive aborts: CHECK CONDITION, ABORTED COMMAND, 00h/1Dh, with ERROR 04, STATUS
// 41 and DEVICE 40 in the INFORMATION bytes; with CK_COND a good command ends in RECOVERED ERROR
// with STATUS 40, its data moved.
TEST_F(SataStackTest, AtaStatusInTheSenseData) {
    Load(kAhciDisk);
    alignas(16) uint8_t block[4096];
    std::string sense;
    EXPECT_EQ(Scsi({0xA1, 0x08, 0x0E, 0x03, 0x08, 0, 0, 0, 0x40, 0xC3, 0, 0}, SCSI_IOCTL_DATA_IN,
                   block, 4096, &sense),
              2);
    EXPECT_EQ(sense, "f0000b044140000a00000000001d00000000");
    EXPECT_EQ(Scsi({0xA1, 0x08, 0x2E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0}, SCSI_IOCTL_DATA_IN, block,
                   512, &sense),
              2);
    EXPECT_EQ(sense, "f00001004040000a00000000001d00000000");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block) + 54, 8), "EZTLRAXI");
    // The 16-byte form with EXTEND: the registers of READ SECTORS EXT beyond the medium, the
    // EXTEND bit in byte 8 of the sense data.
    EXPECT_EQ(Scsi({0x85, 0x09, 0x0E, 0, 0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0x40, 0x24, 0},
                   SCSI_IOCTL_DATA_IN, block, 512, &sense),
              2);
    EXPECT_EQ(sense, "f0000b104140000a80000000001d00000000");
}

// A disk that leaves the PC at a command: the request fails with ERROR_NO_SUCH_DEVICE.
TEST_F(SataStackTest, ADiskThatVanishesAtACommand) {
    Load(kAhci + "faults = ata_vanish:0xec\n");
    alignas(16) uint8_t id[512];
    EXPECT_EQ(
        Scsi({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0}, SCSI_IOCTL_DATA_IN, id, 512), -1);
    EXPECT_EQ(GetLastError(), 433u);
    EXPECT_FALSE(sim::IsPresent("d"));
}

} // namespace
