// Reading dialog templates from resource script text, so that the POSIX build shows the same
// dialog the Windows resource compiler builds from the same file.
#include "platform/posix/ui_control.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>

namespace zxposix {
namespace ui {
namespace {

const std::map<std::string, long long>& BuiltinNames() {
    static const std::map<std::string, long long> names = {
        {"WS_OVERLAPPED", WS_OVERLAPPED},
        {"WS_POPUP", WS_POPUP},
        {"WS_CHILD", WS_CHILD},
        {"WS_MINIMIZE", WS_MINIMIZE},
        {"WS_VISIBLE", WS_VISIBLE},
        {"WS_DISABLED", WS_DISABLED},
        {"WS_CLIPSIBLINGS", WS_CLIPSIBLINGS},
        {"WS_CLIPCHILDREN", WS_CLIPCHILDREN},
        {"WS_MAXIMIZE", WS_MAXIMIZE},
        {"WS_CAPTION", WS_CAPTION},
        {"WS_BORDER", WS_BORDER},
        {"WS_DLGFRAME", WS_DLGFRAME},
        {"WS_VSCROLL", WS_VSCROLL},
        {"WS_HSCROLL", WS_HSCROLL},
        {"WS_SYSMENU", WS_SYSMENU},
        {"WS_THICKFRAME", WS_THICKFRAME},
        {"WS_GROUP", WS_GROUP},
        {"WS_TABSTOP", WS_TABSTOP},
        {"WS_MINIMIZEBOX", WS_MINIMIZEBOX},
        {"WS_MAXIMIZEBOX", WS_MAXIMIZEBOX},
        {"WS_EX_DLGMODALFRAME", WS_EX_DLGMODALFRAME},
        {"WS_EX_STATICEDGE", WS_EX_STATICEDGE},
        {"WS_EX_CLIENTEDGE", WS_EX_CLIENTEDGE},
        {"DS_ABSALIGN", DS_ABSALIGN},
        {"DS_SYSMODAL", DS_SYSMODAL},
        {"DS_3DLOOK", DS_3DLOOK},
        {"DS_FIXEDSYS", DS_FIXEDSYS},
        {"DS_NOFAILCREATE", DS_NOFAILCREATE},
        {"DS_LOCALEDIT", DS_LOCALEDIT},
        {"DS_SETFONT", DS_SETFONT},
        {"DS_MODALFRAME", DS_MODALFRAME},
        {"DS_NOIDLEMSG", DS_NOIDLEMSG},
        {"DS_SETFOREGROUND", DS_SETFOREGROUND},
        {"DS_CONTROL", DS_CONTROL},
        {"DS_CENTER", DS_CENTER},
        {"DS_CENTERMOUSE", DS_CENTERMOUSE},
        {"DS_CONTEXTHELP", DS_CONTEXTHELP},
        {"DS_SHELLFONT", DS_SHELLFONT},
        {"SS_LEFT", SS_LEFT},
        {"SS_CENTER", SS_CENTER},
        {"SS_RIGHT", SS_RIGHT},
        {"SS_ICON", SS_ICON},
        {"SS_BLACKRECT", SS_BLACKRECT},
        {"SS_ETCHEDHORZ", SS_ETCHEDHORZ},
        {"SS_ETCHEDVERT", SS_ETCHEDVERT},
        {"SS_ETCHEDFRAME", SS_ETCHEDFRAME},
        {"SS_NOPREFIX", SS_NOPREFIX},
        {"SS_CENTERIMAGE", SS_CENTERIMAGE},
        {"SS_REALSIZEIMAGE", SS_REALSIZEIMAGE},
        {"SS_SUNKEN", SS_SUNKEN},
        {"BS_PUSHBUTTON", BS_PUSHBUTTON},
        {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
        {"CBS_SIMPLE", CBS_SIMPLE},
        {"CBS_DROPDOWN", CBS_DROPDOWN},
        {"CBS_DROPDOWNLIST", CBS_DROPDOWNLIST},
        {"CBS_AUTOHSCROLL", CBS_AUTOHSCROLL},
        {"CBS_SORT", CBS_SORT},
        {"CBS_HASSTRINGS", CBS_HASSTRINGS},
        {"PBS_SMOOTH", PBS_SMOOTH},
        {"PBS_VERTICAL", PBS_VERTICAL},
        {"IDOK", IDOK},
        {"IDCANCEL", IDCANCEL},
        {"LANG_NEUTRAL", LANG_NEUTRAL},
        {"LANG_CHINESE", LANG_CHINESE},
        {"LANG_ENGLISH", LANG_ENGLISH},
        {"SUBLANG_NEUTRAL", SUBLANG_NEUTRAL},
        {"SUBLANG_DEFAULT", SUBLANG_DEFAULT},
        {"SUBLANG_CHINESE_TRADITIONAL", SUBLANG_CHINESE_TRADITIONAL},
        {"SUBLANG_ENGLISH_US", SUBLANG_ENGLISH_US},
    };
    return names;
}

enum TokKind { TEnd, TNumber, TName, TString, TPunct };

struct Token {
    TokKind kind = TEnd;
    long long number = 0;
    std::string text; // name, punctuation, or the string's UTF-8 bytes
    int line = 0;
};

std::wstring FromUtf8(const std::string& s) {
    std::wstring out;
    auto byte = [&s](size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
    for (size_t i = 0; i < s.size();) {
        unsigned c = byte(i);
        unsigned cp = 0xFFFD;
        size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
            n = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
            n = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                 ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
            n = 4;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += n;
    }
    return out;
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool Run(int wantedId, DialogTemplate* out, std::string* error) {
        bool found = false;
        WORD language = 0;
        Next();
        while (tok_.kind != TEnd && ok_) {
            if (IsName("LANGUAGE")) {
                Next();
                long long primary = Expr();
                Expect(",");
                long long sub = Expr();
                language = static_cast<WORD>(MAKELANGID(primary, sub));
                continue;
            }
            long long id = 0;
            if (tok_.kind == TNumber) {
                id = tok_.number;
            } else if (tok_.kind == TName && defines_.count(tok_.text)) {
                id = defines_[tok_.text];
            } else {
                Fail("a resource id");
                break;
            }
            Next();
            if (!IsName("DIALOGEX")) {
                Fail("DIALOGEX");
                break;
            }
            Next();
            DialogTemplate t;
            t.id = static_cast<int>(id);
            t.language = language;
            if (!Dialog(&t)) {
                break;
            }
            if (t.id == wantedId && !found) {
                *out = t;
                found = true;
            }
        }
        if (!ok_) {
            *error = error_;
            return false;
        }
        if (!found) {
            *error = "no dialog " + std::to_string(wantedId) + " in the resource script";
            return false;
        }
        return true;
    }

private:
    bool Dialog(DialogTemplate* t) {
        t->x = Int();
        Expect(",");
        t->y = Int();
        Expect(",");
        t->cx = Int();
        Expect(",");
        t->cy = Int();
        if (IsPunct(",")) { // help id
            Next();
            Expr();
        }
        bool haveFont = false;
        while (ok_ && !IsName("BEGIN") && !IsPunct("{")) {
            if (IsName("STYLE")) {
                Next();
                t->style = static_cast<DWORD>(Expr());
            } else if (IsName("EXSTYLE")) {
                Next();
                t->exStyle = static_cast<DWORD>(Expr());
            } else if (IsName("CAPTION")) {
                Next();
                t->caption = String();
            } else if (IsName("FONT")) {
                Next();
                haveFont = true;
                t->pointSize = Int();
                Expect(",");
                t->face = String();
                if (IsPunct(",")) {
                    Next();
                    t->weight = Int();
                    Expect(",");
                    t->italic = Int();
                    Expect(",");
                    t->charset = Int();
                }
            } else if (IsName("LANGUAGE")) {
                Next();
                long long primary = Expr();
                Expect(",");
                t->language = static_cast<WORD>(MAKELANGID(primary, Expr()));
            } else {
                Fail("a dialog statement or BEGIN");
            }
        }
        if (haveFont) {
            t->style |= DS_SETFONT;
        }
        Next();
        while (ok_ && !IsName("END") && !IsPunct("}")) {
            if (!IsName("CONTROL")) {
                Fail("CONTROL");
                break;
            }
            Next();
            ControlTemplate c;
            c.text = String();
            Expect(",");
            c.id = static_cast<int>(Expr());
            Expect(",");
            c.className = String();
            Expect(",");
            c.style = static_cast<DWORD>(Expr()) | WS_CHILD | WS_VISIBLE;
            Expect(",");
            c.x = Int();
            Expect(",");
            c.y = Int();
            Expect(",");
            c.cx = Int();
            Expect(",");
            c.cy = Int();
            if (IsPunct(",")) {
                Next();
                c.exStyle = static_cast<DWORD>(Expr());
            }
            t->controls.push_back(c);
        }
        if (ok_) {
            Next();
        }
        return ok_;
    }

    // expr := term { '|' term } ; term := ['NOT'] ['-'] atom ; atom := number | name | (expr)
    long long Expr() {
        long long value = Term(nullptr);
        while (ok_ && (IsPunct("|") || IsPunct("+"))) {
            Next();
            bool negate = false;
            long long v = Term(&negate);
            value = negate ? (value & ~v) : (value | v);
        }
        return value;
    }

    long long Term(bool* notFlag) {
        if (IsName("NOT")) {
            Next();
            if (notFlag != nullptr) {
                *notFlag = true;
            }
            return Atom();
        }
        return Atom();
    }

    long long Atom() {
        if (IsPunct("-")) {
            Next();
            return -Atom();
        }
        if (IsPunct("(")) {
            Next();
            long long v = Expr();
            Expect(")");
            return v;
        }
        if (tok_.kind == TNumber) {
            long long v = tok_.number;
            Next();
            return v;
        }
        if (tok_.kind == TName) {
            auto d = defines_.find(tok_.text);
            long long v = 0;
            if (d != defines_.end()) {
                v = d->second;
            } else {
                auto b = BuiltinNames().find(tok_.text);
                if (b == BuiltinNames().end()) {
                    Fail("a known name, not " + tok_.text);
                    return 0;
                }
                v = b->second;
            }
            Next();
            return v;
        }
        Fail("a number or a name");
        return 0;
    }

    int Int() { return static_cast<int>(Expr()); }

    std::wstring String() {
        if (tok_.kind != TString) {
            Fail("a string");
            return std::wstring();
        }
        std::wstring s = FromUtf8(tok_.text);
        Next();
        return s;
    }

    void Expect(const char* punct) {
        if (!IsPunct(punct)) {
            Fail(std::string("'") + punct + "'");
            return;
        }
        Next();
    }

    bool IsName(const char* name) const { return tok_.kind == TName && tok_.text == name; }
    bool IsPunct(const char* p) const { return tok_.kind == TPunct && tok_.text == p; }

    void Fail(const std::string& what) {
        if (ok_) {
            ok_ = false;
            error_ = "resource script line " + std::to_string(tok_.line) + ": expected " + what;
        }
        tok_.kind = TEnd;
    }

    // Reads the next token, handling comments and preprocessor lines on the way.
    void Next() {
        if (!ok_) {
            tok_.kind = TEnd;
            return;
        }
        for (;;) {
            SkipBlanks();
            if (pos_ >= text_.size()) {
                tok_ = Token();
                tok_.line = line_;
                return;
            }
            if (atLineStart_ && text_[pos_] == '#') {
                Directive();
                continue;
            }
            break;
        }
        atLineStart_ = false;
        tok_ = Token();
        tok_.line = line_;
        char c = text_[pos_];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t end = pos_;
            while (end < text_.size() && std::isalnum(static_cast<unsigned char>(text_[end]))) {
                end++;
            }
            std::string digits = text_.substr(pos_, end - pos_);
            while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' ||
                                       digits.back() == 'U' || digits.back() == 'u')) {
                digits.pop_back();
            }
            char* stop = nullptr;
            tok_.kind = TNumber;
            tok_.number = static_cast<long long>(std::strtoull(digits.c_str(), &stop, 0));
            if (stop == nullptr || *stop != 0) {
                Fail("a number");
            }
            pos_ = end;
            return;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            size_t end = pos_;
            while (end < text_.size() &&
                   (std::isalnum(static_cast<unsigned char>(text_[end])) || text_[end] == '_')) {
                end++;
            }
            tok_.kind = TName;
            tok_.text = text_.substr(pos_, end - pos_);
            pos_ = end;
            if (tok_.text == "L" && pos_ < text_.size() && text_[pos_] == '"') {
                ReadString();
            }
            return;
        }
        if (c == '"') {
            ReadString();
            return;
        }
        tok_.kind = TPunct;
        tok_.text = std::string(1, c);
        pos_++;
    }

