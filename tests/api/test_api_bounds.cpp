// Every exported procedure that takes a buffer with its capacity stays inside it: a buffer
// filled to its capacity without a zero byte ends right before an inaccessible page, so a
// read or write past it stops the test.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <functional>
#include <string>

#include "kdx/kdx.h"
#include "tests/support/posix.h"

#ifdef _WIN32
// Last: the system's headers make macros of names ours declare.
#include <windows.h>
#endif

namespace {

// capacity bytes that end where an unmapped guard page begins.
class Edge_Buffer {
  public:
    explicit Edge_Buffer(size_t capacity) : capacity_(capacity) {
#ifdef _WIN32
        SYSTEM_INFO system{};
        ::GetSystemInfo(&system);
        page_ = system.dwPageSize;
#else
        page_ = size_t(sysconf(_SC_PAGESIZE));
#endif
        size_t pages = (capacity + page_ - 1) / page_ + 1;
        size_ = pages * page_;
#ifdef _WIN32
        base_ = static_cast<char*>(
            ::VirtualAlloc(nullptr, size_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        if (base_) ::VirtualProtect(base_ + size_ - page_, page_, PAGE_NOACCESS, &old);
#else
        void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
        if (base_) mprotect(base_ + size_ - page_, page_, PROT_NONE);
#endif
    }
    ~Edge_Buffer() {
#ifdef _WIN32
        if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
#else
        if (base_) munmap(base_, size_);
#endif
    }
    Edge_Buffer(const Edge_Buffer&) = delete;
    Edge_Buffer& operator=(const Edge_Buffer&) = delete;
    char* data() const {
        return base_ + size_ - page_ - capacity_;
    }
    int32_t capacity() const {
        return int32_t(capacity_);
    }
    // Fills the whole buffer with pattern repeated, no zero byte anywhere.
    void Fill(const std::string& pattern) {
        for (size_t i = 0; i < capacity_; ++i) data()[i] = pattern[i % pattern.size()];
    }
    std::string Text() const {
        return std::string(data(), strnlen(data(), capacity_));
    }

  private:
    size_t capacity_, page_ = 0, size_ = 0;
    char* base_ = nullptr;
};

TEST(Api_Bounds, BuffersFilledToTheirCapacityAreNeverReadPastTheirEnd) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto get = [&](const char* name) {
        void* f = dlsym(lib, name);
        EXPECT_NE(f, nullptr) << name;
        return f;
    };
    auto motor = reinterpret_cast<decltype(&KDX_Parse_Motor_ID)>(get("KDX_Parse_Motor_ID"));
    auto limit = reinterpret_cast<decltype(&KDX_Parse_Limit_ID)>(get("KDX_Parse_Limit_ID"));
    auto compare = reinterpret_cast<decltype(&KDX_Tester_Commo_Fill_Memory_Compare_Strings)>(
        get("KDX_Tester_Commo_Fill_Memory_Compare_Strings"));
    auto print = reinterpret_cast<decltype(&ErrCheck_Print)>(get("ErrCheck_Print"));
    auto debug_print =
        reinterpret_cast<decltype(&ErrCheck_Debug_Print)>(get("ErrCheck_Debug_Print"));
    auto names = reinterpret_cast<decltype(&ErrCheck_Control_Names)>(get("ErrCheck_Control_Names"));
    auto debug = reinterpret_cast<decltype(&ErrCheck_Debug)>(get("ErrCheck_Debug"));
    ASSERT_TRUE(motor && limit && compare && print && debug_print && names && debug);

    int32_t one = 1;
    char other[64] = "L\rA\rB\r\x04";
    struct Case {
        const char* name;
        std::string fill;
        std::function<std::string(char*, int32_t)> call;
        std::string result;  // expected result ("" when only staying inside counts)
        std::string after;   // the buffer afterwards
    };
    const Case cases[] = {
        {"motor id", "17,5\r", [&](char* b, int32_t c) { return std::string(motor(b, c)); }, "17",
         "17,517,517,5"},
        {"limit id", "x,3,y", [&](char* b, int32_t c) { return std::string(limit(b, c)); }, "3",
         "x,3,yx,3,yx,3"},
        {"compare, sent", "A\r",
         [&](char* b, int32_t c) { return std::string(compare(b, c, other, sizeof other)); }, "",
         "A,A,A,A,A,A,A"},
        {"compare, listing", "L\r",
         [&](char* b, int32_t c) { return std::string(compare(other, sizeof other, b, c)); }, "",
         "L,L,L,L,L,L,L"},
        {"print with names", "a b",
         [&](char* b, int32_t c) { return std::string(print(b, c, 10, &one)); }, "",
         "a<$SPC>ba<$SP"},
        {"print, no capacity", "ab",
         [&](char* b, int32_t) { return std::string(print(b, 0, 10, &one)); }, "",
         "ababababababab"},
        {"debug print", "ab", [&](char* b, int32_t c) { return std::string(debug_print(b, c, 2)); },
         "", std::string(14, ' ')},
        {"control names", "\r", [&](char* b, int32_t c) { return std::string(names(b, c)); },
         std::string(), "<$CR><$CR><$C"},
    };
    setenv("KDX_CONSOLE", "capture", 1);
    debug(1);  // the trace procedures only look at their text while the console is open
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Edge_Buffer buffer(14);
        ASSERT_NE(buffer.data(), nullptr);
        buffer.Fill(c.fill);
        std::strcpy(other, std::string(c.name).find("sent") != std::string::npos ? "L\rA\rB\r\x04"
                                                                                 : "A\rB\r");
        std::string result = c.call(buffer.data(), buffer.capacity());
        if (!c.result.empty()) {
            EXPECT_EQ(result, c.result);
        }
        EXPECT_EQ(buffer.Text(), c.after);
    }
    debug(0);
    unsetenv("KDX_CONSOLE");
    dlclose(lib);
}

}  // namespace
