// Every operation of the protocol without a usable port: nothing sent, nothing shown but
// the tests' own "Port not open" lines.
#include <gtest/gtest.h>

#include <string>

#include "protocol/kdx.h"
#include "tests/support/serial_fixture.h"

using namespace kdx;

namespace {

TEST(Kdx_No_Port, EveryOperationWithoutAUsablePort) {
    for (int32_t unusable : {0, -1}) {
        Echo_Capture_Sink capture;
        Echo_Set_Sink(&capture);
        Serial_Port_State = Serial_Port_State_Record{};
        Serial_Port_State.Handle = unusable;
        int32_t h = unusable, axis = 2;
        std::string serial = "1", order = "2";
        EXPECT_EQ(KDX_Verify_Status(h), "");
        EXPECT_EQ(KDX_Online_Echo_Off(h), "");
        EXPECT_EQ(KDX_Online_Echo_On(h), "");
        EXPECT_EQ(KDX_Offline(h), "");
        EXPECT_EQ(KDX_Identify(), "");
        EXPECT_EQ(KDX_Diagnostic(h), "");
        for (auto getter : {KDX_Serial_Number_Get, KDX_Order_Number_Get, KDX_Firmware_Version_Get,
                            KDX_Firmware_Revision_Get, KDX_Axis_Set, KDX_Axis_Found})
            EXPECT_EQ(getter(h), "\r");
        for (auto getter : {KDX_Axis_Motor_Get, KDX_Axis_Limit_Get, KDX_Axis_Home_Switch_Get})
            EXPECT_EQ(getter(h, axis), "");
        for (auto id : {KDX_ID_Axis_1, KDX_ID_Axis_2, KDX_ID_Axis_3, KDX_ID_Axis_4})
            EXPECT_EQ(id(h), "");
        EXPECT_EQ(KDX_Serial_Number_Set(h, serial, order), "");
        // Identify wrote no status lines; the tests say the port is not open.
        EXPECT_EQ(capture.Visible(Echo_Kind::Status), "") << unusable;
        EXPECT_EQ(KDX_Tester_USB_Commo(h), "");
        EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(h, axis), "");
        EXPECT_EQ(KDX_Tester_Passed(), 0);
        EXPECT_EQ(capture.Visible(Echo_Kind::Status),
                  "KDX_TESTER_USB_COMMO FAILED... Port not open\n"
                  "KDX_TESTER_COMMO_FILL_MEMORY Axis 2 FAILED... Port not open\n");
        EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "");
        Echo_Set_Sink(nullptr);
    }
    Serial_Port_State = Serial_Port_State_Record{};
}

}  // namespace
