// The Terminal at work against simulated controllers: opening a port and typing to it, the
// controls' commands on the wire, the identity refresh, device changes, locating the
// controller, and a port that cannot be opened.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/ini.h"
#include "files/port_log.h"
#include "platform/handles.h"
#include "protocol/kdx.h"
#include "tests/ui/terminal_fixture.h"

namespace kdx::test {
namespace {

std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The newest port log beside the program.
std::string Port_Log_Text() {
    std::filesystem::path folder =
        std::filesystem::path(platform::Module_File_Name()).parent_path();
    std::string newest;
    auto when = std::filesystem::file_time_type::min();
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string().rfind("KDX Port Log ", 0) == 0 &&
            e.last_write_time() >= when) {
            when = e.last_write_time();
            newest = e.path().string();
        }
    return newest.empty() ? std::string() : Read_File(newest);
}

const QColor kYellow(255, 255, 0), kSent_Blue(0, 200, 255);

TEST_F(Terminal_Test, OpenTypeAndSeeTheReplyInColourAndInThePortLog) {
    auto& sim = Sim(5);
    List_Ports({"COM5"});
    Build();
    EXPECT_EQ(Text(Port_List), "COM5");
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    EXPECT_EQ(win::Get_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log), int32_t(win::MFS_CHECKED));
    Click(OptPortOpen);
    EXPECT_EQ(Wire(sim, 0, 3), "F,\r");  // on line
    EXPECT_FALSE(win::Is_Window_Enabled(Item(OptPortOpen)));
    EXPECT_FALSE(win::Is_Window_Enabled(Item(Port_List)));
    EXPECT_EQ(Serial_Port_State.Number, 5);
    EXPECT_EQ(Serial_Port_State.Baud, 57600);
    EXPECT_NE(Read_File(Ini_Get_Page_Path()).find("Port:=COM5<br/>"), std::string::npos);

    // Every key goes out at once, one write each; the rich edit shows only the echo.
    struct Press {
        int32_t control;
        int key;
        Qt::KeyboardModifiers mods;
        const char* text;
        std::string wire;
    };
    const Press presses[] = {
        {Rich_Edit_Sent, Qt::Key_V, Qt::NoModifier, "V", "V"},
        {Rich_Edit_Received, Qt::Key_A, Qt::ShiftModifier, "A", "A"},
        {Rich_Edit_Sent, Qt::Key_Return, Qt::NoModifier, "\r", "\r"},
        {Rich_Edit_Sent, Qt::Key_Backspace, Qt::NoModifier, "", "\b"},
        {Rich_Edit_Sent, Qt::Key_B, Qt::ControlModifier, "", "\x02"},
        {Rich_Edit_Received, Qt::Key_A, Qt::ControlModifier, "\x01", "\x01"},
    };
    for (const auto& p : presses) {
        SCOPED_TRACE(p.wire);
        size_t before = sim.Received().size();
        Key(p.control, p.key, p.mods, QString::fromLatin1(p.text));
        // What the controller makes of it (a fault query may follow) is not the key's; the
        // fault query an earlier key's "?" started may also come first, as late as a busy
        // machine runs the poller that read it.
        auto keys = [&] {
            std::string wire = sim.Received().substr(std::min(before, sim.Received().size()));
            for (size_t at; (at = wire.find("KF,getFAc")) != std::string::npos;) wire.erase(at, 9);
            return wire;
        };
        EXPECT_TRUE(Until([&] { return keys().compare(0, p.wire.size(), p.wire) == 0; })) << keys();
        win::Process_Events(60);
    }
    // "V" is answered with the status letter: yellow in the Response window, "V" cyan.
    EXPECT_TRUE(Until([&] { return Text(Rich_Edit_Received).find('R') != std::string::npos; }));
    EXPECT_EQ(Colour_Of(Rich_Edit_Received, "R"), kYellow);
    EXPECT_EQ(Colour_Of(Rich_Edit_Sent, "V"), kSent_Blue);
    std::string sent = Text(Rich_Edit_Sent);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 'V'), 1) << sent;  // the echo, no insertion
    std::string log = Port_Log_Text();
    EXPECT_NE(log.find("<span style=\"color:rgb(255, 255, 0)\"> R"), std::string::npos);

    size_t before = sim.Received().size();
    Click(OptPortClosed);
    EXPECT_EQ(Wire(sim, before, 3), "Q,\r");  // off line
    EXPECT_EQ(Serial_Port_State.Handle, 0);
    EXPECT_TRUE(win::Is_Window_Enabled(Item(OptPortOpen)));
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    EXPECT_EQ(win::Get_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log), 0);
}

