// The exported C procedures that take a caller's buffer and its capacity, given buffers that
// are full to the last byte with no zero byte in them (and an exact allocation, so the address
// sanitizer sees a read or write one byte past it): each reads at most capacity bytes, writes
// back at most capacity bytes always ending in a zero byte, and returns a terminated text.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kdx/kdx.h"

namespace {

// A buffer of exactly capacity bytes holding text, unterminated when text fills it.
struct Buffer {
    std::unique_ptr<char[]> bytes;
    int32_t capacity;
    Buffer(const std::string& text, int32_t capacity_)
        : bytes(new char[size_t(capacity_ > 0 ? capacity_ : 1)]), capacity(capacity_) {
        size_t n = size_t(capacity > 0 ? capacity : 1);
        std::memset(bytes.get(), 'x', n);
        std::memcpy(bytes.get(), text.data(), std::min(n, text.size()));
    }
    char* get() { return bytes.get(); }
    // Written back within its capacity: a zero byte in it.
    void Check_Terminated() const {
        if (capacity > 0 && !std::memchr(bytes.get(), 0, size_t(capacity))) std::abort();
    }
};

void Check_Text(const char* text) {
    if (!text) std::abort();
    (void)std::strlen(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Mostly full buffers: capacity the text's own length, no room for a zero byte.
    auto take = [&in]() {
        std::string text = in.ConsumeRandomLengthString(2048);
        int32_t capacity =
            in.ConsumeBool() ? int32_t(text.size()) : in.ConsumeIntegralInRange<int32_t>(-1, 4096);
        return std::make_pair(text, capacity);
    };
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: {
            auto [text, capacity] = take();
            Buffer b(text, capacity);
            Check_Text(KDX_Parse_Motor_ID(b.get(), b.capacity));
            b.Check_Terminated();
            break;
        }
        case 1: {
            auto [text, capacity] = take();
            Buffer b(text, capacity);
            Check_Text(KDX_Parse_Limit_ID(b.get(), b.capacity));
            b.Check_Terminated();
            break;
        }
        case 2: {
            auto [sent_text, sent_capacity] = take();
            auto [listing_text, listing_capacity] = take();
            Buffer sent(sent_text, sent_capacity), listing(listing_text, listing_capacity);
            Check_Text(KDX_Tester_Commo_Fill_Memory_Compare_Strings(
                sent.get(), sent.capacity, listing.get(), listing.capacity));
            sent.Check_Terminated();
            listing.Check_Terminated();
            break;
        }
        case 3: {
            auto [text, capacity] = take();
            Buffer b(text, capacity);
            Check_Text(ErrCheck_Control_Names(b.get(), b.capacity));
            b.Check_Terminated();
            break;
        }
        case 4: {
            // The last memory test's difference into buffers of any size, full beforehand.
            int32_t capacity = in.ConsumeIntegralInRange<int32_t>(-1, 64);
            Buffer sent("", capacity), listed("", capacity), missing("", capacity);
            KDX_Tester_Memory_Difference(sent.get(), sent.capacity, listed.get(), listed.capacity,
                                         missing.get(), missing.capacity);
            break;
        }
        default: {
            auto [text, capacity] = take();
            Buffer b(text, capacity);
            int32_t names = 1;
            Check_Text(ErrCheck_Print(b.get(), b.capacity, 7, &names));
            Check_Text(KDX_Limit_Description(in.ConsumeRandomLengthString(64).c_str()));
            KDX_Answer_Clean(in.ConsumeRemainingBytesAsString().c_str(), 1);
            break;
        }
    }
    return 0;
}
