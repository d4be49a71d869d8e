// The program file's way to the line as send takes it: unscrambled, normalised in one pass
// and split into commands. The one-pass normaliser must give what applying each rule until it
// no longer matches gives (checked against that slow form on short texts), never take time
// that grows faster than the text, and every command it yields is one field and its ",".
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/kdx_send.h"

namespace {

// Each rule applied until it no longer matches, in order; then the line feeds go.
std::string Normalise_Slowly(std::string text) {
    auto until_none = [&text](const std::string& from, const std::string& to) {
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
    };
    until_none(" ", ",");
    until_none(",,", ",");
    until_none("ru", "r");
    std::string out;
    for (char c : text)
        if (c != '\n') out += c;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx;
    const std::string stored(reinterpret_cast<const char*>(data), size);
    // Scrambling is its own inverse.
    const std::string text = KDX_Program_Unscramble(stored);
    if (KDX_Program_Scramble(text) != stored) std::abort();
    const std::string normal = KDX_Program_Normalise(text);
    if (normal.size() > text.size() || normal.find('\n') != std::string::npos) std::abort();
    if (size <= 512 && normal != Normalise_Slowly(text)) std::abort();
    size_t commands = 0, lines = 0, bytes = 0;
    KDX_Program_Visit(normal, [&](const std::string& command, bool line_done) {
        // One field: text without a comma, CR, tab or comment, and its own ",".
        if (command.empty() || command.back() != ',' ||
            command.find_first_of(",\r\t;") != command.size() - 1)
            std::abort();
        ++commands;
        bytes += command.size();
        if (line_done) ++lines;
        return true;
    });
    // A line per CR and one after the last; each line's fields, commas added, hold no more
    // than the line and the comma appended to it.
    size_t crs = 0;
    for (char c : normal) crs += c == '\r';
    if (lines != crs + 1 || bytes > normal.size() + 2 * lines) std::abort();
    // The two-step walk and the whole list agree.
    size_t listed = 0;
    for (const auto& line : KDX_Program_Commands(text)) listed += line.size();
    if (listed != commands) std::abort();
    return 0;
}
