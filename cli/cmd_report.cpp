// kdx-cli report: writes the diagnostic report and prints its path.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/system.h"
#include "cli/system_words.h"
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace {

const char* const Help =
    "Usage: kdx-cli report [--dir FOLDER]\n"
    "\n"
    "Writes the diagnostic report, \"KDX Diagnostic MM-DD-YYYY HHMMSS.html\", into the current\n"
    "directory (or FOLDER) and prints its full path. The page lists every serial port of the\n"
    "machine (see kdx-cli ports) as a collapsible block with a nested Device block, each\n"
    "holding its labels with empty values, ready to be filled in. Its style sheet is looked\n"
    "up in the folder's css/ subfolder. A second report within the same second replaces the\n"
    "first; anything else at the report's name (a link, another user's file) is left alone\n"
    "and the report fails.\n"
    "\n"
    "Options:\n"
    "  --dir FOLDER   write the report there instead of the current directory\n"
    "\n"
    "Exit status: 0 written, 1 the folder or the file could not be written, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    std::string folder;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--dir") {
            if (i + 1 == args.size()) return kdx::cli::Missing("report", "FOLDER", "--dir");
            folder = args[++i];
        } else {
            return kdx::cli::Unknown_Argument("report", args[i]);
        }
    }
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "kdx-cli report: cannot use folder %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::string name = HTML_Template_Create();
    char cwd[PATH_MAX];
    std::string path = (getcwd(cwd, sizeof cwd) ? std::string(cwd) + kdx::cli::sys::Path_Separator()
                                                : std::string()) +
                       name;
    if (name.empty() || access(path.c_str(), R_OK) != 0) {
        // The reason names the file; without one, the folder is all there is to name.
        std::string why = HTML_Template_Create_Error();
        std::fprintf(stderr, "kdx-cli report: the report could not be written: %s\n",
                     why.empty() ? path.c_str() : why.c_str());
        return 1;
    }
    std::printf("%s\n", path.c_str());
    return 0;
}

kdx::cli::Subcommand_Registration registration({"report",
                                                "write the diagnostic report and print its path",
                                                Help, Run});

}  // namespace
