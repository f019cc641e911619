// The control interface of the POSIX window manager, for tests, tools and the front ends (the
// headless script driver and the terminal). The system's subsystems never include it.
//
// Input is queued to the dialog's thread like the system's own input and goes through the
// same checks: a disabled control or a dialog disabled by its open message box ignores it.
#pragma once

#include "platform/posix/types.h"
#include "platform/posix/user.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zxposix {
namespace ui {

// ---- Dialog templates ---------------------------------------------------------------------

struct ControlTemplate {
    std::wstring text;
    int id = 0;
    std::wstring className;
    DWORD style = 0; // with WS_CHILD | WS_VISIBLE, as the resource compiler adds them
    DWORD exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units
};

struct DialogTemplate {
    int id = 0;
    WORD language = 0;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units
    DWORD style = 0; // DS_SETFONT added when a FONT is given, as the resource compiler does
    DWORD exStyle = 0;
    std::wstring caption;
    int pointSize = 0;
    int weight = 0;
    int italic = 0;
    int charset = 0;
    std::wstring face;
    std::vector<ControlTemplate> controls;
};

// Reads dialog `id` from resource script text (UTF-8): #define lines, LANGUAGE, DIALOGEX with
// STYLE, EXSTYLE, CAPTION, FONT and CONTROL statements; other preprocessor lines are skipped.
// False with a message naming the line when the text cannot be read or has no such dialog.
bool ParseDialogScript(const std::string& text, int id, DialogTemplate* out, std::string* error);

// Resource (type, id) that holds the resource script DialogBoxParamW reads its templates from.
#define ZX_DIALOG_SCRIPT_TYPE L"ZXDIALOGSCRIPT"
#define ZX_DIALOG_SCRIPT_ID 1

// Dialog base units of a template's font, in pixels (96 dots per inch): the font's cell height
// is 4/3 of its em height and its average character width half of it.
void DialogBaseUnits(const DialogTemplate& t, int* baseX, int* baseY);

// ---- Screen ---------------------------------------------------------------------------------

// Screen size in pixels (default 1920 x 1080). The dialog frame is 3 pixels wide with a
// 19-pixel caption.
void SetScreenSize(int width, int height);

// ---- Reading the windows --------------------------------------------------------------------

struct ControlView {
    HWND hwnd = nullptr;
    int id = 0;
    std::wstring className;
    std::wstring text;
    DWORD style = 0;
    RECT rect{}; // in the dialog's client coordinates, pixels
    bool enabled = true;
    bool visible = true;
    // combo box
    std::vector<std::wstring> items;
    std::vector<LPARAM> itemData;
    int curSel = -1;
    // progress bar
    int low = 0, high = 100, pos = 0;
    // static
    HANDLE image = nullptr;
};

struct DialogView {
    HWND hwnd = nullptr;
    std::wstring title;
    RECT window{}; // screen coordinates
    RECT client{}; // client rectangle (0, 0, width, height)
    bool enabled = true;
    HICON classIcon = nullptr;
    std::vector<ControlView> controls; // template order
    const ControlView* Find(int id) const;
};

// The modal dialog shown now (the innermost), or null.
HWND CurrentDialog();
bool ReadDialog(HWND dialog, DialogView* out);

struct MessageBoxRecord {
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;
    UINT type = 0;
    bool open = true;
    int answer = 0;          // the button that closed it
    bool unscripted = false; // answered by the front end's default, not by the script
    uint64_t serial = 0;     // counts the boxes opened since the start: each box its own
};
std::vector<MessageBoxRecord> MessageBoxes();
// The innermost open message box, if any.
bool OpenMessageBox(MessageBoxRecord* out);

// Every message delivered to a window, in delivery order (sent, posted and generated alike).
struct MessageRecord {
    HWND hwnd = nullptr;
    int controlId = 0; // 0 for the dialog itself
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    uint64_t timeMs = 0; // program time (platform clock)
    DWORD senderThread = 0;
    bool posted = false;
};
std::vector<MessageRecord> MessageLog();

// Every PostMessageW and SendMessageW call, in the order the calls were made, recorded when
// the call is accepted (its window exists) and before the message is queued or run. A sent
// message may overtake posted ones on delivery; this log keeps the order of issue.
// The same fields as a delivered message; timeMs is the program time of the call.
using IssuedMessage = MessageRecord;
std::vector<IssuedMessage> IssuedMessages();

// Sent messages waiting for the thread of the window to take them (0 when the window is gone).
size_t PendingSentMessages(HWND window);
// Posted messages waiting in the queue of the window's thread (0 when the window is gone).
size_t PendingPostedMessages(HWND window);

// The shutdown requests the platform answered itself (no device backend with a power table).
struct ShutdownRecord {
    UINT flags = 0;
    DWORD reason = 0;
    bool privilegeEnabled = false;
};
std::vector<ShutdownRecord> ShutdownRequests();

int GdiplusStartCount();         // starts not yet shut down
int CommonControlsInitialised(); // calls of InitCommonControls

// Every LoadImageW call, in call order.
struct ImageRequest {
    ULONG_PTR resourceId = 0; // the integer id asked for (0 for a name)
    UINT type = 0;
    int cx = 0, cy = 0; // as asked
    UINT flags = 0;
    HANDLE result = nullptr;
    DWORD error = 0; // the last error of a failed call
};
std::vector<ImageRequest> ImageRequests();

// Forgets message boxes, the message log, the issued messages, the image requests and
// shutdown requests.
void ClearRecords();

// The buttons a message box type offers, in display order, and their names.
std::vector<int> ButtonsOf(UINT type);
const wchar_t* ButtonName(int id); // "OK", "Cancel", "Yes", ...
// What Esc gives for the type: Cancel when offered, OK for a box with only OK, else 0.
int EscapeAnswer(UINT type);
// The position (0-based, in display order) of the button a box of the type opens on: the one its
// MB_DEFBUTTONn names, the first when it has no such button.
int DefaultButtonIndex(UINT type);

// Whether the thread that runs the dialog is blocked in a modal wait: a handler of its own that
// waits (Sleep, WaitForSingleObject) and has not yet returned to an idle message loop. Input
// that comes meanwhile is not meant for what the screen will show after it.
bool DialogInModalWait();

// ---- Input ----------------------------------------------------------------------------------

// From any thread. False when the dialog does not exist.
bool PressKey(HWND dialog, UINT vk);              // VK_RETURN, VK_ESCAPE, VK_UP, VK_DOWN
bool ClickButton(HWND dialog, int id);            // the user clicks the button
bool SelectEntry(HWND dialog, int id, int index); // the user picks a list entry
bool PressCloseBox(HWND dialog);                  // the caption's close box
// Answers the innermost open message box, or the next one to open. An answer the box does not
// offer is replaced by its Esc answer (or its first button).
void AnswerMessageBox(int answer);
void ClearPendingAnswers();

// Blocks the calling (non-dialog) thread until pred holds, checking whenever the window
// manager changes state; false after the real timeout.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds realTimeout);

// Blocks the calling (non-dialog) thread until the thread of the window waits in its message
// loop (or a message box's) with no sent message, posted message or input queued: everything
// queued before the call has been handled, input included, whatever order the loop takes the
// queues in. False when the window is gone or after the real timeout.
bool WaitUntilIdle(HWND window, std::chrono::milliseconds realTimeout);

// ---- Front ends -----------------------------------------------------------------------------

class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // On the dialog's thread when it has nothing to dispatch (also inside message boxes). May
    // queue input or answers. Returns the longest real time before it wants to be asked again.
    virtual std::chrono::milliseconds Idle() = 0;
    // On the dialog's thread after a dialog was created (WM_INITDIALOG done) or destroyed.
    virtual void DialogShown(HWND) {}
    virtual void DialogClosed(HWND) {}
};
// The reason a held end of the session waits for (empty when none is held), for the front end
// to show.
std::wstring SessionEndHeldReason();

