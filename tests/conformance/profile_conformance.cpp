// Writes a set of profile files (ANSI, UTF-16LE with its byte-order mark, UTF-8 with one, odd
// line ends) into a fresh folder under the temp folder, reads them with GetPrivateProfileStringW
// and GetPrivateProfileIntW and prints one line per call. Built for Windows it calls kernel32;
// built on POSIX it calls the platform layer. tests/conformance/compare.sh compares the lines
// with the recorded Windows answers.
#include "platform/win32.h"
#include "tests/conformance/conformance_output.h"

#include <string>
#include <vector>

namespace {

using conformance::PutLine;
using conformance::Quote;

const WCHAR kFill = 0x2591; // marks buffer characters the call did not write

struct CaseFile {
    const char* name;
    std::string bytes;
};

std::string Utf16WithMark(const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : text) {
        bytes += static_cast<char>(static_cast<unsigned>(c) & 0xFF);
        bytes += static_cast<char>((static_cast<unsigned>(c) >> 8) & 0xFF);
    }
    return bytes;
}

std::vector<CaseFile> CaseFiles() {
    return {
        {"basic.ini", "stray=before any section\r\n"
                      " orphan \r\n"
                      ";top comment=x\r\n"
                      "[UPDATEINFO]\r\n"
                      "  TITLE =  \"  FW tool \"  \r\n"
                      "Single='x y'\r\n"
                      "Mismatch=\"abc'\r\n"
                      "Lone=\"\r\n"
                      "Pair=\"\"\r\n"
                      "Inner=a \"b\" c\r\n"
                      "Empty=\r\n"
                      "Spaces=   \r\n"
                      "Equals=a=b = c\r\n"
                      "\tSOCID\t=\t0x3C71\t\r\n"
                      "two words = x y \r\n"
                      "; comment=not a key\r\n"
                      ";plain comment\r\n"
                      "#hash=1\r\n"
                      "name3\r\n"
                      "=nokey\r\n"
                      "dup=first\r\n"
                      "DUP=second\r\n"
                      "Quoted=\"quoted\"\r\n"
                      "Long=abcdefghij\r\n"
                      "caf\xE9=\xE9t\xE9 \x80\r\n"
                      "\r\n"
                      "[ Spaced Name ]\r\n"
                      "k=v\r\n"
                      "[NandMap]\r\n"
                      "983C98B37601_2=fw.bin\r\n"
                      "[unclosed\r\n"
                      "after=unclosed\r\n"
                      "[]\r\n"
                      "after=empty\r\n"
                      "[UPDATEINFO]\r\n"
                      "dup=third\r\n"
                      "late=in second copy\r\n"
                      "[a]b]\r\n"
                      "k=ab\r\n"
                      "  [Indented]  \r\n"
                      "k=indented\r\n"
                      "[Empty section]\r\n"
                      "[Only comments]\r\n"
                      ";x=1\r\n"},
        {"numbers.ini", "[n]\r\n"
                        "dec=12\r\n"
                        "neg= -5\r\n"
                        "hex=0x1F\r\n"
                        "HEXX=0X1F\r\n"
                        "hexdigits=0xFfaA\r\n"
                        "oct=0o17\r\n"
                        "OCTO=0O17\r\n"
                        "bin=0b101\r\n"
                        "BINB=0B101\r\n"
                        "badbin=0b2\r\n"
                        "badoct=0o9\r\n"
                        "trail=12abc\r\n"
                        "word=abc\r\n"
                        "empty=\r\n"
                        "plus=+1\r\n"
                        "plusminus=+-1\r\n"
                        "wrap=4294967297\r\n"
                        "neghex=-0x10\r\n"
                        "quoted=\"42\"\r\n"
                        "single='7'\r\n"
                        "blank= 7 \r\n"
                        "lead0=00012\r\n"
                        "x=0x\r\n"
                        "minus=-\r\n"
                        "tabs=\t\t9\r\n"
                        "inner=1 2\r\n"
                        "ctl=\x01"
                        "5\r\n"
                        "shadow\r\n"
                        "shadow=1\r\n"
                        "digits29=00000000000000000000000000012\r\n"
                        "digits30=000000000000000000000000000012\r\n"
                        "digits31=0000000000000000000000000000012\r\n"
                        "hex30=0x00000000000000000000000000001F\r\n"
                        "quoted30=\"0000000000000000000000000012\"\r\n"
                        "[numeric names]\r\n"
                        "12=first key\r\n"
                        "13=second key\r\n"
                        "[keys]\r\n"
                        "abc=5\r\n"
                        "[nokeys]\r\n"},
        {"utf16.ini", Utf16WithMark(L"[UPDATEINFO]\r\n"
                                    L"TITLE=\u4E2D\u00E9\r\n"
                                    L"  Name = \"quoted \u20AC\" \r\n"
                                    L";c=1\r\n"
                                    L"[Gr\u00F6\u00DFe]\r\n"
                                    L"\u00C4rger=\u0100\r\n"
                                    L"\u3000wide\u2003=\u3000x\u3000\r\n"
                                    L"[n]\r\n"
                                    L"hex=0x1F\r\n")},
        {"emptyfirst.ini", "[]\r\n"
                           "k=1\r\n"
                           "[a]\r\n"
                           "k=2\r\n"},
        {"utf8bom.ini", "\xEF\xBB\xBF[UPDATEINFO]\r\n"
                        "TITLE=caf\xC3\xA9\r\n"
                        "[second]\r\n"
                        "k=v\r\n"},
        {"brackets.ini", "[a]\r\n"
                         "k=1\r\n"
                         "[]\r\n"
                         "k=2\r\n"
                         "j=3\r\n"
                         "[ ]\r\n"
                         "m=4\r\n"
                         "[\r\n"
                         "n=5\r\n"
                         "[b] junk\r\n"
                         "p=6\r\n"
                         " ;indented comment=7\r\n"
                         "[c]\r\n"
                         "=\r\n"
                         "  =  \r\n"
                         "q=8\r\n"},
        {"blanks.ini", "[s]\r\n"
                       "vt=\v1\v\r\n"
                       "ff=\f2\f\r\n"
                       "sub=\x1A"
                       "3\x1A\r\n"
                       "nbsp=\xA0"
                       "4\xA0\r\n"
                       "\x1Asubkey=5\r\n"
                       "\xA0nbkey=6\r\n"
                       "[\x1Asubsec\x1A]\r\n"
                       "q=7\r\n"},
        {"lf.ini", "[a]\nk=caf\xE9\nx=1\n"},
        {"cr.ini", "[a]\rk=v1\rx=2\r[b]\rk=v3\r"},
        {"noeol.ini", "[a]\r\nk=last"},
        {"empty.ini", ""},
        {"bomonly.ini", "\xFF\xFE"},
    };
}

