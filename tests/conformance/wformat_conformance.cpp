// Prints one line per format: the format, the returned count and the text. Built for Windows,
//   wformat_conformance runtime   formats with _snwprintf of msvcrt.dll, the runtime zxflash.exe
//                                 links (the real one, looked up at run time, not mingw's own)
//   wformat_conformance           formats with WFormatV (common/wformat.cpp)
// so the Windows runtime and this tree's formatter on both platforms can be compared line by
// line with tests/conformance/compare.sh.
#include "common/wformat.h"
#include "platform/win32.h"
#include "tests/conformance/conformance_output.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace {

using conformance::PutLine;
using conformance::Quote;

const size_t kChars = 2048;

#ifdef _WIN32
typedef int(__cdecl* RuntimeFormat)(wchar_t*, size_t, const wchar_t*, ...);
#else
typedef int (*RuntimeFormat)(wchar_t*, size_t, const wchar_t*, ...);
#endif
RuntimeFormat gRuntime = nullptr;

template <typename... Args> void Row(const wchar_t* format, Args... args) {
    wchar_t buffer[kChars];
    int n;
    if (gRuntime != nullptr) {
        wmemset(buffer, 0, kChars);
        n = gRuntime(buffer, kChars - 1, format, args...);
    } else {
        n = WFormat(buffer, kChars, format, args...);
    }
    // The text up to the count returned (a %c of 0 stores a zero inside it), or up to the first
    // zero when the call returned -1.
    size_t length = n >= 0 ? static_cast<size_t>(n) : std::char_traits<wchar_t>::length(buffer);
    PutLine(Quote(format) + " = " + std::to_string(n) + " " + Quote(buffer, length));
}

void Strings() {
    Row(L"[%s]", L"abc");
    Row(L"[%S]", "abc");
    Row(L"%S", "\x80\xE9\x8A\x9F");
    Row(L"%hs|%hS|%ls|%lS|%ws", "h", "H", L"l", L"L", L"w");
    Row(L"%s", static_cast<const wchar_t*>(nullptr));
    Row(L"%S", static_cast<const char*>(nullptr));
    Row(L"%.3s|%.2S|%.9s|%.*s|", L"abcdef", "xyz", L"ab", 2, L"abcd");
    Row(L"%5s|%-5s|%-*s|%*s|", L"ab", L"ab", 6, L"ab", -4, L"ab");
    Row(L"%05s|%02S|%-05s|", L"ab", "7", L"ab");
    Row(L"%02S%02S%02S%02S", "1", "2", "10", "3");
    Row(L"%.3s", static_cast<const wchar_t*>(nullptr));
    Row(L"%10.3s|", static_cast<const wchar_t*>(nullptr));
}

void Characters() {
    Row(L"[%c]%c|%C|%C|%hc|%lc|%wc", L'A', 0x20AC, 'B', '\x80', '\x8A', L'\u00E9', L'z');
    Row(L"%3c|%-3c|%03c|%.0c|", L'A', L'A', L'A', L'A');
    Row(L"[%c]", 0);
    Row(L"%C|%hc|%lc", 0x1E9, 0x1E9, 0x1E9);
    Row(L"%.3c|%-03c|", L'x', L'x');
}

void Integers() {
    Row(L"%d|%d|%d|%i", 0, -42, INT32_MIN, 7);
    Row(L"%u|%u|%x|%X|%o", 4294967295u, -1, 0xbeef, 0xbeef, 8);
    Row(L"DownloadFW %3d%%|%3d%%", 40, 100);
    Row(L"0x%04X|0x%04X|0x%08X", 0x3C71, 0x5, 0xDEADBEEFu);
    Row(L"%02X%02X%02X%02X%02X%02X", 0x98, 0x3C, 0x98, 0xB3, 0x76, 0x01);
    Row(L"%02X|%s_%d", 0xABC, L"983C98B37601", 2);
    Row(L"%-5d|%5d|%+d|%+d|% d|% d|%+ d|%+u", 42, 42, 5, -5, 5, -5, 5, 5);
    Row(L"%#x|%#X|%#x|%#o|%#o|%#.0o|[%.0x]", 255, 255, 0, 8, 0, 0, 0);
    Row(L"%05d|%05d|%+05d|%#06x|%-05d|", 42, -42, 42, 255, 42);
    Row(L"%.3d|%.3d|%05.3d|[%.0d]|[%3.0d]", 7, -7, 7, 0, 0);
    Row(L"%*d|%*d|%0*d|%.*d|%.*d", 5, 42, -5, 42, 4, 7, 4, 7, -1, 7);
    Row(L"%#5o|%#.3o|%#8.3x|%-#8x|", 8, 8, 255, 255);
    Row(L"% 05d|%+.0d|% .0d|", 3, 0, 0);
    Row(L"%.d|%5.d|%-+5d|%+-5d|%0-5d|", 0, 0, 1, 1, 1);
    Row(L"%#d|%#u|%#c|%#s", 1, 2, L'c', L"s");
    Row(L"%0*d|%*.*d|", -4, 7, 6, 3, 5);
    Row(L"% x|%+x|% o|%+o|%#.3x|%#.0x|", 5, 5, 5, 5, 0, 0);
    Row(L"%-x|%-#x|%#-8o|%#5x|%0#5x|%#05X|", 5, 5, 5, 5, 5, 5);
    Row(L"%ho|%hx|%hX|%hu|%lo", -1, -1, -1, -1, -1);
}

