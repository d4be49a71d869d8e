// The window layer on real Win32 (run under Wine): dialogs from control tables, control
// texts, option groups, messages posted from another thread, and the rich edit's RTF.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/console/console.h"
#include "platform/window/application.h"
#include "platform/window/window.h"
// Last: the system's own view of where the windows stand.
#include "platform/window/win32_internal.h"

namespace kdx::win {
namespace {

constexpr int32_t kLabel = 101, kEdit = 102, kButton = 103, kRich = 104;
constexpr int32_t kOption1 = 111, kOption2 = 112, kOption3 = 113, kOther = 121;
constexpr uint32_t kPosted = WM_USER + 7;

std::vector<std::pair<uint32_t, uint64_t>> heard;  // (message, wparam) the dialog was given

int64_t Dialog(HWND, uint32_t message, WPARAM wparam, LPARAM) {
    if (message == WM_COMMAND || message == kPosted || message == WM_INITDIALOG ||
        message == WM_TIMER)
        heard.emplace_back(message, wparam);
    return 0;
}

// Waits for the dialog to hear a message, handling events meanwhile; false at the deadline.
bool Heard(uint32_t message, uint64_t wparam) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        for (const auto& m : heard)
            if (m.first == message && m.second == wparam) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        Process_Events(20);
    }
}

class Win32_Window : public ::testing::Test {
  protected:
    void SetUp() override {
        int argc = 1;
        char name[] = "win32_window_test";
        char* argv[] = {name, nullptr};
        ASSERT_TRUE(Application_Start(argc, argv));
        heard.clear();
        dialog = Create_Dialog({"Probe", 300, 200, WS_POPUP | WS_CAPTION | WS_SYSMENU, 0}, 0);
        ASSERT_NE(dialog, 0);
        const uint32_t child = WS_CHILD | WS_VISIBLE;
        const uint32_t option = BS_AUTORADIOBUTTON | WS_TABSTOP | child;
        const std::vector<Control_Template> table = {
            {kLabel, Control_Kind::Label, "Serial Num:", 5, 5, 60, 10, child},
            {kEdit, Control_Kind::Edit, "400", 70, 5, 60, 12, ES_AUTOHSCROLL | child,
             WS_EX_CLIENTEDGE},
            {kButton, Control_Kind::Button, "Send", 140, 5, 50, 14, BS_PUSHBUTTON | child},
            {kOption1, Control_Kind::Button, "1", 5, 30, 20, 12, option | WS_GROUP},
            {kOption2, Control_Kind::Button, "2", 5, 45, 20, 12, option},
            {kOption3, Control_Kind::Button, "3", 5, 60, 20, 12, option},
            {kOther, Control_Kind::Button, "Open", 40, 30, 40, 12, option | WS_GROUP},
            {kRich, Control_Kind::Rich_Edit, "", 5, 80, 280, 100,
             ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | child, WS_EX_CLIENTEDGE},
        };
        for (const auto& row : table) ASSERT_NE(Create_Control(dialog, row), 0) << row.Caption;
        ASSERT_TRUE(Set_Dialog_Proc(dialog, &Dialog));
        Show_Window(dialog, SW_SHOWNORMAL);
    }
    void TearDown() override {
        if (dialog) Destroy_Window(dialog);
        Application_Stop();
    }
    bool Checked(int32_t id) { return Send_Message(Get_Dlg_Item(dialog, id), BM_GETCHECK) != 0; }
    std::string Rich_Text() { return Get_Dlg_Item_Text(dialog, kRich); }
    int64_t Stream(const std::string& rtf, HWND into = 0) {
        struct Cookie {
            const char* next;
            size_t left;
        } cookie{rtf.data(), rtf.size()};
        EDITSTREAM stream;
        stream.dwCookie = reinterpret_cast<uintptr_t>(&cookie);
        // Seven bytes at a time: the document arrives in pieces, as a long one does.
        stream.pfnCallback = [](uintptr_t c, uint8_t* buffer, int32_t size, int32_t* got) {
            auto* k = reinterpret_cast<Cookie*>(c);
            size_t n = std::min<size_t>({k->left, size_t(size), 7});
            std::copy(k->next, k->next + n, buffer);
            k->next += n;
            k->left -= n;
            *got = int32_t(n);
            return uint32_t(0);
        };
        return Send_Message(into ? into : Get_Dlg_Item(dialog, kRich), EM_STREAMIN,
                            SF_RTF | SFF_SELECTION | SFF_PLAINRTF,
                            reinterpret_cast<LPARAM>(&stream));
    }
    HWND dialog = 0;
};