std::wstring Widen(const char* text) {
    std::wstring out;
    for (const char* p = text; *p != 0; ++p) {
        out += static_cast<WCHAR>(static_cast<unsigned char>(*p));
    }
    return out;
}

bool WriteCaseFile(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

// A new folder under the temp folder; empty when none can be made.
std::wstring MakeFolder() {
    WCHAR temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) {
        return std::wstring();
    }
    unsigned long long tick = GetTickCount64();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring folder = std::wstring(temp) + L"zxprofile-conformance-" +
                              std::to_wstring(tick) + L"-" + std::to_wstring(attempt);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            return folder;
        }
    }
    return std::wstring();
}

class Runner {
public:
    explicit Runner(std::wstring folder) : folder_(std::move(folder)) {}

    void File(const char* name) {
        name_ = name;
        path_ = folder_ + L"\\" + Widen(name);
    }

    // GetPrivateProfileStringW into a buffer of `size` characters. The line shows the result
    // and the whole buffer, with untouched characters as '~', and whether the character after
    // the buffer was written.
    void Str(LPCWSTR section, LPCWSTR key, LPCWSTR def, DWORD size) {
        std::vector<WCHAR> buffer(size + 1, kFill);
        DWORD n = GetPrivateProfileStringW(section, key, def, buffer.data(), size, path_.c_str());
        std::string line = std::string(name_) + " S(" + Quote(section) + "," + Quote(key) + "," +
                           Quote(def) + "," + std::to_string(size) + ") = " + std::to_string(n) +
                           " " + Quote(buffer.data(), size, kFill);
        if (buffer[size] != kFill) {
            line += " OVERRUN";
        }
        PutLine(line);
    }