void SizePrefixes() {
    Row(L"%I64d|%I64d|%I64u|%I64X", static_cast<int64_t>(-1), INT64_MIN, UINT64_MAX,
        static_cast<uint64_t>(0x0123456789ABCDEF));
    Row(L"%I64d %d", static_cast<int64_t>(5000000000), 7);
    Row(L"%s\\%I64d", L"C:\\Temp\\Reflash", static_cast<int64_t>(987654321));
    Row(L"%lld|%llu|%llx", static_cast<long long>(-5), static_cast<unsigned long long>(1e10),
        static_cast<long long>(-1));
    Row(L"%I32d|%I32u|%ld|%lu|%lx|%d", static_cast<int32_t>(-7), static_cast<uint32_t>(0xFFFFFFFF),
        static_cast<int32_t>(-3), static_cast<uint32_t>(4000000000u),
        static_cast<uint32_t>(0xFFFFFFFF), 5);
    Row(L"%hd|%hu|%hhd|%hhu|%hhx", 0x18000, 65537, 0xFF, 0x1FF, 0x1AB);
    Row(L"%Id|%Iu|%Ix", static_cast<ptrdiff_t>(-9), static_cast<size_t>(1) << 40,
        static_cast<size_t>(0xABCDEF));
    Row(L"%zu|%zd|%zx|%d", static_cast<size_t>(1) << 40, static_cast<ptrdiff_t>(-9),
        static_cast<size_t>(255), 7);
    Row(L"%jd|%td|%d", static_cast<intmax_t>(-2), static_cast<ptrdiff_t>(3), 4);
    Row(L"%I64o|%I32x|%I32d", static_cast<int64_t>(-1), 0x23456789, 1);
    Row(L"%hhhd|%lhd|%hld|%I64I32d|%llld", 70000, 70000, 70000, 1, 1);
    Row(L"%Nd|%Fd|%Ld|%Ns", 5, 6, 70000, L"x");
    Row(L"%I|%d", 1);
    Row(L"%Ic|%zc|%tc|%jc|%d", L'x', 65, 66, 67, 1);
    Row(L"%I6d|%I3|%I64|%d", 5, 6, 7);
    Row(L"%zs|%qd|%1$d");
    Row(L"%lls|%llc|%hls|%lhs|%hhs|%I64s|%I32s|%js", L"a", L'b', L"c", "d", "e", L"f", L"g", L"h");
    Row(L"%p|%p", reinterpret_cast<void*>(0xABCDEF), static_cast<void*>(nullptr));
    Row(L"%020p|%#20p|%-#20p|%hp|%lp", reinterpret_cast<void*>(0xABCDEF),
        reinterpret_cast<void*>(0xABCDEF), reinterpret_cast<void*>(0xABCDEF),
        reinterpret_cast<void*>(0xABCDEF), reinterpret_cast<void*>(0xABCDEF));
    Row(L"%#p|%#p", reinterpret_cast<void*>(0xABCDEF), static_cast<void*>(nullptr));
    Row(L"%20p|%-20p|%.4p|%+p", reinterpret_cast<void*>(0xABCDEF),
        reinterpret_cast<void*>(0xABCDEF), reinterpret_cast<void*>(0xABCDEF),
        reinterpret_cast<void*>(0xABCDEF));
}

