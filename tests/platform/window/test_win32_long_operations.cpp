// The program's long operations on the Win32 backend (under Wine, the controller the Linux
// kdx-sim behind a COM port of the prefix): closing the frame during each one is not ignored.
// The close is posted right behind the command that starts the operation, so it waits in the
// queue while the operation runs: the operation must give the window its turns, stop after its
// current command, and the frame then closes with the loop's code 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "platform/window/application.h"
#include "protocol/kdx.h"
#include "protocol/kdx_progress.h"
#include "protocol/kdx_send.h"
#include "serial/serial_port.h"
#include "sim/sim.h"
#include "ui/ui.h"
// Last: the system's own calls for what the operator does (the file dialog's answer).
#include "platform/window/win32_internal.h"

namespace kdx {
namespace {

// Clear of the ports the core tests' simulators take (COM5 to COM8) and the script's (COM30).
constexpr int32_t First_Com = 21;

class Close_During : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("KDX_SIM") || !std::getenv("WINEPREFIX"))
            GTEST_SKIP() << "needs Wine and the Linux simulator (KDX_SIM), as "
                            "scripts/test-windows.sh runs it";
        int argc = 1;
        char name[] = "kdx";
        char* argv[] = {name, nullptr};
        ASSERT_TRUE(win::Application_Start(argc, argv));
        started = true;
        Serial_Port_State = Serial_Port_State_Record{};
    }
    void TearDown() override {
        if (!started) return;
        Serial_Port_Close(Serial_Port_State.Handle);
        Serial_Port_State = Serial_Port_State_Record{};
        Long_Operations_Remove();
        Echo_Window_Remove();
        if (win::Is_Window(win::Frame_Window)) win::Destroy_Window(win::Frame_Window);
        win::Frame_Window = win::Menu_Bar = win::Mdi_Client = win::Terminal_Dialog = 0;
        QuickMove_Dialog = 0;
        win::Application_Stop();
        sims.clear();
    }
    sim::Simulator& Sim(int32_t number, sim::Sim_Config config = {}) {
        config.number = number;
        auto& s = sims.emplace_back(std::make_unique<sim::Simulator>(config));
        EXPECT_TRUE(s->Start());
        return *s;
    }
    HWND Item(int32_t id) const { return win::Get_Dlg_Item(win::Terminal_Dialog, id); }
    // The program's windows as start-up makes them, its port list these ports, the first
    // opened with "Enable Port" as the operator does.
    void Build(const std::vector<int32_t>& ports) {
        Main_Windows_Create();
        HWND list = Item(Port_List);
        win::Send_Message(list, CB_RESETCONTENT);
        for (int32_t n : ports) {
            std::string name = "COM" + std::to_string(n);
            win::Send_Message(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        }
        win::Send_Message(list, CB_SETCURSEL, 0);
        win::Send_Message(Item(OptPortOpen), BM_CLICK);
        ASSERT_GT(Serial_Port_State.Handle, 0) << "COM" << ports.front() << " did not open";
    }
    // The command goes in, the close right behind it; the loop runs until the frame is gone.
    // A loop that never ends is ended after two minutes (only not to hang the run).
    int32_t Command_Then_Close(HWND window, uint32_t message, WPARAM wparam) {
        win::Post_Message(window, message, wparam);
        win::Post_Message(win::Frame_Window, WM_CLOSE);
        UINT_PTR guard = SetTimer(nullptr, 0, 120000,
                                  [](::HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); });
        int32_t code = win::Message_Loop();
        KillTimer(nullptr, guard);
        EXPECT_FALSE(win::Is_Window(win::Frame_Window));
        return code;
    }
    int32_t Menu_Then_Close(int32_t id) {
        return Command_Then_Close(win::Frame_Window, WM_COMMAND, WPARAM(id));
    }
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    bool started = false;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(Close_During, TheCommunicationTestStopsAfterItsCurrentQuery) {
    auto& sim = Sim(First_Com);
    Build({First_Com});
    size_t before = Count(sim.Received(), "V");
    EXPECT_EQ(Menu_Then_Close(IDM_KDX_Test_USB_Commo), 0);
    size_t queries = Count(sim.Received(), "V") - before;
    EXPECT_GT(queries, 0u);
    EXPECT_LT(queries, size_t(KDX_Commo_Queries)) << "the close waited for the whole test";
    EXPECT_TRUE(KDX_Stop_Requested());
    EXPECT_FALSE(KDX_Tester_Passed());
}

