// The trace frame and the console operations, seen through the capture console: exact text
// and attributes on the console, exact bytes in the debug log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string_view>
#include <thread>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/path.h"
#include "platform/os/system.h"
#include "tests/support/run_in_folder.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"

namespace kdx {
namespace {

using platform::Capture_Segment;
using Segments = std::vector<Capture_Segment>;

std::string S(size_t n) {
    return std::string(n, ' ');
}

// The performance counter, in the system's own ticks (nanoseconds on Linux, 100 ns on Windows).
std::atomic<int64_t> fake_ticks{0};
int64_t Fake_Counter() {
    return fake_ticks.load();
}
void Advance_Ms(int64_t ms) {
    fake_ticks += ms * platform::Query_Performance_Frequency() / 1000;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Trace : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KDX_CONSOLE", "capture", 1);
        old_dir_ = platform::Current_Directory();
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        platform::Capture_Reset();
        platform::Set_Last_Error(0);
        trace::Set_Object_Code(0);
        trace::Set_Runtime_Code(0);
        fake_ticks = 5 * platform::Query_Performance_Frequency();
        trace::Set_Counter_Source(&Fake_Counter);
    }
    void TearDown() override {
        ErrCheck_Debug(0);
        ErrCheck_Show_Callbacks(0);
        trace::Set_Counter_Source(nullptr);
        platform::Set_Last_Error(0);
        EXPECT_EQ(chdir(old_dir_.c_str()), 0);
    }
    void Open() {
        ASSERT_NE(ErrCheck_Debug(1), 0);
        platform::Capture_Reset();
    }
    std::string Log() { return Read(trace::Debug_Log_Path()); }

