// Helpers for the exported wrappers: text results kept per procedure and thread, copying
// into caller buffers, by-reference numbers, and the catch-all every boundary needs, which
// reports what it caught.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#define KDX_BUILDING_LIBRARY 1
#include "kdx/kdx.h"
#include "platform/os/error.h"
#include "trace/trace.h"

namespace kdx::api {

// Keeps a text result alive until the next call that uses the same slot; each wrapper owns
// one `static thread_local std::string` slot.
inline const char* Keep(std::string& slot, std::string value) {
    slot = std::move(value);
    return slot.c_str();
}

// Copies text into a caller's buffer of the given capacity (cut to capacity - 1, always
// terminated).
inline void Copy_Out(char* buffer, int32_t capacity, const std::string& text) {
    if (!buffer || capacity <= 0) return;
    size_t n = std::min<size_t>(text.size(), size_t(capacity) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// A by-reference handle or number of a wrapper: the callee works on value, and the
// caller's variable gets it back when the wrapper returns (also when the callee throws, as
// the value may already have changed, e.g. a handle closed). NULL counts as 0.
struct Ref {
    explicit Ref(int32_t* p) : ptr(p), value(p ? *p : 0) {}
    ~Ref() {
        if (ptr) *ptr = value;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    int32_t* ptr;
    int32_t value;
};

inline std::string Text(const char* text) {
    return text ? std::string(text) : std::string();
}

// A caller's text of at most capacity bytes (zero-terminated within them, or cut there).
inline std::string Bounded(const char* text, int32_t capacity) {
    if (!text || capacity <= 0) return std::string();
    return std::string(text, strnlen(text, size_t(capacity)));
}

// The last error a wrapper leaves when its body threw something other than std::bad_alloc
// (which leaves ERROR_NOT_ENOUGH_MEMORY): Win32's ERROR_INTERNAL_ERROR.
constexpr uint32_t Error_Internal = 1359;

// Called in a catch block of a wrapper: writes an "Error:" trace line naming the wrapper and
// what it caught, then sets the last error, so that neither the trace nor a C caller sees a
// silent fallback. A failure while tracing is dropped: the caller still gets its fallback.
inline void Report_Caught(const char* wrapper) noexcept {
    uint32_t code = Error_Internal;
    const char* what = "unknown exception";
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        code = platform::ERROR_NOT_ENOUGH_MEMORY;
        what = e.what();
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    if (trace::Console_Open()) {
        try {
            ErrCheck_Print(
                "Error: " + std::to_string(code) + " - " + wrapper + ": " + what + "\r\n",
                Attribute_Error);
        } catch (...) {
        }
    }
    platform::Set_Last_Error(code);
}

// Runs a wrapper's body and returns its result, or fallback if it throws: the callers are C
// programs, so no exception may cross the boundary. wrapper is the calling wrapper's name
// (given by the compiler) for the report of what was caught.
template <class R, class F>
R Guard(R fallback, F&& body, const char* wrapper = __builtin_FUNCTION()) noexcept {
    try {
        return body();
    } catch (...) {
        Report_Caught(wrapper);
        return fallback;
    }
}

// The same for a wrapper without a result.
template <class F>
void Guard(F&& body, const char* wrapper = __builtin_FUNCTION()) noexcept {
    try {
        body();
    } catch (...) {
        Report_Caught(wrapper);
    }
}

}  // namespace kdx::api
