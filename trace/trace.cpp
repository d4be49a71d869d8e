// Placeholder trace: keeps the call stack only; the console and log come next.
#include "trace/trace.h"

#include <cstdio>

namespace kdx {

int32_t ErrCheck_Debug(int32_t) {
    return 0;
}
std::string ErrCheck_Print(std::string&, int32_t, const int32_t*) {
    return std::string();
}
void ErrCheck_Print(std::string_view, int32_t) {}
std::string ErrCheck_Comment(const std::string&) {
    return std::string();
}
std::string ErrCheck_Debug_Print(std::string&, int32_t) {
    return std::string();
}
void ErrCheck_Show_Callbacks(int32_t) {}
void ErrCheck_Debug_Level(int32_t) {}
void ErrCheck_Console_Size() {}
std::string ErrCheck_Control_Names(std::string& text) {
    return text;
}
int64_t ErrCheck_Timer_Start(Trace_Timer&) {
    return 0;
}
int64_t ErrCheck_Timer_Stop(Trace_Timer&) {
    return 0;
}
std::string ErrCheck_Timer_Elapsed(Trace_Timer&) {
    return std::string();
}
void ErrCheck_WaitKey() {}

}  // namespace kdx

namespace kdx::trace {

namespace {
thread_local Frame* innermost = nullptr;
}

bool Console_Open() {
    return false;
}
void Set_Runtime_Code(int32_t) {}
void Set_Object_Code(int32_t) {}

void Frame::enter() {
    outer_ = innermost;
    innermost = this;
    entered_ = true;
}

Frame::~Frame() {
    if (entered_) innermost = outer_;
}

void Frame::check() {}
void Frame::comment(std::string_view) {}
void Frame::set_number(double value) {
    number_ = value, kind_ = Kind::Number;
}
void Frame::set_text(std::string_view value) {
    text_ = value, kind_ = Kind::Text;
}

std::string Frame::call_text() const {
    std::string out = name_;
    out += '(';
    format_(args_, out);
    out += ')';
    return out;
}

void Format_Arg(std::string& out, double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    out += buf;
}

void Format_Arg(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

void Format_Arg(std::string& out, const int32_t* value) {
    if (value) Format_Arg(out, double(*value));
}

}  // namespace kdx::trace
