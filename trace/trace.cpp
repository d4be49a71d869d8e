// The debug console, the debug log and the procedure trace frame.
//
// Threads: the call stack, the error state (Code, Text, the object code) and the runtime
// code of each procedure belong to the thread that runs it. The console device, the log
// handle and the trace attribute are shared: every write takes one lock and puts its whole
// line on the console and into the log before another thread can write, so lines of the two
// threads interleave but never mix. Pauses take their own lock, one at a time.
#include "trace/trace.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"

namespace kdx::trace {

namespace detail {
std::atomic<bool> Console_Is_Open{false};
}

// Reaches the frames' private parts from the procedures of this file.
struct Frame_Access {
    static Frame* Outer(const Frame* f) { return f->outer_; }
    static int32_t& Runtime(Frame* f) { return f->runtime_code_; }
    static std::string Call_Text(const Frame* f);
    static void Check(Frame* f) noexcept;
    [[gnu::noinline]] static int32_t Show_Check(Frame* f, int32_t os, int32_t runtime,
                                                int32_t object, int32_t code,
                                                uint8_t kind) noexcept;
};

namespace {

constexpr size_t Line_Limit = 2079;  // the trace line buffer and the log write buffer
constexpr size_t Call_Text_Limit = 1024;
constexpr const char* Prompt = "Press any Key to continue, (F9 to auto-debug, End-key to end)";
constexpr const char* Pause_Name = "ErrCheck_WaitKey";

// ---- shared console state ----

struct Console_State {
    std::mutex lock;  // the device, the log, the attribute; held for each whole write
    std::shared_ptr<platform::Console_Device> device;
    int32_t console_handle = 0;
    int32_t log = 0;
    std::string log_path;
    std::string log_error;
    int32_t attribute = 7;
};

Console_State& Shared() {
    // Never destroyed: the poller thread may still trace while the process ends.
    static auto* state = new Console_State();
    return *state;
}

std::mutex debug_lock;  // opening and closing, one at a time
std::mutex pause_lock;  // one pause at a time: both threads read the same keyboard
std::atomic<int32_t> show_callbacks{0};
std::atomic<int32_t> debug_level{0};
std::atomic<uint8_t> auto_debug{0};
std::atomic<int32_t> end_requested{0};
std::atomic<int64_t (*)()> counter_source{nullptr};
std::atomic<int64_t> opened_counter{0};  // when the console last opened

int64_t Counter() {
    auto source = counter_source.load(std::memory_order_relaxed);
    return source ? source() : platform::Query_Performance_Counter();
}

std::mutex end_handlers_lock;
std::vector<void (*)()>& End_Handlers() {
    static auto* handlers = new std::vector<void (*)()>();
    return *handlers;
}

// ---- per-thread state ----

// One record, so that a procedure reaches all of it through one thread-local lookup (each
// lookup is a call into the dynamic linker from a shared library, and every port call checks).
struct Thread_State {
    Frame* innermost = nullptr;
    int32_t object_code = 0;
    int32_t runtime_code_outside = 0;  // set with no procedure active
    int32_t error_code = 0;            // Trace_Error.Code of this thread
    int32_t error_os = 0, error_runtime = 0, error_object = 0;
    bool error_text_set = false;  // spares the closed console touching the text
    // Whether a code's message is empty, remembered for the checks made with the console
    // closed.
    int32_t empty_known_code = 0;
    uint8_t empty_known_kind = 0;
    bool empty_known_result = false;
};
thread_local Thread_State this_thread;
// Apart from the record: a string would give every use of the record a guard for its
// construction.
thread_local std::string error_text;

// The last error as the traced code left it: trace output never changes it.
class Keep_Last_Error {
  public:
    Keep_Last_Error() : code_(platform::Get_Last_Error()) {}
    ~Keep_Last_Error() { platform::Set_Last_Error(code_); }

