#include "package/image.h"
#include "tests/package/test_support.h"

#include <wchar.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;
using zxtest::W;

class NandMapTest : public PackageTest {
protected:
    void SetUp() override {
        PackageTest::SetUp();
        work_ = dir_ / "work";
        fs::create_directories(work_ / "sub");
        zxtest::WriteText(work_ / "YMTC_X3_9070_0.fw", "image");
        zxtest::WriteText(dir_ / "outside.fw", "not in the package");
        zxtest::WriteText(work_ / "ReflashInfo.ini",
                          "[NandMap]\r\n9BC5587130_1=YMTC_X3_9070_0.fw\r\n"
                          "9BC5587130_2=YMTC_X3_9070_0.fw\r\n2CC30832E604_1=NoFile\r\n"
                          "2CC30832E604_2=NoFile\r\n"
                          "AAAAAAAAAA_1=..\\outside.fw\r\nBBBBBBBBBB_1=*.fw\r\n"
                          "CCCCCCCCCC_1=sub\r\nDDDDDDDDDD_1=C:\\tmp\\outside.fw\r\n");
        AppState* s = GetAppState();
        wcscpy(s->WorkingFolder, W(work_.string()).c_str());
        wcscpy(s->ConfigPath, (W(work_.string()) + L"\\ReflashInfo.ini").c_str());
    }
    DiskRecord Disk(std::initializer_list<uint8_t> id, uint32_t lun) {
        DiskRecord d;
        memset(&d, 0, sizeof(d));
        std::copy(id.begin(), id.end(), d.NandId);
        d.iLun = lun;
        return d;
    }
    fs::path work_;
};

TEST_F(NandMapTest, TwelveDigitKeyThenTheShortForm) {
    DiskRecord d = Disk({0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00}, 1);
    WCHAR path[260];
    ASSERT_TRUE(FindNandMapImage(&d, path, 260));
    EXPECT_EQ(std::wstring(path), W(work_.string()) + L"\\YMTC_X3_9070_0.fw");
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Item=9BC558713000_1", "Item Retry=9BC5587130_1"}));
}

TEST_F(NandMapTest, LunClassesAndNoFile) {
    WCHAR path[260];
    DiskRecord micron = Disk({0x2C, 0xC3, 0x08, 0x32, 0xE6, 0x04}, 4);
    EXPECT_FALSE(FindNandMapImage(&micron, path, 260)); // "NoFile" is no file of the package
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Item=2CC30832E604_2"}));
    ClearLog();
    DiskRecord zero = Disk({0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00}, 0);
    EXPECT_FALSE(FindNandMapImage(&zero, path, 260));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Item=9BC558713000_0", "Item Retry=9BC5587130_0"}));
    ClearLog();
    DiskRecord two = Disk({0x9B, 0xC5, 0x58, 0x71, 0x30, 0xFF}, 2);
    EXPECT_TRUE(FindNandMapImage(&two, path, 260));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Item=9BC5587130FF_2", "Item Retry=9BC5587130_2"}));
}

TEST_F(NandMapTest, ValuesThatLeaveTheWorkingFolderOrNameNoFileFail) {
    WCHAR path[260];
    for (uint8_t b : {0xAA, 0xBB, 0xCC, 0xDD}) {
        DiskRecord d = Disk({b, b, b, b, b, 0x00}, 1);
        EXPECT_FALSE(FindNandMapImage(&d, path, 260)) << int(b);
    }
    DiskRecord d = Disk({0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00}, 1);
    WCHAR tiny[8];
    EXPECT_FALSE(FindNandMapImage(&d, tiny, 8)); // the path would be cut
}

} // namespace
