// The frame's menu commands, dispatched by command id. Each handler starts with the trace
// comment of its command; the actions themselves come with the commands' own work.
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

namespace {

struct Command_Name {
    int32_t Id;
    const char* Comment;  // nullptr: the command writes none
};

const Command_Name kCommands[] = {
    {IDM_Edit, nullptr},
    {IDM_Send_To_Device, nullptr},
    {IDM_Tools, "%IDM_Tools"},
    {IDM_QuickMove, "%IDM_QuickMove"},
    {IDM_Terminal, "%IDM_Terminal"},
    {4224, nullptr},
    {IDM_KDX_Help, nullptr},
    {IDM_KDX_Diagnostic, "%IDM_KDX_Diagnostic"},
    {IDM_KDX_Serial_Number, "%IDM_KDX_Serial_Number"},
    {IDM_KDX_Order_Numbers, "%IDM_KDX_Order_Numbers"},
    {IDM_KDX_Tester, "%IDM_KDX_Tester"},
    {IDM_KDX_Test_USB_Commo, "%IDM_KDX_Test_USB_Commo"},
    {IDM_KDX_Test_Memory, "%IDM_KDX_Test_Memory"},
    {IDM_KDX_Test_Axis1_Program1, "%IDM_KDX_Test_Axis1_Program1"},
    {IDM_KDX_Test_Axis2_Program2, "%IDM_KDX_Test_Axis2_Program2"},
    {IDM_KDX_Test_Axis3_Program3, "%IDM_KDX_Test_Axis3_Program3"},
    {IDM_KDX_Test_Axis4_Program4, "%IDM_KDX_Test_Axis4_Program4"},
    {IDM_Locate_KDX, "%IDM_Locate_KDX"},
    {IDM_Identify_Device, "%IDM_Identify_Device"},
    {IDM_KDX_Testing_Routines, "%IDM_KDX_Testing_Routines"},
    {IDM_App_Debug, nullptr},
};

}  // namespace

void Frame_Command(int32_t id) {
    KDX_FRAME("Frame_Command", id);
    for (const auto& command : kCommands) {
        if (command.Id != id) continue;
        if (command.Comment) ErrCheck_Comment(command.Comment);
        break;
    }
}

}  // namespace kdx
