// The screens and message boxes of `zxsim run`, printed while the script plays.
#include "tools/zxsim/run_screen.h"
#include "app/resource_ids.h"
#include "tools/zxsim/text_output.h"

namespace zxsim {
namespace {

using namespace zxposix::ui;

std::string Line(const char* name, const std::string& value) {
    return std::string(name) + ": " + value + "\n";
}

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
    std::string s = Line("title", Quote(v.title));
    if (const ControlView* list = v.Find(IDC_DISK_LIST)) {
        std::string selection =
            list->curSel < 0 ? std::string("none") : std::to_string(list->curSel);
        s += Line("list", std::string(list->enabled ? "enabled" : "disabled") + ", " +
                              std::to_string(list->items.size()) + " entries, selection " +
                              selection);
        for (size_t i = 0; i < list->items.size(); i++) {
            long long data =
                i < list->itemData.size() ? static_cast<long long>(list->itemData[i]) : 0;
            s += "entry " + std::to_string(i) + ": " + Quote(list->items[i]) + ", data " +
                 std::to_string(data) + "\n";
        }
    }
    const struct {
        int id;
        const char* name;
    } fields[] = {{IDC_MODEL, "model"},         {IDC_SERIAL, "serial"},
                  {IDC_INTERFACE, "interface"}, {IDC_FIRMWARE, "firmware"},
                  {IDC_CAPACITY, "capacity"},   {IDC_STATUS, "status"}};
    for (const auto& f : fields) {
        if (const ControlView* c = v.Find(f.id)) {
            s += Line(f.name, Quote(c->text));
        }
    }
    if (const ControlView* run = v.Find(IDOK)) {
        s += Line("RUN", run->enabled ? "enabled" : "disabled");
    }
    if (const ControlView* bar = v.Find(IDC_PROGRESS)) {
        s += Line("progress", std::to_string(bar->pos));
    }
    return s;
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
