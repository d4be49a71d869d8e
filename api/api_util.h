// Helpers for the exported wrappers: text results kept per procedure and thread, copying
// into caller buffers, and the catch-all every boundary needs.
#pragma once
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
// caller's variable gets it back when the wrapper returns. NULL counts as 0.
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

}  // namespace kdx::api

// Wraps a wrapper's body: no exception crosses the C boundary.
#define KDX_GUARD(fallback, ...) \
    try {                        \
        __VA_ARGS__              \
    } catch (...) {              \
        return fallback;         \
    }
