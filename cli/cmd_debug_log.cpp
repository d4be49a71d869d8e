// kdx-cli debug-log: opens the trace console and a fresh debug log, writes comments into it
// and tells where the log went; or tells the log name an executable would use.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "cli/system_words.h"
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli [--trace] debug-log [--comment TEXT]... [--show]\n"
    "       kdx-cli debug-log --for PATH...\n\n"
    "Opens the debug console and a new debug log in the current directory (unless --trace\n"
    "has opened them already), writes a comment line for the command and for each --comment,\n"
    "closes them again and prints the log's full path and size. The console is this\n"
    "terminal unless KDX_CONSOLE says otherwise (terminal, capture, none).\n\n"
    "The log is named after the running program: its file name without a \".exe\"\n"
    "extension, then \"_Debug.txt\" (kdx-cli writes kdx-cli_Debug.txt).\n\n"
    "Options:\n"
    "  --comment TEXT  write TEXT as a comment line (repeatable)\n"
    "  --show          print the log's content after closing it\n"
    "  --for PATH      print the log name an executable at PATH would use (repeatable);\n"
    "                  with only --for options no console is opened\n\n"
    "Exit status: 0 the log was created, 1 it could not be created, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    std::vector<std::string> comments, paths;
    bool show = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--comment" || a == "--for") {
            if (i + 1 == args.size())
                return Missing("debug-log", a == "--for" ? "PATH" : "TEXT", a);
            (a == "--comment" ? comments : paths).push_back(args[++i]);
        } else if (a == "--show") {
            show = true;
        } else {
            return Unknown_Argument("debug-log", a);
        }
    }
    for (const auto& p : paths)
        std::printf("%s: %s\n", p.c_str(), ErrCheck_Debug_Log_Name(p.c_str()));
    if (!paths.empty() && comments.empty() && !show) return 0;

    bool opened_here = ErrCheck_Debug(-1) == 0;
    if (opened_here) ErrCheck_Debug(1);
    ErrCheck_Comment("%debug-log");
    for (const auto& c : comments) ErrCheck_Comment(c.c_str());
    std::string own_name = ErrCheck_Debug_Log_Name(nullptr);
    std::string path = ErrCheck_Debug_Log_Path();
    std::string failure = ErrCheck_Debug_Log_Error();
    if (opened_here) ErrCheck_Debug(0);

    struct stat st {};
    if (!failure.empty()) {
        std::fprintf(stderr, "kdx-cli debug-log: the debug log could not be created: %s\n",
                     failure.c_str());
        return 1;
    }
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "kdx-cli debug-log: the debug log %s could not be created\n",
                     path.empty() ? own_name.c_str() : path.c_str());
        return 1;
    }
    std::printf("Debug log: %s (%lld bytes)\n", path.c_str(), static_cast<long long>(st.st_size));
    if (show) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        std::fwrite(content.str().data(), 1, content.str().size(), stdout);
        if (!content.str().empty() && content.str().back() != '\n') std::fputc('\n', stdout);
    }
    return 0;
}

const Subcommand_Registration Registration({"debug-log",
                                            "open the trace console and debug log, report "
                                            "where the log goes",
                                            Help, &Run});

}  // namespace
}  // namespace kdx::cli
