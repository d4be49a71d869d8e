// kdx-cli program: make a program file (the scrambled form) from a text, or read one back.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "kdx/kdx.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli program encode IN OUT\n"
    "       kdx-cli program decode IN OUT\n"
    "\n"
    "Program files (extension .KDX) are stored scrambled: every byte b as 255 - b.\n"
    "encode writes the program file OUT from the text IN; decode writes the text OUT of\n"
    "the program file IN. Every byte is kept, so decode(encode(x)) is x. OUT is replaced\n"
    "whole only once it is written; when IN cannot be read or OUT cannot be written, an\n"
    "existing OUT is left as it was. Send a program file with kdx-cli send.\n"
    "\n"
    "Exit status: 0 written, 1 IN could not be read or OUT not written, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    if (args.size() != 3 || (args[0] != "encode" && args[0] != "decode")) {
        std::fprintf(stderr,
                     "kdx-cli program: expected encode or decode, IN and OUT (see --help)\n");
        return 2;
    }
    int32_t ok = args[0] == "encode" ? KDX_Program_File_Encode(args[1].c_str(), args[2].c_str())
                                     : KDX_Program_File_Decode(args[1].c_str(), args[2].c_str());
    if (!ok) {
        std::fprintf(stderr, "kdx-cli program %s: %s\n", args[0].c_str(), KDX_Send_Failure());
        return 1;
    }
    return 0;
}

const Subcommand_Registration Registration({"program", "encode or decode a program file (.KDX)",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
