// Runs kdx-cli with args, with no terminal on standard input; the ports directory and the
// machine's description come through the environment.
#pragma once
#include <string>

#include "tests/support/serial_fixture.h"

namespace kdx::test {

inline Shell_Result Cli(const std::string& args) {
    return Shell("'" KDX_CLI_PATH "' " + args + " 2>&1 </dev/null");
}

}  // namespace kdx::test
