// A temp folder that cannot hold the working folder: the program says so and ends without
// writing anything.
#include "tests/app/program_fixture.h"

#include <filesystem>

namespace {

using namespace zxtest;

TEST_F(ProgramTest, ATempFolderPathThatDoesNotFitRefusesTheStart) {
    // Past 260 characters: GetTempPathW does not fit the program's buffer.
    std::string folder = dir_ + "/" + std::string(250, 'T') + "/" + std::string(40, 'U');
    setenv("TMPDIR", folder.c_str(), 1);
    MakePackage();
    uiDone_ = false;
    ui_ = std::thread([this] {
        exitCode_ = AppMain(GetModuleHandleW(NULL), "");
        uiDone_ = true;
    });
    MessageBoxRecord box;
    ASSERT_TRUE(WaitUntil([&] { return OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.caption, L"Package Error");
    EXPECT_EQ(box.text, L"The temporary folder cannot hold this program's working folder (its "
                        L"path is too long, or the folder cannot be created). Set TEMP to a "
                        L"shorter, writable folder and start again.");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    AnswerMessageBox(IDOK);
    ASSERT_TRUE(WaitUntil([this] { return uiDone_.load(); }, kWait));
    ui_.join();
    EXPECT_EQ(exitCode_, 0);
    EXPECT_EQ(MessageBoxes().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists("/Reflash"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("/~ReleasePackage.a")));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + std::string(250, 'T')));
}

} // namespace
