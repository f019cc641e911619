// The terminal front end. The dialog's client area (pixels) is scaled onto the cells inside a
// frame whose top edge carries the title; controls are drawn at their scaled positions, and
// the separator lines only on rows no text uses. It redraws whenever the window manager's state
// changes and when the terminal is resized.
#include "platform/posix/terminal/terminal.h"

#include <algorithm>
#include <clocale>
#include <cwchar>
#include <cwctype>
#include <set>
#include <unistd.h>

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <ncurses.h>

namespace zxposix {
namespace ui {
namespace {

const int kMaxWidth = 96;
const int kMaxHeight = 26;

// Writes text from (row, col) into at most maxCols columns; returns the columns used.
int PutText(int row, int col, const std::wstring& text, int maxCols) {
    int used = 0;
    for (wchar_t ch : text) {
        wchar_t c = (ch == L'\r' || ch == L'\n' || ch == L'\t') ? L' ' : ch;
        int w = wcwidth(c);
        if (w < 0) {
            c = L'?';
            w = 1;
        }
        if (used + w > maxCols) {
            break;
        }
        wchar_t one[2] = {c, 0};
        mvaddnwstr(row, col + used, one, 1);
        used += w;
    }
    return used;
}

int TextWidth(const std::wstring& text) {
    int n = 0;
    for (wchar_t c : text) {
        int w = wcwidth(c);
        n += w < 0 ? 1 : w;
    }
    return n;
}

std::vector<std::wstring> SplitLines(const std::wstring& text, int width) {
    std::vector<std::wstring> lines;
    std::wstring line;
    int lineWidth = 0;
    for (size_t i = 0; i < text.size(); i++) {
        wchar_t c = text[i];
        if (c == L'\r') {
            continue;
        }
        if (c == L'\n') {
            lines.push_back(line);
            line.clear();
            lineWidth = 0;
            continue;
        }
        int w = std::max(1, wcwidth(c));
        if (lineWidth + w > width) {
            lines.push_back(line);
            line.clear();
            lineWidth = 0;
        }
        line.push_back(c);
        lineWidth += w;
    }
    lines.push_back(line);
    return lines;
}

class Terminal : public FrontEnd {
public:
    explicit Terminal(SCREEN* screen) : screen_(screen) {
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
        if (has_colors()) {
            start_color();
            use_default_colors();
            init_pair(1, COLOR_WHITE, COLOR_BLUE); // message boxes
            init_pair(2, COLOR_GREEN, -1);         // progress
        }
    }

    ~Terminal() override {
        endwin();
        delscreen(screen_);
    }

    std::chrono::milliseconds Idle() override {
        for (;;) {
            int key = getch();
            if (key == ERR) {
                break;
            }
            if (key == KEY_RESIZE) {
                dirty_ = true;
                continue;
            }
            HandleKey(key);
        }
        if (dirty_ || ChangeCount() != drawn_) {
            drawn_ = ChangeCount();
            dirty_ = false;
            Draw();
        }
        return std::chrono::milliseconds(30);
    }

    void DialogShown(HWND) override { dirty_ = true; }
    void DialogClosed(HWND) override {
        erase();
        refresh();
    }

private:
    void HandleKey(int key) {
        MessageBoxRecord box;
        if (OpenMessageBox(&box)) {
            std::vector<int> buttons = ButtonsOf(box.type);
            if (boxSeen_ != box.text + box.caption) {
                boxSeen_ = box.text + box.caption;
                focus_ = 0;
            }
            int n = static_cast<int>(buttons.size());
            switch (key) {
            case KEY_LEFT:
            case KEY_BTAB:
                focus_ = (focus_ + n - 1) % n;
                dirty_ = true;
                return;
            case KEY_RIGHT:
            case '\t':
                focus_ = (focus_ + 1) % n;
                dirty_ = true;
                return;
            case '\n':
            case '\r':
            case KEY_ENTER:
            case ' ':
                AnswerMessageBox(buttons[static_cast<size_t>(std::min(focus_, n - 1))]);
                return;
            case 27:
                if (EscapeAnswer(box.type) != 0) {
                    AnswerMessageBox(EscapeAnswer(box.type));
                }
                return;
            default:
                // A letter key presses the button whose name starts with it.
                for (int b : buttons) {
                    if (key >= 0 && key < 128 &&
                        std::towlower(static_cast<wint_t>(ButtonName(b)[0])) ==
                            std::towlower(static_cast<wint_t>(key))) {
                        AnswerMessageBox(b);
                        return;
                    }
                }
                return;
            }
        }
        HWND dialog = CurrentDialog();
        if (dialog == nullptr) {
            return;
        }
        switch (key) {
        case KEY_UP:
            PressKey(dialog, VK_UP);
            break;
        case KEY_DOWN:
            PressKey(dialog, VK_DOWN);
            break;
        case '\n':
        case '\r':
        case KEY_ENTER:
            PressKey(dialog, VK_RETURN);
            break;
        case 27:
            PressKey(dialog, VK_ESCAPE);
            break;
        default:
            break;
        }
    }