    void Sizes(LPCWSTR section, LPCWSTR key, LPCWSTR def, DWORD from, DWORD to) {
        for (DWORD size = from; size <= to; ++size) {
            Str(section, key, def, size);
        }
    }

    void Int(LPCWSTR section, LPCWSTR key, INT def) {
        UINT n = GetPrivateProfileIntW(section, key, def, path_.c_str());
        PutLine(std::string(name_) + " I(" + Quote(section) + "," + Quote(key) + "," +
                std::to_string(def) + ") = " + std::to_string(n));
    }

private:
    std::wstring folder_;
    std::wstring path_;
    const char* name_ = "";
};

void BasicCalls(Runner& r) {
    r.File("basic.ini");
    r.Sizes(nullptr, nullptr, L"dflt", 0, 80);
    r.Str(nullptr, L"TITLE", L"dflt", 260);
    r.Sizes(L"UPDATEINFO", nullptr, L"dflt", 1, 40);
    r.Str(L"UPDATEINFO", nullptr, L"dflt", 260);
    r.Str(L"", nullptr, L"dflt", 260);
    r.Str(L" ", nullptr, L"dflt", 260);
    r.Str(L" UPDATEINFO ", nullptr, L"dflt", 260);
    r.Str(L"UPDATEINFO\t", nullptr, L"dflt", 260);
    r.Str(L"updateinfo", nullptr, L"dflt", 260);
    r.Str(L"Empty section", nullptr, L"dflt", 260);
    r.Str(L"Only comments", nullptr, L"dflt", 260);
    r.Str(L"Missing", nullptr, L"dflt", 260);
    r.Str(L"NandMap", nullptr, nullptr, 260);
    const LPCWSTR keys[] = {
        L"TITLE",
        L"title",
        L" TITLE ",
        L"\tTITLE",
        L"Single",
        L"Mismatch",
        L"Lone",
        L"Pair",
        L"Inner",
        L"Empty",
        L"Spaces",
        L"Equals",
        L"SOCID",
        L"two words",
        L"two  words",
        L"; comment",
        L";plain comment",
        L";",
        L"#hash",
        L"name3",
        L"",
        L" ",
        L"dup",
        L"late",
        L"Quoted",
        L"caf\u00E9",
        L"CAF\u00C9",
        L"stray",
        L"k",
        L"missing",
    };
    for (LPCWSTR key : keys) {
        r.Str(L"UPDATEINFO", key, L"dflt", 260);
    }
    r.Str(L"updateinfo", L"SOCID", L"dflt", 260);
    r.Str(L"  UpdateInfo\t", L"socid", L"dflt", 260);
    r.Sizes(L"UPDATEINFO", L"Quoted", L"dflt", 0, 10);
    r.Sizes(L"UPDATEINFO", L"Single", L"dflt", 1, 6);
    r.Sizes(L"UPDATEINFO", L"Pair", L"dflt", 1, 3);
    r.Sizes(L"UPDATEINFO", L"TITLE", L"dflt", 1, 14);
    r.Sizes(L"UPDATEINFO", L"Long", L"dflt", 0, 12);
    r.Sizes(L"UPDATEINFO", L"missing", L"default", 1, 9);
    const LPCWSTR defaults[] = {L"dflt  ", L"  ", L" ", L"", L" a b ", L"tab\t", nullptr};
    for (LPCWSTR def : defaults) {
        r.Str(L"UPDATEINFO", L"missing", def, 260);
    }
    r.Sizes(L"UPDATEINFO", L"missing", L"dflt  ", 1, 6);
    r.Str(L"Missing", L"k", L"dflt", 260);
    r.Str(L"", L"stray", L"dflt", 260);
    r.Str(L"", L"orphan", L"dflt", 260);
    r.Str(L"", L";top comment", L"dflt", 260);
    r.Str(L" ", L"stray", L"dflt", 260);
    r.Str(L"Spaced Name", L"k", L"dflt", 260);
    r.Str(L" Spaced Name ", L"k", L"dflt", 260);
    r.Str(L"Spaced Name", nullptr, L"dflt", 260);
    r.Str(L"NandMap", L"983C98B37601_2", L"dflt", 260);
    r.Str(L"NandMap", L"after", L"dflt", 260);
    r.Str(L"NandMap", L"[unclosed", L"dflt", 260);
    r.Str(L"unclosed", L"after", L"dflt", 260);
    r.Str(L"[unclosed", L"after", L"dflt", 260);
    r.Str(L"", L"after", L"dflt", 260);
    r.Str(L"[]", L"after", L"dflt", 260);
    r.Str(L"a", L"k", L"dflt", 260);
    r.Str(L"a]b", L"k", L"dflt", 260);
    r.Str(L"Indented", L"k", L"dflt", 260);
    r.Str(L"Only comments", L";x", L"dflt", 260);
    r.Int(L"UPDATEINFO", L"SOCID", 99);
    r.Int(L"UPDATEINFO", L"Empty", 99);
    r.Int(L"UPDATEINFO", L"missing", 99);
}

