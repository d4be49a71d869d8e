#include <cstring>

#include "api/api_util.h"
#include "platform/os/error.h"
#include "platform/os/system.h"
#include "trace/trace.h"

using kdx::api::Bounded;
using kdx::api::Copy_Out;
using kdx::api::Guard;
using kdx::api::Keep;
using kdx::api::Text;

namespace {

kdx::Trace_Timer From(const KDX_Trace_Timer* t) {
    return kdx::Trace_Timer{t->Frequency, t->Start, t->Stop, t->Elapsed};
}

void To(KDX_Trace_Timer* t, const kdx::Trace_Timer& v) {
    t->Frequency = v.Frequency, t->Start = v.Start, t->Stop = v.Stop, t->Elapsed = v.Elapsed;
}

}  // namespace

KDX_API int32_t ErrCheck_Debug(int32_t mode) {
    return Guard<int32_t>(0, [&] { return kdx::ErrCheck_Debug(mode); });
}

KDX_API const char* ErrCheck_Print(char* text, int32_t capacity, int32_t attribute,
                                   const int32_t* names) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string value = Bounded(text, capacity);
        kdx::ErrCheck_Print(value, attribute, names);
        if (names && *names == 1) Copy_Out(text, capacity, value);
        return Keep(slot, std::string());
    });
}

KDX_API const char* ErrCheck_Comment(const char* text) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::ErrCheck_Comment(Text(text))); });
}

KDX_API const char* ErrCheck_Debug_Print(char* text, int32_t capacity, int32_t attribute) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string value = Bounded(text, capacity);
        kdx::ErrCheck_Debug_Print(value, attribute);
        // Same length as before, so the spaces stay inside the caller's text.
        if (text) std::memcpy(text, value.data(), value.size());
        return Keep(slot, std::string());
    });
}

KDX_API void ErrCheck_Show_Callbacks(int32_t flag) {
    Guard([&] { kdx::ErrCheck_Show_Callbacks(flag); });
}

KDX_API void ErrCheck_Debug_Level(int32_t level) {
    Guard([&] { kdx::ErrCheck_Debug_Level(level); });
}

KDX_API void ErrCheck_Console_Size(void) {
    Guard([] { kdx::ErrCheck_Console_Size(); });
}

KDX_API const char* ErrCheck_Control_Names(char* text, int32_t capacity) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string value = Bounded(text, capacity);
        kdx::ErrCheck_Control_Names(value);
        Copy_Out(text, capacity, value);
        return Keep(slot, value);
    });
}

KDX_API int64_t ErrCheck_Timer_Start(KDX_Trace_Timer* timer) {
    return Guard<int64_t>(0, [&]() -> int64_t {
        if (!timer) return 0;
        auto t = From(timer);
        int64_t value = kdx::ErrCheck_Timer_Start(t);
        To(timer, t);
        return value;
    });
}

KDX_API int64_t ErrCheck_Timer_Stop(KDX_Trace_Timer* timer) {
    return Guard<int64_t>(0, [&]() -> int64_t {
        if (!timer) return 0;
        auto t = From(timer);
        int64_t value = kdx::ErrCheck_Timer_Stop(t);
        To(timer, t);
        return value;
    });
}

KDX_API const char* ErrCheck_Timer_Elapsed(KDX_Trace_Timer* timer) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        if (!timer) return "";
        auto t = From(timer);
        std::string value = kdx::ErrCheck_Timer_Elapsed(t);
        To(timer, t);
        return Keep(slot, value);
    });
}

KDX_API void ErrCheck_WaitKey(void) {
    Guard([] { kdx::ErrCheck_WaitKey(); });
}

namespace kdx::trace {
// Framed, so a trace shows the rule at work.
static std::string ErrCheck_Debug_Log_Name(const std::string& executable_path) {
    KDX_FRAME("ErrCheck_Debug_Log_Name", executable_path);
    std::string path = executable_path.empty() ? platform::Module_File_Name() : executable_path;
    kdx_frame.check();
    kdx_frame.comment(path);
    return kdx_frame.result(Debug_Log_Name(path));
}
static std::string ErrCheck_Debug_Log_Path() {
    KDX_FRAME("ErrCheck_Debug_Log_Path");
    return kdx_frame.result(Debug_Log_Path());
}
}  // namespace kdx::trace

KDX_API const char* ErrCheck_Debug_Log_Name(const char* executable_path) {
    static thread_local std::string slot;
    return Guard<const char*>(
        "", [&] { return Keep(slot, kdx::trace::ErrCheck_Debug_Log_Name(Text(executable_path))); });
}

KDX_API const char* ErrCheck_Debug_Log_Path(void) {
    static thread_local std::string slot;
    return Guard<const char*>("",
                              [&] { return Keep(slot, kdx::trace::ErrCheck_Debug_Log_Path()); });
}

KDX_API const char* ErrCheck_Debug_Log_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::trace::Debug_Log_Error()); });
}

KDX_API int32_t ErrCheck_Last_Error(void) {
    return int32_t(kdx::platform::Get_Last_Error());
}
