// Received text at a line's pace into a windowed terminal on a display: the program (kdx, or
// CuteCom beside it) opens a pseudo-terminal, this feeds it pieces at the given rate, and
// measures the CPU the program spends (all its threads) and the X server's, per KB, the
// program's memory after start and after the feed, and how often it wakes once the feed has
// stopped. The port is opened as a user would, with xdotool on the program's window (no
// window manager: windows sit at 0,0). For CuteCom, whose serial code drops a pty when the
// modem-line ioctls fail, give --shim (an LD_PRELOAD library answering them;
// bench/gui_side_by_side.sh builds one). Prints one line of key=value figures.
//
//   bench_gui_paced --program kdx|cutecom [--rate B/s] [--piece N] [--seconds S]
//                   [--xserver-pid P] [--shim PATH]
// KDX_GUI in the environment names another kdx to run in place of this build's.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

// The number after a field's name in a /proc file ("Rss:", "voluntary_ctxt_switches:"); -1
// when it is not there.
long long Field(const fs::path& file, const std::string& field) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + field.size());
    return -1;
}

// A figure summed over every thread of a process (0 once it is gone): read(its task folder).
template <class Read>
int64_t Over_Threads(pid_t pid, Read read) {
    int64_t total = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        total += std::max<long long>(read(task.path()), 0);
    return total;
}

// CPU time of every thread so far, in ns.
int64_t Cpu_Ns(pid_t pid) {
    return Over_Threads(pid, [](const fs::path& task) {
        std::ifstream in(task / "schedstat");
        long long ns = 0;
        return in >> ns ? ns : 0;
    });
}

// Context switches of every thread so far: how often it woke.
int64_t Wakes(pid_t pid) {
    return Over_Threads(pid, [](const fs::path& task) {
        return Field(task / "status", "voluntary_ctxt_switches:");
    });
}

// A figure of /proc/<pid>/smaps_rollup in kB ("Rss:", "Pss:").
long Memory_Kb(pid_t pid, const std::string& field) {
    return long(Field("/proc/" + std::to_string(pid) + "/smaps_rollup", field));
}

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

