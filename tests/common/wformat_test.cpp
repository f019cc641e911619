#include "common/wformat.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdint.h>

#include <limits>

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

// Every row must print exactly the text given, and return its length: the text of _snwprintf
// of msvcrt.dll (the runtime the Windows program links), except where a test says it is this
// formatter's own rule (8-bit text through the ANSI code page, unknown conversions) or the
// runtime's documentation (tests/conformance/wformat_deviations.txt lists those).
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
        {"precision has no effect", Format(L"%.0c", L'A'), L"A"}, // documented (Wine: empty)
    });
}

TEST(WFormatTest, ACharacterZeroIsStoredAndCounted) {
    wchar_t buf[8];
    wmemset(buf, L'#', 8);
    EXPECT_EQ(WFormat(buf, 8, L"[%c]", 0), 3);
    EXPECT_EQ(std::wstring(buf, 5), std::wstring(L"[\0]\0#", 5));
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
        {"#o of 0 with precision 0", Format(L"%#.0o", 0), L""}, // the 0 goes before non-zero only
        {"#o under precision", Format(L"%#.3o", 8), L"010"},
        {"#o in width", Format(L"%#5o|%#-8o|", 8, 5), L"  010|05      |"},
        {"x of 0 with precision 0", Format(L"[%.0x]", 0), L"[]"},
        {"zero pad", Format(L"%05d", 42), L"00042"},
        {"zero pad after sign", Format(L"%05d", -42), L"-0042"},
        {"zero pad after plus", Format(L"%+05d", 42), L"+0042"},
        {"zero pad after 0x", Format(L"%#06x", 255), L"0x00ff"},
        {"zero ignored when left", Format(L"%-05d|", 42), L"42   |"},
        {"precision", Format(L"%.3d", 7), L"007"},
        {"precision negative", Format(L"%.3d", -7), L"-007"},
        {"precision turns 0 flag off", Format(L"%05.3d", 7), L"  007"}, // documented (Wine: 00007)
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
        {"hh is h", Format(L"%hhd|%hhu|%hhx", 0xFF, 0x1FF, 0x1AB), L"255|511|1ab"},
        {"the last size counts", Format(L"%hhhd|%lhd|%hld|%I64I32d", 70000, 70000, 70000, 1),
         L"4464|4464|70000|1"},
        {"L N F change nothing", Format(L"%Ld|%Nd|%Fd|%Ns", 70000, 5, 6, L"x"), L"70000|5|6|x"},
        {"zu zd zx",
         Format(L"%zu|%zd|%zx|%d", static_cast<size_t>(1) << 40, static_cast<ptrdiff_t>(-9),
                static_cast<size_t>(255), 7),
         L"1099511627776|-9|ff|7"},
        {"jd td", Format(L"%jd|%td|%d", static_cast<intmax_t>(-2), static_cast<ptrdiff_t>(3), 4),
         L"-2|3|4"},
        {"I z t only before integers", Format(L"%I|%Ic|%zc|%tc|%jc|%d", L'C', 1),
         L"I|Ic|zc|tc|C|1"},
        {"I6 is no size", Format(L"%I6d|%I3|%I64|%d", 5, 6, 7), L"I6d|I3||5"},
        {"string widths",
         Format(L"%lls|%llc|%hls|%lhs|%hhs|%I64s|%js", L"a", L'b', L"c", "d", "e", L"f", L"g"),
         L"a|b|c|d|e|f|g"},
        {"Id", Format(L"%Id", static_cast<ptrdiff_t>(-9)), L"-9"},
        {"Iu", Format(L"%Iu", static_cast<size_t>(1) << 31), L"2147483648"},
    });
    if (sizeof(void*) == 8) {
        CheckRows({
            {"Iu 64-bit", Format(L"%Iu", static_cast<size_t>(1) << 40), L"1099511627776"},
            {"p", Format(L"%p", reinterpret_cast<void*>(0xABCDEF)), L"0000000000ABCDEF"},
            {"p null", Format(L"%p", static_cast<void*>(nullptr)), L"0000000000000000"},
            {"#p",
             Format(L"%#p|%#p", reinterpret_cast<void*>(0xABCDEF), static_cast<void*>(nullptr)),
             L"0X0000000000ABCDEF|0000000000000000"},
            {"p pads with blanks",
             Format(L"%020p|%-#20p|", reinterpret_cast<void*>(0xABCDEF),
                    reinterpret_cast<void*>(0xABCDEF)),
             L"    0000000000ABCDEF|0X0000000000ABCDEF  |"},
            {"p ignores a precision", Format(L"%.4p", reinterpret_cast<void*>(0xABCDEF)),
             L"0000000000ABCDEF"}, // Wine: 0000
        });
    } else {
        CheckRows({
            {"p", Format(L"%p", reinterpret_cast<void*>(0xABCDEF)), L"00ABCDEF"},
            {"p null", Format(L"%p", static_cast<void*>(nullptr)), L"00000000"},
        });
    }
}

