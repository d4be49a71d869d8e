// The Terminal dialog's menu and control ids: the dialog builds its controls under them,
// and the protocol's port scan and ID list drive the same controls through them.
#pragma once
#include <cstdint>

namespace kdx {

enum : int32_t {
    IDM_Terminal_Log = 1000,
    IDM_Refresh_Ports = 1100,
    Rich_Edit_Sent = 100,
    Rich_Edit_Received = 101,
    Text_Buffered = 102,
    Cmd_Send = 103,
    Port_Label = 104,
    Port_List = 105,
    Baud_Label = 106,
    CmbBaudRate = 107,
    OptPortOpen = 108,
    OptPortClosed = 109,
    Cmd_Clear_Sent = 120,
    Cmd_Clear_Received = 121,
    Graphic_To = 500,
    Graphic_From = 501,
    Field_Serial_Num = 1501,
    Field_Order_Num = 1502,
    Field_Version = 1503,
    Field_Revision = 1504,
    Field_Axis_Mode = 1511,
    Field_Detected = 1512,
    Axis_Id_Label = 2000,  // + axis 1..4
    Axis_Id_Box = 2004,    // + axis
    Cmd_Set_Id = 2008,     // + axis
    Cmd_Flash_Led = 2012,  // + axis
    Cmd_Refresh_Ids = 2020,
};

}  // namespace kdx
