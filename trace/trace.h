// The procedure trace: the debug console and log operations, and the frame every procedure
// carries. A framed procedure starts with one line,
//
//     KDX_FRAME("Serial_Port_Open", number, baud);
//
// calls kdx_frame.check() after each operating-system call whose failure it cares about,
// may set kdx_frame.comment(...), and returns through kdx_frame.result(value) when it has a
// result. With the console closed a frame only keeps the thread's call stack.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

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

}  // namespace kdx

namespace kdx::trace {

// True while the debug console is open: the cheap test every print makes first.
bool Console_Open();

// The built-in (runtime) and component-object codes the error check reads beside the
// operating-system code. Runtime codes are the numbers of our own file and conversion
// failures; object codes stay 0 on this platform.
void Set_Runtime_Code(int32_t code);
void Set_Object_Code(int32_t code);

class Frame {
  public:
    using Formatter = void (*)(const void* args, std::string& out);
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame();

    // Error check after an operating-system call (and once more at the exit).
    void check();
    // The trace comment shown on the exit line.
    void comment(std::string_view text);

    template <class T>
    T result(T value) {
        if (Console_Open()) {
            if constexpr (std::is_arithmetic_v<T>)
                set_number(static_cast<double>(value));
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

  protected:
    Frame(const char* name, Formatter format, const void* args, bool callback)
        : name_(name), format_(format), args_(args), callback_(callback) {}
    void enter();

  private:
    void set_number(double value);
    void set_text(std::string_view value);

    const char* name_;
    Formatter format_;
    const void* args_;
    bool callback_;
    bool entered_ = false;
    int32_t check_code_ = 0;
    Frame* outer_ = nullptr;
    Trace_Timer timer_{};
    // Exit-line state; filled only while the console is open.
    enum class Kind : uint8_t { Empty, Number, Text } kind_ = Kind::Empty;
    double number_ = 0;
    std::string text_;
    std::string comment_;
};

// How an argument appears in a call text: numbers as numbers, texts quoted with control
// characters as <0D>. Records give their own overload (found by argument-dependent lookup).
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
template <class T>
requires std::is_arithmetic_v<T>
void Format_Arg(std::string& out, T value) {
    Format_Arg(out, static_cast<double>(value));
}

template <class... A>
class Arg_Frame final : public Frame {
  public:
    Arg_Frame(const char* name, bool callback, const A&... args)
        : Frame(name, &Format, &args_, callback), args_(&args...) {
        enter();
    }

  private:
    static void Format(const void* p, std::string& out) {
        const auto& args = *static_cast<const std::tuple<const A*...>*>(p);
        bool first = true;
        std::apply(
            [&](const auto*... arg) {
                ((out += first ? "" : ",", first = false, Format_Arg(out, *arg)), ...);
            },
            args);
    }
    std::tuple<const A*...> args_;
};

template <class... A>
Arg_Frame<A...> Make_Frame(const char* name, const A&... args) {
    return Arg_Frame<A...>(name, false, args...);
}
template <class... A>
Arg_Frame<A...> Make_Callback_Frame(const char* name, const A&... args) {
    return Arg_Frame<A...>(name, true, args...);
}

}  // namespace kdx::trace

#define KDX_FRAME(...) auto kdx_frame = ::kdx::trace::Make_Frame(__VA_ARGS__)
#define KDX_CALLBACK_FRAME(...) auto kdx_frame = ::kdx::trace::Make_Callback_Frame(__VA_ARGS__)
