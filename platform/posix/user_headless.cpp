// The headless front end: a script of user actions played into the dialog, for tests and
// `zxsim run`.
#include "platform/posix/user_internal.h"

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <deque>

namespace zxposix {
namespace ui {
namespace {

class HeadlessScript : public FrontEnd {
public:
    HeadlessScript(const std::vector<ScriptStep>& steps, std::function<bool()> settled,
                   ScriptReport* report)
        : steps_(steps.begin(), steps.end()), settled_(std::move(settled)), report_(report) {
        Report();
    }

    std::chrono::milliseconds Idle() override {
        std::chrono::milliseconds next = Step();
        Report();
        return next;
    }

private:
    void Report() {
        if (report_ != nullptr) {
            report_->stepsLeft = static_cast<int>(steps_.size());
        }
    }

    std::chrono::milliseconds Step() {
        MessageBoxRecord box;
        if (OpenMessageBox(&box)) {
            if (!steps_.empty() && steps_.front().kind == ScriptStep::Answer &&
                Offers(box.type, steps_.front().value)) {
                AnswerMessageBox(steps_.front().value);
                steps_.pop_front();
            } else {
                if (!steps_.empty() && steps_.front().kind == ScriptStep::Answer) {
                    // Not a button of this box: the script cannot go on as written.
                    if (report_ != nullptr) {
                        report_->refusedAnswer = steps_.front().value;
                        report_->refusedBox = box;
                    }
                    steps_.clear();
                }
                int a = EscapeAnswer(box.type);
                AnswerMessageBoxUnscripted(a != 0 ? a : IDNO);
            }
            return std::chrono::milliseconds(1);
        }
        HWND dialog = CurrentDialog();
        if (dialog == nullptr || !IsSettled()) {
            return std::chrono::milliseconds(2);
        }
        if (steps_.empty()) {
            if (ChangeCount() != lastEscapeChange_) { // once per change of state
                PressKey(dialog, VK_ESCAPE);
                lastEscapeChange_ = ChangeCount();
            }
            return std::chrono::milliseconds(2);
        }
        ScriptStep step = steps_.front();
        switch (step.kind) {
        case ScriptStep::Select: {
            DialogView view;
            if (ReadDialog(dialog, &view)) {
                for (const ControlView& c : view.controls) {
                    if (wcscasecmp(c.className.c_str(), WC_COMBOBOXW) == 0) { // the list
                        if (step.value < 0 || step.value >= static_cast<int>(c.items.size())) {
                            if (report_ != nullptr) {
                                report_->missingEntry = step.value;
                                report_->entryCount = static_cast<int>(c.items.size());
                            }
                            steps_.clear(); // nothing after it is played
                            return std::chrono::milliseconds(1);
                        }
                        SelectEntry(dialog, c.id, step.value);
                        break;
                    }
                }
            }
            break;
        }
        case ScriptStep::Run:
            ClickButton(dialog, IDOK);
            break;
        case ScriptStep::Escape:
            PressKey(dialog, VK_ESCAPE);
            break;
        case ScriptStep::CloseBox:
            PressCloseBox(dialog);
            break;
        case ScriptStep::Answer:
            // No box came of the steps before and the dialog is settled: nothing is left to
            // answer, so the answer is dropped.
            if (report_ != nullptr) {
                ++report_->droppedAnswers;
            }
            break;
        }
        steps_.pop_front();
        return std::chrono::milliseconds(1);
    }

    bool IsSettled() const { return !settled_ || settled_(); }

    static bool Offers(UINT type, int answer) {
        std::vector<int> offered = ButtonsOf(type);
        return std::find(offered.begin(), offered.end(), answer) != offered.end();
    }

    std::deque<ScriptStep> steps_;
    std::function<bool()> settled_;
    ScriptReport* report_;
    uint64_t lastEscapeChange_ = UINT64_MAX;
};

} // namespace

std::unique_ptr<FrontEnd> MakeHeadlessScript(std::vector<ScriptStep> steps,
                                             std::function<bool()> settled, ScriptReport* report) {
    return std::make_unique<HeadlessScript>(steps, std::move(settled), report);
}

int ParseAnswer(const std::string& text) {
    std::string t;
    for (char c : text) {
        t.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (t == "ok") {
        return IDOK;
    }
    if (t == "cancel") {
        return IDCANCEL;
    }
    if (t == "yes") {
        return IDYES;
    }
    if (t == "no") {
        return IDNO;
    }
    return 0;
}

} // namespace ui
} // namespace zxposix