struct Control_Case {
    const char* name;
    std::function<void(Terminal_Test&)> prepare;
    int32_t button;
    std::string wire;
    bool echoed;
};

TEST_F(Terminal_Test, ControlsSendTheirCommandsOnTheWire) {
    auto& sim = Sim(5);
    List_Ports({"COM5"});
    Build();
    Click(OptPortOpen);
    Wire(sim, 0, 3);
    auto text = [](int32_t id, std::string t) {
        return [id, t](Terminal_Test& test) { test.Set_Text(id, t); };
    };
    auto move = [](int32_t motor, const char* d, const char* v, bool reverse, const char* n) {
        return [=](Terminal_Test& test) {
            test.Click(QuickMove_Motor1 + motor - 1);
            test.Set_Text(QuickMove_Distance, d);
            test.Set_Text(QuickMove_Velocity, v);
            test.Set_Text(QuickMove_Repeat, n);
            if (win::Send_Message(test.Item(QuickMove_Auto_Reverse), win::BM_GETCHECK) !=
                (reverse ? 1 : 0))
                test.Click(QuickMove_Auto_Reverse);
        };
    };
    const Control_Case cases[] = {
        {"set id", text(2006, "3"), Cmd_Set_Id + 2, "F,setMLH2M=3,rss,", true},
        {"flash", nullptr, Cmd_Flash_Led + 4, "F,setAXISF4M3,", false},
        {"serial", text(Text_Buffered, "setser#&=1234-56     @7654321"), Cmd_Send,
         "setser#&=1234-56     @7654321\r", true},
        {"as typed", text(Text_Buffered, "V"), Cmd_Send, "V", true},
        {"lines", text(Text_Buffered, "F,\nV"), Cmd_Send, "F,\r\nV", true},
        {"long", text(Text_Buffered, std::string(1500, 'x')), Cmd_Send, std::string(1023, 'x'),
         true},
        {"negative", move(2, "400", "2000", false, ""), QuickMove_Negative,
         "F,PM-0,S2M2000,I2M-400,R", true},
        {"positive", move(2, "400", "-1500", true, "3"), QuickMove_Positive,
         "F,PM-0,S2M-1500,I2M400,I2M-400,LA3,R", true},
        {"repeat 1", move(2, "400", "9000", false, "1"), QuickMove_Positive,
         "F,PM-0,S2M9000,I2M400,R", true},
        {"distance", move(1, "-250", "+2000", false, ""), QuickMove_Positive,
         "F,PM-0,S1M+2000,I1M250,R", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.prepare) c.prepare(*this);
        win::Set_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Sent, "");
        size_t before = sim.Received().size();
        Click(c.button);
        EXPECT_EQ(Wire(sim, before, c.wire.size()).substr(0, c.wire.size()), c.wire);
        win::Process_Events(30);
        std::string shown = Text(Rich_Edit_Sent);
        EXPECT_EQ(shown.find(c.wire.substr(0, 8)) != std::string::npos, c.echoed) << shown;
    }
    EXPECT_EQ(Text(QuickMove_Distance), "250");
    EXPECT_EQ(Text(QuickMove_Velocity), "+2000");  // left as typed
}

