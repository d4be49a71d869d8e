// Handles: never zero or invalid, and closing an unknown one fails.
#include <gtest/gtest.h>

#include <memory>

#include "platform/os/error.h"
#include "platform/os/handles.h"

using namespace kdx::platform;

TEST(Handles, NeverZeroOrInvalidAndCloseUnknownFails) {
    auto h = Handle_Insert(std::make_shared<Handle_Object>());
    EXPECT_TRUE(Handle_Usable(h));
    EXPECT_TRUE(Close_Handle(h));
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_FALSE(Close_Handle(h));
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Close_Handle(0));
    EXPECT_FALSE(Close_Handle(INVALID_HANDLE_VALUE));
}