TEST_F(Win32_Window, ControlTableMakesTheControlsWithTheirTextsInDialogUnits) {
    EXPECT_EQ(heard.size(), 1u) << "WM_INITDIALOG once, when the procedure is attached";
    EXPECT_EQ(Get_Dlg_Item_Text(dialog, kLabel), "Serial Num:");
    EXPECT_EQ(Get_Dlg_Item_Text(dialog, kEdit), "400");
    struct Case {
        int32_t id;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{{kLabel, "XXXX-xx"},
                                           {kEdit, "2000"},
                                           {kButton, "Stop"},
                                           {kEdit, ""},
                                           {kEdit, "caf\xe9"}}) {
        EXPECT_TRUE(Set_Dlg_Item_Text(dialog, c.id, c.text));
        EXPECT_EQ(Get_Dlg_Item_Text(dialog, c.id), c.text) << c.id;
    }
    EXPECT_FALSE(Set_Dlg_Item_Text(dialog, 999, "none"));
    EXPECT_EQ(Get_Dlg_Item_Text(dialog, 999), "");
    Base_Units units = Dialog_Base_Units();
    EXPECT_GT(units.X, 3);
    EXPECT_GT(units.Y, 7);
    EXPECT_EQ(Dlu_To_Px_X(4), units.X);
    EXPECT_EQ(Dlu_To_Px_Y(8), units.Y);
}

TEST_F(Win32_Window, ClickingAnOptionClearsOnlyItsOwnGroupAndTellsTheDialog) {
    Check_Radio_Button(dialog, kOption1, kOption3, kOption1);
    Send_Message(Get_Dlg_Item(dialog, kOther), BM_SETCHECK, BST_CHECKED);
    EXPECT_TRUE(Checked(kOption1));
    Send_Message(Get_Dlg_Item(dialog, kOption3), BM_CLICK);
    EXPECT_FALSE(Checked(kOption1));
    EXPECT_FALSE(Checked(kOption2));
    EXPECT_TRUE(Checked(kOption3));
    EXPECT_TRUE(Checked(kOther)) << "another group keeps its choice";
    EXPECT_TRUE(Heard(WM_COMMAND, MAKEWPARAM(kOption3, BN_CLICKED)));
    // Kept from the operator, a procedure's own click still works; disabled, it does not.
    HWND second = Get_Dlg_Item(dialog, kOption2);
    EXPECT_TRUE(Block_Input(second, true));
    EXPECT_TRUE(Is_Window_Enabled(second));
    Send_Message(second, BM_CLICK);
    EXPECT_TRUE(Checked(kOption2));
    EXPECT_TRUE(Block_Input(second, false));
    Enable_Window(Get_Dlg_Item(dialog, kOption1), false);
    EXPECT_FALSE(Is_Window_Enabled(Get_Dlg_Item(dialog, kOption1)));
    Send_Message(Get_Dlg_Item(dialog, kOption1), BM_CLICK);
    EXPECT_FALSE(Checked(kOption1));
}

TEST_F(Win32_Window, MessagesPostedFromAnotherThreadArriveInOrderOnThisOne) {
    std::thread poster([this] {
        for (uint64_t i = 1; i <= 50; ++i) ASSERT_TRUE(Post_Message(dialog, kPosted, i));
    });
    poster.join();
    ASSERT_TRUE(Heard(kPosted, 50));
    std::vector<uint64_t> order;
    for (const auto& m : heard)
        if (m.first == kPosted) order.push_back(m.second);
    ASSERT_EQ(order.size(), 50u);
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i + 1);
}

