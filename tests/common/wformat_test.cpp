#include "common/wformat.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace {

struct Result {
    std::wstring text;
    int returned;
};

Result Format(const wchar_t* format, ...) {
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    int n = WFormatV(buffer, 1024, format, args);
    va_end(args);
    return Result{buffer, n};
}

struct Row {
    const char* name;
    Result got;
    const wchar_t* want;
};

// Every row must print exactly the text given, and return its length: the Windows runtime's
// swprintf text, except where a test says it is this formatter's own rule (8-bit text through
// the ANSI code page, unknown conversions).
void CheckRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        EXPECT_EQ(row.got.text, std::wstring(row.want)) << row.name;
        EXPECT_EQ(row.got.returned, static_cast<int>(std::wstring(row.want).size())) << row.name;
    }
}

TEST(WFormatTest, Strings) {
    CheckRows({
        {"wide %s", Format(L"[%s]", L"abc"), L"[abc]"},
        {"8-bit %S", Format(L"[%S]", "abc"), L"[abc]"},
        {"%S uses Windows-1252", Format(L"%S", "\x80\xE9\x8A\x9F"), L"\u20AC\u00E9\u0160\u0178"},
        {"%hs is 8-bit", Format(L"%hs", "\x80x"), L"\u20ACx"},
        {"%hS is 8-bit", Format(L"%hS", "y"), L"y"},
        {"%ls is wide", Format(L"%ls", L"\u4E2D"), L"\u4E2D"},
        {"%lS is wide", Format(L"%lS", L"w"), L"w"},
        {"%ws is wide", Format(L"%ws", L"ws"), L"ws"},
        {"null wide", Format(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)"},
        {"null 8-bit", Format(L"%S", static_cast<const char*>(nullptr)), L"(null)"},
        {"precision", Format(L"%.3s", L"abcdef"), L"abc"},
        {"precision 8-bit", Format(L"%.2S", "xyz"), L"xy"},
        {"precision longer", Format(L"%.9s", L"ab"), L"ab"},
        {"star precision", Format(L"%.*s|", 2, L"abcd"), L"ab|"},
        {"width", Format(L"%5s|", L"ab"), L"   ab|"},
        {"left", Format(L"%-5s|", L"ab"), L"ab   |"},
        {"star left", Format(L"%-*s|", 6, L"ab"), L"ab    |"},
        {"negative star", Format(L"%*s|", -4, L"ab"), L"ab  |"},
        {"zero pads strings", Format(L"%05s", L"ab"), L"000ab"},
        {"zero pads 8-bit", Format(L"%02S", "7"), L"07"},
        {"zero ignored when left", Format(L"%-05s|", L"ab"), L"ab   |"},
        {"version parts", Format(L"%02S%02S%02S%02S", "1", "2", "10", "3"), L"01021003"},
        {"dotted parts", Format(L"%S.%S.%S.%S", "1", "2", "10", "3"), L"1.2.10.3"},
        {"no cut by width", Format(L"%02S", "123"), L"123"},
        {"null with precision", Format(L"%.3s", static_cast<const wchar_t*>(nullptr)), L"(nu"},
    });
}

TEST(WFormatTest, LongEightBitStringsConvertWhole) {
    std::string bytes(600, 'a');
    bytes[0] = '\x80';
    bytes[599] = '\x80';
    std::wstring want(600, L'a');
    want[0] = 0x20AC;
    want[599] = 0x20AC;
    Result r = Format(L"%S", bytes.c_str());
    EXPECT_EQ(r.text, want);
    EXPECT_EQ(r.returned, 600);
    r = Format(L"%610S", bytes.c_str());
    EXPECT_EQ(r.text, std::wstring(10, L' ') + want);
}

TEST(WFormatTest, Characters) {
    CheckRows({
        {"%c wide", Format(L"[%c]", L'A'), L"[A]"},
        {"%c above Latin-1", Format(L"%c", 0x20AC), L"\u20AC"},
        {"%C 8-bit", Format(L"%C", 'B'), L"B"},
        {"%C Windows-1252", Format(L"%C", '\x80'), L"\u20AC"},
        {"%hc 8-bit", Format(L"%hc", '\x8A'), L"\u0160"},
        {"%lc wide", Format(L"%lc", L'\u00E9'), L"\u00E9"},
        {"%wc wide", Format(L"%wc", L'z'), L"z"},
        {"width", Format(L"%3c|", L'A'), L"  A|"},
        {"left", Format(L"%-3c|", L'A'), L"A  |"},
        {"zero pads", Format(L"%03c", L'A'), L"00A"},
        {"precision has no effect", Format(L"%.0c", L'A'), L"A"},
    });
}

TEST(WFormatTest, Integers) {
    CheckRows({
        {"zero", Format(L"%d", 0), L"0"},
        {"negative", Format(L"%d", -42), L"-42"},
        {"INT_MIN", Format(L"%d", INT32_MIN), L"-2147483648"},
        {"%i", Format(L"%i", 7), L"7"},
        {"%u max", Format(L"%u", 4294967295u), L"4294967295"},
        {"%u of -1", Format(L"%u", -1), L"4294967295"},
        {"%x", Format(L"%x", 0xbeef), L"beef"},
        {"%X", Format(L"%X", 0xbeef), L"BEEF"},
        {"%o", Format(L"%o", 8), L"10"},
        {"%%", Format(L"DownloadFW %3d%%", 40), L"DownloadFW  40%"},
        {"%% full", Format(L"DownloadFW %3d%%", 100), L"DownloadFW 100%"},
        {"0x%04X", Format(L"0x%04X", 0x3C71), L"0x3C71"},
        {"0x%04X short", Format(L"0x%04X", 0x5), L"0x0005"},
        {"0x%08X", Format(L"0x%08X", 0x1234), L"0x00001234"},
        {"0x%08X full", Format(L"0x%08X", 0xDEADBEEFu), L"0xDEADBEEF"},
        {"NAND id", Format(L"%02X%02X%02X%02X%02X%02X", 0x98, 0x3C, 0x98, 0xB3, 0x76, 0x01),
         L"983C98B37601"},
        {"%02X never cuts", Format(L"%02X", 0xABC), L"ABC"},
        {"key", Format(L"%s_%d", L"983C98B37601", 2), L"983C98B37601_2"},
        {"left", Format(L"%-5d|", 42), L"42   |"},
        {"right", Format(L"%5d|", 42), L"   42|"},
        {"plus", Format(L"%+d", 5), L"+5"},
        {"plus negative", Format(L"%+d", -5), L"-5"},
        {"space", Format(L"% d", 5), L" 5"},
        {"space negative", Format(L"% d", -5), L"-5"},
        {"plus beats space", Format(L"%+ d", 5), L"+5"},
        {"no sign on unsigned", Format(L"%+u", 5), L"5"},
        {"#x", Format(L"%#x", 255), L"0xff"},
        {"#X", Format(L"%#X", 255), L"0XFF"},
        {"#x of 0", Format(L"%#x", 0), L"0"},
        {"#o", Format(L"%#o", 8), L"010"},
        {"#o of 0", Format(L"%#o", 0), L"0"},
        {"#o of 0 with precision 0", Format(L"%#.0o", 0), L"0"},
        {"x of 0 with precision 0", Format(L"[%.0x]", 0), L"[]"},
        {"zero pad", Format(L"%05d", 42), L"00042"},
        {"zero pad after sign", Format(L"%05d", -42), L"-0042"},
        {"zero pad after plus", Format(L"%+05d", 42), L"+0042"},
        {"zero pad after 0x", Format(L"%#06x", 255), L"0x00ff"},
        {"zero ignored when left", Format(L"%-05d|", 42), L"42   |"},
        {"precision", Format(L"%.3d", 7), L"007"},
        {"precision negative", Format(L"%.3d", -7), L"-007"},
        {"precision turns 0 flag off", Format(L"%05.3d", 7), L"  007"},
        {"precision 0 of 0", Format(L"[%.0d]", 0), L"[]"},
        {"precision 0 of 0 in width", Format(L"[%3.0d]", 0), L"[   ]"},
        {"star width", Format(L"%*d|", 5, 42), L"   42|"},
        {"negative star width", Format(L"%*d|", -5, 42), L"42   |"},
        {"star with zero", Format(L"%0*d", 4, 7), L"0007"},
        {"star precision", Format(L"%.*d", 4, 7), L"0007"},
        {"negative star precision", Format(L"%.*d", -1, 7), L"7"},
    });
}

TEST(WFormatTest, SizePrefixes) {
    CheckRows({
        {"I64d -1", Format(L"%I64d", static_cast<int64_t>(-1)), L"-1"},
        {"I64d negative", Format(L"%I64d", static_cast<int64_t>(-123456789012)), L"-123456789012"},
        {"I64d min", Format(L"%I64d", INT64_MIN), L"-9223372036854775808"},
        {"I64d max", Format(L"%I64d", INT64_MAX), L"9223372036854775807"},
        {"I64u", Format(L"%I64u", UINT64_MAX), L"18446744073709551615"},
        {"I64X", Format(L"%I64X", static_cast<uint64_t>(0x0123456789ABCDEF)), L"123456789ABCDEF"},
        {"I64d then int", Format(L"%I64d %d", static_cast<int64_t>(5000000000), 7),
         L"5000000000 7"},
        {"folder", Format(L"%s\\%I64d", L"C:\\Temp\\Reflash", static_cast<int64_t>(987654321)),
         L"C:\\Temp\\Reflash\\987654321"},
        {"lld", Format(L"%lld", static_cast<long long>(-5)), L"-5"},
        {"llu", Format(L"%llu", static_cast<unsigned long long>(10000000000)), L"10000000000"},
        {"I32d", Format(L"%I32d", static_cast<int32_t>(-7)), L"-7"},
        {"I32u", Format(L"%I32u", static_cast<uint32_t>(0xFFFFFFFF)), L"4294967295"},
        {"ld is 32-bit", Format(L"%ld", static_cast<int32_t>(-3)), L"-3"},
        {"lu is 32-bit", Format(L"%lu", static_cast<uint32_t>(4000000000u)), L"4000000000"},
        {"lx is 32-bit", Format(L"%lx|%d", static_cast<uint32_t>(0xFFFFFFFF), 5), L"ffffffff|5"},
        {"hd", Format(L"%hd", 0x18000), L"-32768"},
        {"hu", Format(L"%hu", 65537), L"1"},
        {"hhd", Format(L"%hhd", 0xFF), L"-1"},
        {"hhu", Format(L"%hhu", 0x1FF), L"255"},
        {"hhx", Format(L"%hhx", 0x1AB), L"ab"},
        {"Id", Format(L"%Id", static_cast<ptrdiff_t>(-9)), L"-9"},
        {"Iu", Format(L"%Iu", static_cast<size_t>(1) << 31), L"2147483648"},
    });
    if (sizeof(void*) == 8) {
        CheckRows({
            {"Iu 64-bit", Format(L"%Iu", static_cast<size_t>(1) << 40), L"1099511627776"},
            {"p", Format(L"%p", reinterpret_cast<void*>(0xABCDEF)), L"0000000000ABCDEF"},
            {"p null", Format(L"%p", static_cast<void*>(nullptr)), L"0000000000000000"},
        });
    } else {
        CheckRows({
            {"p", Format(L"%p", reinterpret_cast<void*>(0xABCDEF)), L"00ABCDEF"},
            {"p null", Format(L"%p", static_cast<void*>(nullptr)), L"00000000"},
        });
    }
}

TEST(WFormatTest, UnknownConversionsPrintTheirCharacterAndTakeNoArgument) {
    CheckRows({
        {"unknown", Format(L"%y%d", 3), L"y3"},
        {"unknown with fields", Format(L"%-5k|%d", 4), L"k|4"},
        {"%n writes nothing", Format(L"%n%d", 6), L"n6"},
        {"format ends inside a conversion", Format(L"100%"), L"100"},
        {"format ends after fields", Format(L"ab%-5"), L"ab"},
        {"format ends after size", Format(L"ab%I64"), L"ab"},
    });
}

TEST(WFormatTest, CutsAtTheBufferEndAndAlwaysTerminates) {
    wchar_t buf[16];
    wmemset(buf, L'#', 16);
    EXPECT_EQ(WFormat(buf, 0, L"abc"), 0);
    EXPECT_EQ(buf[0], L'#'); // capacity 0: nothing stored, not even the terminator

    EXPECT_EQ(WFormat(buf, 1, L"abc"), -1);
    EXPECT_EQ(buf[0], L'\0');
    EXPECT_EQ(buf[1], L'#');
    EXPECT_EQ(WFormat(buf, 1, L""), 0);
    EXPECT_EQ(buf[0], L'\0');

    wmemset(buf, L'#', 16);
    EXPECT_EQ(WFormat(buf, 5, L"abcdefgh"), -1);
    EXPECT_EQ(std::wstring(buf), L"abcd");
    EXPECT_EQ(buf[5], L'#');

    EXPECT_EQ(WFormat(buf, 4, L"%s", L"abc"), 3); // exact fit with the terminator
    EXPECT_EQ(std::wstring(buf), L"abc");
    EXPECT_EQ(WFormat(buf, 3, L"%s", L"abc"), -1);
    EXPECT_EQ(std::wstring(buf), L"ab");

    EXPECT_EQ(WFormat(buf, 5, L"%d", 123456), -1);
    EXPECT_EQ(std::wstring(buf), L"1234");
    EXPECT_EQ(WFormat(buf, 4, L"%S", "\x80\x80\x80\x80\x80"), -1);
    EXPECT_EQ(std::wstring(buf), L"\u20AC\u20AC\u20AC");
}

TEST(WFormatTest, WidthLargerThanTheBuffer) {
    wchar_t buf[8];
    wmemset(buf, L'#', 8);
    EXPECT_EQ(WFormat(buf, 8, L"%100d", 5), -1);
    EXPECT_EQ(std::wstring(buf), L"       ");
    EXPECT_EQ(WFormat(buf, 8, L"%-100s|", L"ab"), -1);
    EXPECT_EQ(std::wstring(buf), L"ab     ");
    EXPECT_EQ(WFormat(buf, 8, L"%.100d", 5), -1);
    EXPECT_EQ(std::wstring(buf), L"0000000");
    EXPECT_EQ(WFormat(buf, 8, L"%2147483647d", 5), -1);
    EXPECT_EQ(std::wstring(buf), L"       ");
    EXPECT_EQ(WFormat(buf, 8, L"%99999999999999s", L"x"), -1); // digits beyond int range
    EXPECT_EQ(std::wstring(buf), L"       ");
    EXPECT_EQ(WFormat(buf, 8, L"%*d", INT32_MIN, 5), -1); // left-justified, huge
    EXPECT_EQ(std::wstring(buf), L"5      ");
}

TEST(WFormatTest, NullFormatOrBuffer) {
    wchar_t buf[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(WFormat(buf, 4, nullptr), 0);
    EXPECT_EQ(buf[0], L'\0');
    EXPECT_EQ(WFormat(nullptr, 4, L"abc"), 0);
}

} // namespace