    void Draw() {
        erase();
        int rows = 0;
        int cols = 0;
        getmaxyx(stdscr, rows, cols);
        DialogView v;
        HWND dialog = CurrentDialog();
        if (dialog == nullptr || !ReadDialog(dialog, &v)) {
            refresh();
            return;
        }
        if (cols < 40 || rows < 12) {
            PutText(0, 0, L"Terminal too small", cols);
            refresh();
            return;
        }
        int width = std::min(cols, kMaxWidth);
        int height = std::min(rows - (rows > 13 ? 1 : 0), kMaxHeight);
        int top = (rows - height) / 2;
        int left = (cols - width) / 2;
        DrawFrame(top, left, height, width, v.title);
        int cw = std::max<LONG>(1, v.client.right);
        int ch = std::max<LONG>(1, v.client.bottom);
        int innerW = width - 2;
        int innerH = height - 2;
        auto colOf = [&](LONG x) {
            int c = static_cast<int>((x * innerW + cw / 2) / cw);
            return left + 1 + std::min(std::max(c, 0), innerW - 1);
        };
        auto rowOf = [&](LONG y) {
            int r = static_cast<int>((y * innerH + ch / 2) / ch);
            return top + 1 + std::min(std::max(r, 0), innerH - 1);
        };
        auto endColOf = [&](LONG x) { // one past the last cell
            int c = static_cast<int>((x * innerW + cw / 2) / cw);
            return left + 1 + std::min(std::max(c, 0), innerW);
        };
        auto spanOf = [&](const RECT& r) { return std::max(1, endColOf(r.right) - colOf(r.left)); };
        // Text first, so that separators take only free rows.
        std::set<int> textRows;
        for (const ControlView& c : v.controls) {
            if (!c.visible || IsSeparator(c)) {
                continue;
            }
            int row = rowOf(c.rect.top);
            int col = colOf(c.rect.left);
            int span = std::min(spanOf(c.rect), left + width - 1 - col);
            textRows.insert(row);
            DrawControl(c, row, col, span);
        }
        for (const ControlView& c : v.controls) {
            if (c.visible && IsSeparator(c)) {
                int row = rowOf(c.rect.top);
                if (!textRows.count(row)) {
                    int col = colOf(c.rect.left);
                    mvhline(row, col, ACS_HLINE, std::min(spanOf(c.rect), left + width - 1 - col));
                }
            }
        }
        // The hint line, or while a Ctrl-C (or SIGTERM, SIGHUP) waits for the update to end,
        // what it waits for.
        const std::wstring held = SessionEndHeldReason();
        if (!held.empty()) {
            PutText(rows - 1, 0, L"Ending when the update has ended. " + held, cols);
        } else if (rows > height) {
            std::wstring hint = L"Up/Down choose a disk   Enter RUN   Esc close";
            PutText(std::min(rows - 1, top + height), left + 1, hint, width - 2);
        }
        MessageBoxRecord box;
        if (OpenMessageBox(&box)) {
            DrawBox(box, rows, cols);
        }
        refresh();
    }

    static bool IsSeparator(const ControlView& c) {
        return c.className == L"Static" && (c.style & SS_TYPEMASK) == SS_ETCHEDHORZ;
    }

    void DrawFrame(int top, int left, int height, int width, const std::wstring& title) {
        mvaddch(top, left, ACS_ULCORNER);
        mvhline(top, left + 1, ACS_HLINE, width - 2);
        mvaddch(top, left + width - 1, ACS_URCORNER);
        mvvline(top + 1, left, ACS_VLINE, height - 2);
        mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
        mvaddch(top + height - 1, left, ACS_LLCORNER);
        mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
        mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
        int tw = std::min(TextWidth(title), width - 6);
        int col = left + (width - tw - 2) / 2;
        attron(A_BOLD);
        mvaddstr(top, col, " ");
        PutText(top, col + 1, title, tw);
        mvaddstr(top, col + 1 + tw, " ");
        attroff(A_BOLD);
    }