  private:
    uint32_t code_;
};

int32_t Depth() {
    return this_thread.innermost ? this_thread.innermost->depth() : 0;
}

std::string Spaces(int64_t count) {
    return count > 0 ? std::string(size_t(count), ' ') : std::string();
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string Cut(std::string text, size_t limit = Line_Limit) {
    if (text.size() > limit) text.resize(limit);
    return text;
}

struct Piece {
    std::string text;
    int32_t attribute;
};

enum class Log { None, Once, Twice };

// Writes pieces to the console and their text into the log, whole, under the lock.
void Output(const std::vector<Piece>& pieces, Log log = Log::Once,
            const std::string* log_text = nullptr) {
    Keep_Last_Error keep;
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.device) return;
    std::string joined;
    for (const auto& p : pieces) {
        s.attribute = p.attribute;
        s.device->Write(p.text, p.attribute);
        if (!log_text) joined += p.text.size() > Line_Limit ? p.text.substr(0, Line_Limit) : p.text;
    }
    if (log == Log::None || !platform::Handle_Usable(s.log)) return;
    const std::string& text = log_text ? *log_text : joined;
    platform::Write_File(s.log, text);
    if (log == Log::Twice) platform::Write_File(s.log, text);
}

std::shared_ptr<platform::Console_Device> Device() {
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    return s.device;
}

std::string Without_Crlf(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 2);
    return text;
}

// Message of a reported code: kind 1 operating system, 2 runtime, 3 object.
std::string Message(uint8_t kind, int32_t code) {
    std::string text = kind == 2 ? Runtime_Message(code) : platform::System_Message(uint32_t(code));
    return Cut(Without_Crlf(std::move(text)), 260);
}

bool Message_Empty(uint8_t kind, int32_t code) {
    if (this_thread.empty_known_kind != kind || this_thread.empty_known_code != code) {
        this_thread.empty_known_result = Message(kind, code).empty();
        this_thread.empty_known_kind = kind;
        this_thread.empty_known_code = code;
    }
    return this_thread.empty_known_result;
}

[[noreturn]] void End_Program() {
    std::vector<void (*)()> handlers;
    {
        std::lock_guard<std::mutex> g(end_handlers_lock);
        handlers = End_Handlers();
    }
    for (auto handler : handlers) handler();
    {
        auto& s = Shared();
        std::lock_guard<std::mutex> g(s.lock);
        if (platform::Handle_Usable(s.log)) platform::Close_Handle(s.log);
        s.log = 0;
    }
    platform::Exit_Process(uint32_t(End_Exit_Code));
}

// The stand-in call-stack entry of the pause, so closing can skip it by name.
class Pause_Entry final : public Frame {
  public:
    Pause_Entry() : Frame(Pause_Name, &No_Args, nullptr, Kind::Silent) { enter(); }
    ~Pause_Entry() { leave(); }

  private:
    static void No_Args(const void*, std::string&) {}
};

int64_t Milliseconds(int64_t counter, int64_t frequency) {
    if (frequency <= 0) return 0;
    // Split so that a long uptime cannot overflow counter * 1000.
    int64_t whole = counter / frequency;
    int64_t rest = counter % frequency;
    return whole * 1000 + (rest * 1000 + frequency / 2) / frequency;
}

}  // namespace

// ---- frames ----

std::string Frame_Access::Call_Text(const Frame* f) {
    if (!f->call_text_.empty()) return f->call_text_;
    return f->call_text();
}

std::string Frame::call_text() const {
    std::string out = Upper(name_);
    out += '(';
    if (format_) format_(args_, out);
    out += ')';
    return Cut(std::move(out), Call_Text_Limit);
}

void Frame::enter() noexcept {
    outer_ = this_thread.innermost;
    depth_ = outer_ ? outer_->depth_ + 1 : 1;
    this_thread.innermost = this;
    entered_ = true;
    if (kind_ == Kind::Silent) return;
    // Reading the clock costs more than the rest of a closed frame, so a procedure entered
    // while the console is closed takes the console's opening as its start (it shows the
    // time since then, should the console open before it ends).
    if (!Console_Open()) return;
    timer_.Frequency = platform::Query_Performance_Frequency();
    if (kind_ == Kind::Full) start_counter_ = Counter();
    if (kind_ == Kind::Callback && show_callbacks.load(std::memory_order_relaxed) == 0) return;
    show_entry();
}

void Frame::show_entry() noexcept {
    try {
        call_text_ = call_text();
        Output({{Cut(Spaces(5 * (depth_ - 1)) + call_text_ + "\r\n"), Attribute_Line}});
    } catch (...) {
    }
}