    void ReadString() {
        tok_.kind = TString;
        tok_.text.clear();
        pos_++; // opening quote
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') {
                if (pos_ < text_.size() && text_[pos_] == '"') { // "" stands for one quote
                    tok_.text.push_back('"');
                    pos_++;
                    continue;
                }
                return;
            }
            if (c == '\n') {
                break;
            }
            if (c == '\\' && pos_ < text_.size()) {
                char e = text_[pos_++];
                switch (e) {
                case 'n':
                    tok_.text.push_back('\n');
                    break;
                case 't':
                    tok_.text.push_back('\t');
                    break;
                case 'r':
                    tok_.text.push_back('\r');
                    break;
                default:
                    tok_.text.push_back(e);
                    break;
                }
                continue;
            }
            tok_.text.push_back(c);
        }
        Fail("the end of a string");
    }

    void SkipBlanks() {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == '\n') {
                line_++;
                atLineStart_ = true;
                pos_++;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                pos_++;
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                while (pos_ < text_.size() && text_[pos_] != '\n') {
                    pos_++;
                }
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
                pos_ += 2;
                while (pos_ + 1 < text_.size() && !(text_[pos_] == '*' && text_[pos_ + 1] == '/')) {
                    if (text_[pos_] == '\n') {
                        line_++;
                    }
                    pos_++;
                }
                pos_ = pos_ + 2 <= text_.size() ? pos_ + 2 : text_.size();
            } else if (pos_ == 0 && text_.compare(0, 3, "\xEF\xBB\xBF") == 0) {
                pos_ += 3; // byte order mark
            } else {
                return;
            }
        }
    }

    // "#define NAME value" is kept; every other directive (#include, #pragma, guards) is
    // skipped to the end of its line.
    void Directive() {
        size_t end = text_.find('\n', pos_);
        if (end == std::string::npos) {
            end = text_.size();
        }
        std::string lineText = text_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end;
        size_t i = 0;
        auto skip = [&] {
            while (i < lineText.size() && (lineText[i] == ' ' || lineText[i] == '\t')) {
                i++;
            }
        };
        skip();
        if (lineText.compare(i, 6, "define") != 0) {
            return;
        }
        i += 6;
        skip();
        size_t nameStart = i;
        while (i < lineText.size() &&
               (std::isalnum(static_cast<unsigned char>(lineText[i])) || lineText[i] == '_')) {
            i++;
        }
        std::string name = lineText.substr(nameStart, i - nameStart);
        if (name.empty() || (i < lineText.size() && lineText[i] == '(')) {
            return; // function-like macros are not resource ids
        }
        std::string value = lineText.substr(i);
        size_t comment = value.find("//");
        if (comment != std::string::npos) {
            value.erase(comment);
        }
        Parser sub(value);
        sub.defines_ = defines_;
        sub.Next();
        if (sub.tok_.kind == TEnd) {
            return;
        }
        long long v = sub.Expr();
        if (sub.ok_ && sub.tok_.kind == TEnd) {
            defines_[name] = v;
        }
    }

    const std::string& text_;
    size_t pos_ = 0;
    int line_ = 1;
    bool atLineStart_ = true;
    bool ok_ = true;
    std::string error_;
    Token tok_;
    std::map<std::string, long long> defines_;
};

} // namespace

bool ParseDialogScript(const std::string& text, int id, DialogTemplate* out, std::string* error) {
    std::string ignored;
    Parser parser(text);
    return parser.Run(id, out, error != nullptr ? error : &ignored);
}

void DialogBaseUnits(const DialogTemplate& t, int* baseX, int* baseY) {
    int points = (t.style & DS_SETFONT) && t.pointSize > 0 ? t.pointSize : 8;
    int em = MulDiv(points, 96, 72);
    *baseX = MulDiv(em, 1, 2);
    *baseY = MulDiv(em, 4, 3);
}

} // namespace ui
} // namespace zxposix