void NumberCalls(Runner& r) {
    r.File("numbers.ini");
    const LPCWSTR keys[] = {
        L"dec",      L"neg",       L"hex",      L"HEXX",   L"hexdigits", L"oct",      L"OCTO",
        L"bin",      L"BINB",      L"badbin",   L"badoct", L"trail",     L"word",     L"empty",
        L"plus",     L"plusminus", L"wrap",     L"neghex", L"quoted",    L"single",   L"blank",
        L"lead0",    L"x",         L"minus",    L"tabs",   L"inner",     L"digits29", L"digits30",
        L"digits31", L"hex30",     L"quoted30", L"ctl",    L"shadow",    L"missing",  L" dec ",
    };
    for (LPCWSTR key : keys) {
        r.Int(L"n", key, 99);
    }
    r.Int(L"n", L"missing", -1);
    r.Int(L"n", L"missing", 3);
    r.Int(L"n", L"empty", -7);
    r.Int(L"missing", L"dec", 5);
    r.Int(L"n", nullptr, 99);
    r.Int(L"numeric names", nullptr, 99);
    r.Int(L"keys", nullptr, 99);
    r.Int(L"nokeys", nullptr, 99);
    r.Int(L"missing", nullptr, 99);
    r.Int(nullptr, L"dec", 99);
    r.Int(nullptr, nullptr, 99);
    r.Int(L"N", L"DEC", 99);
}