void Frame_Access::Check(Frame* f) noexcept {
    Thread_State& t = this_thread;
    uint32_t os_code = platform::Get_Last_Error();
    int32_t os = int32_t(os_code);
    int32_t runtime = f ? f->runtime_code_ : t.runtime_code_outside;
    int32_t object = t.object_code;
    int32_t code = 0;
    uint8_t kind = 0;
    if (os != 0 && runtime == 0 && object == 0)
        code = os, kind = 1;
    else if (os == 0 && runtime != 0 && object == 0)
        code = runtime, kind = 2;
    else if (os == 0 && runtime == Runtime_Object_Error && object != 0)
        code = object, kind = 3;
    t.error_os = os, t.error_runtime = runtime, t.error_object = object;
    if (t.error_text_set) error_text.clear(), t.error_text_set = false;
    if (Console_Open()) {
        if (kind || (os != 0 && runtime != 0 && object != 0))
            code = Show_Check(f, os, runtime, object, code, kind);
    } else if (kind && Message_Empty(kind, code)) {
        code = 0;
    }
    t.error_code = code;
    if (f) f->check_code_ = code;
}

// The console side of a check, apart so that the check itself stays small.
int32_t Frame_Access::Show_Check(Frame* f, int32_t os, int32_t runtime, int32_t object,
                                 int32_t code, uint8_t kind) noexcept {
    int32_t depth = f ? f->depth_ : 0;
    try {
        if (!kind) {
            Output({{Cut(Spaces(5 * depth) + "Multiple Errors: " + Format_Number(os) + " " +
                         Format_Number(runtime) + " " + Format_Number(object) + "\r\n"),
                     Attribute_Error}});
            return 0;
        }
        std::string text = Message(kind, code);
        error_text = text;
        this_thread.error_text_set = true;
        Output({{Cut(Spaces(5 * depth) + "Error: " + Format_Number(code) + " - " + text + "\r\n"),
                 Attribute_Error}});
        if (text.empty()) code = 0;
        this_thread.error_code = code;
        if (f) f->check_code_ = code;
        ErrCheck_WaitKey();
    } catch (...) {
    }
    return code;
}

void Frame::check() noexcept {
    Frame_Access::Check(this);
}

void Frame::comment(std::string_view text) {
    if (Console_Open()) comment_ = text;
}

void Frame::set_number(double value) {
    number_ = value, value_ = Value::Number;
}

void Frame::set_text(std::string_view value) {
    text_ = value, value_ = Value::Text;
}

void Frame::show_exit() noexcept {
    if (kind_ == Kind::Full) {
        try {
            std::string indent = Spaces(5 * (depth_ - 1));
            std::string end = "End " + Upper(name_);
            std::vector<Piece> line{{Cut(indent + end), Attribute_Line}};
            int32_t attribute = Attribute_Result;
            timer_.Frequency = platform::Query_Performance_Frequency();
            timer_.Start = Milliseconds(
                start_counter_ != 0 ? start_counter_ : opened_counter.load(), timer_.Frequency);
            ErrCheck_Timer_Stop(timer_);
            ErrCheck_Timer_Elapsed(timer_);
            if (this_thread.error_code != 0) attribute = Attribute_Error;
            std::string elapsed = Format_Number(double(timer_.Elapsed)) + " ms";
            std::string note = comment_.empty() ? std::string() : "     ;" + comment_;
            if (value_ == Value::Text && !text_.empty()) {
                std::string shown;
                for (char c : text_) {
                    if (c == '\r')
                        shown += " CHR$(13) ";
                    else if (c == '\n')
                        shown += " CHR$(10) ";
                    else
                        shown += c;
                }
                text_ = shown;
                line.push_back({Cut(" = " + shown + note), attribute});
                int64_t filler = 80 - int64_t(indent.size() + end.size());
                if (filler > 0) line.push_back({Spaces(filler), attribute});
                attribute = Attribute_Result;
                line.push_back({elapsed, attribute});
            } else if (value_ == Value::Number) {
                line.push_back(
                    {Cut(" = " + Format_Number(number_) + note + Spaces(25)), attribute});
                line.push_back({elapsed, attribute});
            } else {
                line.push_back({"\r\n", attribute});
            }
            line.push_back({depth_ > 3 ? "\r\n" : "\r\n\r\n", attribute});
            Output(line);
        } catch (...) {
        }
    } else if (show_callbacks.load(std::memory_order_relaxed) != 0) {
        try {
            Output(
                {{Cut(Spaces(5 * (depth_ - 1)) + "End " + Upper(name_) + "\r\n"), Attribute_Line}});
        } catch (...) {
        }
    }
}

void Frame::leave() noexcept {
    if (!entered_) return;
    if (kind_ == Kind::Full) check();
    if (kind_ != Kind::Silent && !skip_exit_ && Console_Open()) show_exit();
    this_thread.innermost = outer_;
    entered_ = false;
}

