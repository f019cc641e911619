// The terminal front end. One thread of its own owns the terminal: it reads the keys and draws,
// so that the screen stays drawn (and resizes) while the dialog's thread is busy. The dialog's
// client area (pixels) is scaled onto the cells inside a frame whose top edge carries the title;
// controls are drawn at their scaled positions, texts on one row one after the other (a label
// whole, the value after it cut), and the separator lines only on rows no text uses. Keys are
// acted on by the dialog's thread when its loop is idle, one at a time, so that a key typed
// after Enter meets the message box that Enter opened.
#include "platform/posix/terminal/terminal.h"
#include "platform/posix/terminal/terminal_text.h"

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cwctype>
#include <deque>
#include <mutex>
#include <poll.h>
#include <set>
#include <thread>
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
const int kMinWidth = 40;
const int kMinHeight = 12;

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

std::wstring Widen(const std::string& text) {
    std::wstring out;
    std::mbstate_t state{};
    const char* p = text.c_str();
    size_t left = text.size();
    while (left > 0) {
        wchar_t c = 0;
        size_t n = std::mbrtowc(&c, p, left, &state);
        if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            out.push_back(L'?');
            n = 1;
            state = std::mbstate_t{};
        } else {
            out.push_back(c);
        }
        p += n;
        left -= n;
    }
    return out;
}

// A control placed on the screen: its row, first column and the columns it may use.
struct Placed {
    const ControlView* control;
    int row;
    int col;
    int span;
};

class Terminal : public FrontEnd {
public:
    Terminal(SCREEN* screen, std::function<std::string()> shutdownWatch)
        : screen_(screen), shutdownWatch_(std::move(shutdownWatch)) {
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
        thread_ = std::thread([this] { Run(); });
    }

    ~Terminal() override {
        if (!shutdownText_.empty()) {
            // The PC's last words stay a moment before the terminal is given back.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
        stop_ = true;
        thread_.join();
        endwin();
        delscreen(screen_);
    }

    // On the dialog's thread, when its loop is idle: acts on one key, and ends the dialog once the
    // PC has gone down.
    std::chrono::milliseconds Idle() override {
        if (shutdownWatch_ && !poweredOff_.load()) {
            const std::string text = shutdownWatch_();
            if (!text.empty()) {
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    shutdownText_ = Widen(text);
                    keys_.clear();
                }
                poweredOff_ = true;
                if (HWND dialog = CurrentDialog()) {
                    EndDialog(dialog, 0);
                }
                return std::chrono::milliseconds(1);
            }
        }
        int key = 0;
        bool more = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (keys_.empty()) {
                return std::chrono::milliseconds(20);
            }
            key = keys_.front();
            keys_.pop_front();
            more = !keys_.empty();
        }
        HandleKey(key);
        return std::chrono::milliseconds(more ? 1 : 20);
    }

    void DialogShown(HWND) override { dirty_ = true; }
    void DialogClosed(HWND) override { dirty_ = true; }