TEST_F(Win32_Window, ATimerTicksItsWindowWithItsIdUntilKilled) {
    ASSERT_TRUE(Set_Timer(dialog, 9, 10));
    ASSERT_TRUE(Heard(WM_TIMER, 9));
    heard.clear();
    ASSERT_TRUE(Heard(WM_TIMER, 9));  // again, not once only
    ASSERT_TRUE(Kill_Timer(dialog, 9));
    EXPECT_FALSE(Kill_Timer(dialog, 9));
    heard.clear();
    Process_Events(100);  // ten periods: a killed timer never ticks, however slow the machine
    EXPECT_TRUE(heard.empty());
}

TEST_F(Win32_Window, RtfStreamsInAtTheEndAndTheTextKeepsItsLimitFromTheFront) {
    HWND rich = Get_Dlg_Item(dialog, kRich);
    EXPECT_GT(Stream("{\\rtf1{\\colortbl;\\red255\\green255\\blue0;}{\\cf1 V}}"), 0);
    EXPECT_GT(Stream("{\\rtf1{\\colortbl;\\red0\\green200\\blue255;}{\\cf1 KDX \\{1\\}\\'e9}}"), 0);
    EXPECT_EQ(Rich_Text(), "VKDX {1}\xe9");
    // The caret elsewhere does not matter: the next document still goes at the end.
    CHARRANGE start{0, 0};
    Send_Message(rich, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&start));
    Stream("{\\rtf1{\\cf1 !}}");
    EXPECT_EQ(Rich_Text(), "VKDX {1}\xe9!");
    Send_Message(rich, EM_LIMITTEXT, 6);
    EXPECT_EQ(Send_Message(rich, EM_GETLIMITTEXT), 6);
    Stream("{\\rtf1{\\cf1 abc}}");
    EXPECT_EQ(Rich_Text(), "}\xe9!abc") << "the oldest text goes, the newest stays";
}

