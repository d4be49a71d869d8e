// The received echo's own cost, repeatable: a flood of numbered lines handed to
// Serial_Port_Echo_Received in 4 KiB pieces, shown by the terminal sink on /dev/null, with the
// port log off or on. Run under valgrind --tool=callgrind, the instruction count is the same
// from run to run; bench/echo_side_by_side.sh does that for this build and an earlier one.
//
//   bench_echo_path_cost LIBKDX.so [MIB] [off|log|none]
// ("none" does everything but the echo calls: the baseline to subtract).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_echo_path_cost LIBKDX.so [MIB] [off|log|none]\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW);
    if (!library) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    using Terminal = int32_t (*)(int32_t, int32_t, int32_t);
    using Received = int32_t (*)(const char*);
    using Log_Switch = int32_t (*)(int32_t);
    auto terminal = reinterpret_cast<Terminal>(dlsym(library, "Serial_Echo_Terminal"));
    auto received = reinterpret_cast<Received>(dlsym(library, "Serial_Port_Echo_Received"));
    auto log_switch = reinterpret_cast<Log_Switch>(dlsym(library, "Serial_Port_Log_Switch"));
    if (!terminal || !received || !log_switch) return 1;
    int mib = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    std::string mode = argc > 3 ? argv[3] : "off";
    bool log = mode == "log", echo = mode != "none";

    std::string flood;
    char line[96];
    for (int i = 0; flood.size() < size_t(mib) * 1024 * 1024; ++i) {
        int n = std::snprintf(line, sizeof line,
                              "L%07d ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz "
                              "0123456789\r\n",
                              i);
        flood.append(line, size_t(n));
    }
    int null = open("/dev/null", O_WRONLY);
    terminal(null, 0, 0);
    if (log && log_switch(1) == 0) std::fprintf(stderr, "the port log could not be opened\n");
    std::string piece;
    for (size_t at = 0; at < flood.size(); at += 4096) {
        piece.assign(flood, at, 4096);
        if (echo) received(piece.c_str());
    }
    if (log) log_switch(0);
    terminal(-1, 0, 0);
    std::printf("%d MiB in 4 KiB pieces, %s\n", mib, mode.c_str());
    return 0;
}
