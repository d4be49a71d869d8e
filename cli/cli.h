// kdx-cli: one subcommand per capability. Each subcommand file registers itself with a
// static Subcommand_Registration.
#pragma once
#include <string>
#include <vector>

namespace kdx::cli {

struct Subcommand {
    const char* name;
    const char* summary;  // one line for the list
    const char* help;     // the full --help text
    // args excludes the program and subcommand names; returns the exit code
    // (0 success, 1 a failed check, 2 a usage error).
    int (*run)(const std::vector<std::string>& args);
};

struct Subcommand_Registration {
    explicit Subcommand_Registration(const Subcommand& command);
};

const std::vector<Subcommand>& Subcommands();

// True when args holds --help or -h.
bool Wants_Help(const std::vector<std::string>& args);

}  // namespace kdx::cli