TEST(WFormatTest, FloatingPoint) {
    CheckRows({
        {"defaults",
         Format(L"%f|%e|%g|%E|%G", 3.14159265358979, 3.14159265358979, 3.14159265358979,
                3.14159265358979, 3.14159265358979),
         L"3.141593|3.141593e+000|3.14159|3.141593E+000|3.14159"},
        {"three exponent digits", Format(L"%e|%g|%e|%g", 1e10, 1.5e-5, 1e-300, 5e-324),
         L"1.000000e+010|1.5e-005|1.000000e-300|4.94066e-324"},
        {"zero", Format(L"%f|%e|%g|%f|%g", 0.0, 0.0, 0.0, -0.0, -0.0),
         L"0.000000|0.000000e+000|0|-0.000000|-0"},
        {"exact digits", Format(L"%.20f|%.25e|%.100g", 0.1, 0.1, 0.1),
         L"0.10000000000000000555|1.0000000000000000555111512e-001|"
         L"0.1000000000000000055511151231257827021181583404541015625"},
        {"large", Format(L"%f", 1e21), L"1000000000000000000000.000000"},
        {"half away from zero",
         Format(L"%.0f|%.0f|%.0f|%.0f|%.2f|%.1f|%.2e|%.0e", 0.5, 1.5, 2.5, -0.5, 0.125, 0.25, 1.125,
                2.5),
         L"1|2|3|-1|0.13|0.3|1.13e+000|3e+000"},
        {"the exact value decides", Format(L"%.3f|%.1f|%.1f", 2.0005, 0.05, 0.95),
         L"2.001|0.1|0.9"},
        {"carry", Format(L"%.3e|%g|%.3g|%f", 9.9996, 999999.5, 999.5, 9.9999995),
         L"1.000e+001|1e+006|1e+003|9.999999"},
        {"g picks the form",
         Format(L"%g|%g|%g|%g|%g|%g", 100000.0, 1000000.0, 1e-4, 1e-5, 123456.0, 1234567.0),
         L"100000|1e+006|0.0001|1e-005|123456|1.23457e+006"},
        {"g precision", Format(L"%.0g|%.1g|%.2g|%.10g|%.17g", 123.0, 123.0, 123.0, 1.0 / 3.0, 0.1),
         L"1e+002|1e+002|1.2e+002|0.3333333333|0.10000000000000001"},
        {"alternate",
         Format(L"%#.0e|%#.0f|%#g|%#.3g|%#g|%#.0g", 12345.0, 3.0, 1.0, 100.0, 0.0, 0.0),
         L"1.e+004|3.|1.00000|100.|0.00000|0."},
        {"signs", Format(L"%+f|% f|%+e|% g|%+g|%+.0f", 1.5, 1.5, 1.5, 1.5, -1.5, 0.4),
         L"+1.500000| 1.500000|+1.500000e+000| 1.5|-1.5|+0"},
        {"width",
         Format(L"%10.3f|%-10.3f|%010.3f|%+010.3f|%015g|", 3.14159, 3.14159, -3.14159, 3.14159,
                1e-7),
         L"     3.142|3.142     |-00003.142|+00003.142|0000000001e-007|"},
        {"star", Format(L"%*.*f|%.*e|%*g|", 10, 2, 3.14159, 3, 2.0, -8, 1.0),
         L"      3.14|2.000e+000|1       |"},
        {"sizes read a double", Format(L"%lf|%Lf|%hf|%I64f %d", 1.25, 1.25, 1.25, 1.25, 9),
         L"1.250000|1.250000|1.250000|1.250000 9"},
    });
}

