// Runs kdx-cli with args, with no terminal on standard input; the ports directory and the
// machine's description come through the environment.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/serial_fixture.h"

namespace kdx::test {

inline Shell_Result Cli(const std::string& args) {
    return Shell("'" KDX_CLI_PATH "' " + args + " 2>&1 </dev/null");
}

// Runs kdx-cli with args and reads every line of its standard output as JSON: each object
// written back in one canonical form (keys sorted, no spaces), one a line; a line that does
// not parse turns up as "NOT JSON: <line>". The exit status is kdx-cli's.
inline Shell_Result Cli_Json(const std::string& args) {
    const std::string base = "/tmp/kdx-json-lines-" + std::to_string(getpid());
    const char* check =
        "import json, sys\n"
        "for line in open(sys.argv[1], encoding='utf-8'):\n"
        "    try:\n"
        "        print(json.dumps(json.loads(line), sort_keys=True, separators=(',', ':')))\n"
        "    except ValueError:\n"
        "        print('NOT JSON: ' + line.rstrip())\n";
    if (FILE* f = std::fopen((base + ".py").c_str(), "w")) {
        std::fputs(check, f);
        std::fclose(f);
    }
    Shell_Result run = Shell("'" KDX_CLI_PATH "' " + args + " 2>/dev/null </dev/null >" + base);
    Shell_Result read = Shell("/usr/bin/python3 " + base + ".py " + base + " 2>&1");
    std::remove((base + ".py").c_str());
    std::remove(base.c_str());
    read.code = run.code;
    return read;
}

}  // namespace kdx::test