    test::Temp_Dir dir_;
    std::string old_dir_;
};

// Runs f inside depth - 1 enclosing procedures, so a procedure f calls runs at depth.
template <class F>
void At_Depth(int depth, F f) {
    if (depth <= 1) return f();
    KDX_FRAME("L");
    At_Depth(depth - 1, f);
}

// ---- the worked example ----

std::string Q() {
    KDX_FRAME("Q");
    Advance_Ms(3);
    return kdx_frame.result(std::string("OK"));
}

int32_t P(const std::string& port, int32_t baud) {
    KDX_FRAME("P", port, baud);
    Q();
    Advance_Ms(9);
    return kdx_frame.result(int32_t(1));
}

TEST_F(Trace, WorkedExampleByteForByte) {
    ErrCheck_Debug(1);
    std::string log_before;
    At_Depth(2, [&] {
        platform::Capture_Reset();
        log_before = Log();
        P("COM3", 9600);
    });
    Segments expected{
        {"     P(\"COM3\",9600)\r\n          Q()\r\n          End Q", 10},
        {" = OK" + S(65) + "3 ms\r\n\r\n", 14},
        {"     End P", 10},
        {" = 1" + S(25) + "12 ms\r\n\r\n", 14},
    };
    // The closing line of the enclosing procedure follows.
    auto got = platform::Capture_Segments();
    ASSERT_GE(got.size(), expected.size());
    got.resize(expected.size());
    EXPECT_EQ(got, expected);
    std::string text;
    for (const auto& s : expected) text += s.text;
    EXPECT_EQ(Log().substr(log_before.size(), text.size()), text);
}

// ---- error checks ----

struct Check_Case {
    const char* label;
    uint32_t os;
    int32_t runtime, object;
    std::string line;  // without indentation; "" for nothing reported
    bool pause;
    int32_t code;  // the reported code after the check
};

const std::vector<Check_Case> Check_Cases{
    {"os error", 5, 0, 0, "Error: 5 - Access is denied.\r\n", true, 5},
    {"runtime error", 0, 53, 0, "Error: 53 - File not found\r\n", true, 53},
    {"object error", 0, 99, 5, "Error: 5 - Access is denied.\r\n", true, 5},
    {"empty message", 12345, 0, 0, "Error: 12345 - \r\n", true, 0},
    {"os and runtime", 5, 53, 0, "", false, 0},
    {"object without 99", 0, 7, 5, "", false, 0},
    {"os and object", 5, 0, 7, "", false, 0},
    {"nothing", 0, 0, 0, "", false, 0},
    {"all three", 5, 53, 7, "Multiple Errors: 5 53 7\r\n", false, 0},
};

TEST_F(Trace, ErrorCheckTable) {
    Open();
    for (const auto& c : Check_Cases) {
        SCOPED_TRACE(c.label);
        At_Depth(3, [&] {
            KDX_FRAME("X");  // depth 3
            platform::Capture_Reset();
            std::string log_before = Log();
            trace::Set_Runtime_Code(c.runtime);
            trace::Set_Object_Code(c.object);
            platform::Set_Last_Error(c.os);
            kdx_frame.check();
            EXPECT_EQ(kdx_frame.check_code(), c.code);
            EXPECT_EQ(platform::Get_Last_Error(), c.os) << "the check keeps the code";
            auto state = trace::Trace_Error();
            EXPECT_EQ(state.Code, c.code);
            EXPECT_EQ(state.Os_Code, int32_t(c.os));
            EXPECT_EQ(state.Runtime_Code, c.runtime);
            EXPECT_EQ(state.Object_Code, c.object);
            size_t dash = c.line.find(" - ");
            EXPECT_EQ(state.Text, dash == std::string::npos
                                      ? ""
                                      : c.line.substr(dash + 3, c.line.size() - dash - 5));
            Segments expected;
            if (!c.line.empty()) expected.push_back({S(15) + c.line, 12});
            if (c.pause)
                expected.push_back(
                    {S(15) + "Press any Key to continue, (F9 to auto-debug, End-key to end)\r\n",
                     15});
            EXPECT_EQ(platform::Capture_Segments(), expected);
            // The prompt never goes to the log.
            EXPECT_EQ(Log().substr(log_before.size()), c.line.empty() ? "" : S(15) + c.line);
            trace::Set_Runtime_Code(0);
            trace::Set_Object_Code(0);
            platform::Set_Last_Error(0);
        });
    }
}

TEST_F(Trace, ErrorCheckCodesWithConsoleClosed) {
    for (const auto& c : Check_Cases) {
        SCOPED_TRACE(c.label);
        KDX_FRAME("X");
        trace::Set_Runtime_Code(c.runtime);
        trace::Set_Object_Code(c.object);
        platform::Set_Last_Error(c.os);
        kdx_frame.check();
        EXPECT_EQ(kdx_frame.check_code(), c.code);
        trace::Set_Runtime_Code(0);
        trace::Set_Object_Code(0);
        platform::Set_Last_Error(0);
    }
    EXPECT_EQ(platform::Capture_Text(), "");
}

int32_t Leaves_Error(uint32_t code) {
    KDX_FRAME("E");
    platform::Set_Last_Error(code);
    return kdx_frame.result(int32_t(7));
}

TEST_F(Trace, ErrorAtExitColoursTheResultUnlessItsMessageIsEmpty) {
    Open();
    Leaves_Error(5);
    std::string prompt = S(5) + "Press any Key to continue, (F9 to auto-debug, End-key to end)\r\n";
    Segments red{{"E()\r\n", 10},
                 {S(5) + "Error: 5 - Access is denied.\r\n", 12},
                 {prompt, 15},
                 {"End E", 10},
                 {" = 7" + S(25) + "0 ms\r\n\r\n", 12}};
    EXPECT_EQ(platform::Capture_Segments(), red);
    platform::Capture_Reset();
    Leaves_Error(12345);
    Segments plain{{"E()\r\n", 10},
                   {S(5) + "Error: 12345 - \r\n", 12},
                   {prompt, 15},
                   {"End E", 10},
                   {" = 7" + S(25) + "0 ms\r\n\r\n", 14}};
    EXPECT_EQ(platform::Capture_Segments(), plain);
}

void Runtime_Inner() {
    KDX_FRAME("Inner");
    kdx_frame.check();
    EXPECT_EQ(kdx_frame.check_code(), 0) << "a new procedure starts without a runtime code";
}

TEST_F(Trace, RuntimeCodeBelongsToItsProcedure) {
    KDX_FRAME("Outer");
    trace::Set_Runtime_Code(trace::Runtime_File_Not_Found);
    Runtime_Inner();
    kdx_frame.check();
    EXPECT_EQ(kdx_frame.check_code(), 53);
    trace::Set_Runtime_Code(0);
}

// ---- exit lines ----

struct Exit_Case {
    const char* label;
    int depth;
    std::string name;
    enum { None, Text, Number } kind;
    std::string text;
    double number;
    std::string comment;
    std::string result_part;  // what follows "End NAME" up to the line's end, attribute 14
};

void Framed_Exit(const Exit_Case& c) {
    KDX_FRAME(c.name.c_str());
    if (!c.comment.empty()) kdx_frame.comment(c.comment);
    if (c.kind == Exit_Case::Text) kdx_frame.result(c.text);
    if (c.kind == Exit_Case::Number) kdx_frame.result(c.number);
}

TEST_F(Trace, ExitLineLayouts) {
    const std::string long_name(80, 'N');
    const std::vector<Exit_Case> cases{
        {"no result at depth 1", 1, "X", Exit_Case::None, "", 0, "", "\r\n\r\n\r\n"},
        {"no result at depth 4", 4, "X", Exit_Case::None, "", 0, "", "\r\n\r\n"},
        {"empty text", 2, "X", Exit_Case::Text, "", 0, "note", "\r\n\r\n\r\n"},
        {"text with CR LF at depth 4", 4, "X", Exit_Case::Text, "A\r\nB", 0, "",
         " = A CHR$(13)  CHR$(10) B" + S(80 - 15 - 5) + "0 ms\r\n"},
        {"text with comment", 2, "x", Exit_Case::Text, "OK", 0, "note",
         " = OK     ;note" + S(80 - 5 - 5) + "0 ms\r\n\r\n"},
        {"long name, no filler", 2, long_name, Exit_Case::Text, "v", 0, "", " = v0 ms\r\n\r\n"},
        {"number with comment", 3, "X", Exit_Case::Number, "", -2.5, "c",
         " = -2.5     ;c" + S(25) + "0 ms\r\n\r\n"},
        {"large number", 5, "X", Exit_Case::Number, "", 123456789012345678.0, "",
         " = 1.23456789012346e+17" + S(25) + "0 ms\r\n"},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        At_Depth(c.depth, [&] {
            platform::Capture_Reset();
            Framed_Exit(c);
            std::string indent = S(5 * (c.depth - 1));
            std::string upper = c.name;
            for (auto& ch : upper) ch = char(std::toupper(ch));
            Segments expected{{indent + upper + "()\r\n" + indent + "End " + upper, 10},
                              {c.result_part, 14}};
            EXPECT_EQ(platform::Capture_Segments(), expected);
        });
    }
}

TEST_F(Trace, ElapsedTimeOfTextResultsKeepsItsOwnColourAfterAnError) {
    Open();
    [] {
        KDX_FRAME("T");
        platform::Set_Last_Error(5);
        Advance_Ms(40);
        return kdx_frame.result(std::string("v"));
    }();
    auto segs = platform::Capture_Segments();
    ASSERT_GE(segs.size(), 2u);
    EXPECT_EQ(segs[segs.size() - 2], (Capture_Segment{" = v" + S(80 - 5), 12}));
    EXPECT_EQ(segs.back(), (Capture_Segment{"40 ms\r\n\r\n", 14}));
}

TEST_F(Trace, ProcedureEnteredBeforeTheOpeningTimesFromTheOpening) {
    [] {
        KDX_FRAME("Menu");
        Advance_Ms(100);
        ErrCheck_Debug(1);
        platform::Capture_Reset();
        Advance_Ms(7);
        return kdx_frame.result(1);
    }();
    EXPECT_EQ(platform::Capture_Segments(),
              (Segments{{"End MENU", 10}, {" = 1" + S(25) + "7 ms\r\n\r\n", 14}}));
}

// ---- call texts ----

TEST_F(Trace, CallTexts) {
    int32_t n = 9600;
    const int32_t* omitted = nullptr;
    std::string bytes = "\xe9t\xe9";
    {
        KDX_FRAME("Serial_Port_Write", n, std::string("F,\r"), omitted, 1.5, -3);
        EXPECT_EQ(kdx_frame.call_text(), "SERIAL_PORT_WRITE(9600,\"F,<0D>\",,1.5,-3)");
        n = 19200;  // a by-reference argument shows its value at the time the text is built
        EXPECT_EQ(kdx_frame.call_text(), "SERIAL_PORT_WRITE(19200,\"F,<0D>\",,1.5,-3)");
    }
    {
        KDX_FRAME("No_Args");
        EXPECT_EQ(kdx_frame.call_text(), "NO_ARGS()");
    }
    {
        KDX_FRAME("Bytes", bytes, "\x01\x1f ");
        EXPECT_EQ(kdx_frame.call_text(), "BYTES(\"\xe9t\xe9\",\"<01><1F> \")");
    }
    {
        KDX_FRAME("Long", std::string(2000, 'a'));
        std::string text = kdx_frame.call_text();
        EXPECT_EQ(text.size(), 1024u);
        EXPECT_EQ(text.substr(0, 7), "LONG(\"a");
    }
}

TEST_F(Trace, NumberFormat) {
    const std::vector<std::pair<double, std::string>> cases{
        {0, "0"},
        {-0.0, "0"},
        {1, "1"},
        {-7, "-7"},
        {0.5, "0.5"},
        {1.0 / 3, "0.333333333333333"},
        {1e15, "1e+15"},
        {123456789012345, "123456789012345"},
        {2147483647, "2147483647"},
        {-2147483648.0, "-2147483648"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(trace::Format_Number(value), text) << text;
}

// ---- callbacks ----

void Window_Procedure(int32_t message) {
    KDX_CALLBACK_FRAME("Window_Proc", message);
}

TEST_F(Trace, CallbackFramesShowOnlyWithTheSwitch) {
    Open();
    At_Depth(2, [] { Window_Procedure(15); });
    std::string silent = platform::Capture_Text();
    EXPECT_EQ(silent.find("WINDOW_PROC"), std::string::npos);
    ErrCheck_Show_Callbacks(1);
    At_Depth(2, [] {
        platform::Capture_Reset();
        Window_Procedure(15);
        Segments expected{{"     WINDOW_PROC(15)\r\n     End WINDOW_PROC\r\n", 10}};
        EXPECT_EQ(platform::Capture_Segments(), expected);
    });
}

// ---- opening and closing ----

void C_Proc(const std::function<void()>& body) {
    KDX_FRAME("C");
    body();
}
void B_Proc(const std::string& x, const std::function<void()>& body) {
    KDX_FRAME("B", x);
    C_Proc(body);
}
void A_Proc(const std::function<void()>& body) {
    KDX_FRAME("A");
    B_Proc("x", body);
}

TEST_F(Trace, OpeningListsTheCallStackAndMenuClosingLogsEndLinesTwice) {
    A_Proc([&] {
        ASSERT_NE(ErrCheck_Debug(1), 0);  // depth 4
        EXPECT_EQ(platform::Capture_Title(), "Debug Console");
        EXPECT_EQ(platform::Capture_Text(),
                  S(10) + "A()\r\n" + S(10) + "B(\"x\")\r\n" + S(10) + "C()\r\n");
        EXPECT_EQ(Log(), "") << "the listing is for the console only";
        platform::Capture_Reset();
        EXPECT_EQ(ErrCheck_Debug(0), 0);
    });
    std::string lines = S(5) + "End C\r\n" + S(5) + "End B\r\nEnd A\r\n";
    EXPECT_EQ(platform::Capture_Segments(), (Segments{{lines, 10}}));
    EXPECT_EQ(Log(), S(5) + "End C\r\n" + S(5) + "End C\r\n" + S(5) + "End B\r\n" + S(5) +
                         "End B\r\nEnd A\r\nEnd A\r\n");
    EXPECT_EQ(platform::Capture_Open_Count(), 0);
}

TEST_F(Trace, SecondOpeningKeepsTheConsoleAndStartsANewLog) {
    int32_t handle = ErrCheck_Debug(1);
    ASSERT_NE(handle, 0);
    ErrCheck_Print(std::string_view("first\r\n"), 10);
    EXPECT_EQ(ErrCheck_Debug(1), handle);
    EXPECT_EQ(platform::Capture_Open_Count(), 1);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(ErrCheck_Debug(7), handle) << "other modes change nothing";
    ErrCheck_Debug(0);
    EXPECT_EQ(ErrCheck_Debug(7), 0);
}

TEST_F(Trace, OpeningReplacesAnOldLogAndClosingKeepsWhatWasWritten) {
    std::string name = trace::Debug_Log_Name(platform::Module_File_Name());
    EXPECT_EQ(name, "kdx_tests_Debug.txt");
    { std::ofstream(dir_.path() + "/" + name) << "old content"; }
    Open();
    // Named as the system writes paths (a Windows folder's with "\\").
    EXPECT_EQ(trace::Debug_Log_Path(), platform::Path_In_Folder(dir_.path(), name));
    EXPECT_EQ(Log(), "");
    ErrCheck_Print(std::string_view("kept\r\n"), 10);
    ErrCheck_Debug(0);
    std::string text = platform::Capture_Text();
    ErrCheck_Print(std::string_view("lost\r\n"), 10);
    ErrCheck_Comment("lost");
    { KDX_FRAME("Closed"); }
    EXPECT_EQ(platform::Capture_Text(), text);
    EXPECT_EQ(Log(), "kept\r\n");
}

TEST_F(Trace, OpeningAndClosingLeaveTheLastErrorAlone) {
    { std::ofstream(dir_.path() + "/kdx_tests_Debug.txt") << "x"; }
    platform::Set_Last_Error(0);
    ErrCheck_Debug(1);
    EXPECT_EQ(platform::Get_Last_Error(), 0u);
    platform::Set_Last_Error(87);
    ErrCheck_Print(std::string_view("line\r\n"), 10);
    ErrCheck_Debug(0);
    EXPECT_EQ(platform::Get_Last_Error(), 87u);
}

TEST_F(Trace, ConsoleWorksWhenTheLogCannotBeCreated) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows does not remove a process's current folder, where the log would be";
#else
    std::string gone = dir_.path() + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    Open();
    ErrCheck_Print(std::string_view("still shown\r\n"), 10);
    EXPECT_EQ(platform::Capture_Text(), "still shown\r\n");
#endif
}

TEST_F(Trace, NoneConsoleOpensNothing) {
    setenv("KDX_CONSOLE", "none", 1);
    EXPECT_EQ(ErrCheck_Debug(1), 0);
    EXPECT_FALSE(trace::Console_Open());
}

// ---- the console operations ----

TEST_F(Trace, CommentStandsTwoLevelsBelowItsCallerAndLogsTheTextAlone) {
    Open();
    At_Depth(3, [] {  // the caller stands at depth 2
        ErrCheck_Comment("%IDM_Terminal");
        ErrCheck_Print(std::string_view("next\r\n"), 10);
    });
    auto segs = platform::Capture_Segments();
    ASSERT_GE(segs.size(), 2u);
    EXPECT_EQ(segs[1], (Capture_Segment{S(15) + "%IDM_Terminal\r\n", 2}));
    EXPECT_NE(Log().find("%IDM_Terminalnext\r\n"), std::string::npos);
}

TEST_F(Trace, DebugPrintWritesRawTextThenBlanksTheCallersText) {
    std::string text = "raw";
    ErrCheck_Debug_Print(text, 13);
    EXPECT_EQ(text, "raw") << "closed: no effect";
    Open();
    ErrCheck_Debug_Print(text, 13);
    EXPECT_EQ(text, "   ");
    EXPECT_EQ(platform::Capture_Segments(), (Segments{{"raw", 13}}));
    EXPECT_EQ(Log(), "raw");
}

TEST_F(Trace, PrintWithNamesRewritesTheCallersText) {
    Open();
    std::string text = "A B\r\n";
    int32_t zero = 0, one = 1;
    ErrCheck_Print(text, 14, &zero);
    EXPECT_EQ(text, "A B\r\n");
    ErrCheck_Print(text, 14, &one);
    EXPECT_EQ(text, "A<$SPC>B<$CR><$LF>");
    EXPECT_EQ(platform::Capture_Segments(), (Segments{{"A B\r\nA<$SPC>B<$CR><$LF>", 14}}));
}

TEST_F(Trace, ControlNames) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"A B\r\n", "A<$SPC>B<$CR><$LF>"},
        {std::string("\0x", 2), "$NULx"},
        {"\x01\x1b\x1f", "<$SOH><$ESC><$US>"},
        {"\x7f\xe9!", "\x7f\xe9!"},
        {"", ""},
    };
    for (auto [in, out] : cases) {
        EXPECT_EQ(ErrCheck_Control_Names(in), out);
        EXPECT_EQ(in, out);
    }
}