TEST(WFormatTest, InfinitiesAndNaNsAsTheRuntimePrintsThem) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CheckRows({
        {"infinity", Format(L"%f|%e|%g|%E|%G", inf, inf, inf, inf, inf),
         L"1.#INF00|1.#INF00e+000|1.#INF|1.#INF00E+000|1.#INF"},
        {"negative", Format(L"%f|%g", -inf, -inf), L"-1.#INF00|-1.#INF"},
        {"NaN", Format(L"%f|%e|%g", nan, nan, nan), L"1.#QNAN0|1.#QNAN0e+000|1.#QNAN"},
        {"NaN with its sign bit", Format(L"%f|%g", -nan, -nan), L"-1.#IND00|-1.#IND"},
        {"precision rounds the text",
         Format(L"%.0f|%.1f|%.2f|%.3f|%.4f|%.9f", inf, inf, inf, inf, inf, inf),
         L"1|1.$|1.#J|1.#IO|1.#INF|1.#INF00000"},
        {"g precision", Format(L"%.0g|%.1g|%.2g|%.3g|%.5g|%#g", nan, nan, nan, nan, nan, inf),
         L"1.#QNAN|1|1.$|1.#R|1.#QNB|1.#INF"},
        {"flags", Format(L"%+f|% f|%012f|%#.0f|%-12f|", inf, inf, inf, inf, inf),
         L"+1.#INF00| 1.#INF00|00001.#INF00|1|1.#INF00    |"}, // Wine drops the 00 under '-'
    });
}

TEST(WFormatTest, HexadecimalFloatingPoint) {
    CheckRows({
        {"values", Format(L"%a|%a|%a|%a", 0.0, -1.0, 5e-324, 2.2250738585072014e-308),
         L"0x0.0000000000000p+0|-0x1.0000000000000p+0|0x0.0000000000001p-1022|"
         L"0x1.0000000000000p-1022"},
        {"upper case", Format(L"%A|%A", 255.5, 1.7976931348623157e308),
         L"0X1.FF00000000000P+7|0X1.FFFFFFFFFFFFFP+1023"},
        {"precision rounds half up",
         Format(L"%.1a|%.1a|%.1a|%.2a|%.0a|%#.0a", 1.96875, 1.03125, 1.09375, 0.1, 1.5, 1.0),
         L"0x2.0p+0|0x1.1p+0|0x1.2p+0|0x1.9ap-4|0x2p+0|0x1.p+0"},
        {"width", Format(L"%25a|%025a|%+a|% a|", 1.0, -1.0, 1.0, 1.0),
         L"     0x1.0000000000000p+0|-0x00001.0000000000000p+0|+0x1.0000000000000p+0|"
         L" 0x1.0000000000000p+0|"},
        {"infinity", Format(L"%a", std::numeric_limits<double>::infinity()),
         L"0x1.#INF000000000p+0"},
    });
}

TEST(WFormatTest, APercentInsideAConversionStartsANewOne) {
    CheckRows({
        {"bare", Format(L"%%"), L"%"},
        {"after fields", Format(L"%%|%5%|%-%|%.3%|%#%|%0%|% %|%+%"), L"%|||||||"},
        {"then a conversion", Format(L"%5%d|%.2%d|%l%d|%5%%|", 3, 4, 5), L"3|4|5|%|"},
    });
}

TEST(WFormatTest, UnknownConversionsPrintTheirCharacterAndTakeNoArgument) {
    CheckRows({
        {"unknown", Format(L"%y%d", 3), L"y3"},
        {"unknown with fields", Format(L"%-5k|%d", 4), L"k|4"},
        {"no positions", Format(L"%1$d|%qd|%zs"), L"$d|qd|zs"},
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