// ---- error codes ----

void Set_Runtime_Code(int32_t code) {
    if (this_thread.innermost)
        Frame_Access::Runtime(this_thread.innermost) = code;
    else
        this_thread.runtime_code_outside = code;
}

void Set_Object_Code(int32_t code) {
    this_thread.object_code = code;
}

Trace_Error_State Trace_Error() {
    return Trace_Error_State{this_thread.error_os, this_thread.error_runtime,
                             this_thread.error_object, this_thread.error_code, error_text};
}

std::string Runtime_Message(int32_t code) {
    switch (code) {
        case Runtime_Invalid_Argument:
            return "Invalid procedure call or argument";
        case Runtime_Overflow:
            return "Overflow";
        case Runtime_Out_Of_Memory:
            return "Out of memory";
        case Runtime_Out_Of_Range:
            return "Index out of range";
        case Runtime_Division_By_Zero:
            return "Division by zero";
        case Runtime_Type_Mismatch:
            return "Type mismatch";
        case Runtime_Bad_File:
            return "Bad file name or number";
        case Runtime_File_Not_Found:
            return "File not found";
        case Runtime_Bad_File_Mode:
            return "Bad file mode";
        case Runtime_File_Already_Open:
            return "File already open";
        case Runtime_Device_IO:
            return "Device I/O error";
        case Runtime_File_Exists:
            return "File already exists";
        case Runtime_Disk_Full:
            return "Disk full";
        case Runtime_Past_End:
            return "Input past end of file";
        case Runtime_Too_Many_Files:
            return "Too many files";
        case Runtime_Device_Unavailable:
            return "Device unavailable";
        case Runtime_Permission_Denied:
            return "Permission denied";
        case Runtime_Disk_Not_Ready:
            return "Disk not ready";
        case Runtime_Path_Access:
            return "Path/File access error";
        case Runtime_Path_Not_Found:
            return "Path not found";
        case Runtime_Object_Error:
            return "Object error";
        default:
            return "Application-defined error";
    }
}

// ---- texts ----

std::string Format_Number(double value) {
    if (value == 0) return "0";  // also for -0
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

void Format_Arg(std::string& out, double value) {
    out += Format_Number(value);
}

void Format_Arg(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 32) {
            out += '<';
            out += hex[u >> 4];
            out += hex[u & 15];
            out += '>';
        } else {
            out += c;
        }
    }
    out += '"';
}

void Format_Arg(std::string& out, const int32_t* value) {
    if (value) Format_Arg(out, double(*value));
}

void Format_Raw_Arg(std::string& out, const void* data, size_t size) {
    Format_Arg(out, std::string_view(static_cast<const char*>(data), size));
}

std::string Debug_Log_Name(const std::string& executable_path) {
    std::string name = executable_path;
    std::replace(name.begin(), name.end(), '\\', '/');
    size_t cut = name.find_last_of("/:");
    if (cut != std::string::npos) name.erase(0, cut + 1);
    // Programs here carry no extension, so a dot belongs to the name ("Tool.rev2"); only
    // the Windows extension is removed where a program has one.
    if (name.size() >= 4) {
        std::string ext = Upper(std::string_view(name).substr(name.size() - 4));
        if (ext == ".EXE") name.resize(name.size() - 4);
    }
    return name + "_Debug.txt";
}

std::string Debug_Log_Path() {
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    return s.log_path;
}

std::string Debug_Log_Error() {
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    return s.log_error;
}

void Set_Counter_Source(int64_t (*counter)()) {
    counter_source.store(counter);
}

void On_Program_End(void (*handler)()) {
    if (!handler) return;
    std::lock_guard<std::mutex> g(end_handlers_lock);
    End_Handlers().push_back(handler);
}

}  // namespace kdx::trace

