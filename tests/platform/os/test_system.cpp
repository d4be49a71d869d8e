// The system's facts: the executable's path and the clock.
#include <gtest/gtest.h>

#include <string>

#include "platform/os/system.h"

using namespace kdx::platform;

TEST(System, ExecutablePathAndClock) {
    EXPECT_NE(Module_File_Name().find("kdx_tests"), std::string::npos);
    int64_t t0 = Query_Performance_Counter();
    Sleep_Ms(2);
    EXPECT_GE(Query_Performance_Counter() - t0, 2 * Query_Performance_Frequency() / 1000);
}