    void DrawControl(const ControlView& c, int row, int col, int span) {
        if (span <= 0) {
            return;
        }
        int attr = c.enabled ? A_NORMAL : A_DIM;
        attron(attr);
        if (c.className == L"ComboBox") {
            std::wstring shown = c.curSel >= 0 ? c.text : std::wstring();
            if (c.items.empty()) {
                shown = L"(no disk)";
            }
            mvaddch(row, col, '[');
            PutText(row, col + 1, shown, std::max(0, span - 5));
            mvaddstr(row, col + std::max(1, span - 4), c.items.size() > 1 ? " \\/" : "   ");
            mvaddch(row, col + std::max(1, span - 1), ']');
        } else if (c.className == L"Button") {
            std::wstring label = L"[ " + c.text + L" ]";
            int w = TextWidth(label);
            if ((c.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && c.enabled) {
                attron(A_BOLD);
            }
            PutText(row, col + std::max(0, (span - w) / 2), label, span);
            attroff(A_BOLD);
        } else if (c.className == L"msctls_progress32") {
            int inner = std::max(1, span - 2);
            int range = std::max(1, c.high - c.low);
            int filled = (c.pos - c.low) * inner / range;
            mvaddch(row, col, '[');
            if (has_colors()) {
                attron(COLOR_PAIR(2));
            }
            for (int i = 0; i < inner; i++) {
                mvaddch(row, col + 1 + i, i < filled ? '#' : '.');
            }
            if (has_colors()) {
                attroff(COLOR_PAIR(2));
            }
            mvaddch(row, col + 1 + inner, ']');
        } else if ((c.style & SS_TYPEMASK) == SS_ICON) {
            if (c.image != nullptr) {
                attron(A_BOLD);
                PutText(row, col, L"[ZX]", span < 4 ? 4 : span);
                attroff(A_BOLD);
            }
        } else {
            PutText(row, col, c.text, span);
        }
        attroff(attr);
    }

    void DrawBox(const MessageBoxRecord& box, int rows, int cols) {
        std::vector<int> buttons = ButtonsOf(box.type);
        if (boxSeen_ != box.text + box.caption) {
            boxSeen_ = box.text + box.caption;
            focus_ = 0;
        }
        int maxText = std::max(10, std::min(cols - 8, 70));
        std::vector<std::wstring> lines = SplitLines(box.text, maxText);
        int textW = 0;
        for (const std::wstring& l : lines) {
            textW = std::max(textW, TextWidth(l));
        }
        int buttonsW = 0;
        for (int b : buttons) {
            buttonsW += TextWidth(ButtonName(b)) + 6;
        }
        int width = std::min(cols - 2, std::max({textW, buttonsW, TextWidth(box.caption) + 2}) + 4);
        int maxLines = std::max(1, rows - 6);
        if (static_cast<int>(lines.size()) > maxLines) {
            lines.resize(static_cast<size_t>(maxLines));
        }
        int height = static_cast<int>(lines.size()) + 4;
        int top = (rows - height) / 2;
        int left = (cols - width) / 2;
        if (has_colors()) {
            attron(COLOR_PAIR(1));
        }
        for (int r = 0; r < height; r++) {
            mvhline(top + r, left, ' ', width);
        }
        DrawFrame(top, left, height, width, box.caption);
        for (size_t i = 0; i < lines.size(); i++) {
            PutText(top + 1 + static_cast<int>(i), left + 2, lines[i], width - 4);
        }
        int col = left + (width - buttonsW) / 2 + 1;
        for (size_t i = 0; i < buttons.size(); i++) {
            std::wstring label = std::wstring(L"[ ") + ButtonName(buttons[i]) + L" ]";
            if (static_cast<int>(i) == focus_) {
                attron(A_REVERSE);
            }
            PutText(top + height - 2, col, label, width);
            attroff(A_REVERSE);
            col += TextWidth(label) + 2;
        }
        if (has_colors()) {
            attroff(COLOR_PAIR(1));
        }
    }

    SCREEN* screen_;
    uint64_t drawn_ = UINT64_MAX;
    bool dirty_ = true;
    int focus_ = 0;
    std::wstring boxSeen_;
};

} // namespace

std::unique_ptr<FrontEnd> MakeTerminalFrontEnd(std::string* error) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        if (error != nullptr) {
            *error = "standard input and output must be a terminal";
        }
        return nullptr;
    }
    std::setlocale(LC_ALL, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        if (error != nullptr) {
            *error = "the terminal (TERM) is not known";
        }
        return nullptr;
    }
    set_term(screen);
    return std::make_unique<Terminal>(screen);
}

} // namespace ui
} // namespace zxposix