TEST_F(Trace, LogIsCutAt2079AndConsoleGetsEverything) {
    Open();
    std::string text(3000, 'z');
    ErrCheck_Print(text, 10);
    EXPECT_EQ(platform::Capture_Text().size(), 3000u);
    EXPECT_EQ(Log().size(), 2079u);
}

TEST_F(Trace, LogWritesLandAtTheEndOfTheFile) {
    Open();
    ErrCheck_Print(std::string_view("a"), 10);
    { std::ofstream(trace::Debug_Log_Path(), std::ios::app) << "XYZ"; }
    ErrCheck_Print(std::string_view("b"), 10);
    EXPECT_EQ(Log(), "aXYZb");
}

// ---- the pause ----

int32_t Failing_Check() {
    KDX_FRAME("F");
    platform::Set_Last_Error(5);
    kdx_frame.check();
    platform::Set_Last_Error(0);
    return 0;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(Trace, F9TogglesAutoDebug) {
    Open();
    platform::Capture_Set_Keyboard(true);
    const std::string prompt = "Press any Key";
    struct Step {
        std::vector<int32_t> keys;
        size_t prompts;  // prompts shown so far
    };
    const std::vector<Step> steps{
        {{platform::VK_F9}, 1},  // prompt, then auto-debug on
        {{}, 1},                 // no prompt, no wait
        {{platform::VK_F9}, 1},  // the one scan finds F9: auto-debug off
        {{'A'}, 2},              // prompt again, any key continues
        {{platform::VK_RETURN}, 3},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        for (int32_t k : steps[i].keys) platform::Capture_Push_Key(k);
        Failing_Check();
        EXPECT_EQ(platform::Capture_Pending_Keys(), 0u);
        EXPECT_EQ(Count(platform::Capture_Text(), prompt), steps[i].prompts);
    }
}

TEST_F(Trace, PauseWaitsForAKeyAndEndsWhenTheConsoleCloses) {
    Open();
    platform::Capture_Set_Keyboard(true);
    // The pause ends on the key and not before it: the key is pushed only after a while, and
    // the pause must find it pushed when it returns (however late a busy machine runs us).
    std::atomic<bool> pushed{false};
    std::thread presser([&pushed] {
        platform::Sleep_Ms(100);
        pushed = true;
        platform::Capture_Push_Key(' ');
    });
    Failing_Check();
    EXPECT_TRUE(pushed.load());
    presser.join();

    std::thread closer([] {
        platform::Sleep_Ms(100);
        ErrCheck_Debug(0);
    });
    Failing_Check();  // returns once the other thread has closed the console
    closer.join();
    EXPECT_FALSE(trace::Console_Open());
}

TEST_F(Trace, PauseWithoutKeyboardReturnsAtOnce) {
    Open();
    Failing_Check();
    EXPECT_EQ(Count(platform::Capture_Text(), "Press any Key"), 1u);
}

// ---- timers ----

TEST_F(Trace, TimersRoundToWholeMilliseconds) {
    Trace_Timer t;
    t.Frequency = 1000000000;
    fake_ticks = 1'234'567'890;
    EXPECT_EQ(ErrCheck_Timer_Start(t), 1235);
    fake_ticks = 9'000'000'000'000'000'000;  // a long uptime must not overflow
    EXPECT_EQ(ErrCheck_Timer_Stop(t), 9'000'000'000'000);
    EXPECT_EQ(ErrCheck_Timer_Elapsed(t), "8999999998765");
    EXPECT_EQ(t.Elapsed, 8999999998765);
    Trace_Timer odd;
    odd.Frequency = 3;
    fake_ticks = 2;
    EXPECT_EQ(ErrCheck_Timer_Start(odd), 667);
}

// ---- two threads ----

int32_t Worker_Step(int32_t n) {
    KDX_FRAME("W", n);
    return kdx_frame.result(n);
}

// One whole line of the two threads' traces: indentation, then nothing, "L()", "W(<n>)",
// "End L" or "End W = <n> <blanks><n> ms". (No std::regex: GCC 12 warns inside it in an
// optimised sanitizer build.)
bool Whole_Trace_Line(const std::string& line) {
    size_t at = line.find_first_not_of(' ');
    if (at == std::string::npos) return true;
    std::string_view rest = std::string_view(line).substr(at);
    auto number = [&rest] {
        size_t n = 0;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
        rest.remove_prefix(n);
        return n > 0;
    };
    auto take = [&rest](std::string_view text) {
        if (rest.substr(0, text.size()) != text) return false;
        rest.remove_prefix(text.size());
        return true;
    };
    if (rest == "L()" || rest == "End L") return true;
    if (take("W(")) return number() && rest == ")";
    if (!take("End W = ") || !number()) return false;
    size_t blanks = rest.find_first_not_of(' ');
    if (blanks == 0 || blanks == std::string_view::npos) return false;
    rest.remove_prefix(blanks);
    return number() && rest == " ms";
}

TEST_F(Trace, TwoThreadsNeverMixTheirLines) {
    trace::Set_Counter_Source(nullptr);
    Open();
    auto work = [] {
        for (int32_t i = 0; i < 2000; ++i) At_Depth(4, [i] { Worker_Step(i); });
    };
    std::thread other(work);
    work();
    other.join();
    ErrCheck_Debug(0);
    std::string log = Log();
    size_t lines = 0, start = 0;
    for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string one = log.substr(start, end - start);
        ASSERT_TRUE(Whole_Trace_Line(one)) << one;
        ++lines;
    }
    EXPECT_EQ(start, log.size());
    EXPECT_GE(lines, 2u * 2000 * 8);
}

