// Reading the windows of the win64-sim program (host/windows-sim/window_reading.h).
#include "host/windows-sim/window_reading.h"
#include "app/resource_ids.h"
#include "tools/zxsim/screen_lines.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

namespace winsim {
namespace {

const DWORD kMessageBoxTextId = 0xFFFF; // the static that holds a message box's text
std::atomic<LONG> g_driverSending{0};
const size_t kEntrySlack = 4096;

} // namespace

const char* ButtonName(int id) {
    switch (id) {
    case IDOK:
        return "OK";
    case IDCANCEL:
        return "Cancel";
    case IDABORT:
        return "Abort";
    case IDRETRY:
        return "Retry";
    case IDIGNORE:
        return "Ignore";
    case IDYES:
        return "Yes";
    case IDNO:
        return "No";
    default:
        return "?";
    }
}

// ---- Reading the windows -----------------------------------------------------------------------

LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    g_driverSending.fetch_add(1);
    LRESULT r = SendMessageW(window, message, wParam, lParam);
    g_driverSending.fetch_sub(1);
    return r;
}

bool DriverIsAsking() {
    return g_driverSending.load() != 0;
}

std::wstring TextOf(HWND window) {
    if (window == nullptr) {
        return std::wstring();
    }
    LRESULT n = Ask(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(n > 0 ? n : 0) + 1, L'\0');
    LRESULT got = Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

namespace {

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    TopWindows* found = reinterpret_cast<TopWindows*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    WCHAR cls[16];
    if (process != GetCurrentProcessId() || GetClassNameW(window, cls, 16) == 0 ||
        lstrcmpW(cls, L"#32770") != 0) {
        return TRUE;
    }
    if (GetDlgItem(window, IDC_DISK_LIST) != nullptr) {
        found->dialog = window;
    } else if (GetDlgItem(window, kMessageBoxTextId) != nullptr && IsWindowVisible(window)) {
        found->box = window;
    }
    return TRUE;
}

} // namespace

TopWindows FindWindows() {
    TopWindows found;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

namespace {

struct ChildScan {
    std::vector<std::pair<LONG, std::pair<int, HWND>>> buttons;
    HICON icon = nullptr;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
    ChildScan* scan = reinterpret_cast<ChildScan*>(param);
    if (!IsWindowVisible(child)) {
        return TRUE;
    }
    WCHAR cls[16];
    GetClassNameW(child, cls, 16);
    if (lstrcmpiW(cls, L"Button") == 0) {
        RECT r;
        GetWindowRect(child, &r);
        scan->buttons.push_back({r.left, {GetDlgCtrlID(child), child}});
    } else if (lstrcmpiW(cls, L"Static") == 0 &&
               (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        scan->icon = reinterpret_cast<HICON>(Ask(child, STM_GETICON, 0, 0));
    }
    return TRUE;
}

const char* IconName(HICON icon) {
    if (icon == nullptr) {
        return "none";
    }
    const struct {
        LPCWSTR id;
        const char* name;
    } icons[] = {{IDI_HAND, "error"},
                 {IDI_QUESTION, "question"},
                 {IDI_EXCLAMATION, "warning"},
                 {IDI_ASTERISK, "information"}};
    for (const auto& i : icons) {
        if (LoadIconW(nullptr, i.id) == icon) {
            return i.name;
        }
    }
    return "other";
}

} // namespace

BoxView ReadBox(HWND box) {
    BoxView v;
    v.caption = TextOf(box);
    v.text = TextOf(GetDlgItem(box, kMessageBoxTextId));
    ChildScan scan;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&scan));
    std::stable_sort(scan.buttons.begin(), scan.buttons.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& b : scan.buttons) {
        v.buttons.push_back(b.second);
    }
    v.icon = IconName(scan.icon);
    return v;
}

bool Offers(const BoxView& v, int id) {
    for (const auto& b : v.buttons) {
        if (b.first == id) {
            return true;
        }
    }
    return false;
}

int EscapeAnswer(const BoxView& v) {
    if (Offers(v, IDCANCEL)) {
        return IDCANCEL;
    }
    if (v.buttons.size() == 1 && v.buttons[0].first == IDOK) {
        return IDOK;
    }
    return 0;
}

std::string FormatScreen(HWND dialog) {
    zxsim::ScreenView screen;
    screen.title = TextOf(dialog);
    HWND list = GetDlgItem(dialog, IDC_DISK_LIST);
    LRESULT count = Ask(list, CB_GETCOUNT, 0, 0);
    screen.hasList = true;
    screen.selection = Ask(list, CB_GETCURSEL, 0, 0);
    screen.listEnabled = IsWindowEnabled(list) != FALSE;
    for (LRESULT i = 0; i < count; i++) {
        // CB_GETLBTEXT takes no buffer size, and another thread may replace the entry between
        // the two calls: the buffer is far larger than any entry the program makes, and the
        // text is cut where the copy ended.
        LRESULT n = Ask(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring text(static_cast<size_t>(n > 0 ? n : 0) + kEntrySlack, L'\0');
        LRESULT got =
            Ask(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
        text.resize(got > 0 ? wcsnlen(text.c_str(), text.size()) : 0);
        long long data =
            static_cast<long long>(Ask(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0));
        screen.entries.push_back(zxsim::ScreenEntry{text, data});
    }
    for (const auto& f : zxsim::kScreenFields) {
        screen.fields.push_back(zxsim::ScreenField{f.name, TextOf(GetDlgItem(dialog, f.id))});
    }
    screen.hasRun = true;
    screen.runEnabled = IsWindowEnabled(GetDlgItem(dialog, IDOK)) != FALSE;
    screen.hasProgress = true;
    screen.progress =
        static_cast<long long>(Ask(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0));
    return zxsim::FormatScreenLines(screen);
}

} // namespace winsim