// Documents streamed in quick succession wait for the control's tick and go in together: the
// text is what they give one by one (in order, \\line breaks kept, control characters shown
// as nothing), each in its own colour and font (a document without a font table in the
// control's own). A read finds all of it.
TEST_F(Win32_Window, DocumentsOfATickGoInTogetherInOrderWithTheirColours) {
    HWND alone = Create_Control(dialog, {kRich + 50, Control_Kind::Rich_Edit, "", 5, 80, 280, 100,
                                         ES_MULTILINE | WS_VSCROLL, WS_EX_CLIENTEDGE});
    ASSERT_NE(alone, 0);
    const std::string fonts = "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}";
    std::vector<std::string> documents;
    for (int i = 0; i < 50; ++i) {
        documents.push_back("{\\rtf1{\\colortbl;\\red0\\green128\\blue0;}{\\cf1 s" +
                            std::to_string(i) + "}}");
        documents.push_back("{\\rtf1{\\colortbl;\\red0\\green200\\blue255;}" + fonts +
                            "{\\cf1 V\x1b}}");
        documents.push_back("{\\rtf1{\\colortbl;\\red255\\green255\\blue0;}" + fonts +
                            "{\\cf1 R}{\\cf1 \r\\line}}");
    }
    for (const auto& d : documents) {
        EXPECT_GT(Stream(d), 0);
        // Read after each: it goes in alone.
        Stream(d, alone);
        Get_Dlg_Item_Text(dialog, kRich + 50);
    }
    std::string text = Rich_Text();
    EXPECT_EQ(text, Get_Dlg_Item_Text(dialog, kRich + 50));
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("s48VR"), std::string::npos) << text;
    // The colour and font at a character of each kind, in the last line.
    ::HWND h = w32::Native(Get_Dlg_Item(dialog, kRich));
    auto format_at = [&](const std::string& what) {
        LONG at = LONG(text.rfind(what));
        EXPECT_GE(at, 0) << what;
        ::CHARRANGE range{at, at + 1};
        SendMessageA(h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
        CHARFORMAT2A format{};
        format.cbSize = sizeof format;
        format.dwMask = CFM_COLOR | CFM_FACE;
        SendMessageA(h, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        return std::pair{format.crTextColor, std::string(format.szFaceName)};
    };
    auto [status, status_face] = format_at("s49");
    EXPECT_EQ(status, RGB(0, 128, 0));
    EXPECT_NE(status_face, "Courier New") << "the control's own font";
    auto [sent, sent_face] = format_at("V");
    EXPECT_EQ(sent, RGB(0, 200, 255));
    EXPECT_EQ(sent_face, "Courier New");
    EXPECT_EQ(format_at("R").first, RGB(255, 255, 0));
}

// At the limit the oldest text goes in whole lines when the next starts near the cut, and a
// text replaced meanwhile takes what waited with it.
TEST_F(Win32_Window, TheLimitDropsWholeLinesAndANewTextDropsWhatWaited) {
    HWND rich = Get_Dlg_Item(dialog, kRich);
    Send_Message(rich, EM_LIMITTEXT, 40);
    for (int i = 0; i < 10; ++i) Stream("{\\rtf1{\\cf1 line" + std::to_string(i) + "\\line}}");
    std::string text = Rich_Text();
    EXPECT_LE(text.size(), 50u);
    EXPECT_EQ(text.rfind("line", 0), 0u) << "it starts with a whole line: " << text;
    EXPECT_NE(text.find("line9"), std::string::npos) << text;
    Stream("{\\rtf1{\\cf1 waiting}}");
    EXPECT_TRUE(Set_Dlg_Item_Text(dialog, kRich, ""));
    Process_Events(100);  // more than a tick
    EXPECT_EQ(Rich_Text(), "");
}

// The picture of a window is a PNG of its size holding what it shows: the rich edit's
// background colour is found among its pixels.
TEST_F(Win32_Window, PictureOfTheDialogIsAPngOfWhatItShows) {
    Send_Message(Get_Dlg_Item(dialog, kRich), EM_SETBKGNDCOLOR, 0, RGB(0, 200, 0));
    Set_Focus(dialog);
    Update_Window(dialog);
    Process_Events(100);
    char folder[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
    std::string path = std::string(folder) + "kdx_window_picture.png";
    ASSERT_TRUE(Save_Window_Picture(dialog, path));
    std::string png;
    {
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) png.append(buffer, n);
        std::fclose(f);
        std::remove(path.c_str());
    }
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto u32 = [&](size_t at) {
        return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
               uint32_t(uint8_t(png[at + 2])) << 8 | uint32_t(uint8_t(png[at + 3]));
    };
    RECT outer{};
    GetWindowRect(w32::Native(dialog), &outer);
    uint32_t width = u32(16), height = u32(20);
    EXPECT_EQ(width, uint32_t(outer.right - outer.left));
    EXPECT_EQ(height, uint32_t(outer.bottom - outer.top));
    // The pixel rows from the stored blocks of the image data.
    ASSERT_EQ(png.substr(37, 4), "IDAT");
    size_t at = 41 + 2, end = 41 + u32(33);
    std::string rows;
    while (at + 5 <= end) {
        size_t n = uint8_t(png[at + 1]) | size_t(uint8_t(png[at + 2])) << 8;
        rows.append(png, at + 5, n);
        at += 5 + n;
    }
    ASSERT_EQ(rows.size(), size_t(height) * (size_t(width) * 3 + 1));
    size_t green = 0;
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            const char* p = rows.data() + y * (width * 3 + 1) + 1 + x * 3;
            if (uint8_t(p[0]) == 0 && uint8_t(p[1]) == 200 && uint8_t(p[2]) == 0) ++green;
        }
    EXPECT_GT(green, size_t(Dlu_To_Px_X(200) * Dlu_To_Px_Y(60))) << "the rich edit's ground";
}