// The console opens and closes under a thread that traces, prints and pauses all the while:
// every write finds a console or none, never one half gone, and the worker ends.
TEST_F(Trace, ConsoleOpensAndClosesUnderAWorkingThread) {
    trace::Set_Counter_Source(nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int32_t> steps{0};
    std::thread worker([&] {
        while (!stop.load()) {
            At_Depth(3, [&] { Worker_Step(steps.fetch_add(1)); });
            ErrCheck_Print(std::string_view("line\r\n"), 7);
            ErrCheck_Comment("note");
            Failing_Check();  // no keyboard: the pause returns at once
        }
    });
    // The worker is under way before the console starts coming and going (a busy machine can
    // start it late).
    while (steps.load() == 0) platform::Sleep_Ms(1);
    for (int i = 0; i < 200; ++i) {
        ErrCheck_Debug(1);
        if (i % 3 == 0) platform::Sleep_Ms(0);
        ErrCheck_Debug(0);
    }
    stop = true;
    worker.join();
    EXPECT_FALSE(trace::Console_Open());
    EXPECT_EQ(platform::Capture_Open_Count(), 0);
    EXPECT_GT(steps.load(), 0);
}

// The End key, the debug log's name and the pause, in a process of their own.
using namespace test::run_in_folder;
using platform::Sleep_Ms;

const std::string Helper = std::string(KDX_TEST_HELPER_DIR) + "/trace_helper" KDX_PROGRAM_SUFFIX;

TEST(Trace_Process, EndKeyLogsEachEndLineOnceAndEndsTheProgram) {
    test::Temp_Dir dir;
    std::string marker = dir.path() + "/marker";
    auto r = Run_Program(Helper, {"end-key", marker}, dir.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "started") << "output written before End is not lost";
    EXPECT_EQ(Read_File_Text(marker), "ended");
    std::string indent(10, ' ');
    EXPECT_EQ(Read_File_Text(dir.path() + "/trace_helper_Debug.txt"),
              "A()\r\n     B(\"x\")\r\n          C(0)\r\n               Error: 5 - Access is "
              "denied.\r\n" +
                  indent + "End C\r\n" + indent + "End B\r\nEnd A\r\n");
}

TEST(Trace_Process, LogIsNamedAfterTheProgramAndWrittenInTheCurrentFolder) {
    test::Temp_Dir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir.path() + "/bin");
    fs::create_directory(dir.path() + "/run");
    for (std::string name : {"Tool.rev2", "Tool.rev2.exe"}) {
        SCOPED_TRACE(name);
        std::string program = dir.path() + "/bin/" + name;
        fs::copy_file(Helper, program);
        auto r = Run_Program(program, {"log-name"}, dir.path() + "/run");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test::Native(r.out), test::Native(dir.path() + "/run/Tool.rev2_Debug.txt\n"));
        EXPECT_TRUE(fs::exists(dir.path() + "/run/Tool.rev2_Debug.txt"));
        EXPECT_FALSE(fs::exists(dir.path() + "/bin/Tool.rev2_Debug.txt"));
        fs::remove(dir.path() + "/run/Tool.rev2_Debug.txt");
    }
}

