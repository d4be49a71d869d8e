// The frame's commands against a simulated controller: each command id with its trace
// comment and its work, sending files through the real file dialog, and a long operation
// that keeps the window usable and ends when the frame is closed.
#include <unistd.h>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <filesystem>
#include <fstream>

#include "platform/ports/serial.h"
#include "protocol/kdx.h"
#include "protocol/kdx_send.h"
#include "tests/ui/file_dialog.h"
#include "tests/ui/terminal_fixture.h"

namespace kdx::test {
namespace {

class Command_Test : public Terminal_Test {
  public:
    void SetUp() override {
        Terminal_Test::SetUp();
        old_cwd = std::filesystem::current_path();
        std::filesystem::current_path(work.path());
    }
    void TearDown() override {
        Terminal_Test::TearDown();
        std::filesystem::current_path(old_cwd);
        unsetenv("KDX_SEND_PACE_PERCENT");
        unsetenv("KDX_EDITOR");
    }
    // The controller on COM5, its port open through the Terminal.
    sim::Simulator& Open_Sim() {
        auto& sim = Sim(5);
        List_Ports({"COM5"});
        Build();
        Click(OptPortOpen);
        Wire(sim, 0, 3);
        return sim;
    }
    // "Send to Device" with the file chosen in the open-file dialog, as an operator does.
    void Send_Through_Dialog(const std::string& path) {
        Choose_When_Asked(path);
        Menu(win::Frame_Window, IDM_Send_To_Device);
    }
    std::string Write_File(const std::string& name, const std::string& bytes) {
        std::string path = work.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // Waits until the line has been quiet a while (a fault query the controller's "?" set off
    // is over); the bytes received so far.
    size_t Quiet(sim::Simulator& sim) {
        size_t seen = sim.Received().size();
        for (int still = 0; still < 3;) {
            win::Process_Events(100);
            size_t now = sim.Received().size();
            still = now == seen ? still + 1 : 0;
            seen = now;
        }
        return seen;
    }
    // A "?" in a reply sets off the fault query between two commands, as it should.
    static std::string Without_Fault_Queries(std::string wire) {
        for (size_t at = wire.find("KF,getFAc"); at != std::string::npos;
             at = wire.find("KF,getFAc"))
            wire.erase(at, 9);
        return wire;
    }
    QAction* Menu_Action(int32_t id) {
        auto* frame = qobject_cast<QMainWindow*>(Widget(win::Frame_Window));
        for (QAction* top : frame->menuBar()->actions())
            for (QAction* a : top->menu()->actions()) {
                if (a->data().toInt() == id && !a->menu()) return a;
                if (a->menu())
                    for (QAction* s : a->menu()->actions())
                        if (s->data().toInt() == id) return s;
            }
        return nullptr;
    }

    Temp_Dir work;
    std::filesystem::path old_cwd;
};

TEST_F(Command_Test, EveryCommandIdWritesItsComment) {
    List_Ports({});
    Build();
    ErrCheck_Debug(1);
    const std::pair<int32_t, const char*> commands[] = {
        {IDM_Tools, "%IDM_Tools"},
        {IDM_KDX_Serial_Number, "%IDM_KDX_Serial_Number"},
        {IDM_KDX_Order_Numbers, "%IDM_KDX_Order_Numbers"},
        {IDM_KDX_Tester, "%IDM_KDX_Tester"},
        {IDM_KDX_Test_Memory, "%IDM_KDX_Test_Memory"},
        {IDM_KDX_Testing_Routines, "%IDM_KDX_Testing_Routines"},
        {IDM_KDX_Test_USB_Commo, "%IDM_KDX_Test_USB_Commo"},
        {IDM_KDX_Test_Axis3_Program3, "%IDM_KDX_Test_Axis3_Program3"},
        {IDM_Identify_Device, "%IDM_Identify_Device"},
        {IDM_Terminal, "%IDM_Terminal"},
        {4224, nullptr},
    };
    for (const auto& [id, comment] : commands) {
        SCOPED_TRACE(id);
        platform::Capture_Reset();
        Menu(win::Frame_Window, id);
        std::string trace = Trace();
        EXPECT_NE(trace.find("FRAME_COMMAND(" + std::to_string(id) + ")"), std::string::npos);
        if (comment) {
            EXPECT_NE(trace.find(comment), std::string::npos) << trace;
        }
    }
    // Without a port the tests say so rather than test nothing.
    EXPECT_NE(Text(Rich_Edit_Sent).find("Port not open"), std::string::npos);
}

TEST_F(Command_Test, CommandsDoTheirWork) {
    auto& sim = Open_Sim();
    // "&Terminal" hides and shows the Terminal, its check mark following.
    Menu(win::Frame_Window, IDM_Terminal);
    EXPECT_FALSE(win::Is_Window_Visible(win::Terminal_Dialog));
    EXPECT_EQ(win::Get_Menu_State(win::Menu_Bar, IDM_Terminal), 0);
    // "KDX Help" shows it again and asks the controller; the reply comes through the poller.
    size_t before = sim.Received().size();
    Menu(win::Frame_Window, IDM_KDX_Help);
    EXPECT_TRUE(win::Is_Window_Visible(win::Terminal_Dialog));
    EXPECT_EQ(win::Get_Menu_State(win::Menu_Bar, IDM_Terminal), int32_t(win::MFS_CHECKED));
    EXPECT_EQ(Wire(sim, before, 5), "Help\r");
    EXPECT_TRUE(Until([&] { return Text(Rich_Edit_Received).find("getD4") != std::string::npos; }));
    // "Identify Device": on and off line three times at every rate; this controller hears
    // the 57600 ones.
    before = sim.Received().size();
    Menu(win::Frame_Window, IDM_Identify_Device);
    EXPECT_EQ(Wire(sim, before, 12), "F,Q,F,Q,F,Q,");
    // The communication test and a memory test pass against a working controller.
    Menu(win::Frame_Window, IDM_KDX_Test_USB_Commo);
    EXPECT_EQ(KDX_Tester_Passed(), 1);
    Menu(win::Frame_Window, IDM_KDX_Test_Axis2_Program2);
    EXPECT_EQ(KDX_Tester_Passed(), 1);
    EXPECT_NE(Wire(sim, 0, 0).find("lst2M2,"), std::string::npos);
    // The diagnostic report names the open port, in the current directory.
    Menu(win::Frame_Window, IDM_KDX_Diagnostic);
    std::string report;
    for (const auto& e : std::filesystem::directory_iterator(work.path()))
        if (e.path().filename().string().rfind("KDX Diagnostic", 0) == 0) report = e.path();
    ASSERT_FALSE(report.empty());
    std::ifstream in(report, std::ios::binary);
    std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(page.find("PortNum:=5"), std::string::npos);
    EXPECT_NE(page.find("Device:=KDX"), std::string::npos);
    EXPECT_EQ(page.find("BTH_COM5"), std::string::npos);
    // QuickMove: its dialog inside the frame's client area.
    Menu(win::Frame_Window, IDM_QuickMove);
    EXPECT_TRUE(win::Is_Window_Visible(QuickMove_Dialog));
    EXPECT_EQ(IsOpenQuickMoveSingle(), 1);
    // "App Debug": the console opens and closes, the check mark follows it.
    for (bool open : {true, false}) {
        Menu(win::Frame_Window, IDM_App_Debug);
        EXPECT_EQ(ErrCheck_Debug(2) != 0, open);
        EXPECT_EQ(win::Get_Menu_State(win::Menu_Bar, IDM_App_Debug),
                  open ? int32_t(win::MFS_CHECKED) : 0);
    }
    // "Edit" starts the desktop's editor without waiting for it.
    std::string mark = work.path() + "/editor-ran";
    std::string script = Write_File("editor.sh", "#!/bin/sh\ntouch '" + mark + "'\nsleep 5\n");
    chmod(script.c_str(), 0755);
    setenv("KDX_EDITOR", script.c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    Menu(win::Frame_Window, IDM_Edit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(Until([&] { return std::filesystem::exists(mark); }));
    // An editor that cannot start is said in the status strip.
    std::string missing = work.path() + "/no-such-editor";
    setenv("KDX_EDITOR", missing.c_str(), 1);
    Menu(win::Frame_Window, IDM_Edit);
    EXPECT_EQ(Status_Strip().rfind("Edit: cannot start " + missing + ": ", 0), 0u)
        << Status_Strip();
    // One that starts and fails at once is said as well, once its end is seen.
    setenv("KDX_EDITOR", "/bin/false", 1);
    Menu(win::Frame_Window, IDM_Edit);
    EXPECT_TRUE(Until([&] {
        return Status_Strip() ==
               "Edit: /bin/false ended at once with exit code 1; no editor is open";
    })) << Status_Strip();
}

TEST_F(Command_Test, SendToDeviceSendsTheChosenFile) {
    setenv("KDX_SEND_PACE_PERCENT", "0", 1);
    auto& sim = Open_Sim();
    struct Case {
        const char* name;
        std::string bytes;
        std::string wire;
        const char* status;  // shown in the Immediate Send window afterwards
    };
    const Case cases[] = {
        {"prog.KDX", KDX_Program_Scramble("F,V\r\nS1M400;speed"), "F,V,,S1M400,,",
         "Transmission Complete"},
        {"lower.kdx", KDX_Program_Scramble("F, V\r"), "F,V,,,,", "Transmission Complete"},
        {"raw.bin", std::string("V\0V\0V", 5), std::string("V\0V\0V", 5), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        win::Set_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Sent, "");
        size_t before = Quiet(sim);
        Send_Through_Dialog(Write_File(c.name, c.bytes));
        Wire(sim, before, c.wire.size());
        EXPECT_EQ(Without_Fault_Queries(sim.Received().substr(std::min(before, Quiet(sim)))),
                  c.wire);
        if (c.status) {
            std::string shown = Text(Rich_Edit_Sent);
            EXPECT_NE(shown.find(c.status), std::string::npos) << shown;
        }
        // The strip ends with the send's verdict, whatever kind of file it was.
        EXPECT_EQ(Status_Strip().rfind(std::string(c.name) + ": Transmission Complete, ", 0), 0u)
            << Status_Strip();
    }
    // A file that cannot be read sends nothing and says why in the Response window.
    std::string big = work.path() + "/huge.kdx";
    std::filesystem::resize_file(Write_File("huge.kdx", ""), 65 * 1024 * 1024);
    size_t before = Quiet(sim);
    Send_Through_Dialog(big);
    win::Process_Events(50);
    EXPECT_EQ(sim.Received().size(), before);
    EXPECT_NE(Text(Rich_Edit_Received).find("cannot read " + big), std::string::npos)
        << Text(Rich_Edit_Received);
}

// A controller that hangs up part-way through a file: the strip says at which command and how
// many bytes went out, the Terminal shows the port closed, and nothing says the file was sent.
TEST_F(Command_Test, ASendTheControllerHungUpOnSaysHowFarItGot) {
    setenv("KDX_SEND_PACE_PERCENT", "0", 1);
    sim::Sim_Config config;
    config.hangup_after_bytes = 300;
    Sim(5, config);
    List_Ports({"COM5"});
    Build();
    Click(OptPortOpen);
    ASSERT_NE(Serial_Port_State.Handle, 0);
    std::string program;
    for (int i = 0; i < 850; ++i) program += "S1M" + std::to_string(400 + i) + ",I1M10\r";
    Send_Through_Dialog(Write_File("long.kdx", KDX_Program_Scramble(program)));
    std::string strip = Status_Strip();
    EXPECT_EQ(strip.rfind("long.kdx: Transmission Failed at command ", 0), 0u) << strip;
    EXPECT_NE(strip.find(": the port hung up; "), std::string::npos) << strip;
    EXPECT_NE(strip.find(" bytes taken by the line; COM5 hung up"), std::string::npos) << strip;
    EXPECT_EQ(Text(Rich_Edit_Sent).find("Transmission Complete"), std::string::npos);
    EXPECT_NE(Text(Rich_Edit_Sent).find("Transmission Failed at command "), std::string::npos);
    EXPECT_EQ(Serial_Port_State.Handle, 0);
    EXPECT_EQ(win::Send_Message(Item(OptPortClosed), win::BM_GETCHECK), 1);
    EXPECT_TRUE(win::Is_Window_Enabled(Item(OptPortOpen)));
}

// A file sent with no port open, or to a port that hung up just before: the Immediate Send
// window keeps its status lines, and the strip says in red, from the start to the end, that
// nothing was sent, never "Transmission Complete".
TEST_F(Command_Test, ASendWithoutAPortSaysNothingWasSent) {
    setenv("KDX_SEND_PACE_PERCENT", "20", 1);  // pauses long enough for the window to work
    for (bool hung_up : {true, false}) {
        SCOPED_TRACE(hung_up ? "hung_up" : "no_port");
        sims.clear();
        auto& sim = Sim(5);
        List_Ports({"COM5"});
        if (!win::Frame_Window) Build();
        if (hung_up) {
            Click(OptPortOpen);
            Wire(sim, 0, 3);
            sim.Hang_Up();
            int32_t port = Serial_Port_State.Handle;
            ASSERT_TRUE(Until(
                [&] { return Serial_Port_State.Handle == 0 || platform::Comm_Hung_Up(port); }));
        }
        size_t before = sim.Received().size();
        win::Set_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Sent, "");
        // What the strip shows while the file's pauses let the window work.
        std::string shown;
        auto watch = new QTimer;
        QObject::connect(watch, &QTimer::timeout, [&] {
            if (shown.find(Status_Strip()) == std::string::npos) shown += Status_Strip() + "\n";
        });
        watch->start(5);
        Send_Through_Dialog(Write_File("prog.kdx", KDX_Program_Scramble("F,V\r\nS1M400\r")));
        delete watch;
        EXPECT_EQ(Status_Strip(), "Send: no port open, nothing sent");
        auto* label = Widget(win::Frame_Window)->findChild<QLabel*>(QStringLiteral("status_text"));
        EXPECT_EQ(label->property("kdx_tone").toInt(), int(win::Status_Tone::Failed));
        EXPECT_EQ(shown.find("Sending"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("Complete"), std::string::npos) << shown;
        EXPECT_NE(Text(Rich_Edit_Sent).find("Transmission Complete"), std::string::npos);
        EXPECT_EQ(sim.Received().size(), before);
        EXPECT_EQ(Serial_Port_State.Handle, 0);
    }
}

// The file dialog of "Send to Device" offers program files first, then every file.
TEST_F(Command_Test, TheSendFileDialogOffersProgramFilesFirst) {
    Build();
    QStringList filters;
    QString chosen;
    auto* look = new QTimer;
    look->setInterval(20);
    QObject::connect(look, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QFileDialog*>(w); dialog && dialog->isVisible()) {
                filters = dialog->nameFilters();
                chosen = dialog->selectedNameFilter();
                look->stop();
                dialog->reject();
            }
    });
    look->start();
    Menu(win::Frame_Window, IDM_Send_To_Device);
    delete look;
    EXPECT_EQ(filters.join(QStringLiteral("|")).toStdString(),
              "Program files (*.kdx *.KDX)|All files (*)");
    EXPECT_EQ(chosen.toStdString(), "Program files (*.kdx *.KDX)");
}

// A controller that answered 300 queries and then stopped: the test aborted at query 301, and
// the strip says so rather than counting the 699 never sent as unanswered.
TEST_F(Command_Test, TheCommunicationTestSaysWhereItAborted) {
    sim::Sim_Config config;
    config.model.answer_limit = 300;
    Sim(5, config);
    List_Ports({"COM5"});
    Build();
    Click(OptPortOpen);
    Menu(win::Frame_Window, IDM_KDX_Test_USB_Commo);
    EXPECT_EQ(Status_Strip(),
              "Communication test FAILED: aborted at query 301: 300 of 1000 answered");
}

// Ending the program (a signal posts WM_CLOSE to the frame) while "Send to Device" asks for a
// file: the dialog is cancelled and its loop ends before the frame and its windows go.
TEST_F(Command_Test, ClosingTheFrameWhileTheFileDialogAsksCancelsTheDialogFirst) {
    List_Ports({});
    Build();
    bool asked = false;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QFileDialog*>(w) && w->isVisible() && !asked) {
                asked = true;
                win::Post_Message(win::Frame_Window, win::WM_CLOSE);
            }
    });
    watch.start();
    Menu(win::Frame_Window, IDM_Send_To_Device);
    watch.stop();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(win::Is_Window(win::Frame_Window));  // still there when the command returns
    EXPECT_EQ(win::Message_Loop(), 0);
    EXPECT_FALSE(win::Is_Window(win::Frame_Window));
    win::Frame_Window = 0;
}

