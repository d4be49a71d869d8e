// One key write into a 100 KB settings page: replacing a key near the top (the whole tail is
// rewritten), adding a key to the first block, and adding a section at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/os/profile.h"

namespace {

std::string Folder() {
    static std::string folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kdx-bench-XXXXXX").string();
        return std::string(mkdtemp(pattern.data()) ? pattern : "/tmp");
    }();
    return folder;
}

// A settings page of about 100 KB: the page's head, then blocks of keys, CR line ends.
std::string Make_Page(const std::string& name) {
    std::string path = Folder() + "/" + name;
    std::string text = "<!DOCTYPE html>\r<html>\r     <body>\r";
    for (int block = 0; text.size() < 100 * 1024; ++block) {
        text += "          <details>\r               <summary>\rPort " + std::to_string(block) +
                " Info\r               </summary>\r[COM" + std::to_string(block) + "]\r";
        for (int k = 0; k < 20; ++k)
            text += "Key " + std::to_string(k) + ":=value " + std::to_string(k) + "<br/>\r";
        text += "          </details>\r";
    }
    text += "     </body>\r</html>\r";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
}

void Replace_Key_Near_Top(benchmark::State& state) {
    std::string path = Make_Page("replace.html");
    int n = 0;
    for (auto _ : state) {
        // Alternating lengths, so every write changes the bytes after it.
        std::string value = (n++ % 2) ? "9600<br/>" : "115200<br/>";
        benchmark::DoNotOptimize(
            kdx::platform::Write_Private_Profile_String("COM0", "Key 1:", value, path));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) *
                            int64_t(std::filesystem::file_size(path)));
}

void Add_Key_To_First_Block(benchmark::State& state) {
    std::string path = Make_Page("add.html");
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kdx::platform::Write_Private_Profile_String(
            "COM0", "New " + std::to_string(n++) + ":", "1<br/>", path));
        if (n % 200 == 0) {  // keep the page near 100 KB
            state.PauseTiming();
            Make_Page("add.html");
            state.ResumeTiming();
        }
    }
}

void Add_Section_At_End(benchmark::State& state) {
    std::string path = Make_Page("section.html");
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kdx::platform::Write_Private_Profile_String(
            "New " + std::to_string(n++), "Port:", "COM3<br/>", path));
        if (n % 200 == 0) {
            state.PauseTiming();
            Make_Page("section.html");
            state.ResumeTiming();
        }
    }
}

void Read_Last_Key(benchmark::State& state) {
    std::string path = Make_Page("read.html");
    std::string out;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            kdx::platform::Get_Private_Profile_String("<missing>", "Port:", "", out, 260, path));
}

BENCHMARK(Replace_Key_Near_Top)->Unit(benchmark::kMicrosecond);
BENCHMARK(Add_Key_To_First_Block)->Unit(benchmark::kMicrosecond);
BENCHMARK(Add_Section_At_End)->Unit(benchmark::kMicrosecond);
BENCHMARK(Read_Last_Key)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder());
    return 0;
}