TEST_F(Terminal_Test, RefreshIdListFillsEveryFieldFromTheController) {
    for (int32_t axes : {4, 2}) {
        SCOPED_TRACE(axes);
        sims.clear();
        sim::Sim_Config config;
        config.model.axes = axes;
        Sim(5, config);
        List_Ports({"COM5"});
        if (!win::Frame_Window) Build();
        Click(OptPortOpen);
        for (int32_t a = 1; a <= 4; ++a) Set_Text(Axis_Id_Box + a, "old");
        Click(Cmd_Refresh_Ids);
        const std::pair<int32_t, std::string> fields[] = {
            {Field_Serial_Num, "1234-56\r"},
            {Field_Order_Num, "7654321\r"},
            {Field_Version, "1.23\r"},
        };
        for (const auto& [id, value] : fields) EXPECT_EQ(Text(id), value) << id;
        for (int32_t id : {Field_Revision, Field_Axis_Mode, Field_Detected})
            EXPECT_GT(Text(id).size(), 1u) << id;
        for (int32_t a = 1; a <= 4; ++a) {
            std::string id = Text(Axis_Id_Box + a);
            if (a <= axes)
                EXPECT_EQ(std::count(id.begin(), id.end(), ','), 2) << a << " " << id;
            else
                EXPECT_EQ(id, "") << a;
        }
        Click(OptPortClosed);
    }
}

TEST_F(Terminal_Test, DeviceChangesRereadTheListAndCloseThePort) {
    auto& sim = Sim(5);
    Build();  // the live list: the ports folder and what the machine has
    HWND list = Item(Port_List);
    auto index_of = [&](const std::string& port) {
        for (int64_t i = 0; i < win::Send_Message(list, win::CB_GETCOUNT); ++i) {
            char name[64] = {};
            win::Send_Message(list, win::CB_GETLBTEXT, uint64_t(i), reinterpret_cast<LPARAM>(name));
            if (port == name) return i;
        }
        return int64_t(-1);
    };
    auto listed = [&](const std::string& port) { return index_of(port) >= 0; };
    win::Send_Message(list, win::CB_SETCURSEL, uint64_t(index_of("COM5")));
    Click(OptPortOpen);
    ASSERT_EQ(Serial_Port_State.Number, 5);
    ASSERT_GT(Serial_Port_State.Handle, 0);
    // A simulator registering: arrival, the first port selected, then the port closed.
    Sim(6);
    EXPECT_TRUE(Until([&] { return listed("COM6"); }));
    EXPECT_TRUE(Until([&] { return Serial_Port_State.Handle == 0; }));
    EXPECT_EQ(win::Send_Message(Item(Port_List), win::CB_GETCURSEL), 0);
    EXPECT_TRUE(Until([&] { return sim.Received().find("Q,\r") != std::string::npos; }));
    EXPECT_EQ(win::Send_Message(Item(OptPortClosed), win::BM_GETCHECK), 1);
    // Leaving: removal, nothing selected.
    sims.erase(6);
    EXPECT_TRUE(Until([&] { return !listed("COM6"); }));
    EXPECT_TRUE(Until([&] {
        return win::Send_Message(Item(Port_List), win::CB_GETCURSEL) ==
               int64_t(int32_t(win::CB_ERR));
    }));
    // The handlers that return straight away leave no exit line; the others do.
    ErrCheck_Debug(1);
    ErrCheck_Show_Callbacks(1);
    for (auto [event, exit_line] : {std::pair{0x17, true}, {0x7, false}, {0x8003, true}}) {
        platform::Capture_Reset();
        win::Send_Message(win::Terminal_Dialog, win::WM_DEVICECHANGE, uint64_t(event));
        // The handler's own exit line is the unindented one (the click it makes nests).
        EXPECT_EQ(Trace().find("\nEnd SERIAL_TERMINAL_PROC") != std::string::npos, exit_line)
            << Trace();
    }
    ErrCheck_Show_Callbacks(0);
    ErrCheck_Debug(0);
    // "Refresh Ports" closes the open port and does not reread the list.
    win::Send_Message(list, win::CB_SETCURSEL, uint64_t(index_of("COM5")));
    Click(OptPortOpen);
    Menu(win::Terminal_Dialog, IDM_Refresh_Ports);
    EXPECT_EQ(Serial_Port_State.Handle, 0);
    EXPECT_EQ(win::Send_Message(list, win::CB_GETCURSEL), index_of("COM5"));
    EXPECT_EQ(win::Send_Message(Item(OptPortClosed), win::BM_GETCHECK), 1);
}

