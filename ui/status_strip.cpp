// The status strip's words: the open port and its rate (always shown), the verdict of each
// long operation when it ends, and why a control did nothing.
#include "serial/serial_port.h"
#include "ui/ui.h"

namespace kdx {

bool Port_Is_Open() {
    return Serial_Port_State.Handle != 0 && Serial_Port_State.Handle != -1;
}

void Status_Port_Show() {
    std::string text = "No port open";
    if (Port_Is_Open())
        text =
            Serial_Port_State.Name + " open at " + std::to_string(Serial_Port_State.Baud) + " baud";
    win::Set_Status_Port(win::Frame_Window, text);
}

void Status_Say(const std::string& text) {
    win::Set_Status(win::Frame_Window, text);
}

void Status_Verdict(const std::string& text, bool passed) {
    // A failure the operator has not acted on yet stays beside the verdict.
    const std::string& notice = Ui_Status_Notice_Now();
    win::Set_Status(win::Frame_Window, notice.empty() ? text : text + "  |  " + notice);
    win::Set_Status_Tone(win::Frame_Window,
                         passed ? win::Status_Tone::Passed : win::Status_Tone::Failed);
}

bool Port_Ready() {
    if (Port_Is_Open()) return true;
    Status_Verdict("Open a port first: choose it in the Terminal and click \"Enable Port\"", false);
    return false;
}

}  // namespace kdx
