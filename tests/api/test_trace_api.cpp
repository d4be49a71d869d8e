// The trace's exported C procedures, loaded from the library as a caller would: texts cut to
// the caller's capacity and the timers.
#include <gtest/gtest.h>

#include <string>

#include "kdx/kdx_trace.h"
#include "tests/support/posix.h"

namespace {

TEST(Trace_Api, TextsAndTimersFollowTheBufferConventions) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto names =
        reinterpret_cast<decltype(&ErrCheck_Control_Names)>(dlsym(lib, "ErrCheck_Control_Names"));
    auto log_name =
        reinterpret_cast<decltype(&ErrCheck_Debug_Log_Name)>(dlsym(lib, "ErrCheck_Debug_Log_Name"));
    auto start =
        reinterpret_cast<decltype(&ErrCheck_Timer_Start)>(dlsym(lib, "ErrCheck_Timer_Start"));
    auto stop = reinterpret_cast<decltype(&ErrCheck_Timer_Stop)>(dlsym(lib, "ErrCheck_Timer_Stop"));
    auto elapsed =
        reinterpret_cast<decltype(&ErrCheck_Timer_Elapsed)>(dlsym(lib, "ErrCheck_Timer_Elapsed"));
    auto print = reinterpret_cast<decltype(&ErrCheck_Print)>(dlsym(lib, "ErrCheck_Print"));
    ASSERT_TRUE(names && log_name && start && stop && elapsed && print);

    char small[8] = "A B\r\n";
    EXPECT_STREQ(names(small, sizeof small), "A<$SPC>B<$CR><$LF>");
    EXPECT_STREQ(small, "A<$SPC>") << "cut to the caller's capacity";
    EXPECT_STREQ(log_name("C:\\Tools\\Tool.rev2.exe"), "Tool.rev2_Debug.txt");
    EXPECT_STREQ(print(nullptr, 0, 10, nullptr), "");

    KDX_Trace_Timer t{1000000000, 0, 0, 0};
    int64_t s = start(&t);
    EXPECT_EQ(t.Start, s);
    stop(&t);
    EXPECT_GE(t.Stop, t.Start);
    EXPECT_EQ(std::string(elapsed(&t)), std::to_string(t.Stop - t.Start));
    EXPECT_EQ(start(nullptr), 0);
    dlclose(lib);
}

}  // namespace