TEST_F(Terminal_Test, LocateOpensEachListedPortUntilOneAnswers) {
    sim::Sim_Config silent;
    silent.model.answer_limit = 0;
    auto& first = Sim(5, silent);
    auto& second = Sim(6);
    auto& third = Sim(7);
    List_Ports({"COM5", "COM6", "COM7"});
    Build();
    win::Send_Message(Item(CmbBaudRate), win::CB_SETCURSEL, 0);  // 9600: the scan sets 57600
    Serial_Terminal_Hide(win::Terminal_Dialog);
    win::Set_Menu_State(win::Menu_Bar, IDM_Terminal, 0);
    Menu(win::Frame_Window, IDM_Locate_KDX);
    EXPECT_TRUE(win::Is_Window_Visible(win::Terminal_Dialog));
    EXPECT_EQ(win::Get_Menu_State(win::Menu_Bar, IDM_Terminal), int32_t(win::MFS_CHECKED));
    // The first opened (at the list's rate, so its "F," is lost), probed and closed.
    EXPECT_EQ(first.Received(), "VQ,\r");
    EXPECT_GT(first.Dropped(), 0);
    // The second answered: it stays open at 57600, selected.
    EXPECT_EQ(second.Received(), "F,\rV");  // the list is at 57600 by now
    EXPECT_EQ(Serial_Port_State.Number, 6);
    EXPECT_GT(Serial_Port_State.Handle, 0);
    EXPECT_EQ(Text(Port_List), "COM6");
    EXPECT_EQ(Text(CmbBaudRate), "57600");
    EXPECT_EQ(third.Received(), "");
    EXPECT_EQ(third.Dropped(), 0);
    EXPECT_NE(Text(Rich_Edit_Sent).find("COM5: "), std::string::npos);
}

TEST_F(Terminal_Test, LocateWithNoPortsSendsNothing) {
    auto& sim = Sim(5);
    List_Ports({});
    Build();
    EXPECT_EQ(KDX_Detect(), "");
    win::Process_Events(50);
    EXPECT_EQ(sim.Received(), "");
    EXPECT_EQ(Serial_Port_State.Handle, 0);
}

TEST_F(Terminal_Test, APortThatCannotBeOpenedIsNamedAndShownClosed) {
    Sim(5);
    List_Ports({"COM9", "COM5", "BTH_COM7"});
    Build();
    int32_t number = 5, baud = 57600;
    int32_t other = Serial_Port_Open(number, baud);  // another program holds COM5
    ASSERT_GT(other, 0);
    const std::pair<int32_t, std::string> cases[] = {
        {0, "Cannot open COM9: no such port"},
        {1, "Cannot open COM5: another program holds it"},
        {2, "Cannot open BTH_COM7: no such port"},
    };
    for (const auto& [entry, line] : cases) {
        SCOPED_TRACE(line);
        win::Set_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Received, "");
        win::Send_Message(Item(Port_List), win::CB_SETCURSEL, uint64_t(entry));
        Click(OptPortOpen);
        win::Process_Events(20);
        EXPECT_NE(Text(Rich_Edit_Received).find(line), std::string::npos)
            << Text(Rich_Edit_Received);
        EXPECT_EQ(Serial_Port_State.Handle, 0);
        EXPECT_TRUE(win::Is_Window_Enabled(Item(OptPortOpen)));
        EXPECT_TRUE(win::Is_Window_Enabled(Item(Port_List)));
        EXPECT_EQ(win::Send_Message(Item(OptPortClosed), win::BM_GETCHECK), 1);
    }
    Serial_Port_Close(other);
}

// A port log that stops writing mid-session (its file taken away here) must not leave the
// check mark claiming the traffic is logged: it comes off, and the Response window says why.
TEST_F(Terminal_Test, APortLogThatStopsWritingIsSaidAndUnchecked) {
    Sim(5);
    List_Ports({"COM5"});
    Build();
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    ASSERT_NE(Port_Log_File, 0);
    Click(OptPortOpen);
    platform::Close_Handle(Port_Log_File.load());
    Key(Rich_Edit_Sent, Qt::Key_V, Qt::NoModifier, "V");
    EXPECT_TRUE(Until([&] {
        return Text(Rich_Edit_Received).find("the port log could not be written") !=
               std::string::npos;
    })) << Text(Rich_Edit_Received);
    EXPECT_EQ(win::Get_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log), 0);
    EXPECT_EQ(Port_Log_File, 0);
    Click(OptPortClosed);
}

}  // namespace
}  // namespace kdx::test
