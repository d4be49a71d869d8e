// Decoding program files that were made to be slow: the file at the size limit (64 MiB) read,
// unscrambled, normalised and its commands counted, as "Send to Device" does before the first
// command goes out. Each file is "r" followed by "u" (every "u" goes), blanks and commas that all
// become one ",", a mix of them, or millions of lines; the time of each, against the goal of
// 2 s.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/os/file.h"
#include "protocol/kdx_send.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t Size = 64u * 1024 * 1024;

// A text of Size bytes: the head, then the pattern repeated.
std::string Crafted(const std::string& head, const std::string& pattern) {
    std::string text = head;
    text.reserve(Size);
    while (text.size() + pattern.size() <= Size) text += pattern;
    text.resize(Size, pattern[0]);
    return text;
}

bool Run(const char* title, const std::string& text) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("kdx-decode-" + std::to_string(getpid()) + ".kdx"))
                           .string();
    std::ofstream(path, std::ios::binary) << kdx::KDX_Program_Scramble(text);
    auto start = Clock::now();
    std::string data;
    if (!kdx::platform::Read_Whole_File(path, data)) {
        std::fprintf(stderr, "bench_program_decode: cannot read %s\n", path.c_str());
        std::remove(path.c_str());
        return false;
    }
    // As the sender does before its first command: the text, its commands counted.
    std::string normal = kdx::KDX_Program_Normalise(kdx::KDX_Program_Unscramble(std::move(data)));
    size_t lines = 0, commands = 0;
    kdx::KDX_Program_Visit(normal, [&](const std::string&, bool line_done) {
        ++commands;
        lines += line_done;
        return true;
    });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::remove(path.c_str());
    std::printf("  %-34s %7.3f s  (%zu lines, %zu commands)\n", title, seconds, lines, commands);
    return true;
}

}  // namespace

int main() {
    std::printf("program file decode, %zu MiB each (goal: under 2 s)\n", Size >> 20);
    bool ok = Run("\"r\" then \"u\" to the end", Crafted("r", "u")) &&
              Run("blanks and commas", Crafted("A", " ,")) &&
              Run("\"ru\" pairs and blanks", Crafted("", "ru ")) &&
              Run("line feeds between \"r\" and \"u\"", Crafted("r", "\nu")) &&
              Run("one-letter lines", Crafted("", "a\r"));
    return ok ? 0 : 1;
}
