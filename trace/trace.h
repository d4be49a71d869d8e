// The procedure trace: the debug console and log operations, and the frame every procedure
// carries. A framed procedure starts with one line,
//
//     KDX_FRAME("Serial_Port_Open", number, baud);
//
// calls kdx_frame.check() after each operating-system call whose failure it cares about,
// may set kdx_frame.comment(...), and returns through kdx_frame.result(value) when it has a
// result. With the console closed a frame only keeps the thread's call stack and its timer;
// call texts are built only when a console is there to show them.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kdx {

// Console and debug log.
int32_t ErrCheck_Debug(int32_t mode);
// Writes text in attribute; with names == 1 first replaces control characters by their
// names and writes the named text back into text.
std::string ErrCheck_Print(std::string& text, int32_t attribute, const int32_t* names = nullptr);
void ErrCheck_Print(std::string_view text, int32_t attribute);
std::string ErrCheck_Comment(const std::string& text);
std::string ErrCheck_Debug_Print(std::string& text, int32_t attribute);
void ErrCheck_Show_Callbacks(int32_t flag);
void ErrCheck_Debug_Level(int32_t level);
void ErrCheck_Console_Size();
std::string ErrCheck_Control_Names(std::string& text);

// Timing record of a procedure.
struct Trace_Timer {
    int64_t Frequency = 0;
    int64_t Start = 0;
    int64_t Stop = 0;
    int64_t Elapsed = 0;
};
int64_t ErrCheck_Timer_Start(Trace_Timer& timer);
int64_t ErrCheck_Timer_Stop(Trace_Timer& timer);
std::string ErrCheck_Timer_Elapsed(Trace_Timer& timer);
void ErrCheck_WaitKey();

// Console attributes the trace uses.
enum : int32_t {
    Attribute_Comment = 2,
    Attribute_Line = 10,
    Attribute_Error = 12,
    Attribute_Result = 14,
    Attribute_Prompt = 15,
};

}  // namespace kdx

namespace kdx::trace {

namespace detail {
extern std::atomic<bool> Console_Is_Open;
}

// True while the debug console is open: the cheap test every print makes first.
inline bool Console_Open() {
    return detail::Console_Is_Open.load(std::memory_order_relaxed);
}

// The built-in (runtime) and component-object codes the error check reads beside the
// operating-system code. A runtime code belongs to the current procedure (a new frame starts
// with 0); the object code to the thread. Both stay until set again.
void Set_Runtime_Code(int32_t code);
void Set_Object_Code(int32_t code);

// The calling thread's error state as its latest check left it: the three codes it read,
// the code it reported (0 for none) and, while the console is open, the message text.
struct Trace_Error_State {
    int32_t Os_Code = 0;
    int32_t Runtime_Code = 0;
    int32_t Object_Code = 0;
    int32_t Code = 0;
    std::string Text;
};
Trace_Error_State Trace_Error();

// Runtime codes of our own file and conversion failures, with short messages.
enum : int32_t {
    Runtime_Invalid_Argument = 5,
    Runtime_Overflow = 6,
    Runtime_Out_Of_Memory = 7,
    Runtime_Out_Of_Range = 9,
    Runtime_Division_By_Zero = 11,
    Runtime_Type_Mismatch = 13,
    Runtime_Bad_File = 52,
    Runtime_File_Not_Found = 53,
    Runtime_Bad_File_Mode = 54,
    Runtime_File_Already_Open = 55,
    Runtime_Device_IO = 57,
    Runtime_File_Exists = 58,
    Runtime_Disk_Full = 61,
    Runtime_Past_End = 62,
    Runtime_Too_Many_Files = 67,
    Runtime_Device_Unavailable = 68,
    Runtime_Permission_Denied = 70,
    Runtime_Disk_Not_Ready = 71,
    Runtime_Path_Access = 75,
    Runtime_Path_Not_Found = 76,
    Runtime_Object_Error = 99,  // the failure is in Object_Code
};
std::string Runtime_Message(int32_t code);

// Numbers in trace lines: up to 15 significant digits, no leading space, no decimal point
// for whole numbers.
std::string Format_Number(double value);

// The debug log's file name for an executable path: its base name and "_Debug.txt".
std::string Debug_Log_Name(const std::string& executable_path);
// Full path of the debug log the latest opening created ("" before the first, and when
// that opening could not create it).
std::string Debug_Log_Path();
// Why the latest opening could not create the debug log ("" when it could).
std::string Debug_Log_Error();

// The End key in a pause ends the process with this code, after the debug log is closed
// and every handler added here has run (the port log closes itself this way).
// The counter the timers read, in ticks of the system counter's frequency; tests put a
// clock of their own here to get exact elapsed times (null restores the system's).
void Set_Counter_Source(int64_t (*counter)());

constexpr int32_t End_Exit_Code = 3;
void On_Program_End(void (*handler)());

class Frame {
  public:
    using Formatter = void (*)(const void* args, std::string& out);
    enum class Kind : uint8_t { Full, Callback, Silent };
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Error check after an operating-system call (and once more at the exit).
    void check() noexcept;
    // The trace comment shown on the exit line.
    void comment(std::string_view text);
    // The procedure leaves without an exit line (a handler that returns straight away).
    void skip_exit_line() noexcept { skip_exit_ = true; }

