// The screens and message boxes of `zxsim run`, printed while the script plays.
#include "tools/zxsim/run_screen.h"
#include "app/resource_ids.h"
#include "tools/zxsim/screen_lines.h"
#include "tools/zxsim/text_output.h"

namespace zxsim {
namespace {

using namespace zxposix::ui;

const char* IconName(UINT type) {
    switch (type & MB_ICONMASK) {
    case 0:
        return "none";
    case MB_ICONERROR:
        return "error";
    case MB_ICONQUESTION:
        return "question";
    case MB_ICONWARNING:
        return "warning";
    case MB_ICONINFORMATION:
        return "information";
    default:
        return "other";
    }
}

std::string ButtonList(UINT type) {
    std::string s;
    for (int b : ButtonsOf(type)) {
        if (!s.empty()) {
            s += ",";
        }
        s += Utf8(ButtonName(b));
    }
    return s;
}

} // namespace

std::string FormatScreen(const DialogView& v) {
    ScreenView screen;
    screen.title = v.title;
    if (const ControlView* list = v.Find(IDC_DISK_LIST)) {
        screen.hasList = true;
        screen.listEnabled = list->enabled;
        screen.selection = list->curSel;
        for (size_t i = 0; i < list->items.size(); i++) {
            long long data =
                i < list->itemData.size() ? static_cast<long long>(list->itemData[i]) : 0;
            screen.entries.push_back(ScreenEntry{list->items[i], data});
        }
    }
    for (const auto& f : kScreenFields) {
        if (const ControlView* c = v.Find(f.id)) {
            screen.fields.push_back(ScreenField{f.name, c->text});
        }
    }
    if (const ControlView* run = v.Find(IDOK)) {
        screen.hasRun = true;
        screen.runEnabled = run->enabled;
    }
    if (const ControlView* bar = v.Find(IDC_PROGRESS)) {
        screen.hasProgress = true;
        screen.progress = bar->pos;
    }
    return FormatScreenLines(screen);
}

std::string FormatMessageBox(size_t number, const MessageBoxRecord& box) {
    return "message box " + std::to_string(number) + ": caption " + Quote(box.caption) + ", text " +
           Quote(box.text) + ", icon " + IconName(box.type) + ", buttons " + ButtonList(box.type) +
           ", answer " + Utf8(ButtonName(box.answer)) + (box.unscripted ? " (unscripted)" : "") +
           "\n";
}

ScreenPrinter::ScreenPrinter(std::unique_ptr<FrontEnd> script, std::function<bool()> settled,
                             std::FILE* out)
    : script_(std::move(script)), settled_(std::move(settled)), out_(out) {}

std::chrono::milliseconds ScreenPrinter::Idle() {
    PrintAnsweredBoxes();
    PrintScreenIfChanged();
    return script_->Idle();
}

void ScreenPrinter::DialogShown(HWND dialog) {
    script_->DialogShown(dialog);
}

void ScreenPrinter::PrintAnsweredBoxes() {
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    // In the order they opened; a box still open holds back the ones after it.
    while (boxesPrinted_ < boxes.size() && !boxes[boxesPrinted_].open) {
        std::fputs(FormatMessageBox(boxesPrinted_ + 1, boxes[boxesPrinted_]).c_str(), out_);
        boxesPrinted_++;
    }
    std::fflush(out_);
}

// A screen is what the user looks at between actions: no message box open, no update running,
// and nothing left for the dialog to handle (Idle is only asked then).
void ScreenPrinter::PrintScreenIfChanged() {
    HWND dialog = CurrentDialog();
    MessageBoxRecord box;
    if (dialog == nullptr || OpenMessageBox(&box) || (settled_ && !settled_())) {
        return;
    }
    DialogView view;
    if (!ReadDialog(dialog, &view)) {
        return;
    }
    std::string screen = FormatScreen(view);
    if (screen == lastScreen_) {
        return;
    }
    lastScreen_ = screen;
    screens_++;
    std::fprintf(out_, "screen %zu\n%s", screens_, screen.c_str());
    std::fflush(out_);
}

} // namespace zxsim
