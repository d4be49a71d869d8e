// The last error: kept per thread, mapped from errno, and the system's message for a code.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/os/error.h"

using namespace kdx::platform;

TEST(Error, IsPerThreadAndMapsErrno) {
    Set_Last_Error(5);
    std::thread([] { EXPECT_EQ(Get_Last_Error(), 0u); }).join();
    EXPECT_EQ(Get_Last_Error(), 5u);
    EXPECT_EQ(Error_From_Errno(ENOENT), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Error_From_Errno(EACCES), ERROR_ACCESS_DENIED);
    EXPECT_EQ(System_Message(5), "Access is denied.\r\n");
    EXPECT_EQ(System_Message(424242), "");
}