void EncodingCalls(Runner& r) {
    r.File("utf16.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    r.Str(L"UPDATEINFO", nullptr, L"dflt", 260);
    r.Str(L"updateinfo", L"title", L"dflt", 260);
    r.Sizes(L"UPDATEINFO", L"Name", L"dflt", 1, 12);
    r.Str(L"UPDATEINFO", L";c", L"dflt", 260);
    r.Str(L"GR\u00D6\u00DFE", L"\u00E4rger", L"dflt", 260);
    r.Str(L"gr\u00F6\u00DFe", nullptr, L"dflt", 260);
    r.Str(L"Gr\u00F6\u00DFe", L"wide", L"dflt", 260);
    r.Str(L"Gr\u00F6\u00DFe", L"\u3000wide\u2003", L"dflt", 260);
    r.Int(L"n", L"hex", 99);

    r.File("emptyfirst.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    r.Str(L"", L"k", L"dflt", 260);
    r.Str(L"", nullptr, L"dflt", 260);
    r.Str(L"a", L"k", L"dflt", 260);

    r.File("utf8bom.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    r.Str(L"UPDATEINFO", L"TITLE", L"dflt", 260);
    r.Str(L"", nullptr, L"dflt", 260);
    r.Str(L"", L"TITLE", L"dflt", 260);
    r.Str(L"second", L"k", L"dflt", 260);

    r.File("brackets.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    for (LPCWSTR section : {L"a", L"", L" ", L"[", L"b", L"c"}) {
        r.Str(section, nullptr, L"dflt", 260);
        for (LPCWSTR key : {L"k", L"j", L"m", L"n", L"p", L";indented comment", L"", L"q"}) {
            r.Str(section, key, L"dflt", 260);
        }
    }
    r.Sizes(L"c", nullptr, L"dflt", 1, 6);

    r.File("blanks.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    r.Str(L"s", nullptr, L"dflt", 260);
    for (LPCWSTR key : {L"vt", L"ff", L"sub", L"nbsp", L"subkey", L"\x1Asubkey", L"nbkey",
                        L"\u00A0nbkey", L"\vvt\v", L"\x1Asub"}) {
        r.Str(L"s", key, L"dflt", 260);
    }
    r.Str(L"subsec", L"q", L"dflt", 260);
    r.Str(L"\x1Asubsec\x1A", L"q", L"dflt", 260);
    r.Int(L"s", L"vt", 99);
    r.Int(L"s", L"nbsp", 99);

    r.File("lf.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    r.Str(L"a", nullptr, L"dflt", 260);
    r.Str(L"a", L"k", L"dflt", 260);
    r.Int(L"a", L"x", 99);

    r.File("cr.ini");
    r.Str(nullptr, nullptr, L"dflt", 260);
    r.Str(L"a", nullptr, L"dflt", 260);
    r.Str(L"a", L"k", L"dflt", 260);
    r.Str(L"b", L"k", L"dflt", 260);
    r.Int(L"a", L"x", 99);

    r.File("noeol.ini");
    r.Str(L"a", L"k", L"dflt", 260);

    for (const char* name : {"empty.ini", "bomonly.ini", "missing.ini"}) {
        r.File(name);
        r.Str(nullptr, nullptr, L"dflt", 260);
        r.Str(nullptr, nullptr, L"dflt", 3);
        r.Str(L"a", nullptr, L"dflt", 260);
        r.Str(L"a", L"k", L"dflt", 260);
        r.Sizes(L"a", L"k", L"dflt", 0, 5);
        r.Int(L"a", L"k", 42);
    }
}

} // namespace

int main() {
    conformance::BinaryStdout();
    std::wstring folder = MakeFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "profile_conformance: cannot make a folder under the temp folder\n");
        return 2;
    }
    std::vector<CaseFile> files = CaseFiles();
    for (const CaseFile& file : files) {
        if (!WriteCaseFile(folder + L"\\" + Widen(file.name), file.bytes)) {
            std::fprintf(stderr, "profile_conformance: cannot write %s\n", file.name);
            return 2;
        }
    }
    Runner runner(folder);
    BasicCalls(runner);
    NumberCalls(runner);
    EncodingCalls(runner);
    for (const CaseFile& file : files) {
        DeleteFileW((folder + L"\\" + Widen(file.name)).c_str());
    }
    RemoveDirectoryW(folder.c_str());
    return 0;
}