// A subclassed rich edit gets the keys first; what it passes on reaches the control.
LRESULT (*previous)(HWND, uint32_t, WPARAM, LPARAM) = nullptr;
std::string typed;
LRESULT Subclass(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CHAR) {
        typed += char(wparam);
        return 0;
    }
    return Call_Window_Proc(previous, window, message, wparam, lparam);
}

TEST_F(Win32_Window, SubclassedRichEditHearsKeysAndPassesTheRestOn) {
    HWND rich = Get_Dlg_Item(dialog, kRich);
    previous = Set_Window_Proc(rich, &Subclass);
    EXPECT_EQ(previous, &Def_Window_Proc);
    typed.clear();
    Send_Message(rich, WM_CHAR, 'V');
    Send_Message(rich, WM_CHAR, '\r');
    EXPECT_EQ(typed, "V\r");
    EXPECT_EQ(Rich_Text(), "") << "the key went to the subclass, not into the text";
    EXPECT_GT(Stream("{\\rtf1{\\cf1 passed on}}"), 0);
    EXPECT_EQ(Rich_Text(), "passed on");
}

// The frame holds the Terminal as its client area's only window: maximised, it covers the
// client area exactly (caption and menu bar inside it) and follows the frame's size.
LRESULT Frame_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    return Def_Frame_Proc(window, Mdi_Client, message, wparam, lparam);
}

bool Start_Application() {
    static int argc = 1;
    static char name[] = "win32_window_test";
    static char* argv[] = {name, nullptr};
    return Application_Start(argc, argv);
}

TEST(Win32_Frame, MaximisedDialogFillsTheClientAreaAndFollowsTheFrame) {
    ASSERT_TRUE(Start_Application());
    Frame_Window = Create_Frame("Frame", 900, 700, &Frame_Proc);
    ASSERT_NE(Frame_Window, 0);
    HMENU bar = Create_Menu(), file = Create_Popup_Menu();
    Append_Menu(file, MF_STRING, 40, "Edit");
    Append_Menu(bar, MF_POPUP, uint64_t(file), "&File");
    ASSERT_TRUE(Set_Menu(Frame_Window, bar));
    Mdi_Client = Create_Mdi_Client(Frame_Window);
    ASSERT_NE(Mdi_Client, 0);
    Show_Window(Frame_Window, SW_SHOWNORMAL);
    HWND dialog = Create_Dialog(
        {"Terminal", 300, 200, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MAXIMIZEBOX | DS_MODALFRAME,
         WS_EX_CONTROLPARENT},
        0);
    HMENU tools = Create_Menu(), popup = Create_Popup_Menu();
    Append_Menu(popup, MF_STRING, 41, "Terminal Log");
    Append_Menu(tools, MF_POPUP, uint64_t(popup), "Tools");
    ASSERT_TRUE(Set_Menu(dialog, tools));
    ASSERT_TRUE(Set_Parent(dialog, Mdi_Client));
    Show_Window(dialog, SW_MAXIMIZE);
    Process_Events(50);
    auto covers = [&] {
        ::HWND d = w32::Native(dialog), client = w32::Native(Mdi_Client);
        RECT area{}, outer{}, inner{};
        GetClientRect(client, &area);
        MapWindowPoints(client, nullptr, reinterpret_cast<POINT*>(&area), 2);
        GetWindowRect(d, &outer);
        GetClientRect(d, &inner);
        MapWindowPoints(d, nullptr, reinterpret_cast<POINT*>(&inner), 2);
        EXPECT_EQ(outer.left, area.left);
        EXPECT_EQ(outer.top, area.top);
        EXPECT_EQ(outer.right, area.right);
        EXPECT_EQ(outer.bottom, area.bottom);
        // The caption and the menu bar stand inside the client area, above the dialog's own.
        EXPECT_GE(inner.top - outer.top,
                  GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU));
    };
    covers();
    for (SIZE size : {SIZE{1000, 760}, SIZE{800, 650}}) {
        SetWindowPos(w32::Native(Frame_Window), nullptr, 0, 0, size.cx, size.cy,
                     SWP_NOMOVE | SWP_NOZORDER);
        Process_Events(50);
        covers();
    }
    Destroy_Window(Frame_Window);
    EXPECT_FALSE(Is_Window(dialog)) << "the dialogs in its client area go with the frame";
    Frame_Window = Mdi_Client = 0;
    Application_Stop();
}