TEST_F(Close_During, TheMemoryTestStopsBeforeItsListingIsComplete) {
    sim::Sim_Config slow;
    slow.slow_ms = 10;  // the listing trickles out for seconds
    Sim(First_Com, slow);
    Build({First_Com});
    EXPECT_EQ(Menu_Then_Close(IDM_KDX_Test_Axis1_Program1), 0);
    EXPECT_TRUE(KDX_Stop_Requested());
    EXPECT_FALSE(KDX_Tester_Passed());
}

TEST_F(Close_During, LocateStopsBeforeTheNextPort) {
    sim::Sim_Config silent;
    silent.model.answer_limit = 0;  // the first port never answers: Locate would go on
    Sim(First_Com, silent);
    auto& next = Sim(First_Com + 1);
    Build({First_Com, First_Com + 1});
    EXPECT_EQ(Menu_Then_Close(IDM_Locate_KDX), 0);
    EXPECT_EQ(next.Received(), "") << "Locate went on to the next port";
}

TEST_F(Close_During, RefreshIdListStopsBeforeItsLastQuery) {
    sim::Sim_Config slow;
    slow.late_ms = 150;  // each reply late: the refresh takes a while
    auto& sim = Sim(First_Com, slow);
    Build({First_Com});
    size_t before = sim.Received().size();
    EXPECT_EQ(Command_Then_Close(Item(Cmd_Refresh_Ids), BM_CLICK, 0), 0);
    std::string asked = sim.Received().substr(before);
    EXPECT_NE(asked.find("getD4"), std::string::npos) << asked;
    EXPECT_EQ(asked.find("getAS"), std::string::npos) << "the refresh ran to its end: " << asked;
}

TEST_F(Close_During, IdentifyEndsAndTheFrameCloses) {
    Sim(First_Com);
    Build({First_Com});
    EXPECT_EQ(Menu_Then_Close(IDM_Identify_Device), 0);
    EXPECT_EQ(Serial_Port_State.Handle, 0) << "the port is closed with the frame";
}

TEST_F(Close_During, TheSendFileDialogIsCancelledAndNothingIsSent) {
    auto& sim = Sim(First_Com);
    Build({First_Com});
    size_t before = sim.Received().size();
    EXPECT_EQ(Menu_Then_Close(IDM_Send_To_Device), 0);
    EXPECT_EQ(sim.Received().size(), before);
}

// A program file on its way: the file dialog is answered as the operator would (its name
// box and Open), and the close comes once the first commands have gone out.
TEST_F(Close_During, SendingAFileStopsAfterItsCurrentCommand) {
    auto& sim = Sim(First_Com);
    Build({First_Com});
    char folder[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
    static std::string path;
    path = std::string(folder) + "kdx_close_during_send.kdx";
    std::string program;
    for (int i = 0; i < 200; ++i) program += "V" + std::to_string(i) + "\r";
    { std::ofstream(path, std::ios::binary) << KDX_Program_Scramble(program); }
    size_t before = sim.Received().size();
    // Answers the dialog from inside its own loop; closes once sending has begun.
    static sim::Simulator* wire = nullptr;
    static size_t start = 0;
    wire = &sim;
    start = before;
    UINT_PTR answer = SetTimer(nullptr, 0, 50, [](::HWND, UINT, UINT_PTR id, DWORD) {
        if (::HWND dialog = FindWindowA(nullptr, "Send File")) {
            // The file name box of the system's dialog (cmb13, or edt1 in the old style).
            if (!SetDlgItemTextA(dialog, 0x47c, path.c_str()))
                SetDlgItemTextA(dialog, 0x480, path.c_str());
            PostMessageA(dialog, WM_COMMAND, IDOK, 0);
            return;
        }
        if (wire->Received().size() > start + 10) {
            KillTimer(nullptr, id);
            win::Post_Message(win::Frame_Window, WM_CLOSE);
        }
    });
    win::Post_Message(win::Frame_Window, WM_COMMAND, IDM_Send_To_Device);
    UINT_PTR guard =
        SetTimer(nullptr, 0, 120000, [](::HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); });
    EXPECT_EQ(win::Message_Loop(), 0);
    KillTimer(nullptr, guard);
    KillTimer(nullptr, answer);
    EXPECT_FALSE(win::Is_Window(win::Frame_Window));
    std::string sent = sim.Received().substr(before);
    EXPECT_NE(sent.find("V0,"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("V199,"), std::string::npos) << "the whole file went out: " << sent;
    DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace kdx
