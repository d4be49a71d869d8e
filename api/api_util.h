// Helpers for the exported wrappers: text results kept per procedure and thread, copying
// into caller buffers, by-reference numbers, and the catch-all every boundary needs.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#define KDX_BUILDING_LIBRARY 1
#include "kdx/kdx.h"

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

// Runs a wrapper's body and returns its result, or fallback if it throws: the callers are C
// programs, so no exception may cross the boundary.
template <class R, class F>
R Guard(R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

// The same for a wrapper without a result: a failure is swallowed.
template <class F>
void Guard(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace kdx::api
