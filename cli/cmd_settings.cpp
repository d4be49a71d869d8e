// kdx-cli settings: creates or updates the settings page beside the executable.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/system_words.h"
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace {

const char* const Help =
    "Usage: kdx-cli settings [--new] [--set SECTION KEY VALUE]... [--get SECTION KEY [DEFAULT]]\n"
    "                        [--port NAME]\n"
    "\n"
    "Creates the settings page beside the executable when it is missing and prints its path.\n"
    "{data-folder-rule}"
    "The page is an HTML page and a private-profile file at once: its sample sections COM7,\n"
    "COM6 and COM1 sit inside collapsible blocks, and keys written into them appear there.\n"
    "\n"
    "Options:\n"
    "  --new                  create the page anew even when it exists (its keys are lost)\n"
    "  --set SECTION KEY VALUE\n"
    "                         write one key; the text is stored as given, so add the page's\n"
    "                         HTML yourself (KEY \"Baud:\", VALUE \"9600<br/>\")\n"
    "  --get SECTION KEY [DEFAULT]\n"
    "                         print the key's value (DEFAULT, or nothing, when missing)\n"
    "  --port NAME            record NAME as the Terminal's open port (\"Port:\" in section\n"
    "                         \"<summary>Port Info</summary>\")\n"
    "\n"
    "Exit status: 0 done, 1 the page could not be created or written, 2 usage error.\n";

struct Change {
    enum Kind { Set, Get, Port } kind;
    std::vector<std::string> args;
};

int Run(const std::vector<std::string>& args) {
    bool fresh = false;
    std::vector<Change> changes;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        size_t left = args.size() - i - 1;
        if (a == "--new") {
            fresh = true;
        } else if (a == "--set" && left >= 3) {
            changes.push_back({Change::Set, {args[i + 1], args[i + 2], args[i + 3]}});
            i += 3;
        } else if (a == "--get" && left >= 2) {
            Change c{Change::Get, {args[i + 1], args[i + 2]}};
            i += 2;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) c.args.push_back(args[++i]);
            changes.push_back(c);
        } else if (a == "--port" && left >= 1) {
            changes.push_back({Change::Port, {args[i + 1]}});
            i += 1;
        } else if (a == "--set") {
            const char* const names[] = {"SECTION", "KEY", "VALUE"};
            return kdx::cli::Missing("settings", names[left], left == 0 ? a : names[left - 1]);
        } else if (a == "--get") {
            return kdx::cli::Missing("settings", left == 0 ? "SECTION" : "KEY",
                                     left == 0 ? "--get" : "SECTION");
        } else if (a == "--port") {
            return kdx::cli::Missing("settings", "NAME", a);
        } else {
            return kdx::cli::Unknown_Argument("settings", a);
        }
    }
    std::string path = Ini_Get_Page_Path();
    if (path.empty()) {
        std::string why = Ini_Data_Folder_Error();
        std::fprintf(stderr, "kdx-cli settings: %s\n",
                     why.empty() ? "the executable's path cannot name a page" : why.c_str());
        return 1;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    // Links are not followed: what stands at the page's name is what would be written.
    fs::file_status standing = fs::symlink_status(path, ec);
    bool exists = fs::exists(standing);
    if (exists && !fs::is_regular_file(standing)) {
        std::fprintf(stderr,
                     "kdx-cli settings: %s is not a regular file (a link, folder or pipe): "
                     "nothing written\n",
                     path.c_str());
        return 1;
    }
    // An empty page (left by a full disk before) has no blocks for keys: it is made anew.
    if (exists && fs::file_size(path, ec) == 0) exists = false;
    // A page that cannot be written keeps its old content: "--new" would not make it new.
    bool renewable = !exists || ::access(path.c_str(), W_OK) == 0;
    if (fresh || !exists) Ini_Get_Current_Path();
    // Something else standing at the page's name now (a folder) is no page either.
    if (!fs::is_regular_file(fs::symlink_status(path, ec)) || (fresh && !renewable)) {
        std::fprintf(stderr,
                     "kdx-cli settings: cannot create %s (folder not writable or disk "
                     "full?)\n",
                     path.c_str());
        return 1;
    }
    std::string folder = Ini_Get_Leading_Path();
    std::string file = std::filesystem::path(path).filename().string();
    int code = 0;
    for (const Change& c : changes) {
        switch (c.kind) {
            case Change::Set:
                if (!Ini_Write_Key(folder.c_str(), file.c_str(), c.args[0].c_str(),
                                   c.args[1].c_str(), c.args[2].c_str())) {
                    std::fprintf(stderr, "kdx-cli settings: cannot write [%s] %s\n",
                                 c.args[0].c_str(), c.args[1].c_str());
                    code = 1;
                }
                break;
            case Change::Get:
                std::printf("%s\n", Ini_Get_Value(c.args[0].c_str(), c.args[1].c_str(),
                                                  c.args.size() > 2 ? c.args[2].c_str() : ""));
                break;
            case Change::Port:
                if (!Ini_Set_Terminal_Port(c.args[0].c_str())) {
                    std::fprintf(stderr, "kdx-cli settings: cannot record port %s\n",
                                 c.args[0].c_str());
                    code = 1;
                }
                break;
        }
    }
    std::printf("%s\n", path.c_str());
    return code;
}

const kdx::cli::Subcommand_Registration Registration({
    "settings",
    "create or update the settings page beside the executable and print its path",
    Help,
    Run,
});

}  // namespace
