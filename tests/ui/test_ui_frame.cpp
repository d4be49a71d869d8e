// Start-up, the frame and its menus, closing the frame, and the exported procedures: the real
// program as a process where that is what a user meets.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractScrollArea>
#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "serial/serial_port.h"
#include "sim/sim.h"
#include "tests/ui/ui_fixture.h"

namespace kdx::test {
namespace {

// The menu as text: one line per item, "text id", "-" for a separator, submenus indented.
std::string Menu_Text(QMenu* menu, const std::string& indent) {
    std::string out;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator())
            out += indent + "-\n";
        else if (a->menu())
            out += indent + a->text().toStdString() + "\n" + Menu_Text(a->menu(), indent + "  ");
        else
            out +=
                indent + a->text().toStdString() + " " + std::to_string(a->data().toInt()) + "\n";
    }
    return out;
}

TEST_F(Ui_Test, FrameHasItsCaptionSizeAndMenus) {
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    auto* frame = qobject_cast<QMainWindow*>(Widget(win::Frame_Window));
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->windowTitle().toStdString(), "KDX_APP_2025_Build_05_28_2025");
    EXPECT_EQ(frame->size(), QSize(1024, 768));
    EXPECT_TRUE(frame->isVisible());
    std::string menus;
    for (QAction* a : frame->menuBar()->actions())
        menus += a->text().toStdString() + "\n" + Menu_Text(a->menu(), "  ");
    EXPECT_EQ(menus,
              "&File\n  Edit 1001\n  Send to Device 1002\n"
              // "Tools" has no letter of its own and gets none: Alt and the arrows reach it.
              "Tools\n  -\n  &Terminal 4124\n  -\n"
              "&Help\n  KDX Help 5024\n  -\n  Locate KDX 5524\n  Identify Device 5624\n  -\n"
              "  KDX Test USB Commo 5234\n  KDX Test Memory\n    Axis 1 - Program 1 5245\n"
              "    Axis 2 - Program 2 5246\n    Axis 3 - Program 3 5247\n"
              "    Axis 4 - Program 4 5248\n  -\n  App Debug 7024\n  -\n");
    for (int32_t id : {IDM_Terminal, IDM_App_Debug, IDM_Edit})
        EXPECT_EQ(win::Get_Menu_State(win::Menu_Bar, id), 0);
}

TEST_F(Ui_Test, TerminalFillsTheClientAreaAndItsCloseBoxHidesIt) {
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    win::Terminal_Dialog = Serial_Terminal_Create();
    win::Set_Parent(win::Terminal_Dialog, win::Mdi_Client);
    win::Set_Menu_State(win::Menu_Bar, IDM_Terminal, win::MFS_CHECKED);
    Serial_Terminal_Show(win::Terminal_Dialog);
    win::Process_Events(50);
    QWidget* client = Widget(win::Mdi_Client);
    QWidget* sub = Widget(win::Terminal_Dialog)->parentWidget();
    auto* viewport = qobject_cast<QAbstractScrollArea*>(client)->viewport();
    EXPECT_EQ(sub->geometry(), viewport->rect());
    // In the 1024 x 768 frame every control lies inside the area the dialog fills.
    for (QWidget* c : Controls(win::Terminal_Dialog))
        EXPECT_TRUE(c->parentWidget()->rect().contains(c->geometry()))
            << c->property("kdx_id").toInt();
    Widget(win::Frame_Window)->resize(1200, 900);
    win::Process_Events(50);
    EXPECT_EQ(sub->geometry(), viewport->rect());  // it follows the client area
    sub->close();
    EXPECT_FALSE(win::Is_Window_Visible(win::Terminal_Dialog));
    EXPECT_TRUE(win::Is_Window(win::Terminal_Dialog));
    EXPECT_EQ(win::Get_Menu_State(win::Menu_Bar, IDM_Terminal), 0);
}

