#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FindNoCaseTest, FindsWithoutRegardToCaseAndReturnsThePositionInTheGivenText) {
    const wchar_t* text = L"Controller iaSTOR AC";
    EXPECT_EQ(FindNoCase(text, L"IASTOR"), text + 11);
    EXPECT_EQ(FindNoCase(L"stornvme", L"iaStor"), nullptr);
    const wchar_t* list = L"|041k0207|041K020A|";
    EXPECT_EQ(FindNoCase(list, L"|041k020a|"), list + 9);
    EXPECT_EQ(FindNoCase(list, L""), list);
    const wchar_t* latin = L"X\u00C4BC";
    EXPECT_EQ(FindNoCase(latin, L"\u00E4b"), latin + 1);
}

TEST(FindNoCaseTest, TextBeyondItsWorkingBufferIsNotSearched) {
    std::wstring text(1023, L'a');
    text += L"/debug";
    EXPECT_EQ(FindNoCase(text.c_str(), L"/debug"), nullptr);
    std::wstring fits(1017, L'a');
    fits += L"/DEBUG"; // ends at 1023 characters
    EXPECT_EQ(FindNoCase(fits.c_str(), L"/debug"), fits.c_str() + 1017);
}

TEST(TrimBlanksTest, RemovesBlanksAndTabsAtBothEndsOnly) {
    wchar_t a[] = L" \t Model X \t ";
    TrimBlanks(a);
    EXPECT_STREQ(a, L"Model X");
    wchar_t b[] = L" \t ";
    TrimBlanks(b);
    EXPECT_STREQ(b, L"");
    wchar_t c[] = L"\nA\n";
    TrimBlanks(c);
    EXPECT_STREQ(c, L"\nA\n");
}

TEST(CopyTextTest, CutsToCapacityAndTerminates) {
    wchar_t buf[4] = {L'x', L'x', L'x', L'x'};
    CopyText(buf, 4, L"abcdef");
    EXPECT_STREQ(buf, L"abc");
    CopyText(buf, 1, L"abc");
    EXPECT_STREQ(buf, L"");
    CopyText(buf, 4, nullptr);
    EXPECT_STREQ(buf, L"");
}

} // namespace