    template <class T>
    T result(T value) {
        if (Console_Open()) {
            if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>)
                set_number(static_cast<double>(value));
            else if constexpr (std::is_pointer_v<T>)
                set_text(value ? std::string_view(value) : std::string_view());
            else
                set_text(std::string_view(value));
        }
        return value;
    }

    // The call text: NAME(arg,arg).
    std::string call_text() const;
    const char* name() const { return name_; }
    // The code the last check reported (0 for none).
    int32_t check_code() const { return check_code_; }
    // Number of active procedures on this thread up to and including this one.
    int32_t depth() const { return depth_; }

  protected:
    Frame(const char* name, Formatter format, const void* args, Kind kind) noexcept
        : name_(name), format_(format), args_(args), kind_(kind) {}
    ~Frame() = default;
    void enter() noexcept;
    void leave() noexcept;

  private:
    friend struct Frame_Access;
    [[gnu::noinline]] void show_entry() noexcept;
    [[gnu::noinline]] void show_exit() noexcept;
    void set_number(double value);
    void set_text(std::string_view value);

    const char* name_;
    Formatter format_;
    const void* args_;
    Frame* outer_ = nullptr;
    int32_t depth_ = 0;
    int32_t check_code_ = 0;
    int32_t runtime_code_ = 0;
    Kind kind_;
    bool entered_ = false;
    bool skip_exit_ = false;
    // Exit-line state; filled only while the console is open.
    enum class Value : uint8_t { Empty, Number, Text } value_ = Value::Empty;
    Trace_Timer timer_{};
    int64_t start_counter_ = 0;
    double number_ = 0;
    std::string text_;
    std::string comment_;
    std::string call_text_;  // built at entry when a console was open
};

// How an argument appears in a call text: numbers as numbers, texts quoted with control
// characters as <0D>. Records give their own overload (found by argument-dependent lookup),
// for instance through Format_Raw_Arg.
void Format_Arg(std::string& out, double value);
void Format_Arg(std::string& out, std::string_view text);
inline void Format_Arg(std::string& out, const std::string& text) {
    Format_Arg(out, std::string_view(text));
}
inline void Format_Arg(std::string& out, const char* text) {
    Format_Arg(out, std::string_view(text ? text : ""));
}
// An optional by-reference number: its value, or nothing when omitted.
void Format_Arg(std::string& out, const int32_t* value);
inline void Format_Arg(std::string&, std::nullptr_t) {}
template <class T>
requires(std::is_arithmetic_v<T> || std::is_enum_v<T>) void Format_Arg(std::string& out, T value) {
    Format_Arg(out, static_cast<double>(value));
}
// A record written as a text of its raw bytes.
void Format_Raw_Arg(std::string& out, const void* data, size_t size);

namespace detail {
// An argument as the frame keeps it: a caller's variable by address (shown with its value
// at the time the text is built), a temporary by value so it outlives its full expression.
template <class A>
struct Arg_Ref {
    const std::remove_reference_t<A>* p;
    const std::remove_reference_t<A>& get() const { return *p; }
};
template <class A>
struct Arg_Value {
    std::decay_t<A> v;
    const std::decay_t<A>& get() const { return v; }
};
template <class A>
using Stored_Arg = std::conditional_t<std::is_lvalue_reference_v<A>, Arg_Ref<A>, Arg_Value<A>>;
template <class A>
Stored_Arg<A> Store(A&& a) {
    if constexpr (std::is_lvalue_reference_v<A>)
        return Stored_Arg<A>{&a};
    else
        return Stored_Arg<A>{std::forward<A>(a)};
}
}  // namespace detail

template <class... A>
class Arg_Frame final : public Frame {
  public:
    Arg_Frame(const char* name, Kind kind, A&&... args)
        : Frame(name, &Format, &args_, kind), args_(detail::Store<A>(std::forward<A>(args))...) {
        enter();
    }
    ~Arg_Frame() { leave(); }

  private:
    static void Format(const void* p, std::string& out) {
        const auto& args = *static_cast<const std::tuple<detail::Stored_Arg<A>...>*>(p);
        bool first = true;
        std::apply(
            [&](const auto&... arg) {
                ((out += first ? "" : ",", first = false, Format_Arg(out, arg.get())), ...);
            },
            args);
    }
    std::tuple<detail::Stored_Arg<A>...> args_;
};

template <class... A>
Arg_Frame<A...> Make_Frame(const char* name, A&&... args) {
    return Arg_Frame<A...>(name, Frame::Kind::Full, std::forward<A>(args)...);
}
template <class... A>
Arg_Frame<A...> Make_Callback_Frame(const char* name, A&&... args) {
    return Arg_Frame<A...>(name, Frame::Kind::Callback, std::forward<A>(args)...);
}

}  // namespace kdx::trace

#define KDX_FRAME(...) auto kdx_frame = ::kdx::trace::Make_Frame(__VA_ARGS__)
#define KDX_CALLBACK_FRAME(...) auto kdx_frame = ::kdx::trace::Make_Callback_Frame(__VA_ARGS__)