private:
    // The terminal's own thread: keys in, screen out.
    void Run() {
        while (!stop_) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            poll(&p, 1, 30);
            for (;;) {
                const int key = getch();
                if (key == ERR) {
                    break;
                }
                if (key == KEY_RESIZE) {
                    dirty_ = true;
                    continue;
                }
                TakeKey(key);
            }
            const bool busy = DialogInModalWait();
            if (dirty_ || ChangeCount() != drawn_ || busy != drawnBusy_) {
                drawn_ = ChangeCount();
                drawnBusy_ = busy;
                dirty_ = false;
                Draw(busy);
            }
        }
    }

    // A key read from the terminal: dropped while the PC has gone down, while the dialog's thread
    // is in a modal wait (it was typed at a screen that is about to change), and, while the
    // dialog cannot be drawn, unless it is Esc; else queued for the dialog's thread.
    void TakeKey(int key) {
        if (poweredOff_.load() || DialogInModalWait()) {
            return;
        }
        if (tooSmall_.load() && key != 27) {
            return;
        }
        std::lock_guard<std::mutex> guard(lock_);
        keys_.push_back(key);
    }

    void HandleKey(int key) {
        MessageBoxRecord box;
        if (OpenMessageBox(&box)) {
            HandleBoxKey(box, key);
            return;
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

    void HandleBoxKey(const MessageBoxRecord& box, int key) {
        std::vector<int> buttons = ButtonsOf(box.type);
        const int n = static_cast<int>(buttons.size());
        int focus = FocusOf(box);
        switch (key) {
        case KEY_LEFT:
        case KEY_BTAB:
            SetFocus((focus + n - 1) % n);
            return;
        case KEY_RIGHT:
        case '\t':
            SetFocus((focus + 1) % n);
            return;
        case '\n':
        case '\r':
        case KEY_ENTER:
        case ' ':
            AnswerMessageBox(buttons[static_cast<size_t>(focus)]);
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

    // The button that has the focus in the box: each box opens on its own default button.
    int FocusOf(const MessageBoxRecord& box) {
        std::lock_guard<std::mutex> guard(lock_);
        if (focusBox_ != box.serial) {
            focusBox_ = box.serial;
            focus_ = DefaultButtonIndex(box.type);
        }
        return focus_;
    }

    void SetFocus(int focus) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            focus_ = focus;
        }
        dirty_ = true;
    }

    void Draw(bool busy) {
        erase();
        int rows = 0;
        int cols = 0;
        getmaxyx(stdscr, rows, cols);
        std::wstring shutdown;
        {
            std::lock_guard<std::mutex> guard(lock_);
            shutdown = shutdownText_;
        }
        if (!shutdown.empty()) {
            DrawShutdown(shutdown, rows, cols);
            refresh();
            return;
        }
        tooSmall_ = cols < kMinWidth || rows < kMinHeight;
        DialogView v;
        HWND dialog = CurrentDialog();
        if (dialog == nullptr || !ReadDialog(dialog, &v)) {
            refresh();
            return;
        }
        if (tooSmall_) {
            const std::wstring text =
                L"Terminal too small: the dialog needs " + std::to_wstring(kMinWidth) + L" x " +
                std::to_wstring(kMinHeight) + L", this one is " + std::to_wstring(cols) + L" x " +
                std::to_wstring(rows) + L". Esc closes.";
            std::vector<std::wstring> lines = SplitLines(text, std::max(1, cols));
            for (size_t i = 0; i < lines.size() && static_cast<int>(i) < rows; i++) {
                PutText(static_cast<int>(i), 0, lines[i], cols);
            }
            refresh();
            return;
        }
        const int width = std::min(cols, kMaxWidth);
        const int height = std::min(rows - (rows > 13 ? 1 : 0), kMaxHeight);
        const int top = (rows - height) / 2;
        const int left = (cols - width) / 2;
        DrawFrame(top, left, height, width, v.title);
        std::set<int> textRows = DrawControls(v, top, left, height, width);
        DrawSeparators(v, top, left, height, width, textRows);
        const std::wstring busyNote = L" Busy: please wait, keys are ignored ";
        if (busy) {
            PutText(top + height - 1, left + 1, busyNote, width - 2);
        }
        // The hint line, or while a Ctrl-C (or SIGTERM, SIGHUP) waits for the update to end,
        // what it waits for.
        const std::wstring held = SessionEndHeldReason();
        if (!held.empty()) {
            PutText(rows - 1, 0, L"Ending when the update has ended. " + held, cols);
        } else if (rows > height) {
            std::wstring hint = busy ? busyNote : L"Up/Down choose a disk   Enter RUN   Esc close";
            PutText(std::min(rows - 1, top + height), left + 1, hint, width - 2);
        }
        MessageBoxRecord box;
        if (OpenMessageBox(&box)) {
            DrawBox(box, rows, cols);
        }
        refresh();
    }

    // The scaled place of every visible control but the separators. Controls of one row are laid
    // one after the other: a text with another control after it (a label) runs whole, up to the
    // frame if it must, and the control after it starts one column later, cut to what is left of
    // its own span; the last text of a row (a value, the status line) is cut to its span.
    std::vector<Placed> Layout(const DialogView& v, int top, int left, int height, int width) {
        const int cw = std::max<LONG>(1, v.client.right);
        const int ch = std::max<LONG>(1, v.client.bottom);
        const int innerW = width - 2;
        const int innerH = height - 2;
        const int right = left + width - 1; // the frame's right column
        auto cellOf = [](LONG x, int inner, int extent) {
            return static_cast<int>((x * inner + extent / 2) / extent);
        };
        std::vector<Placed> placed;
        for (const ControlView& c : v.controls) {
            if (!c.visible || IsSeparator(c)) {
                continue;
            }
            const int col =
                left + 1 + std::min(std::max(cellOf(c.rect.left, innerW, cw), 0), innerW - 1);
            const int end =
                left + 1 + std::min(std::max(cellOf(c.rect.right, innerW, cw), 0), innerW);
            const int row =
                top + 1 + std::min(std::max(cellOf(c.rect.top, innerH, ch), 0), innerH - 1);
            placed.push_back(Placed{&c, row, col, std::max(1, end - col)});
        }
        std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
            return a.row != b.row ? a.row < b.row : a.col < b.col;
        });
        for (size_t i = 0; i < placed.size(); i++) {
            Placed& p = placed[i];
            if (i > 0 && placed[i - 1].row == p.row) {
                const Placed& before = placed[i - 1];
                const int taken = before.col + before.span;
                if (taken >= p.col) {
                    const int end = p.col + p.span;
                    p.col = std::min(taken + 1, right);
                    p.span = std::max(0, end - p.col);
                }
            }
            const bool hasNext = i + 1 < placed.size() && placed[i + 1].row == p.row;
            if (hasNext && IsText(*p.control)) {
                // A label is drawn whole: what follows it on its row moves along.
                p.span = std::max(p.span, TextWidth(p.control->text));
            } else if (IsText(*p.control)) {
                p.span = right - p.col; // the last text of its row may run to the frame
            }
            p.span = std::min(p.span, right - p.col);
        }
        // A button shows its whole label: one that would cross the frame moves left, and the
        // control before it on its row gives way.
        for (size_t i = 0; i < placed.size(); i++) {
            Placed& p = placed[i];
            if (p.control->className != L"Button") {
                continue;
            }
            const int need = TextWidth(L"[ " + p.control->text + L" ]");
            if (p.span < need) {
                p.span = std::min(need, right - 1 - left);
                p.col = std::min(p.col, right - p.span);
            }
            if (i > 0 && placed[i - 1].row == p.row) {
                Placed& before = placed[i - 1];
                before.span = std::max(0, std::min(before.span, p.col - 1 - before.col));
            }
        }
        return placed;
    }

    static bool IsText(const ControlView& c) {
        return c.className == L"Static" && (c.style & SS_TYPEMASK) != SS_ICON &&
               (c.style & SS_TYPEMASK) != SS_ETCHEDHORZ;
    }

    std::set<int> DrawControls(const DialogView& v, int top, int left, int height, int width) {
        std::set<int> textRows;
        for (const Placed& p : Layout(v, top, left, height, width)) {
            textRows.insert(p.row);
            DrawControl(*p.control, p.row, p.col, p.span);
        }
        return textRows;
    }

    void DrawSeparators(const DialogView& v, int top, int left, int height, int width,
                        const std::set<int>& textRows) {
        const int cw = std::max<LONG>(1, v.client.right);
        const int ch = std::max<LONG>(1, v.client.bottom);
        const int innerW = width - 2;
        const int innerH = height - 2;
        for (const ControlView& c : v.controls) {
            if (!c.visible || !IsSeparator(c)) {
                continue;
            }
            const int r = static_cast<int>((c.rect.top * innerH + ch / 2) / ch);
            const int row = top + 1 + std::min(std::max(r, 0), innerH - 1);
            if (textRows.count(row)) {
                continue;
            }
            const int c0 = static_cast<int>((c.rect.left * innerW + cw / 2) / cw);
            const int c1 = static_cast<int>((c.rect.right * innerW + cw / 2) / cw);
            const int col = left + 1 + std::min(std::max(c0, 0), innerW - 1);
            const int end = left + 1 + std::min(std::max(c1, 0), innerW);
            mvhline(row, col, ACS_HLINE, std::min(std::max(1, end - col), left + width - 1 - col));
        }
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
            const bool more = c.items.size() > 1;
            const int arrow = more ? 2 : 0; // " v" before the closing bracket
            mvaddch(row, col, '[');
            PutText(row, col + 1, FitListEntry(shown, std::max(0, span - 2 - arrow)),
                    std::max(0, span - 2 - arrow));
            if (more && span > 4) {
                mvaddstr(row, col + span - 3, " v");
            }
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
        const int focus = FocusOf(box);
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
            if (static_cast<int>(i) == focus) {
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

    // The PC going down: its words alone, in the middle of the screen.
    void DrawShutdown(const std::wstring& text, int rows, int cols) {
        std::vector<std::wstring> lines = SplitLines(text, std::max(1, cols - 2));
        int row = std::max(0, (rows - static_cast<int>(lines.size())) / 2);
        attron(A_BOLD);
        for (const std::wstring& line : lines) {
            if (row >= rows) {
                break;
            }
            PutText(row++, std::max(0, (cols - TextWidth(line)) / 2), line, cols);
        }
        attroff(A_BOLD);
    }

    SCREEN* screen_;
    std::function<std::string()> shutdownWatch_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> dirty_{true};
    std::atomic<bool> tooSmall_{false};
    std::atomic<bool> poweredOff_{false};
    uint64_t drawn_ = UINT64_MAX; // the terminal's thread only
    bool drawnBusy_ = false;      // the terminal's thread only
    std::mutex lock_;             // guards what follows
    std::deque<int> keys_;
    uint64_t focusBox_ = 0;
    int focus_ = 0;
    std::wstring shutdownText_;
};

} // namespace

std::unique_ptr<FrontEnd> MakeTerminalFrontEnd(std::string* error,
                                               std::function<std::string()> shutdownWatch) {
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
    return std::make_unique<Terminal>(screen, std::move(shutdownWatch));
}

} // namespace ui
} // namespace zxposix