namespace kdx {

using trace::Cut;
using trace::Frame_Access;
using trace::Output;
using trace::Piece;
using trace::Shared;
using trace::Spaces;

namespace {
struct Console_Handle_Object : platform::Handle_Object {};  // fd -1: closing closes nothing
}  // namespace

int32_t ErrCheck_Debug(int32_t mode) {
    if (mode != 0 && mode != 1) {
        std::lock_guard<std::mutex> g(Shared().lock);
        return Shared().console_handle;
    }
    trace::Keep_Last_Error keep;
    std::lock_guard<std::mutex> d(trace::debug_lock);
    auto& s = Shared();
    int32_t depth = trace::Depth() + 1;
    if (mode == 1) {
        // A second opening keeps the console it has (a second one cannot be made).
        if (!trace::Console_Open()) {
            std::shared_ptr<platform::Console_Device> device = platform::Create_Console();
            if (device) {
                int32_t handle = platform::Handle_Insert(std::make_shared<Console_Handle_Object>());
                std::lock_guard<std::mutex> g(s.lock);
                s.device = std::move(device);
                s.console_handle = handle;
                trace::opened_counter.store(trace::Counter());
                trace::detail::Console_Is_Open.store(true);
            }
        }
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.device) {
                s.device->Set_Title("Debug Console");
                s.device->Disable_Close();
            }
        }
        ErrCheck_Console_Size();
        std::string name = trace::Debug_Log_Name(platform::Module_File_Name());
        // Not through a link (it would overwrite the link's target) and not into a pipe (a
        // full one would stall every traced thread): such a log is refused and said so.
        int32_t log = platform::Create_File(
            name, platform::GENERIC_READ | platform::GENERIC_WRITE | platform::FILE_APPEND_DATA,
            platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
            platform::CREATE_ALWAYS, platform::FILE_FLAG_OPEN_REPARSE_POINT);
        uint32_t error = platform::Get_Last_Error();
        std::string refusal = platform::File_Refusal();
        std::string folder = platform::Current_Directory();
        std::string path = folder.empty() ? name : folder + "/" + name;
        std::string failure;
        if (!platform::Handle_Usable(log))
            failure = refusal.empty() ? path + ": " + platform::System_Message_Text(error)
                                      : path + " is " + refusal + ", not a file";
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (platform::Handle_Usable(s.log)) platform::Close_Handle(s.log);
            s.log = log;
            // A log that could not be created has no path: nothing will be written there.
            s.log_path = platform::Handle_Usable(log) ? path : std::string();
            s.log_error = failure;
        }
        if (!failure.empty())
            Output(
                {{Cut(Spaces(5 * (depth - 1)) + "Error: " + trace::Format_Number(error) + " - " +
                      platform::System_Message_Text(error) + " The debug log " + failure + "\r\n"),
                  Attribute_Error}},
                trace::Log::None);
        // The call stack down to the caller, on the console only.
        std::vector<const trace::Frame*> stack;
        for (const trace::Frame* f = trace::this_thread.innermost; f; f = Frame_Access::Outer(f))
            stack.push_back(f);
        std::vector<Piece> listing;
        std::string indent = Spaces(5 * (depth - 2));
        for (auto f = stack.rbegin(); f != stack.rend(); ++f)
            listing.push_back({Cut(indent + Frame_Access::Call_Text(*f) + "\r\n"), Attribute_Line});
        if (!listing.empty()) Output(listing, trace::Log::None);
        std::lock_guard<std::mutex> g(s.lock);
        return s.console_handle;
    }
    if (!trace::Console_Open()) return 0;
    // An "End" line for each procedure still active, innermost first; the log receives
    // each twice unless the End key is closing the console.
    std::string indent = Spaces(5 * (depth - 3));
    bool once = trace::end_requested.load() != 0;
    for (const trace::Frame* f = trace::this_thread.innermost; f; f = Frame_Access::Outer(f)) {
        std::string name = trace::Upper(f->name());
        if (name.find("ERRCHECK_WAITKEY") != std::string::npos) continue;
        std::string line =
            Cut((Frame_Access::Outer(f) ? indent : std::string()) + "End " + name + "\r\n");
        Output({{line, Attribute_Line}}, once ? trace::Log::Once : trace::Log::Twice);
    }
    std::shared_ptr<platform::Console_Device> released;
    {
        std::lock_guard<std::mutex> g(s.lock);
        trace::detail::Console_Is_Open.store(false);
        released = std::move(s.device);
        if (s.console_handle) platform::Close_Handle(s.console_handle);
        s.console_handle = 0;
        // Nothing is written to the log any more; the next opening creates it anew.
        if (platform::Handle_Usable(s.log)) platform::Close_Handle(s.log);
        s.log = 0;
    }
    return 0;
}

std::string ErrCheck_Print(std::string& text, int32_t attribute, const int32_t* names) {
    if (!trace::Console_Open()) return std::string();
    if (names && *names == 1) ErrCheck_Control_Names(text);
    ErrCheck_Print(std::string_view(text), attribute);
    return std::string();
}

