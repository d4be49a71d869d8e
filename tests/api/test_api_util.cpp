// The helpers every exported wrapper is built from: the catch-all at the C boundary, the
// by-reference numbers and the bounded caller texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "api/api_util.h"
#include "platform/os/error.h"
#include "platform/os/system.h"
#include "tests/support/ini_run.h"
#include "tests/support/posix.h"
#include "tests/support/temp_dir.h"
#include "trace/trace.h"

namespace {

using kdx::api::Bounded;
using kdx::api::Guard;
using kdx::api::Ref;
using kdx::test::Read_File_Text;

TEST(Api_Guard, ReturnsTheResultOrTheFallbackWhateverIsThrown) {
    EXPECT_EQ(Guard<int32_t>(-1, [] { return 7; }), 7);
    EXPECT_EQ(Guard<int32_t>(-1, []() -> int32_t { throw std::runtime_error("x"); }), -1);
    EXPECT_EQ(Guard<int64_t>(0, []() -> int64_t { throw 42; }), 0);
    EXPECT_STREQ(Guard<const char*>("", []() -> const char* { throw std::bad_alloc(); }), "");
    EXPECT_STREQ(Guard<const char*>("", [] { return "ok"; }), "ok");

    bool ran = false;
    Guard([&] { ran = true; });
    EXPECT_TRUE(ran);
    Guard([] { throw std::logic_error("swallowed"); });  // must not escape

    static_assert(noexcept(Guard<int32_t>(0, [] { return 0; })));
    static_assert(noexcept(Guard([] {})));
}

// Wrappers as the exported ones are written, whose bodies run what a case gives.
int32_t Number_Wrapper(const std::function<void()>& body) {
    return Guard<int32_t>(-1, [&] {
        body();
        return 1;
    });
}
void Void_Wrapper(const std::function<void()>& body) {
    Guard([&] { body(); });
}

TEST(Api_Guard, ReportsWhatItCaughtOnTheTraceAndInTheLastError) {
    setenv("KDX_CONSOLE", "capture", 1);
    kdx::test::Temp_Dir dir;
    struct Restore {
        std::string dir = kdx::platform::Current_Directory();
        ~Restore() {
            kdx::ErrCheck_Debug(0);
            kdx::platform::Set_Last_Error(0);
            if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot return to " << dir;
        }
    } restore;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_NE(kdx::ErrCheck_Debug(1), 0);
    std::string log_path = kdx::trace::Debug_Log_Path();
    ASSERT_FALSE(log_path.empty());

    struct Case {
        const char* name;
        std::function<void()> body;
        bool void_wrapper;
        uint32_t last_error;
        std::string line;  // "" when nothing was caught
    } cases[] = {
        {"out of memory", [] { throw std::bad_alloc(); }, false,
         kdx::platform::ERROR_NOT_ENOUGH_MEMORY, "Error: 8 - Number_Wrapper: std::bad_alloc\r\n"},
        {"standard exception", [] { throw std::runtime_error("port table torn"); }, false,
         kdx::api::Error_Internal, "Error: 1359 - Number_Wrapper: port table torn\r\n"},
        {"anything else", [] { throw 42; }, false, kdx::api::Error_Internal,
         "Error: 1359 - Number_Wrapper: unknown exception\r\n"},
        {"without a result", [] { throw std::logic_error("lost"); }, true, kdx::api::Error_Internal,
         "Error: 1359 - Void_Wrapper: lost\r\n"},
        // A body that returns keeps the last error it left.
        {"no failure", [] { kdx::platform::Set_Last_Error(5); }, false, 5, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::platform::Set_Last_Error(0);
        size_t before = Read_File_Text(log_path).size();
        if (c.void_wrapper)
            Void_Wrapper(c.body);
        else
            EXPECT_EQ(Number_Wrapper(c.body), c.line.empty() ? 1 : -1);
        EXPECT_EQ(kdx::platform::Get_Last_Error(), c.last_error);
        std::string added = Read_File_Text(log_path).substr(before);
        if (c.line.empty())
            EXPECT_EQ(added.find("Error:"), std::string::npos) << added;
        else
            EXPECT_EQ(added, c.line);
    }

    // With the console closed nothing is written, but the caller can still tell.
    ASSERT_EQ(kdx::ErrCheck_Debug(0), 0);
    std::string closed = Read_File_Text(log_path);
    kdx::platform::Set_Last_Error(0);
    EXPECT_EQ(Number_Wrapper([] { throw std::bad_alloc(); }), -1);
    EXPECT_EQ(kdx::platform::Get_Last_Error(), kdx::platform::ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Read_File_Text(log_path), closed);
}

// A C caller reads the code a procedure left through the library's own reader.
TEST(Api_Guard, TheLastErrorReachesACallerOfTheLibrary) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto last_error = reinterpret_cast<int32_t (*)()>(dlsym(lib, "ErrCheck_Last_Error"));
    auto open = reinterpret_cast<int32_t (*)(int32_t*, int32_t*)>(dlsym(lib, "Serial_Port_Open"));
    auto close = reinterpret_cast<int32_t (*)(int32_t*)>(dlsym(lib, "Serial_Port_Close"));
    auto write_key =
        reinterpret_cast<int32_t (*)(const char*, const char*, const char*, const char*,
                                     const char*)>(dlsym(lib, "Ini_Write_Key"));
    ASSERT_TRUE(last_error && open && close && write_key);
    kdx::test::Temp_Dir dir;
    std::string folder = dir.path() + "/";

    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t result;
        int32_t last_error;
    } cases[] = {
        {"a port number out of range",
         [&] {
             int32_t number = 1000, baud = 9600;
             return open(&number, &baud);
         },
         -1, 123},
        {"a key that could not be read back",
         [&] { return write_key(folder.c_str(), "keys.ini", "COM1", "a=b", "1"); }, 0, 87},
        // A success after a failure leaves its own code, not the failure's.
        {"a close",
         [&] {
             int32_t handle = 0;
             return close(&handle);
         },
         0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.name;
        EXPECT_EQ(last_error(), c.last_error) << c.name;
    }
    dlclose(lib);
}

TEST(Api_Ref, NullCountsAsZeroAndTheCallerGetsTheFinalValueBack) {
    {
        Ref r(nullptr);
        EXPECT_EQ(r.value, 0);
        r.value = 9;  // nowhere to write: must not crash
    }

    int32_t handle = 12;
    {
        Ref h(&handle);
        EXPECT_EQ(h.value, 12);
        h.value = 0;  // e.g. a port closed
    }
    EXPECT_EQ(handle, 0);

    // The value may change before a failure: the caller still sees it.
    int32_t number = 3;
    EXPECT_EQ(Guard<int32_t>(-1,
                             [&]() -> int32_t {
                                 Ref n(&number);
                                 n.value = 5;
                                 throw std::runtime_error("after the change");
                             }),
              -1);
    EXPECT_EQ(number, 5);

    // Unchanged values are written back unchanged.
    int32_t baud = 57600;
    EXPECT_EQ(Guard<int32_t>(0,
                             [&] {
                                 Ref b(&baud);
                                 return b.value / 100;
                             }),
              576);
    EXPECT_EQ(baud, 57600);
}

TEST(Api_Bounded, StopsAtTheTerminatorOrTheCapacity) {
    const char text[] = {'a', 'b', 'c', 'd'};  // no terminator
    struct Case {
        const char* text;
        int32_t capacity;
        std::string expected;
    } cases[] = {
        {nullptr, 10, ""}, {"abc", 0, ""},    {"abc", -5, ""},  {"abc", 10, "abc"},
        {"abc", 2, "ab"},  {text, 4, "abcd"}, {text, 3, "abc"}, {"a\0bc", 4, "a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bounded(c.text, c.capacity), c.expected)
            << (c.text ? c.text : "(null)") << " / " << c.capacity;
}

}  // namespace