TEST_F(Command_Test, ALongSendKeepsTheWindowUsableAndEndsWhenTheFrameCloses) {
    setenv("KDX_SEND_PACE_PERCENT", "50", 1);  // 50 ms a field
    auto& sim = Open_Sim();
    std::string program;
    for (int i = 0; i < 100; ++i) program += "V" + std::to_string(i) + "\r";
    std::string path = Write_File("long.kdx", KDX_Program_Scramble(program));
    // Seen from the event loop while the file goes out.
    bool controls_blocked = false, items_greyed = false, progress_shown = false;
    std::string status;
    QTimer::singleShot(400, [&] {
        controls_blocked = !Control(Cmd_Refresh_Ids)->isEnabled() &&
                           !Control(OptPortClosed)->isEnabled() &&
                           !Control(QuickMove_Positive)->isEnabled();
        items_greyed = !Menu_Action(IDM_Locate_KDX)->isEnabled() &&
                       !Menu_Action(IDM_Send_To_Device)->isEnabled() &&
                       Menu_Action(IDM_Terminal)->isEnabled();
        auto* frame = qobject_cast<QMainWindow*>(Widget(win::Frame_Window));
        status = frame->findChild<QLabel*>(QStringLiteral("status_text"))->text().toStdString();
        progress_shown = frame->findChild<QProgressBar*>(QStringLiteral("status_bar"))->isVisible();
        // What the operator might still do: a key, a click by message, another command.
        Key(Rich_Edit_Sent, Qt::Key_X, Qt::NoModifier, "x");
        Menu(win::Frame_Window, IDM_Identify_Device);
        // Closing the frame ends the send after its current command.
        win::Post_Message(win::Frame_Window, win::WM_CLOSE);
    });
    Send_Through_Dialog(path);
    EXPECT_TRUE(controls_blocked);
    EXPECT_TRUE(items_greyed);
    EXPECT_TRUE(progress_shown);
    EXPECT_EQ(status.rfind("Sending long.kdx: ", 0), 0u) << status;
    EXPECT_NE(status.find(" of 202)"), std::string::npos) << status;
    std::string wire = sim.Received();
    EXPECT_EQ(wire.find('x'), std::string::npos) << wire;   // the key went nowhere
    EXPECT_EQ(wire.find("Q,"), std::string::npos) << wire;  // nor did Identify
    EXPECT_LT(wire.size(), 300u);
    EXPECT_NE(Text(Rich_Edit_Sent).find("Transmission Stopped"), std::string::npos);
    EXPECT_TRUE(Control(Cmd_Refresh_Ids)->isEnabled());
    // The frame closes once the send has ended: port closed, quit code 0.
    EXPECT_EQ(win::Message_Loop(), 0);
    EXPECT_EQ(Serial_Port_State.Handle, 0);
    EXPECT_FALSE(win::Is_Window(win::Frame_Window));
    win::Frame_Window = 0;
}

}  // namespace
}  // namespace kdx::test
