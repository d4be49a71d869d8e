// The Terminal at work against simulated controllers: opening a port and typing to it, the
// controls' commands on the wire, the identity refresh, device changes, locating the
// controller, and a port that cannot be opened.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#include <QContextMenuEvent>
#include <QImage>
#include <QMainWindow>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "files/ini.h"
#include "files/port_log.h"
#include "platform/os/handles.h"
#include "platform/ports/ports_dir.h"
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

// From now on every write to the open port log fails as on a full disk: its descriptor is made
// one of /dev/full.
void Fill_Port_Log_Disk() {
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::filesystem::path target = std::filesystem::read_symlink(e.path(), error);
        if (error || target.filename().string().rfind("KDX Port Log ", 0) != 0) continue;
        int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
        dup2(full, std::stoi(e.path().filename().string()));
        close(full);
    }
}

const QColor Yellow(255, 255, 0), Sent_Blue(0, 200, 255);

TEST_F(Terminal_Test, OpenTypeAndSeeTheReplyInColourAndInThePortLog) {
    // The control keys typed below end no command of their own: the quiet time takes them
    // as one before "Q," goes out, so the port's close is seen alone on the wire.
    sim::Sim_Config config;
    config.model.quiet_ms = 20;
    auto& sim = Sim(5, config);
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
    EXPECT_EQ(Colour_Of(Rich_Edit_Received, "R"), Yellow);
    EXPECT_EQ(Colour_Of(Rich_Edit_Sent, "V"), Sent_Blue);
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

// Late, slow, faulty and flooding controllers: every field shows what came ("?" and all),
// and every field that is not the controller's true value is named in the status strip with
// the count of doubtful fields, so nobody copies down a wrong serial number unwarned.
TEST_F(Terminal_Test, RefreshIdListNamesEveryFieldThatIsNotTheControllersValue) {
    struct Case {
        const char* name;
        void (*set)(sim::Sim_Config&);
    };
    const Case cases[] = {
        {"clean", [](sim::Sim_Config&) {}},
        {"late_150", [](sim::Sim_Config& c) { c.late_ms = 150; }},
        {"slow_10", [](sim::Sim_Config& c) { c.slow_ms = 10; }},
        {"hang_up_after_3", [](sim::Sim_Config& c) { c.hangup_after = 3; }},
        {"nul_bytes", [](sim::Sim_Config& c) { c.nul_every = 3; }},
        {"flood", [](sim::Sim_Config& c) { c.flood_bytes = 1 << 20; }},
    };
    struct Field {
        int32_t id;
        const char* name;
        const char* value;  // what the simulated controller holds
    };
    const Field fields[] = {
        {Field_Serial_Num, "Serial Num", "1234-56\r"}, {Field_Order_Num, "Order Num", "7654321\r"},
        {Field_Version, "Version", "1.23\r"},          {Field_Revision, "Revision", "12-06-26\r"},
        {Field_Axis_Mode, "Axis Mode", "1111\r"},      {Field_Detected, "Detected", "1234\r"},
        {Axis_Id_Box + 1, "Axis 1 ID", "17,-1A0,1"},   {Axis_Id_Box + 2, "Axis 2 ID", "17,10,0"},
        {Axis_Id_Box + 3, "Axis 3 ID", "34,00,1"},     {Axis_Id_Box + 4, "Axis 4 ID", "34,-20,0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Serial_Port_Close(Serial_Port_State.Handle);
        sims.clear();
        sim::Sim_Config config;
        c.set(config);
        Sim(5, config);
        List_Ports({"COM5"});
        if (!win::Frame_Window) Build();
        Click(OptPortOpen);
        ErrCheck_Debug(1);
        platform::Capture_Reset();
        Click(Cmd_Refresh_Ids);
        ErrCheck_Debug(0);
        const std::string strip = Status_Strip();
        // Every doubtful field with its reason goes to the trace; the strip names as many as
        // fit on a small screen.
        std::string trace = Trace();
        size_t at = trace.find("doubtful: ");
        std::string doubtful =
            at == std::string::npos ? "" : trace.substr(at, trace.find('\n', at) - at);
        int wrong = 0, listed = 0;
        for (const auto& f : fields) {
            std::string text = Text(f.id);
            EXPECT_EQ(text.find("(garbled)"), std::string::npos) << f.name << ": " << text;
            bool is_listed = doubtful.find(std::string(f.name) + ": ") != std::string::npos;
            listed += is_listed;
            // A row left blank (the axes found were doubtful) shows no wrong value.
            bool unread = text.empty() && f.id > Axis_Id_Box;
            if (text != f.value && !unread) {
                ++wrong;
                EXPECT_TRUE(is_listed)
                    << f.name << " shows " << Visible_Controls(text) << " / " << doubtful;
            }
        }
        if (std::string(c.name) == "clean") {
            EXPECT_EQ(wrong, 0);
            EXPECT_EQ(strip, "Refresh ID List: identity and 4 axis ids read from COM5");
        } else {
            EXPECT_GT(wrong, 0);
            if (strip.find("no answer from") == std::string::npos) {
                const std::string lead = "Refresh ID List: " + std::to_string(listed) + " of ";
                EXPECT_EQ(strip.rfind(lead, 0), 0u) << strip;
                EXPECT_NE(strip.find(" fields doubtful: "), std::string::npos) << strip;
            }
            EXPECT_LE(strip.substr(0, strip.find("  |  ")).size(), 80u) << strip;
        }
        if (Serial_Port_State.Handle != 0) Click(OptPortClosed);
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

// The strip's texts: the operation's words, and the permanent part's.
std::string Strip(const char* part) {
    auto* frame = qobject_cast<QMainWindow*>(Widget(win::Frame_Window));
    auto* label = frame ? frame->findChild<QLabel*>(QLatin1String(part)) : nullptr;
    return label ? label->text().toStdString() : std::string("(no strip)");
}

// The contrast of the strip's verdict as drawn: its ground (a corner pixel) against its
// text (the pixel farthest from the ground in luminance), by the WCAG formula.
double Verdict_Contrast() {
    auto* frame = qobject_cast<QMainWindow*>(Widget(win::Frame_Window));
    QImage image = frame->findChild<QLabel*>(QStringLiteral("status_text"))->grab().toImage();
    auto luminance = [](QRgb c) {
        auto channel = [](int v) {
            double x = v / 255.0;
            return x <= 0.03928 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
    };
    double ground = luminance(image.pixel(1, 1)), text = ground;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            double l = luminance(image.pixel(x, y));
            if (std::abs(l - ground) > std::abs(text - ground)) text = l;
        }
    return (std::max(ground, text) + 0.05) / (std::min(ground, text) + 0.05);
}

TEST_F(Terminal_Test, LocateFromAnOpenPortKeepsTheAnsweringOneInTheBoxAndSaysSo) {
    sim::Sim_Config silent;
    silent.model.answer_limit = 0;
    auto& first = Sim(5, silent);
    Sim(6, silent);
    auto& answering = Sim(7);
    List_Ports({"COM5", "COM6", "COM7"});
    Build();
    // The operator has COM7 open already: its "Enable Port" is greyed, so the scan must not
    // take COM7's answers for COM5's.
    win::Send_Message(Item(Port_List), win::CB_SETCURSEL, 2);
    Click(OptPortOpen);
    EXPECT_EQ(Wire(answering, 0, 3), "F,\r");
    EXPECT_EQ(Strip("status_port"), "COM7 open at 57600 baud");
    Menu(win::Frame_Window, IDM_Locate_KDX);
    EXPECT_EQ(Wire(first, 0, 7), "F,\rVQ,\r");  // really asked
    EXPECT_EQ(Serial_Port_State.Number, 7);
    EXPECT_EQ(Text(Port_List), "COM7");
    EXPECT_NE(Read_File(Ini_Get_Page_Path()).find("Port:=COM7<br/>"), std::string::npos);
    EXPECT_EQ(Strip("status_text"), "Locate: KDX found on COM7 at 57600");
    EXPECT_EQ(Strip("status_port"), "COM7 open at 57600 baud");
    EXPECT_GE(Verdict_Contrast(), 4.5);  // WCAG AA for text

    // Nothing answers: the strip says so, and no port is left open.
    Click(OptPortClosed);
    sims.erase(7);
    Menu(win::Frame_Window, IDM_Locate_KDX);
    EXPECT_EQ(Strip("status_text"), "Locate: no controller answered on 3 ports");
    EXPECT_EQ(Strip("status_port"), "No port open");
    EXPECT_GE(Verdict_Contrast(), 4.5);
}

TEST_F(Terminal_Test, SetIdWithAnEmptyBoxAndControlsWithoutAPortSendNothingAndSayWhy) {
    auto& sim = Sim(5);
    List_Ports({"COM5"});
    Build();
    // Refresh ID List with no port blanks the fields (its queries return nothing) and sends
    // nothing.
    Click(Cmd_Refresh_Ids);
    for (int32_t id : {int32_t(Field_Serial_Num), int32_t(Field_Order_Num), int32_t(Field_Version),
                       int32_t(Field_Revision), int32_t(Field_Axis_Mode), int32_t(Field_Detected),
                       Axis_Id_Box + 1, Axis_Id_Box + 4})
        EXPECT_EQ(Text(id), "") << id;
    EXPECT_EQ(sim.Received(), "");
    // No port open: each control that needs one says so in the strip.
    for (int32_t id : {int32_t(Cmd_Refresh_Ids), Cmd_Set_Id + 1, int32_t(QuickMove_Positive)}) {
        Status_Say("");
        Click(id);
        EXPECT_EQ(Strip("status_text").rfind("Open a port first", 0), 0u) << id;
    }
    Status_Say("");
    Key(Rich_Edit_Sent, Qt::Key_V, Qt::NoModifier, "V");
    EXPECT_EQ(Strip("status_text").rfind("Open a port first", 0), 0u);
    Click(OptPortOpen);
    EXPECT_EQ(Wire(sim, 0, 3), "F,\r");
    for (const char* blank : {"", "   "}) {
        Set_Text(Axis_Id_Box + 2, blank);
        Click(Cmd_Set_Id + 2);
        EXPECT_EQ(Strip("status_text"), "Set ID: the Axis 2 ID box is empty; nothing was sent");
    }
    Set_Text(Axis_Id_Box + 2, "M1");
    Click(Cmd_Set_Id + 2);
    EXPECT_EQ(Wire(sim, 3, 18), "F,setMLH2M=M1,rss,");
    EXPECT_EQ(sim.Received().find("setMLH2M=,"), std::string::npos);
}

// What the strip says belongs to the operation that said it: it goes when the port changes or
// another operation starts; it stays while the port stays and nothing else runs.
TEST_F(Terminal_Test, AVerdictYieldsWhenThePortChangesOrAnotherOperationStarts) {
    auto& sim = Sim(5);
    List_Ports({"COM5"});
    Build();
    struct Case {
        const char* name;
        bool open_first;
        std::function<void()> say;
        std::function<void()> then;
        bool stays;
    };
    auto locate_failed = [] { Status_Verdict("Locate: no controller answered on 1 port", false); };
    const Case cases[] = {
        {"port_opened", false, locate_failed, [&] { Click(OptPortOpen); }, false},
        {"port_closed", true, locate_failed, [&] { Click(OptPortClosed); }, false},
        {"key_typed", true, locate_failed,
         [&] { Key(Rich_Edit_Sent, Qt::Key_V, Qt::NoModifier, "V"); }, false},
        {"ports_changed_then_opened", true, [&] { Menu(win::Terminal_Dialog, IDM_Refresh_Ports); },
         [&] { Click(OptPortOpen); }, false},
        {"window_cleared", true, locate_failed, [&] { Click(Cmd_Clear_Sent); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.open_first != Port_Is_Open()) Click(c.open_first ? OptPortOpen : OptPortClosed);
        ASSERT_EQ(Port_Is_Open(), c.open_first);
        c.say();
        const std::string said = Status_Strip();
        ASSERT_FALSE(said.empty());
        c.then();
        if (c.stays)
            EXPECT_EQ(Status_Strip(), said);
        else
            EXPECT_EQ(Status_Strip().find(said.substr(0, 12)), std::string::npos)
                << said << " / " << Status_Strip();
    }
    (void)sim;
}

// The port opens even when the settings page cannot take it, and the strip says the choice
// was not saved.
TEST_F(Terminal_Test, APortChoiceThatCannotBeSavedIsSaid) {
    Sim(5);
    List_Ports({"COM5"});
    Build();
    const std::string page = Ini_Get_Page_Path();
    ASSERT_FALSE(page.empty());
    const std::string kept = page + ".kept-" + std::to_string(getpid());
    bool had = std::rename(page.c_str(), kept.c_str()) == 0;
    // A link where the page should be: the settings writer never writes through one.
    ASSERT_EQ(symlink("/nonexistent/kdx-settings", page.c_str()), 0);
    Click(OptPortOpen);
    unlink(page.c_str());
    if (had) std::rename(kept.c_str(), page.c_str());
    EXPECT_TRUE(Port_Is_Open());
    EXPECT_EQ(Status_Strip().rfind("COM5 open; the port choice was not saved: ", 0), 0u)
        << Status_Strip();
}

// Tab in a black window is the controller's key and goes out as 0x09; Ctrl+Tab leaves it.
// The Buffered Send box is an ordinary box of a dialog: Tab leaves it, Ctrl+Tab types a tab.
TEST_F(Terminal_Test, TabIsTheControllersInABlackWindowAndLeavesTheBufferedSendBox) {
    auto& sim = Sim(5);
    List_Ports({"COM5"});
    Build();
    Click(OptPortOpen);
    size_t at = Wire(sim, 0, 3).size();
    struct Case {
        int32_t id;
        Qt::KeyboardModifiers mods;
        bool sent;   // a tab reached the controller
        bool typed;  // a tab went into the box
        bool stays;  // the focus stayed
    };
    const Case cases[] = {
        {Rich_Edit_Sent, Qt::NoModifier, true, false, true},
        {Rich_Edit_Received, Qt::NoModifier, true, false, true},
        {Rich_Edit_Sent, Qt::ControlModifier, false, false, false},
        {Text_Buffered, Qt::NoModifier, false, false, false},
        {Text_Buffered, Qt::ControlModifier, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + (c.mods ? " ctrl" : ""));
        Set_Text(Text_Buffered, "");
        QWidget* w = Control(c.id);
        w->window()->activateWindow();
        w->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(Until([&] { return QApplication::focusWidget() == w; }));
        Key(c.id, Qt::Key_Tab, c.mods, c.mods ? QString() : QStringLiteral("\t"));
        win::Process_Events(20);
        if (c.sent) {
            EXPECT_EQ(Wire(sim, at, 1), "\t");
            at = sim.Received().size();
        }
        EXPECT_EQ(Text(Text_Buffered), c.typed ? "\t" : "");
        EXPECT_EQ(QApplication::focusWidget() == w, c.stays);
    }
    EXPECT_EQ(sim.Received().size(), at);
}

// On a small screen the Terminal scrolls: whichever control takes the focus is brought into
// view, the far corners' too (one taller than the view shows its start).
TEST_F(Terminal_Test, OnASmallScreenTheFocusIsScrolledIntoView) {
    Sim(5);
    List_Ports({"COM5"});
    Build();
    auto* frame = qobject_cast<QMainWindow*>(Widget(win::Frame_Window));
    ASSERT_NE(frame, nullptr);
    frame->showNormal();
    frame->resize(800, 600);
    win::Process_Events(50);
    auto* area = frame->findChild<QMdiArea*>();
    ASSERT_NE(area, nullptr);
    QWidget* view = area->viewport();
    const int32_t order[] = {
        QuickMove_Positive,     OptPortOpen,   Cmd_Refresh_Ids,   Rich_Edit_Received,
        QuickMove_Auto_Reverse, Text_Buffered, Cmd_Flash_Led + 4, Rich_Edit_Sent};
    for (int32_t id : order) {
        SCOPED_TRACE(id);
        QWidget* w = Control(id);
        w->window()->activateWindow();
        w->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(Until([&] { return QApplication::focusWidget() == w; }));
        win::Process_Events(20);
        QRect r(w->mapTo(view, QPoint(0, 0)), w->size());
        EXPECT_TRUE(view->rect().contains(r.topLeft())) << r.x() << "," << r.y();
        EXPECT_TRUE(view->rect().contains(QPoint(r.left() + std::min(r.width(), 100) - 1,
                                                 r.top() + std::min(r.height(), 20) - 1)))
            << r.x() << "," << r.y() << " " << r.width() << "x" << r.height() << " in "
            << view->width() << "x" << view->height();
    }
}

// Only the items the program checks show a mark, and only while checked; the black
// windows' menu has Copy and Select All, neither with Ctrl+A (which the window sends).
TEST_F(Terminal_Test, OnlyCheckedMenuItemsShowAMarkAndTheBlackWindowsMenuOffersNoCtrlA) {
    List_Ports({});
    Build();
    auto checkable = [] {
        std::set<std::string> names;
        std::vector<QAction*> actions;
        for (QMenuBar* bar : Widget(win::Frame_Window)->findChildren<QMenuBar*>())
            for (QAction* a : bar->actions()) actions.push_back(a);
        while (!actions.empty()) {
            QAction* a = actions.back();
            actions.pop_back();
            if (a->menu())
                for (QAction* sub : a->menu()->actions()) actions.push_back(sub);
            else if (a->isCheckable())
                names.insert(a->text().toStdString() + (a->isChecked() ? "" : " (empty box)"));
        }
        return names;
    };
    EXPECT_EQ(checkable(), std::set<std::string>({"&Terminal"}));
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    EXPECT_EQ(checkable(), std::set<std::string>({"&Terminal", "Terminal Log"}));
    EXPECT_EQ(Strip("status_text"), "Port log on: " + Port_Log_Current_Path());
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    EXPECT_EQ(checkable(), std::set<std::string>({"&Terminal"}));

    for (int32_t id : {Rich_Edit_Sent, Rich_Edit_Received}) {
        SCOPED_TRACE(id);
        auto* edit = qobject_cast<QPlainTextEdit*>(Control(id));
        Set_Text(id, "reply");
        std::vector<std::pair<std::string, std::string>> items;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            for (QAction* a : menu->actions())
                items.emplace_back(a->text().toStdString(), a->shortcut().toString().toStdString());
            menu->actions().back()->trigger();  // Select All
            menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                edit->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(edit->viewport(), &event);
        std::vector<std::pair<std::string, std::string>> want = {{"&Copy", "Ctrl+C"},
                                                                 {"Select &All", ""}};
        EXPECT_EQ(items, want);
        EXPECT_EQ(edit->textCursor().selectedText().toStdString(), "reply");
    }
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

// The controller goes away while the port is open (its line hung up, the entry still listed):
// the Terminal shows the port closed, the Response window and the status strip say it hung
// up, and keys typed afterwards are neither shown nor logged as sent.
TEST_F(Terminal_Test, APortThatHangsUpIsShownClosedAndTakesNoMoreKeys) {
    // Registered by hand: the entry stays when the line goes, so no device change closes the
    // port first.
    sim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    ASSERT_TRUE(platform::Ports_Dir_Register(5, sim.Device()));
    List_Ports({"COM5"});
    Build();
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    Click(OptPortOpen);
    ASSERT_NE(Serial_Port_State.Handle, 0);
    Key(Rich_Edit_Sent, Qt::Key_V, Qt::NoModifier, "V");
    EXPECT_TRUE(Until([&] { return sim.Received().find('V') != std::string::npos; }));
    sim.Hang_Up();
    const std::string said = "COM5 hung up";
    EXPECT_TRUE(Until([&] {
        return Serial_Port_State.Handle == 0 && Status_Strip().rfind(said, 0) == 0;
    })) << Status_Strip();
    EXPECT_EQ(win::Send_Message(Item(OptPortClosed), win::BM_GETCHECK), 1);
    EXPECT_TRUE(win::Is_Window_Enabled(Item(OptPortOpen)));
    EXPECT_TRUE(win::Is_Window_Enabled(Item(Port_List)));
    EXPECT_NE(Text(Rich_Edit_Received).find(said), std::string::npos) << Text(Rich_Edit_Received);
    std::string shown = Text(Rich_Edit_Sent);
    size_t logged = Port_Log_Text().size();
    for (int i = 0; i < 5; ++i) Key(Rich_Edit_Sent, Qt::Key_Q, Qt::NoModifier, "q");
    win::Process_Events(20);
    EXPECT_EQ(Text(Rich_Edit_Sent), shown);
    EXPECT_EQ(Port_Log_Text().find(Echo_Sent_Log_Line("q"), logged), std::string::npos);
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);  // the log closes
}

// A port log that stops writing mid-session (its disk full here) must not leave the
// check mark claiming the traffic is logged: it comes off, the Response window says why on a
// line of its own, and the status strip keeps saying it while the traffic goes on.
TEST_F(Terminal_Test, APortLogThatStopsWritingIsSaidAndUnchecked) {
    Sim(5);
    List_Ports({"COM5"});
    Build();
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    ASSERT_NE(Port_Log_File, 0);
    Click(OptPortOpen);
    // The log's disk fills while Refresh ID List runs: the strip keeps the reason beside the
    // refresh's progress, to its end, and after it while the traffic goes on.
    QTimer::singleShot(150, [] { Fill_Port_Log_Disk(); });
    Click(Cmd_Refresh_Ids);
    EXPECT_TRUE(Until([&] {
        return Text(Rich_Edit_Received).find("the port log could not be written") !=
               std::string::npos;
    })) << Text(Rich_Edit_Received);
    EXPECT_EQ(win::Get_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log), 0);
    EXPECT_EQ(Port_Log_File, 0);
    EXPECT_NE(Text(Rich_Edit_Received).find("\nthe port log could not be written"),
              std::string::npos);
    const std::string reason = "Port log stopped: the port log could not be written";
    EXPECT_NE(Status_Strip().find(reason), std::string::npos) << Status_Strip();
    auto& sim = *sims[5];
    sim.Send("KDX42\r");  // the controller goes on talking, unasked
    EXPECT_TRUE(Until([&] { return Text(Rich_Edit_Received).find("KDX42") != std::string::npos; }))
        << Text(Rich_Edit_Received);
    EXPECT_NE(Status_Strip().find(reason), std::string::npos) << Status_Strip();
    Click(OptPortClosed);
}

// A flood faster than the window: the receive poller takes it while the user-interface thread
// is busy elsewhere, then the window catches up a slice per turn of its loop. The port log has
// every byte in order, the Response window ends with the newest text, and meanwhile no more was
// held for the window than it can show.
TEST_F(Terminal_Test, AFloodTheWindowCannotKeepUpWithIsLoggedWholeAndHeldOnlyAsFarAsItShows) {
    sim::Simulator& sim = Sim(5);
    List_Ports({"COM5"});
    Build();
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    ASSERT_NE(Port_Log_File, 0);
    const std::string log = Port_Log_Current_Path();
    const auto from = std::streamoff(std::filesystem::file_size(log));
    Click(OptPortOpen);
    const std::string flood = sim::Flood_Text(4 << 20) + "#END#";
    sim.Send(flood);
    // No turn of the event loop until the poller has logged the whole flood.
    auto logged_to_end = [&] {
        std::ifstream in(log, std::ios::binary | std::ios::ate);
        auto size = std::streamoff(in.tellg());
        if (size < from + 64) return false;
        std::string tail(64, '\0');
        in.seekg(size - 64);
        in.read(tail.data(), 64);
        return tail.find("#END#") != std::string::npos;
    };
    ASSERT_TRUE(Eventually(logged_to_end, 60000));
    // What waits is the newest the Response window keeps, and at most one read more.
    EXPECT_LE(Echo_Queue_Shown(Rich_Edit_Received), 131070 + 65536);
    EXPECT_TRUE(Until(
        [&] {
            std::string shown = Text(Rich_Edit_Received);
            return shown.size() > 5 && shown.compare(shown.size() - 5, 5, "#END#") == 0;
        },
        30000));
    Menu(win::Terminal_Dialog, IDM_Terminal_Log);
    Click(OptPortClosed);
    std::ifstream in(log, std::ios::binary);
    in.seekg(from);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str(), received;
    const std::string open = "<span style=\"color:rgb(255, 255, 0)\"> ", close = "</span>";
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
        at += open.size();
        size_t end = text.find(close, at);
        for (size_t i = at; i < end; ++i) {
            bool br = text.compare(i, 4, "<br>") == 0;
            received += br ? '\r' : text[i];
            if (br) i += 3;
        }
        at = end;
    }
    // Every byte of the flood, in order. The log is the build folder's daily one, which tests
    // running beside this one write too: their lines may come between the flood's, so the
    // flood must be in the log's received text in order, not alone.
    size_t found = 0;
    for (size_t i = 0; i < received.size() && found < flood.size(); ++i)
        if (received[i] == flood[found]) ++found;
    EXPECT_EQ(found, flood.size())
        << "the log lost the flood's bytes from " << found << " of " << flood.size();
}

}  // namespace
}  // namespace kdx::test
