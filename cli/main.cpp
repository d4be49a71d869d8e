#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "cli/cli.h"
#include "cli/protocol_port.h"
#include "cli/system.h"
#include "cli/system_words.h"
#include "cli/usage.h"
#include "kdx/kdx.h"
#include "kdx_version.h"

namespace kdx::cli {

namespace {
std::vector<Subcommand>& Registry() {
    static std::vector<Subcommand> registry;
    return registry;
}

void Usage(FILE* out) {
    std::fprintf(
        out,
        "Usage: kdx-cli [--trace] <command> [options]\n"
        "  or:  kdx-cli <command> --help\n\n"
        "Configurator, tester and terminal for KDX stepper-motor controllers.\n\n"
        "Options:\n"
        "  --trace     open the trace console on this terminal (F9 auto-debug, End quits)\n"
        "  --help      show this text and exit\n"
        "  --version   show the version and the commit it was built from, and exit\n\n"
        "Commands:\n");
    for (const auto& c : Registry()) std::fprintf(out, "  %-12s %s\n", c.name, c.summary);
}
}  // namespace

Subcommand_Registration::Subcommand_Registration(const Subcommand& command) {
    Registry().push_back(command);
}

const std::vector<Subcommand>& Subcommands() {
    return Registry();
}

bool Wants_Help(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

}  // namespace kdx::cli

int main(int argc, char** argv) {
    using namespace kdx::cli;
    bool trace = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kdx-cli %s\n", KDX_VERSION_TEXT);
            return 0;
        } else {
            std::fprintf(stderr, "kdx-cli: unknown option %s (kdx-cli --help)\n", argv[i]);
            return 2;
        }
    }
    if (i >= argc) {
        Usage(stderr);
        return 2;
    }
    const Subcommand* command = nullptr;
    for (const auto& c : Subcommands())
        if (std::strcmp(c.name, argv[i]) == 0) command = &c;
    if (!command) {
        std::vector<std::string> names;
        for (const auto& c : Subcommands()) names.push_back(c.name);
        std::string near = Near_Miss(argv[i], names);
        std::fprintf(stderr, "kdx-cli: unknown command %s%s (kdx-cli --help)\n",
                     Printable(argv[i], 80).c_str(),
                     near.empty() ? "" : (". Did you mean " + near + "?").c_str());
        return 2;
    }
    std::vector<std::string> args(argv + i + 1, argv + argc);
    if (Wants_Help(args)) {
        std::fputs(kdx::cli::Help_Text(command->help).c_str(), stdout);
        return 0;
    }
    try {
        if (trace) {
            // The command line's console is this terminal unless the user chose another.
            sys::Set_Environment_Default("KDX_CONSOLE", "terminal");
            ErrCheck_Debug(1);
            if (*ErrCheck_Debug_Log_Error())
                std::fprintf(stderr, "kdx-cli: the debug log was not opened: %s\n",
                             ErrCheck_Debug_Log_Error());
        }
        int code = command->run(args);
        if (trace) ErrCheck_Debug(0);
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kdx-cli: %s\n", e.what());
        return 1;
    }
}