TEST_F(Ui_Test, ClosingTheFrameClosesThePortAndEndsTheLoopWithZero) {
    Temp_Dir ports;
    setenv("KDX_PORTS", ports.path().c_str(), 1);
    sim::Sim_Config config;
    config.number = 5;
    sim::Simulator sim(config);
    ASSERT_TRUE(sim.Start());
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    int32_t number = 5, baud = 57600;
    Serial_Port_State.Handle = Serial_Port_Open(number, baud);
    ASSERT_GT(Serial_Port_State.Handle, 0);
    win::Post_Message(win::Frame_Window, win::WM_CLOSE);
    EXPECT_EQ(win::Message_Loop(), 0);
    EXPECT_EQ(Serial_Port_State.Handle, 0);
    EXPECT_FALSE(win::Is_Window(win::Frame_Window));
    int32_t again = Serial_Port_Open(number, baud);  // the port is free again
    EXPECT_GT(again, 0);
    Serial_Port_Close(again);
    win::Frame_Window = 0;
    unsetenv("KDX_PORTS");
}

// Runs the program with an argument list in a folder of its own, waits for the first paint
// of its frame, ends it as the session's end does (its frame is closed), and gives its exit
// code.
int Run_Program(const std::vector<std::string>& args, const std::string& folder,
                const std::string& ports) {
    int fds[2];
    if (pipe(fds) != 0) return -3;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        close(fds[0]);
        if (chdir(folder.c_str()) != 0) _exit(127);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("KDX_PORTS", ports.c_str(), 1);
        setenv("KDX_TIMING", "1", 1);
        unsetenv("KDX_CONSOLE");
        std::vector<char*> argv{const_cast<char*>(KDX_GUI_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KDX_GUI_PATH, argv.data());
        _exit(127);
    }
    close(fds[1]);
    FILE* err = fdopen(fds[0], "r");
    char line[512];
    while (fgets(line, sizeof line, err))
        if (std::string(line).rfind("kdx: first paint", 0) == 0) break;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    fclose(err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(Ui_Test, OnlyTheExactAdminArgumentOpensTheConsole) {
    struct Case {
        std::vector<std::string> args;
        bool console;
    };
    const Case cases[] = {
        {{"-Admin"}, true},       {{"-admin"}, false},  {{"-ADMIN"}, false},
        {{"-Admin", "x"}, false}, {{"-Admin "}, false}, {{}, false},
    };
    Temp_Dir ports;
    for (const auto& c : cases) {
        Temp_Dir folder;
        std::string joined;
        for (const auto& a : c.args) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        EXPECT_EQ(Run_Program(c.args, folder.path(), ports.path()), 0);
        std::string log = folder.path() + "/kdx_Debug.txt";
        EXPECT_EQ(std::filesystem::exists(log), c.console);
        if (c.console) {
            std::string text = Read(log);
            // The argument text twice as comments, before the frame is made.
            size_t first = text.find("-Admin\r");
            ASSERT_NE(first, std::string::npos);
            size_t second = text.find("-Admin\r", first + 1);
            EXPECT_NE(second, std::string::npos);
            EXPECT_LT(second, text.find("MDI_PARENT_CREATE"));
            EXPECT_NE(text.find("KDX_DIAGNOSTIC"), std::string::npos);
        }
    }
}

TEST(Ui_Exports, TheProceduresAreExportedByName) {
    std::string command = std::string("nm -D --defined-only '") + KDX_GUI_PATH + "'";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    std::array<char, 512> line;
    while (fgets(line.data(), int(line.size()), p)) {
        std::istringstream in(line.data());
        std::string address, type, name;
        in >> address >> type >> name;
        names.insert(name);
    }
    pclose(p);
    for (const char* name : {"WinMain",
                             "Main_Message_Loop",
                             "Mdi_Parent_Create",
                             "Menu_Bar_Create",
                             "Mdi_Client_Create",
                             "Frame_Window_Proc",
                             "Serial_Terminal_Create",
                             "Serial_Terminal_Show",
                             "Serial_Terminal_Show_Modeless",
                             "Serial_Terminal_Hide",
                             "Serial_Terminal_Destroy",
                             "Serial_Terminal_Port_Label",
                             "Serial_Terminal_Port_Combo",
                             "Serial_Terminal_Proc",
                             "Serial_Terminal_Edit_Callback",
                             "Serial_Terminal_Edit_Subclass",
                             "CreateQuickMoveSingle",
                             "ShowQuickMoveSingle",
                             "HideQuickMoveSingle",
                             "IsOpenQuickMoveSingle",
                             "QuickMoveSingleProc",
                             "Tooltip_Add"})
        EXPECT_TRUE(names.count(name)) << name;
}

}  // namespace
}  // namespace kdx::test
