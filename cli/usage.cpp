#include "cli/usage.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/port_names.h"
#include "cli/protocol_port.h"
#include "cli/system.h"

namespace kdx::cli {

int Usage_Error(const std::string& command, const std::string& text) {
    std::fprintf(stderr, "kdx-cli %s: %s (kdx-cli %s --help)\n", command.c_str(), text.c_str(),
                 command.c_str());
    return 2;
}

int Unknown_Argument(const std::string& command, const std::string& word) {
    return Usage_Error(
        command, (word.size() > 1 && word[0] == '-' ? "unknown option " : "unexpected argument ") +
                     Printable(word, 80));
}

int Missing(const std::string& command, const std::string& what, const std::string& where) {
    return Usage_Error(command, "expected " + what + " after " + where);
}

int Take_Port(const std::string& command, const std::string& word, int32_t& number,
              bool numbers_alone) {
    if (word.empty()) return Usage_Error(command, "expected the port, COM<n> or a device path");
    bool digits = word.find_first_not_of("0123456789") == std::string::npos;
    std::string why;
    if (Parse_Port(numbers_alone && digits ? "COM" + word : word, number, why)) return 0;
    if (word[0] != '/')
        return Usage_Error(command, "bad port " + Printable(word, 80) +
                                        ": give COM<n> (n from 1 to 999) or the device's path");
    // A path is a port that is not there, as COM77 is: the same status, the same words.
    std::fprintf(stderr,
                 "kdx-cli %s: cannot open %s: %s (\"kdx-cli ports\" lists the ports of "
                 "this machine)\n",
                 command.c_str(), Printable(word, 200).c_str(),
                 sys::Real_Path(word).empty() ? "no such port" : "no port of this machine");
    return 1;
}

int Check_Input_File(const std::string& command, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    std::string why;
    // Told by the type, not the error code: Windows' codes are not errno's.
    if (st.type() == fs::file_type::not_found || ec == std::errc::no_such_file_or_directory ||
        ec == std::errc::not_a_directory)
        why = "no such file";
    else if (ec == std::errc::permission_denied)
        why = "no permission to reach it";
    else if (ec)
        why = ec.message();
    else if (fs::is_directory(st))
        why = "a folder, not a file";
    else if (!std::ifstream(path, std::ios::binary))
        why = "cannot be read (no permission?)";
    if (why.empty()) return 0;
    std::fprintf(stderr, "kdx-cli %s: %s: %s\n", command.c_str(), why.c_str(),
                 Printable(path, 200).c_str());
    return 1;
}

namespace {

// Edits (a letter changed, added, left out, or two neighbours swapped) from a to b.
size_t Edits(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::string Near_Miss(const std::string& word, const std::vector<std::string>& names) {
    if (word.size() > 64) return "";
    // Two edits for a long word, one for a short one: "ckeck" is check, "set" is no "get".
    size_t limit = word.size() >= 5 ? 2 : 1, best = limit + 1;
    std::string nearest;
    for (const auto& name : names) {
        size_t e = Edits(word, name);
        if (e < best) {
            best = e;
            nearest = name;
        }
    }
    return nearest;
}

}  // namespace kdx::cli