// True when the window a stands above the window b among the screen's windows.
bool Above(::HWND a, ::HWND b) {
    for (::HWND below = GetWindow(a, GW_HWNDNEXT); below; below = GetWindow(below, GW_HWNDNEXT))
        if (below == b) return true;
    return false;
}

// The program's start-up with -Admin: the console opens first, then the frame shows and puts
// the Terminal in its client area. Once that work is done the console stands in front of the
// frame, as on Qt, whatever raised the frame meanwhile.
TEST(Win32_Frame, TheDebugConsoleOpenedAtStartStaysInFrontOfTheFrame) {
    ASSERT_TRUE(Start_Application());
    ::SetEnvironmentVariableA("KDX_CONSOLE", "window");
    std::unique_ptr<platform::Console_Device> console = platform::Create_Console();
    ::SetEnvironmentVariableA("KDX_CONSOLE", nullptr);
    ASSERT_TRUE(console);
    console->Set_Title("Debug Console");
    ::HWND shown = FindWindowA(nullptr, "Debug Console");
    ASSERT_TRUE(shown);
    Frame_Window = Create_Frame("Frame", 1024, 768, &Frame_Proc);
    Mdi_Client = Create_Mdi_Client(Frame_Window);
    ASSERT_NE(Mdi_Client, 0);
    Show_Window(Frame_Window, SW_SHOWNORMAL);
    Update_Window(Frame_Window);
    // The start-up goes on and raises the frame (under Wine the system itself did, after the
    // frame's first paint).
    SetWindowPos(w32::Native(Frame_Window), nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    HWND dialog = Create_Dialog(
        {"Terminal", 300, 200, WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_EX_CONTROLPARENT}, 0);
    ASSERT_TRUE(Set_Parent(dialog, Mdi_Client));
    Show_Window(dialog, SW_SHOWNORMAL);
    Process_Events(200);
    EXPECT_TRUE(Above(shown, w32::Native(Frame_Window)));
    // Owned by the frame, it stays in front of it whatever raises the frame.
    EXPECT_EQ(GetWindow(shown, GW_OWNER), w32::Native(Frame_Window));
    // A trace line longer than the console is wide shows from its start, the rest sideways.
    ::HWND edit = FindWindowExA(shown, nullptr, "RICHEDIT50W", nullptr);
    ASSERT_TRUE(edit);
    EXPECT_TRUE(GetWindowLongA(edit, GWL_STYLE) & WS_HSCROLL);
    for (int i = 0; i < 3; ++i)
        console->Write("START" + std::string(400, 'x') + "END " + std::to_string(i) + "\r\n", 10);
    Process_Events(100);
    POINT view{-1, -1};
    SendMessageA(edit, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
    EXPECT_EQ(view.x, 0);
    EXPECT_EQ(SendMessageA(edit, EM_GETLINECOUNT, 0, 0), 4) << "three lines, not wrapped";
    console.reset();
    Destroy_Window(Frame_Window);
    Frame_Window = Mdi_Client = 0;
    Application_Stop();
}

// Alt and a letter in the Terminal: the letter of a frame's menu opens that menu (the
// Terminal's own bar has only Tools), wherever the focus is.
HMENU opened = 0;
LRESULT Menu_Frame_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITMENUPOPUP) {
        opened = HMENU(int64_t(wparam));
        EndMenu();
    }
    return Def_Frame_Proc(window, Mdi_Client, message, wparam, lparam);
}

