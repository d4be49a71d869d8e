// The QuickMove dialog operated by clicks, with every move checked on the wire: a simulated
// controller on a real pseudo-terminal receives what the dialog sends.
#include "tests/support/serial_fixture.h"
#include "tests/ui/ui_fixture.h"

namespace kdx::test {
namespace {

class Quick_Move_Test : public Sim_Port_Test {
  protected:
    void TearDown() override {
        win::Destroy_Window(QuickMove_Dialog);
        QuickMove_Dialog = 0;
        Sim_Port_Test::TearDown();
    }
    void Click(int32_t id) {
        win::Send_Message(win::Get_Dlg_Item(QuickMove_Dialog, id), win::BM_CLICK);
    }
    void Type(int32_t id, const std::string& text) {
        win::Set_Dlg_Item_Text(QuickMove_Dialog, id, text);
    }
};

struct Move {
    int32_t motor;  // 0: no option clicked
    const char* distance;
    const char* velocity;
    bool auto_reverse;
    const char* repeat;
    int32_t button;
    const char* command;
    const char* distance_after;
    const char* velocity_after;
};

TEST_F(Quick_Move_Test, EveryMoveGoesOutAsBuiltFromTheBoxes) {
    Start_Sim();
    QuickMove_Motor = 0;
    EXPECT_EQ(HideQuickMoveSingle(), 0);  // no dialog yet
    Serial_Port_State.Handle = Open();
    EXPECT_EQ(ShowQuickMoveSingle(), 1);
    EXPECT_EQ(IsOpenQuickMoveSingle(), 1);
    const int32_t N = QuickMove_Negative, P = QuickMove_Positive;
    const Move moves[] = {
        // No option pressed yet: motor 1.
        {0, "400", "2000", false, "", N, "F,C,S1M2000,I1M-400,R", "400", "2000"},
        {2, "400", "2000", false, "", N, "F,C,S2M2000,I2M-400,R", "400", "2000"},
        {2, "400", "2000", true, "3", P, "F,C,S2M2000,I2M400,I2M-400,LA4,R", "400", "2000"},
        {1, "-250", "2000", false, "", P, "F,C,S1M2000,I1M250,R", "250", "2000"},
        {1, "400", "9000", false, "", P, "F,C,S1M6000,I1M400,R", "400", "6000"},
        {1, "400", "+9000", false, "", P, "F,C,S1M6000,I1M400,R", "400", "6000"},
        {1, "400", "+1500", false, "", P, "F,C,S1M+1500,I1M400,R", "400", "+1500"},
        {1, "400", "-1500", false, "", P, "F,C,S1M-1500,I1M400,R", "400", "-1500"},
        {1, "0", "2000", false, "", N, "F,C,S1M2000,I1M-0,R", "0", "2000"},
        {1, "0", "2000", false, "", P, "F,C,S1M2000,I1M0,R", "0", "2000"},
        {1, "400", "2000", false, "1", P, "F,C,S1M2000,I1M400,LA2,R", "400", "2000"},
        {1, "400", "2000", false, "0", P, "F,C,S1M2000,I1M400,R", "400", "2000"},
        {4, "12.5", "abc", true, "", N, "F,C,S4M0,I4M-12.5,I4M12.5,R", "12.5", "abc"},
    };
    bool checked = false;
    for (const auto& m : moves) {
        SCOPED_TRACE(m.command);
        if (m.motor) Click(QuickMove_Motor1 + m.motor - 1);
        EXPECT_EQ(QuickMove_Motor, m.motor ? m.motor : 0);
        Type(QuickMove_Distance, m.distance);
        Type(QuickMove_Velocity, m.velocity);
        Type(QuickMove_Repeat, m.repeat);
        if (m.auto_reverse != checked) {
            Click(QuickMove_Auto_Reverse);
            checked = !checked;
        }
        size_t before = sim->Received().size();
        Click(m.button);
        EXPECT_TRUE(
            Eventually([&] { return sim->Received().size() >= before + strlen(m.command); }));
        EXPECT_EQ(sim->Received().substr(before), m.command);
        EXPECT_EQ(win::Get_Dlg_Item_Text(QuickMove_Dialog, QuickMove_Distance), m.distance_after);
        EXPECT_EQ(win::Get_Dlg_Item_Text(QuickMove_Dialog, QuickMove_Velocity), m.velocity_after);
        if (!m.motor) {
            EXPECT_EQ(QuickMove_Motor, 1);
        }
    }
    EXPECT_EQ(HideQuickMoveSingle(), 1);
    EXPECT_EQ(IsOpenQuickMoveSingle(), 0);
}

}  // namespace
}  // namespace kdx::test