void Sleep_Ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Whether the process holds the device open.
bool Holds(pid_t pid, const std::string& device) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (fs::read_symlink(fd.path(), ec) == device) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = "kdx", shim;
    double rate = 11500, seconds = 10;
    int piece = 64;
    pid_t xserver = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--program")
            program = v;
        else if (a == "--rate")
            rate = std::atof(v.c_str());
        else if (a == "--piece")
            piece = std::atoi(v.c_str());
        else if (a == "--seconds")
            seconds = std::atof(v.c_str());
        else if (a == "--xserver-pid")
            xserver = std::atoi(v.c_str());
        else if (a == "--shim")
            shim = v;
    }
    if (!getenv("DISPLAY") || rate <= 0 || piece <= 0 ||
        (program != "kdx" && program != "cutecom")) {
        std::fprintf(stderr,
                     "gui_paced: needs DISPLAY, --program kdx|cutecom, a rate and a piece\n");
        return 2;
    }
    std::string pattern = (fs::temp_directory_path() / "kdx-paced-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    const fs::path dir = pattern;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
    const std::string device = ttyname(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    pid_t pid = fork();
    if (pid == 0) {
        close(master);
        close(slave);
        if (program == "kdx") {
            fs::create_directories(dir / "ports");
            fs::create_symlink(device, dir / "ports" / "COM5");
            setenv("KDX_PORTS", (dir / "ports").c_str(), 1);
            // KDX_GUI: another build of the program, to compare two side by side.
            const char* gui = std::getenv("KDX_GUI") ? std::getenv("KDX_GUI") : KDX_GUI_PATH;
            execl(gui, gui, static_cast<char*>(nullptr));
        } else {
            fs::create_directories(dir / ".config" / "CuteCom");
            std::ofstream conf(dir / ".config" / "CuteCom" / "CuteCom5.conf");
            conf << "[sessions]\n1\\BaudRate=57600\n1\\DataBits=8\n1\\Device=" << device
                 << "\n1\\FlowControl=0\n1\\OpenMode=3\n1\\Parity=0\n1\\StopBits=1\n"
                    "1\\autoReconnect=false\n1\\name=Default\n1\\showCtrlCharacters=false\n"
                    "1\\showTimestamp=false\nsize=1\n";
            conf.close();
            setenv("HOME", dir.c_str(), 1);
            if (!shim.empty()) setenv("LD_PRELOAD", shim.c_str(), 1);
            execlp("cutecom", "cutecom", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    int status = 1;
    auto finish = [&](int code) {
        kill(pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) Sleep_Ms(20);
        if (waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
        return code;
    };
    // The window, then the port opened on it as a user would.
    const std::string title = program == "kdx" ? "KDX_APP" : "CuteCom";
    if (!Run("timeout 30 xdotool search --sync --onlyvisible --name " + title + " >/dev/null")) {
        std::fprintf(stderr, "gui_paced: no %s window\n", program.c_str());
        return finish(1);
    }
    Sleep_Ms(1000);
    if (program == "kdx")
        Run("xdotool mousemove 210 76 click 1 sleep 0.5 type COM5; xdotool key Return sleep 0.3 "
            "mousemove 455 78 click 1");
    else
        Run("xdotool mousemove 50 43 click 1");
    bool open = false;
    for (int i = 0; i < 250 && !open; ++i) {
        Sleep_Ms(20);
        open = Holds(pid, device);
    }
    if (!open) {
        std::fprintf(stderr, "gui_paced: %s did not open %s\n", program.c_str(), device.c_str());
        return finish(1);
    }
    Sleep_Ms(1000);
    char drain[4096];
    while (read(master, drain, sizeof drain) > 0) {
    }
    long rss_start = Memory_Kb(pid, "Rss:"), pss_start = Memory_Kb(pid, "Pss:");

    // The text: lines of letters and digits ending in CR LF, cut into pieces at the pace.
    std::string text;
    const std::string line = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789\r\n";
    while (text.size() < size_t(piece) + line.size()) text += line;
    const int64_t pieces = int64_t(rate * seconds / piece);
    const double gap_ns = 1e9 * piece / rate;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int64_t cpu0 = Cpu_Ns(pid), x0 = xserver ? Cpu_Ns(xserver) : 0, cpu_half = 0;
    size_t at = 0;
    int64_t fed = 0;
    for (int64_t i = 0; i < pieces; ++i) {
        int64_t due = int64_t(t0.tv_sec) * 1000000000 + t0.tv_nsec + int64_t(double(i) * gap_ns);
        timespec when{time_t(due / 1000000000), long(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        if (i == pieces / 2) cpu_half = Cpu_Ns(pid);
        for (size_t done = 0; done < size_t(piece);) {
            ssize_t n = write(master, text.data() + at + done, size_t(piece) - done);
            if (n > 0)
                done += size_t(n);
            else
                Sleep_Ms(1);
        }
        at = (at + size_t(piece)) % line.size();
        fed += piece;
        while (read(master, drain, sizeof drain) > 0) {
        }
    }
    Sleep_Ms(200);  // the last frame
    int64_t cpu1 = Cpu_Ns(pid), x1 = xserver ? Cpu_Ns(xserver) : 0;
    long rss_end = Memory_Kb(pid, "Rss:"), pss_end = Memory_Kb(pid, "Pss:");
    // Once the stream has stopped, the window should sleep: its wakes over the next 2 s.
    const int64_t wakes0 = Wakes(pid);
    Sleep_Ms(2000);
    const double idle_wakes = double(Wakes(pid) - wakes0) / 2;
    const double kb = double(fed) / 1024;
    const double half_kb = kb / 2;
    std::printf(
        "program=%s rate=%.0f piece=%d kb=%.0f cpu_ms_per_kb=%.4f core_pct=%.1f "
        "x_ms_per_kb=%.4f fill_ratio=%.2f rss_start_mb=%.1f pss_start_mb=%.1f "
        "rss_end_mb=%.1f pss_end_mb=%.1f idle_wakes_per_s=%.1f\n",
        program.c_str(), rate, piece, kb, double(cpu1 - cpu0) / 1e6 / kb,
        100.0 * double(cpu1 - cpu0) / 1e9 / seconds, double(x1 - x0) / 1e6 / kb,
        // Cost per KB in the second half against the first, as the window fills.
        double(cpu1 - cpu_half) / std::max(double(cpu_half - cpu0), 1.0) * 1.0 *
            (half_kb / std::max(kb - half_kb, 1.0)),
        double(rss_start) / 1024, double(pss_start) / 1024, double(rss_end) / 1024,
        double(pss_end) / 1024, idle_wakes);
    status = 0;
    return finish(status);
}