TEST(Win32_Frame, AltAndALetterOfTheFramesMenuOpensItFromTheTerminal) {
    ASSERT_TRUE(Start_Application());
    Frame_Window = Create_Frame("Frame", 900, 700, &Menu_Frame_Proc);
    HMENU bar = Create_Menu(), file = Create_Popup_Menu(), help = Create_Popup_Menu();
    Append_Menu(file, MF_STRING, 40, "Edit");
    Append_Menu(help, MF_STRING, 41, "KDX Help");
    Append_Menu(bar, MF_POPUP, uint64_t(file), "&File");
    Append_Menu(bar, MF_POPUP, uint64_t(help), "&Help");
    ASSERT_TRUE(Set_Menu(Frame_Window, bar));
    Mdi_Client = Create_Mdi_Client(Frame_Window);
    Show_Window(Frame_Window, SW_SHOWNORMAL);
    HWND dialog = Create_Dialog(
        {"Terminal", 300, 200, WS_POPUP | WS_CAPTION | WS_SYSMENU, WS_EX_CONTROLPARENT}, 0);
    HMENU own = Create_Menu(), tools = Create_Popup_Menu();
    Append_Menu(tools, MF_STRING, 42, "Terminal Log");
    Append_Menu(own, MF_POPUP, uint64_t(tools), "Tools");
    ASSERT_TRUE(Set_Menu(dialog, own));
    HWND rich = Create_Control(dialog, {kRich, Control_Kind::Rich_Edit, "", 5, 5, 200, 100,
                                        ES_MULTILINE | WS_VSCROLL, WS_EX_CLIENTEDGE});
    HWND button = Create_Control(dialog, {kButton, Control_Kind::Button, "Send", 5, 120, 50, 14,
                                          BS_PUSHBUTTON | WS_TABSTOP});
    ASSERT_TRUE(Set_Parent(dialog, Mdi_Client));
    Show_Window(dialog, SW_SHOWNORMAL);
    Process_Events(50);
    for (HWND focus : {rich, button}) {
        for (auto [key, menu] : {std::pair{'f', file}, std::pair{'H', help}}) {
            opened = 0;
            Set_Focus(focus);
            // As the keyboard gives it: the character of the key held with Alt.
            PostMessageA(w32::Native(focus), WM_SYSCHAR, WPARAM(key), LPARAM(1) << 29 | 1);
            Process_Events(50);
            EXPECT_EQ(opened, menu) << "Alt+" << key << " in control " << focus;
        }
    }
    Destroy_Window(Frame_Window);
    Frame_Window = Mdi_Client = 0;
    Application_Stop();
}

// The keys typed into a black window are the controller's: none edits its text or works the
// dialog (Escape closed the dialog, Enter and Backspace edited the text).
TEST_F(Win32_Window, KeysInTheRichEditGoToItsProcedureOnly) {
    HWND rich = Get_Dlg_Item(dialog, kRich);
    previous = Set_Window_Proc(rich, &Subclass);
    EXPECT_GT(Stream("{\\rtf1{\\cf1 shown}}"), 0);
    Set_Focus(rich);
    for (uint32_t key : {0x1Bu, 0x0Du, 0x08u, 0x09u}) {
        typed.clear();
        // As the keyboard gives it: the character comes from translating the key.
        Post_Message(rich, WM_KEYDOWN, key, 1);
        Post_Message(rich, WM_KEYUP, key, LPARAM(0xC0000001));
        Process_Events(50);
        ASSERT_TRUE(Is_Window(dialog)) << "key " << key;
        EXPECT_EQ(typed, std::string(1, char(key)));
        EXPECT_EQ(Rich_Text(), "shown") << "key " << key;
    }
}
}  // namespace
}  // namespace kdx::win
