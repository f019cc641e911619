#include "platform/win32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CodePageTest, AnsiIsWindows1252) {
    const char in[] = "\x80\x8A\x9F\xE9\xFF\x81";
    WCHAR out[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, in, -1, out, 8), 7);
    EXPECT_EQ(out[0], 0x20AC); // euro sign
    EXPECT_EQ(out[1], 0x0160);
    EXPECT_EQ(out[2], 0x0178);
    EXPECT_EQ(out[3], 0x00E9);
    EXPECT_EQ(out[4], 0x00FF);
    EXPECT_EQ(out[5], 0x0081); // undefined byte keeps its value
    EXPECT_EQ(out[6], 0);
}

TEST(CodePageTest, SizesAndShortBuffers) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 0), 3);
    WCHAR small[3];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, small, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "", 0, small, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePageTest, WideToAnsiUsesTheDefaultCharacterForWhatDoesNotFit) {
    char out[8] = {};
    BOOL usedDefault = FALSE;
    const WCHAR in[] = {0x20AC, L'A', 0x4E2D, 0x00E9, 0};
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, in, -1, out, 8, nullptr, &usedDefault), 5);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x80);
    EXPECT_EQ(out[1], 'A');
    EXPECT_EQ(out[2], '?');
    EXPECT_EQ(static_cast<unsigned char>(out[3]), 0xE9);
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abcd", -1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(CodePageTest, Utf8RoundTrip) {
    const WCHAR text[] = L"\u00E9\u4E2D\U0001F600x";
    char bytes[32] = {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, 32, nullptr, nullptr);
    EXPECT_EQ(n, 2 + 3 + 4 + 1 + 1);
    WCHAR back[8] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bytes, -1, back, 8), 5);
    EXPECT_EQ(std::wstring(back), std::wstring(text));
}

TEST(CharLowerTest, LowersStringsAndSingleCharacters) {
    WCHAR text[] = L"iaStorAC \u00C4\u0100\u0178Z";
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_STREQ(text, L"iastorac \u00E4\u0101\u00FFz");
    LPWSTR one = CharLowerW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(L'Q')));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(one), static_cast<ULONG_PTR>(L'q'));
}

} // namespace
