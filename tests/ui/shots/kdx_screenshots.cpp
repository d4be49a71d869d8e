// Renders the program's windows to PNG files for the documentation and for looking at the
// layout: the frame with the Terminal, the frame with the QuickMove dialog, the Debug Console.
//
//   kdx_screenshots <folder>
#include <cstdio>
#include <string>

#include "platform/window/application.h"
#include "serial/echo.h"
#include "serial/serial_enum.h"
#include "trace/trace.h"
#include "ui/ui.h"

using namespace kdx;

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : ".";
    win::Application_Start(argc, argv);
    ErrCheck_Debug(1);
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    win::Terminal_Dialog = Serial_Terminal_Create();
    win::Set_Parent(win::Terminal_Dialog, win::Mdi_Client);
    Echo_Window_Install();
    win::Set_Menu_State(win::Menu_Bar, IDM_Terminal, win::MFS_CHECKED);
    Serial_Terminal_Show(win::Terminal_Dialog);
    // A short session's traffic, as the echo shows it.
    Serial_Port_Echo_Status("COM5 Open\r");
    Serial_Port_Echo_Sent("F,\r");
    Serial_Port_Echo_Sent("F,getD4,");
    Serial_Port_Echo_Received("R\r");
    Serial_Port_Echo_Received("1234-56\r");
    Serial_Port_Echo_Sent("V");
    Serial_Port_Echo_Received("R");
    win::Process_Events(400);
    bool ok = win::Save_Window_Picture(win::Frame_Window, folder + "/kdx-terminal.png");

    int32_t client = win::Mdi_Client;
    HWND quickmove = CreateQuickMoveSingle(&client);
    win::Set_Parent(quickmove, win::Mdi_Client);
    ShowQuickMoveSingle();
    win::Process_Events(300);
    ok = win::Save_Window_Picture(win::Frame_Window, folder + "/kdx-quickmove.png") && ok;
    ok = win::Save_Window_Picture(quickmove, folder + "/kdx-quickmove-dialog.png") && ok;
    ok = win::Save_Titled_Window_Picture("Debug Console", folder + "/kdx-debug-console.png") && ok;
    Echo_Window_Remove();
    win::Application_Stop();
    if (!ok) std::fprintf(stderr, "kdx_screenshots: a picture could not be written\n");
    return ok ? 0 : 1;
}
