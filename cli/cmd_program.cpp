// kdx-cli program: make a program file (the scrambled form) from a text, or read one back.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/protocol_port.h"
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
    for (const auto& a : args)
        if (a.size() > 1 && a[0] == '-') return Unknown_Argument("program", a);
    if (args.empty()) return Usage_Error("program", "expected encode or decode");
    if (args[0] != "encode" && args[0] != "decode") {
        std::string near = Near_Miss(args[0], {"encode", "decode"});
        return Usage_Error("program", "expected encode or decode, not " + Printable(args[0], 80) +
                                          (near.empty() ? "" : ". Did you mean " + near + "?"));
    }
    if (args.size() < 3)
        return Missing("program", args.size() == 1 ? "IN" : "OUT",
                       args.size() == 1 ? args[0] : "IN");
    if (args.size() > 3) return Unknown_Argument("program", args[3]);
    if (int code = Check_Input_File("program " + args[0], args[1])) return code;
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