// The front end the dialog's thread consults (null: none; input only from other threads).
void SetFrontEnd(FrontEnd* frontEnd);
// Bumped by every change a front end would show; a front end redraws when it moves.
uint64_t ChangeCount();

// The headless script driver: steps run in order. Dialog steps wait until `settled` holds
// (default: always) and no message box is open; an Answer step answers the next message box,
// and is dropped when the dialog is settled with no box open.
// A message box that opens with no Answer step next is answered with its Esc answer (No for
// Yes/No), marked unscripted. An Answer step that names a button the box does not offer is never
// turned into another button: the box is answered as if the script had no answer for it, the
// script ends there, and the report names the answer and the box. When the script is done the
// driver presses Esc whenever the dialog is settled, until it closes.
struct ScriptStep {
    enum Kind { Select, Run, Escape, CloseBox, Answer } kind;
    int value =
        0; // Select: entry of the dialog's (first) list; Answer: IDOK, IDCANCEL, IDYES, IDNO
};
// What became of a script, for its caller to judge once the dialog has closed: a Select of an
// entry the list does not have ends the script there (RUN is not pressed on another entry).
struct ScriptReport {
    int missingEntry = -1;       // the entry a Select step asked for and the list lacked, or -1
    int entryCount = 0;          // the list's entries then
    int droppedAnswers = 0;      // Answer steps no message box used
    int stepsLeft = 0;           // steps not played when the dialog closed
    int refusedAnswer = 0;       // an Answer step's button the box did not offer (0: none)
    MessageBoxRecord refusedBox; // that box
};
std::unique_ptr<FrontEnd> MakeHeadlessScript(std::vector<ScriptStep> steps,
                                             std::function<bool()> settled,
                                             ScriptReport* report = nullptr);
// Parses "ok", "cancel", "yes", "no" (any case) into an answer; 0 for anything else.
int ParseAnswer(const std::string& text);

} // namespace ui
} // namespace zxposix
