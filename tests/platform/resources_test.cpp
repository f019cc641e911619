#include "platform/posix/control.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <string.h>

namespace {

TEST(ResourcesTest, FindsRegisteredBlobsByTypeNameWithoutRegardToCase) {
    static const char kBytes[] = "PK\x03\x04 blob";
    zxposix::RegisterResource(L"TESTBLOB", 1000, kBytes, sizeof(kBytes));
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(1000), L"testBlob");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, r), sizeof(kBytes));
    HGLOBAL g = LoadResource(nullptr, r);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(memcmp(LockResource(g), kBytes, sizeof(kBytes)), 0);
    EXPECT_EQ(FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1000), L"TESTBLOB"), r);
}

TEST(ResourcesTest, MissingTypeOrNameFails) {
    static const char kBytes[] = "x";
    zxposix::RegisterResource(L"TESTBLOB2", 7, kBytes, 1);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(8), L"TESTBLOB2"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(7), L"NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
}

TEST(ResourcesTest, ReRegisteringReplacesTheBlob) {
    static const char kFirst[] = "first";
    static const char kSecond[] = "second!";
    zxposix::RegisterResource(L"TESTBLOB3", 1, kFirst, sizeof(kFirst));
    zxposix::RegisterResource(L"TESTBLOB3", 1, kSecond, sizeof(kSecond));
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(1), L"TESTBLOB3");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, r), sizeof(kSecond));
    EXPECT_STREQ(static_cast<const char*>(LockResource(LoadResource(nullptr, r))), kSecond);
}

} // namespace