void ErrCheck_Print(std::string_view text, int32_t attribute) {
    if (!trace::Console_Open()) return;
    std::string log(text.substr(0, trace::Line_Limit));
    Output({{std::string(text), attribute}}, trace::Log::Once, &log);
}

std::string ErrCheck_Comment(const std::string& text) {
    if (!trace::Console_Open()) return std::string();
    int32_t depth = trace::Depth() + 1;
    std::string log = Cut(text);
    Output({{Cut(Spaces(5 * depth) + text + "\r\n"), Attribute_Comment}}, trace::Log::Once, &log);
    return std::string();
}

std::string ErrCheck_Debug_Print(std::string& text, int32_t attribute) {
    if (!trace::Console_Open()) return std::string();
    std::string log = Cut(text);
    Output({{text, attribute}}, trace::Log::Once, &log);
    text.assign(text.size(), ' ');
    return std::string();
}

void ErrCheck_Show_Callbacks(int32_t flag) {
    trace::show_callbacks.store(flag);
}

void ErrCheck_Debug_Level(int32_t level) {
    trace::debug_level.store(level);
}

void ErrCheck_Console_Size() {
    trace::Keep_Last_Error keep;
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.device) s.device->Size_Buffer();
}

std::string ErrCheck_Control_Names(std::string& text) {
    static const char* const names[33] = {
        "$NUL",   "<$SOH>", "<$STX>", "<$ETX>", "<$EOT>", "<$ENQ>", "<$ACK>", "<$BEL>", "<$BS>",
        "<$TAB>", "<$LF>",  "<$VT>",  "<$FF>",  "<$CR>",  "<$SO>",  "<$SI>",  "<$DLE>", "<$DC1>",
        "<$DC2>", "<$DC3>", "<$DC4>", "<$NAK>", "<$SYN>", "<$ETB>", "<$CAN>", "<$EM>",  "<$SUB>",
        "<$ESC>", "<$FS>",  "<$GS>",  "<$RS>",  "<$US>",  "<$SPC>"};
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 32)
            out += names[u];
        else
            out += c;
    }
    text = out;
    return out;
}

int64_t ErrCheck_Timer_Start(Trace_Timer& timer) {
    timer.Start = trace::Milliseconds(trace::Counter(), timer.Frequency);
    return timer.Start;
}

int64_t ErrCheck_Timer_Stop(Trace_Timer& timer) {
    timer.Stop = trace::Milliseconds(trace::Counter(), timer.Frequency);
    return timer.Stop;
}

std::string ErrCheck_Timer_Elapsed(Trace_Timer& timer) {
    timer.Elapsed = timer.Stop - timer.Start;
    return trace::Format_Number(double(timer.Elapsed));
}

void ErrCheck_WaitKey() {
    trace::Pause_Entry entry;  // the pause runs one level deeper than the check
    if (!trace::Console_Open()) return;
    trace::Keep_Last_Error keep;
    std::lock_guard<std::mutex> p(trace::pause_lock);
    auto device = trace::Device();
    if (!device) return;
    if (!(trace::auto_debug.load() & 1))
        Output({{Cut(Spaces(5 * (entry.depth() - 1)) + trace::Prompt + "\r\n"), Attribute_Prompt}},
               trace::Log::None);
    if (!device->Has_Keyboard()) return;
    auto report = [] {
        uint32_t code = platform::Get_Last_Error();
        ErrCheck_Print(trace::Format_Number(code) + "     " +
                           trace::Without_Crlf(platform::System_Message(code)) + "\r\n",
                       Attribute_Result);
    };
    if (!device->Begin_Keys()) report();
    for (;;) {
        bool once = trace::auto_debug.load() & 1;
        int32_t key = device->Poll_Key(once ? 0 : 100);
        if (key == platform::VK_F9) {
            trace::auto_debug.fetch_xor(1);
            break;
        }
        if (key == platform::VK_END) {
            trace::end_requested.store(1);
            device->End_Keys();
            device.reset();
            ErrCheck_Debug(0);
            trace::End_Program();
        }
        if (key != 0 || once) break;
        // The console was closed meanwhile, or the keyboard went away: stop waiting.
        if (!trace::Console_Open() || trace::Device() != device || !device->Has_Keyboard()) break;
    }
    if (!device->End_Keys()) report();
}

}  // namespace kdx
