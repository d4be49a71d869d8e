// The port's entry that every port open writes into the settings page, on a page of 1 GiB:
// the page's head with its "Port Info" block, then 1 GiB of lines. For each write: its time
// and how many bytes it read (the thread's rchar). Written with the same value (the port
// opened again), a value of the same length, and into a page without the block (the whole
// page must be looked through).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/os/profile.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t Tail = int64_t(1) << 30;
const char* const Section = "<summary>Port Info</summary>";

long long Bytes_Read() {
    std::ifstream in("/proc/thread-self/io");
    std::string word;
    long long value = -1;
    while (in >> word)
        if (word == "rchar:") in >> value;
    return value;
}

bool Make_Page(const std::string& path, bool with_block) {
    std::ofstream out(path, std::ios::binary);
    out << "<!DOCTYPE html>\r<html>\r     <body>\r";
    if (with_block) out << "[" << Section << "]\rPort:=COM5<br/>\r";
    std::string lines;
    while (lines.size() < (1 << 20)) lines += "          <p>line of an old page, no key here</p>\r";
    for (int64_t written = 0; written < Tail; written += int64_t(lines.size()))
        out.write(lines.data(), std::streamsize(lines.size()));
    out << "     </body>\r</html>\r";
    return bool(out);
}

void Run(const char* title, const std::string& path, const char* value) {
    long long before = Bytes_Read();
    auto start = Clock::now();
    int32_t ok = kdx::platform::Write_Private_Profile_String(Section, "Port:", value, path);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("  %-40s %9.1f ms  %12lld bytes read%s\n", title, ms, Bytes_Read() - before,
                ok ? "" : "  (failed)");
}

}  // namespace

int main() {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("kdx-port-entry-" + std::to_string(getpid()) + ".html"))
                           .string();
    std::printf("port entry in a settings page of 1 GiB\n");
    if (!Make_Page(path, true)) {
        std::fprintf(stderr, "bench_ini_port_entry: cannot write %s\n", path.c_str());
        std::remove(path.c_str());
        return 1;
    }
    Run("same port again", path, "COM5<br/>");
    Run("another port, same length", path, "COM7<br/>");
    if (!Make_Page(path, false)) {
        std::remove(path.c_str());
        return 1;
    }
    Run("page without the block (looked through)", path, "COM5<br/>");
    std::remove(path.c_str());
    return 0;
}
