// The procedure trace frame: the thread's call stack, the error check after each system
// call, the entry and exit lines, the error codes and the texts of numbers and arguments.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/os/system.h"
#include "trace/trace_internal.h"

namespace kdx::trace {

namespace {

constexpr size_t Call_Text_Limit = 1024;
std::atomic<int64_t (*)()> counter_source{nullptr};

}  // namespace

int64_t Counter() {
    auto source = counter_source.load(std::memory_order_relaxed);
    return source ? source() : platform::Query_Performance_Counter();
}

constinit thread_local Thread_State this_thread;

namespace {

// Apart from the record: a string would give every use of the record a guard for its
// construction.
thread_local std::string error_text;

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

}  // namespace

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

std::string Cut(std::string text, size_t limit) {
    if (text.size() > limit) text.resize(limit);
    return text;
}

std::string Without_Crlf(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 2);
    return text;
}

int64_t Milliseconds(int64_t counter, int64_t frequency) {
    if (frequency <= 0) return 0;
    // Split so that a long uptime cannot overflow counter * 1000.
    int64_t whole = counter / frequency;
    int64_t rest = counter % frequency;
    return whole * 1000 + (rest * 1000 + frequency / 2) / frequency;
}

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
    static const char Hex[] = "0123456789ABCDEF";
    out += '"';
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 32) {
            out += '<';
            out += Hex[u >> 4];
            out += Hex[u & 15];
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

void Set_Counter_Source(int64_t (*counter)()) {
    counter_source.store(counter);
}

}  // namespace kdx::trace

namespace kdx {

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

}  // namespace kdx
