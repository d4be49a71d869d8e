// The status strip's words: the open port and its rate (always shown), the verdict of each
// long operation when it ends, and why a control did nothing.
#include "serial/serial_port.h"
#include "ui/ui.h"

namespace kdx {

namespace {

// What the strip says beside the port belongs to the operation that said it: it goes when
// the port changes or another operation starts. The port it was said beside ("" when the
// strip says nothing of that kind now).
std::string said_beside;
bool saying = false;

std::string Port_Text() {
    if (!Port_Is_Open()) return "No port open";
    return Serial_Port_State.Name + " open at " + std::to_string(Serial_Port_State.Baud) + " baud";
}

void Said() {
    saying = true;
    said_beside = Port_Text();
}

}  // namespace

bool Port_Is_Open() {
    return Serial_Port_State.Handle != 0 && Serial_Port_State.Handle != -1;
}

void Status_Port_Show() {
    std::string text = Port_Text();
    win::Set_Status_Port(win::Frame_Window, text);
    if (saying && text != said_beside) Status_Clear();
}

void Status_Clear() {
    if (!saying) return;
    saying = false;
    // A standing notice (a port log that stopped) stays until the operator acts on it.
    const std::string& notice = Ui_Status_Notice_Now();
    win::Set_Status(win::Frame_Window, notice);
    if (!notice.empty()) win::Set_Status_Tone(win::Frame_Window, win::Status_Tone::Failed);
}

void Status_Say(const std::string& text) {
    win::Set_Status(win::Frame_Window, text);
    Said();
}

void Status_Verdict(const std::string& text, bool passed) {
    // A failure the operator has not acted on yet stays beside the verdict.
    const std::string& notice = Ui_Status_Notice_Now();
    win::Set_Status(win::Frame_Window, notice.empty() ? text : text + "  |  " + notice);
    win::Set_Status_Tone(win::Frame_Window,
                         passed ? win::Status_Tone::Passed : win::Status_Tone::Failed);
    Said();
}

bool Port_Ready() {
    if (Port_Is_Open()) return true;
    Status_Verdict("Open a port first: choose it in the Terminal and click \"Enable Port\"", false);
    return false;
}

}  // namespace kdx