TEST(Trace_Process, TerminalPauseTakesKeysFromTheControllingTerminal) {
#ifdef _WIN32
    GTEST_SKIP() << "a Unix terminal's pause: Windows takes keys from its console";
#else
    test::Temp_Dir dir;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        setenv("KDX_CONSOLE", "terminal", 1);
        unsetenv("NO_COLOR");
        execl(Helper.c_str(), Helper.c_str(), "pause-twice", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string shown;
    const std::string prompt = "Press any Key to continue, (F9 to auto-debug, End-key to end)";
    Read_Until(master, prompt, 1, 20000, &shown);
    Sleep_Ms(200);  // the key must come after the pause has switched to raw mode
    ASSERT_EQ(write(master, "x", 1), 1);
    Read_Until(master, prompt, 2, 20000, &shown);
    Sleep_Ms(200);
    ASSERT_EQ(write(master, "\x1b[F", 3), 3);
    Read_Until(master, "End A", 1, 20000, &shown);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_NE(shown.find("\x1b]0;Debug Console\x07"), std::string::npos);
    EXPECT_NE(shown.find("\x1b[0;92mA()"), std::string::npos);
    EXPECT_NE(shown.find("\x1b[0;91m" + std::string(20, ' ') + "Error: 5 - Access is denied."),
              std::string::npos);
    EXPECT_NE(shown.find("\x1b[0;97m" + std::string(20, ' ') + prompt), std::string::npos);
    std::string log = Read_File_Text(dir.path() + "/trace_helper_Debug.txt");
    std::string indent(15, ' ');
    std::string ends =
        indent + "End SECOND\r\n" + indent + "End C\r\n" + indent + "End B\r\nEnd A\r\n";
    ASSERT_GE(log.size(), ends.size());
    EXPECT_EQ(log.substr(log.size() - ends.size()), ends);
    EXPECT_EQ(log.find("Press any Key"), std::string::npos);
#endif
}

TEST(Trace_Process, BackgroundJobPausesWithoutWaiting) {
#ifdef _WIN32
    GTEST_SKIP() << "a Unix terminal's background job: Windows has no job control";
#else
    test::Temp_Dir dir;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The session leader stays in the foreground; the helper runs in a group of its own.
        pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            if (chdir(dir.path().c_str()) != 0) _exit(126);
            setenv("KDX_CONSOLE", "terminal", 1);
            execl(Helper.c_str(), Helper.c_str(), "pause-twice", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(job, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    std::string shown;
    Read_Until(master, "End A", 1, 20000, &shown);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "both pauses went on without a key";
    EXPECT_NE(shown.find("Press any Key"), std::string::npos);
#endif
}

}  // namespace
}  // namespace kdx
