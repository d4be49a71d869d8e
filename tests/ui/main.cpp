// The windowed program's tests run with real widgets on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/window/application.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    kdx::win::Application_Start(argc, argv);
    int result = RUN_ALL_TESTS();
    kdx::win::Application_Stop();
    return result;
}
