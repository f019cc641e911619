// What `zxsim run` prints of the dialog while the script plays: a screen each time the dialog
// settles looking different from the screen printed last, and each message box once it has been
// answered, in the order they happen. The format is described in docs/zxsim.md.
#pragma once

#include "platform/posix/ui_control.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace zxsim {

// The screen lines of a dialog: its title, the list with its entries and their item data, the
// selected entry, the five panel fields, the status line, RUN and the progress bar.
std::string FormatScreen(const zxposix::ui::DialogView& view);

// The line of one answered message box: caption, text, icon, buttons, answer.
std::string FormatMessageBox(size_t number, const zxposix::ui::MessageBoxRecord& box);

// Plays the script and prints to out as things happen. settled tells when no update runs.
class ScreenPrinter : public zxposix::ui::FrontEnd {
public:
    ScreenPrinter(std::unique_ptr<zxposix::ui::FrontEnd> script, std::function<bool()> settled,
                  std::FILE* out);

    std::chrono::milliseconds Idle() override;
    void DialogShown(HWND dialog) override;

    // Prints the boxes answered since the last call; after the dialog has closed, the rest.
    void PrintAnsweredBoxes();
    bool ShownDialog() const { return screens_ > 0; }

private:
    void PrintScreenIfChanged();

    std::unique_ptr<zxposix::ui::FrontEnd> script_;
    std::function<bool()> settled_;
    std::FILE* out_;
    std::string lastScreen_;
    size_t screens_ = 0;
    size_t boxesPrinted_ = 0;
};

} // namespace zxsim