void Floats() {
    const double values[] = {0.0,       -0.0,        1.0,
                             -1.0,      0.5,         1.5,
                             2.5,       0.125,       3.14159265358979,
                             1e10,      1.5e-5,      123456789.0,
                             0.1,       1e100,       1e-300,
                             9.9999995, 0.000123456, 65536.0,
                             1e21,      DBL_MAX,     DBL_MIN,
                             5e-324,    999999.5,    1e-10};
    for (double v : values) {
        Row(L"%f|%e|%g|%E|%G", v, v, v, v, v);
    }
    Row(L"%.0f|%.0f|%.0f|%.0f|%.0f", 0.5, 1.5, 2.5, 3.5, -0.5);
    Row(L"%.1f|%.2f|%.3f|%.1f", 0.05, 0.125, 2.0005, 0.25);
    Row(L"%.20f|%.17g|%.25e", 0.1, 0.1, 0.1);
    Row(L"%.0e|%.1e|%#.0e|%#.0f|%#g|%#.3g", 12345.0, 12345.0, 12345.0, 3.0, 1.0, 100.0);
    Row(L"%+f|% f|%+e|% g|%+g", 1.5, 1.5, 1.5, 1.5, -1.5);
    Row(L"%10.3f|%-10.3f|%010.3f|%+010.3f|%-010.3f|", 3.14159, 3.14159, -3.14159, 3.14159, 3.14159);
    Row(L"%12e|%-12e|%012e|%15g|%015g|", 1234.5, 1234.5, -1234.5, 1e-7, 1e-7);
    Row(L"%g|%g|%g|%g|%g|%g", 100000.0, 1000000.0, 1e-4, 1e-5, 123456.0, 1234567.0);
    Row(L"%.0g|%.1g|%.2g|%.10g|%.3g", 123.0, 123.0, 123.0, 1.0 / 3.0, 0.0001234);
    Row(L"%*.*f|%.*e|%*g|", 10, 2, 3.14159, 3, 2.0, -8, 1.0);
    Row(L"%f|%e|%g", std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN());
    Row(L"%.1f|%10f|%-10e|", std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::quiet_NaN());
    Row(L"%lf|%Lf|%hf|%I64f", 1.25, 1.25, 1.25, 1.25);
    Row(L"%f %d", 2.0, 9);
    Row(L"%.400f", 1e-300);
    Row(L"%#g|%g|%#.0g|%.0g|%#.0e|%.0f", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0);
    Row(L"%g|%g|%g|%g|%.3g", 1e-5, 9.99999e-5, 0.000099999951, 999999.5, 999.5);
    Row(L"%.1f|%.1f|%.2e|%.0e|%.0e", 0.95, 0.25, 1.125, 2.5, 9.5);
    Row(L"%e|%.3e|%.2f|%+.0f|% .0e", 1e-320, 9.9996, -0.001, 0.4, 0.0);
    Row(L"%.15g|%.16g|%.17g|%.100g", 0.1, 0.1, 0.1, 0.1);
    const double specials[] = {
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    for (double v : specials) {
        Row(L"%f|%.0f|%.1f|%.2f|%.3f|%.4f|%.5f|%.9f", v, v, v, v, v, v, v, v);
        Row(L"%e|%.0e|%.1e|%.2e|%.3e|%.8e|%E", v, v, v, v, v, v, v);
        Row(L"%g|%.0g|%.1g|%.2g|%.3g|%.5g|%.8g|%#g|%#.2g|%G", v, v, v, v, v, v, v, v, v, v);
        Row(L"%#.0f|%+f|% f|%012f|%12f|", v, v, v, v, v);
        Row(L"%-12f|%12.2e|", v, v);
        Row(L"%a|%A", v, v);
    }
    Row(L"%a|%a|%a|%a", 0.0, -1.0, 5e-324, DBL_MIN);
    Row(L"%a|%A|%A", DBL_MAX, 255.5, 0.1);
    Row(L"%.1a|%.1a|%.1a|%.1a|%.2a", 1.96875, 1.03125, 1.09375, 1.5, 0.1);
    Row(L"%.0a|%.0a|%#.0a|%.20a", 1.5, 1.0, 1.0, 1.0);
    Row(L"%25a|%-25a|%025a|%+a|% a|", 1.0, 1.0, -1.0, 1.0, 1.0);
    Row(L"%.60e", 1.0 / 3.0);
}

void UnknownConversions() {
    Row(L"%y%d", 3);
    Row(L"%-5k|%d", 4);
    Row(L"100%");
    Row(L"ab%-5");
    Row(L"ab%I64");
    Row(L"%5%|%-5%|%05%");
    Row(L"%%|%5%|%-%|%.3%|%#%|%0%|% %|%+%");
    Row(L"%5%d|%.2%d|%l%d|%5%%|", 3, 4, 5);
    Row(L"%I|%Iz", 1);
}

} // namespace

int main(int argc, char** argv) {
    conformance::BinaryStdout();
    if (argc > 1 && std::strcmp(argv[1], "runtime") == 0) {
#ifdef _WIN32
        HMODULE msvcrt = LoadLibraryW(L"msvcrt.dll");
        gRuntime = msvcrt != nullptr ? reinterpret_cast<RuntimeFormat>(reinterpret_cast<void*>(
                                           GetProcAddress(msvcrt, "_snwprintf")))
                                     : nullptr;
#endif
        if (gRuntime == nullptr) {
            std::fprintf(stderr, "wformat_conformance: no _snwprintf of msvcrt.dll here\n");
            return 2;
        }
    }
    Strings();
    Characters();
    Integers();
    SizePrefixes();
    Floats();
    UnknownConversions();
    return 0;
}
