// kdx-cli beside picocom and a bare poll() client, on the same pseudo-terminals in one run:
//   flood     CPU per MiB of a flood of numbered lines (piped), port log off and on, and a
//             check that every line arrived, in order
//   latency   a one-byte command answered at once: key in, reply shown, p50 and p99, piped
//             and interactive (the client on a pseudo-terminal of ours)
//   commo     the communication test against kdx-sim with wire time at 9600, 57600, 115200
//             baud, beside the same exchanges made by the bare client
//   rss       resident memory, idle with the port open (interactive)
// Each measure runs --rounds times, the clients alternating; medians and median ratios are
// printed. bench/echo_side_by_side.sh finds the programs and runs this.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string kdx_cli = "kdx-cli";
    std::string kdx_sim = "kdx-sim";
    std::string picocom = "picocom";
    std::string poll_client = "bench_poll_client";
    std::string kdx_before;  // an earlier build's kdx-cli, measured beside this one
    int rounds = 5;
    int mib = 10;
    int samples = 300;
    std::vector<std::string> only;
} opt;

std::string ports_dir;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

void Put(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data.remove_prefix(size_t(n));
    }
}

// The far end of the line: a pseudo-terminal whose slave is registered as COM<number>. It
// answers "Q" with "R" CR at once and "G" with the flood.
class Peer {
  public:
    explicit Peer(std::string flood, int number = 7)
        : flood_(std::move(flood)), com_("COM" + std::to_string(number)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        grantpt(master_);
        unlockpt(master_);
        char name[128];
        ptsname_r(master_, name, sizeof name);
        slave_path_ = name;
        // Kept open so that a client closing the port is no hang-up.
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        fs::path link = fs::path(ports_dir) / com_;
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(slave_path_, link, ec);
        thread_ = std::thread([this] { Loop(); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        close(slave_);
        close(master_);
        std::error_code ec;
        fs::remove(fs::path(ports_dir) / com_, ec);
    }
    const std::string& Slave() const { return slave_path_; }
    const std::string& Com() const { return com_; }

  private:
    void Loop() {
        char buffer[4096];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == 'Q') Send("R\r");
                if (buffer[i] == 'G') Send(flood_);
            }
        }
    }
    // Writes while the client reads; gives up when the peer is stopped.
    void Send(std::string_view data) {
        while (!data.empty() && !stop_) {
            ssize_t n = write(master_, data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(size_t(n));
                continue;
            }
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 20);
        }
    }
    std::string flood_;
    std::string com_;
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// A client program with its standard input and output either pipes of ours or a
// pseudo-terminal of ours (its controlling terminal, as a user's shell would give it).
class Child {
  public:
    Child(const std::vector<std::string>& argv, bool interactive) {
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        int pty_slave = -1;
        if (interactive) {
            in_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            grantpt(in_);
            unlockpt(in_);
            char name[128];
            ptsname_r(in_, name, sizeof name);
            pty_slave = open(name, O_RDWR | O_NOCTTY);
            winsize size{40, 120, 0, 0};
            ioctl(in_, TIOCSWINSZ, &size);
            out_ = in_;
        } else {
            if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(1);
            in_ = in[1];
            out_ = out[0];
        }
        pid_ = fork();
        if (pid_ == 0) {
            if (interactive) {
                setsid();
                ioctl(pty_slave, TIOCSCTTY, 0);
                dup2(pty_slave, 0);
                dup2(pty_slave, 1);
                dup2(pty_slave, 2);
            } else {
                dup2(in[0], 0);
                dup2(out[1], 1);
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 2);
            }
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        if (interactive) {
            close(pty_slave);
        } else {
            close(in[0]);
            close(out[1]);
        }
        fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
        interactive_ = interactive;
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (in_ >= 0) close(in_);
        if (!interactive_ && out_ >= 0) close(out_);
    }
    void Send(std::string_view keys) { Put(in_, keys); }
    void Close_Input() {
        if (interactive_) return;
        close(in_);
        in_ = -1;
    }
    // Reads what the client has written, waiting at most timeout_ms for the first byte.
    // Appends to text; false at the end of the output.
    bool Read(std::string& text, int timeout_ms) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return true;
        char buffer[65536];
        for (;;) {
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, size_t(n));
                continue;
            }
            if (n < 0 && errno == EAGAIN) return true;
            return false;
        }
    }
    // Waits until the output holds needle after position from, up to timeout_ms.
    bool Await(std::string& text, std::string_view needle, size_t from, int timeout_ms) {
        auto start = Clock::now();
        while (Since(start) * 1000 < timeout_ms) {
            size_t back = std::min(from, text.size());
            if (text.find(needle, back) != std::string::npos) return true;
            if (!Read(text, 50)) return text.find(needle, back) != std::string::npos;
        }
        return false;
    }
    // Ends the client (SIGTERM after grace_ms) and gives its CPU seconds.
    double Finish(int grace_ms) {
        auto start = Clock::now();
        std::string sink;
        while (Since(start) * 1000 < grace_ms) {
            int status;
            rusage use{};
            if (wait4(pid_, &status, WNOHANG, &use) == pid_) {
                pid_ = -1;
                return Cpu(use);
            }
            Read(sink, 5);
        }
        kill(pid_, SIGTERM);
        return Wait();
    }
    pid_t Pid() const { return pid_; }
    // For a report: whether the client is still running, or how it ended.
    std::string State() {
        int status;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return "still running";
        pid_ = -1;
        return WIFEXITED(status) ? "exited " + std::to_string(WEXITSTATUS(status))
                                 : "killed by signal " + std::to_string(WTERMSIG(status));
    }

  private:
    static double Cpu(const rusage& use) {
        return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
               double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    }
    double Wait() {
        int status;
        rusage use{};
        if (wait4(pid_, &status, 0, &use) != pid_) return 0;
        pid_ = -1;
        return Cpu(use);
    }
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    bool interactive_ = false;
};

// kdx-cli as built, an earlier kdx-cli when one is given (--kdx-cli-before), picocom, the
// bare client, and for the latency the bare client with a receive thread (the floor for a
// design that takes replies on a second thread).
enum class Client { Kdx, Before, Picocom, Bare, Bare_Threads };
const char* Name(Client c) {
    switch (c) {
        case Client::Kdx:
            return "kdx-cli";
        case Client::Before:
            return "before";
        case Client::Picocom:
            return "picocom";
        case Client::Bare:
            return "poll()";
        case Client::Bare_Threads:
            return "poll()2T";
    }
    return "";
}

// The clients of one round, in an order that alternates with the round.
std::vector<Client> Round(int round, std::vector<Client> clients) {
    if (!opt.kdx_before.empty()) clients.insert(clients.begin() + 1, Client::Before);
    std::rotate(clients.begin(), clients.begin() + round % clients.size(), clients.end());
    return clients;
}

// kdx-cli's program with what it needs to find its own library.
std::vector<std::string> Kdx_Program(Client c) {
    if (c == Client::Kdx) return {opt.kdx_cli};
    std::string dir = fs::path(opt.kdx_before).parent_path().string();
    return {"env", "LD_LIBRARY_PATH=" + dir, opt.kdx_before};
}

std::vector<std::string> Command(Client c, const Peer& peer, bool log, const std::string& file) {
    switch (c) {
        case Client::Kdx:
        case Client::Before: {
            std::vector<std::string> argv = Kdx_Program(c);
            argv.insert(argv.end(), {"terminal", peer.Com(), "--plain", "--wait", "0"});
            if (log) argv.push_back("--log");
            return argv;
        }
        case Client::Picocom: {
            std::vector<std::string> argv{opt.picocom, "-q", "-b", "57600"};
            if (log) argv.insert(argv.end(), {"--logfile", file});
            argv.push_back(peer.Slave());
            return argv;
        }
        case Client::Bare:
            return {opt.poll_client, peer.Slave(), "57600"};
        case Client::Bare_Threads:
            return {opt.poll_client, peer.Slave(), "57600", "--threads"};
    }
    return {};
}

// Sends Q until the first R comes back: the client has the port open and its loop runs.
bool Ready(Child& child, std::string& out) {
    for (int i = 0; i < 100; ++i) {
        size_t from = out.size();
        child.Send("Q\n");
        if (child.Await(out, "R", from, 100)) {
            // Let the rest of the answer and any banner arrive, then forget them.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            child.Read(out, 0);
            out.clear();
            return true;
        }
    }
    return false;
}

std::string Flood_Text(int mib) {
    std::string text;
    size_t size = size_t(mib) * 1024 * 1024;
    text.reserve(size + 128);
    char line[96];
    for (int i = 0; text.size() < size; ++i) {
        int n = std::snprintf(line, sizeof line,
                              "L%07d ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz "
                              "0123456789\r\n",
                              i);
        text.append(line, size_t(n));
    }
    return text;
}

// The text as a terminal user reads it: no CR, no "CHR$(10)" naming a line feed.
std::string Normalised(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') continue;
        if (text.compare(i, 8, "CHR$(10)") == 0) {
            i += 7;
            continue;
        }
        out += text[i];
    }
    return out;
}

struct Flood_Result {
    double cpu = 0;
    bool intact = false;
};

Flood_Result Flood_Once(Client c, bool log, const std::string& flood, const std::string& expect) {
    Flood_Result result;
    Peer peer(flood + "#END#\r\n");
    std::string log_file = ports_dir + "/picocom.log";
    Child child(Command(c, peer, log, log_file), false);
    std::string out;
    if (!Ready(child, out)) {
        std::fprintf(stderr, "  %s did not answer (%s): %s\n", Name(c), child.State().c_str(),
                     out.c_str());
        return result;
    }
    child.Send("G\n");
    bool ended = child.Await(out, "#END#", 0, 60000);
    child.Close_Input();
    result.cpu = child.Finish(3000);
    result.intact = ended && Normalised(out).find(expect) != std::string::npos;
    // With the log on, the log holds the flood too (at least as many bytes).
    uintmax_t logged = 0;
    std::error_code ec;
    if (fs::exists(log_file, ec)) logged += fs::file_size(log_file, ec);
    fs::remove(log_file, ec);
    // kdx-cli writes its port log beside its executable.
    std::string program = c == Client::Before ? opt.kdx_before : opt.kdx_cli;
    for (const auto& entry : fs::directory_iterator(fs::path(program).parent_path(), ec)) {
        if (entry.path().filename().string().rfind("KDX Port Log ", 0) != 0) continue;
        logged += fs::file_size(entry.path(), ec);
        fs::remove(entry.path(), ec);
    }
    if (log && logged < expect.size()) {
        std::fprintf(stderr, "  %s logged only %ju bytes\n", Name(c), logged);
        result.intact = false;
    }
    return result;
}

void Measure_Flood() {
    std::string flood = Flood_Text(opt.mib);
    std::string expect = Normalised(flood);
    double mib = double(flood.size()) / (1024.0 * 1024.0);
    std::printf("\nflood: %.1f MiB of numbered lines, piped; CPU ms per MiB (user + system)\n",
                mib);
    for (bool log : {false, true}) {
        std::map<Client, std::vector<double>> cpu, ratio;
        bool intact = true;
        for (int r = 0; r < opt.rounds; ++r) {
            std::vector<Client> clients{Client::Kdx, Client::Picocom};
            if (!log) clients.push_back(Client::Bare);
            std::map<Client, double> round;
            for (Client c : Round(r, clients)) {
                Flood_Result f = Flood_Once(c, log, flood, expect);
                if (!f.intact) {
                    std::fprintf(stderr, "  %s lost or reordered text (log %s)\n", Name(c),
                                 log ? "on" : "off");
                    intact = false;
                }
                round[c] = f.cpu * 1000 / mib;
                cpu[c].push_back(round[c]);
            }
            for (auto& [c, v] : round) ratio[c].push_back(v / round[Client::Picocom]);
        }
        std::printf("  port log %-3s", log ? "on" : "off");
        for (auto& [c, v] : cpu) std::printf("  %s %6.2f", Name(c), Median(v));
        std::printf("   all intact: %s\n", intact ? "yes" : "NO");
        std::printf("  %12s median ratio to picocom:", "");
        for (auto& [c, v] : ratio)
            if (c != Client::Picocom) std::printf("  %s %.2f", Name(c), Median(v));
        std::printf("  (goal: kdx-cli <= 1.00)\n");
    }
}

// Round trips: the key Q in, the reply R shown. Microseconds.
// One client on its own line, for the latency rounds.
struct Latency_Client {
    Latency_Client(Client c, int number, bool interactive)
        : client(c), peer("", number), child(Command(c, peer, false, ""), interactive) {}
    Client client;
    Peer peer;
    Child child;
    std::string out;
    std::vector<double> times;
};

// Round trips: the key Q in, the reply R shown, microseconds. Every client of the round runs
// at once, each on its own line, and the samples take turns, so a change in the machine's load
// falls on all of them alike.
std::map<Client, std::vector<double>> Latency_Round(const std::vector<Client>& clients,
                                                    bool interactive) {
    std::vector<std::unique_ptr<Latency_Client>> running;
    int number = 20;
    for (Client c : clients) {
        running.push_back(std::make_unique<Latency_Client>(c, number++, interactive));
        if (!Ready(running.back()->child, running.back()->out)) {
            std::fprintf(stderr, "  %s did not answer\n", Name(c));
            running.pop_back();
        }
    }
    std::string key = interactive ? "Q" : "Q\n";
    for (int i = 0; i < opt.samples; ++i) {
        for (auto& r : running) {
            r->out.clear();
            auto start = Clock::now();
            r->child.Send(key);
            if (!r->child.Await(r->out, "R", 0, 2000)) continue;
            r->times.push_back(Since(start) * 1e6);
            // The rest of the echo (line ends, colours) before the next key.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            r->child.Read(r->out, 0);
        }
    }
    std::map<Client, std::vector<double>> times;
    for (auto& r : running) {
        r->child.Close_Input();
        r->child.Finish(interactive ? 0 : 2000);
        times[r->client] = r->times;
    }
    return times;
}

void Measure_Latency() {
    std::printf("\nreply latency: key Q in, reply R shown, %d samples a round, microseconds\n",
                opt.samples);
    for (bool interactive : {false, true}) {
        std::map<Client, std::vector<double>> p50, p99, r50, r99;
        for (int r = 0; r < opt.rounds; ++r) {
            std::map<Client, std::pair<double, double>> round;
            auto times = Latency_Round(
                Round(r, {Client::Kdx, Client::Picocom, Client::Bare, Client::Bare_Threads}),
                interactive);
            for (auto& [c, t] : times) {
                round[c] = {Percentile(t, 0.5), Percentile(t, 0.99)};
                p50[c].push_back(round[c].first);
                p99[c].push_back(round[c].second);
            }
            for (auto& [c, v] : round) {
                r50[c].push_back(v.first / round[Client::Picocom].first);
                r99[c].push_back(v.second / round[Client::Picocom].second);
            }
        }
        const char* mode = interactive ? "interactive" : "piped";
        for (auto& [c, v] : p50)
            std::printf("  %-11s %-8s p50 %7.1f  p99 %7.1f   to picocom: p50 %.2f  p99 %.2f\n",
                        mode, Name(c), Median(v), Median(p99[c]), Median(r50[c]), Median(r99[c]));
    }
    std::printf("  (goal: kdx-cli p50 and p99 <= picocom's)\n");
}

// kdx-sim with wire time at a rate: its registration line gives the device.
struct Sim {
    explicit Sim(int baud) {
        int out[2];
        if (pipe(out) != 0) std::exit(1);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            std::string b = std::to_string(baud);
            execlp(opt.kdx_sim.c_str(), opt.kdx_sim.c_str(), "--port", "8", "--wire", "--baud",
                   b.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        size_t a = line.find(' '), b = line.find(' ', a + 1);
        if (a != std::string::npos && b != std::string::npos)
            device = line.substr(a + 1, b - a - 1);
    }
    ~Sim() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid;
    std::string device;
};

// Seconds from the test's first line to its last reply, as the client's output shows them.
double Commo_Once(Client c, int baud) {
    Sim sim(baud);
    if (sim.device.empty()) return 0;
    std::vector<std::string> argv;
    std::string start_mark, end_mark;
    if (c != Client::Bare) {
        argv = Kdx_Program(c);
        argv.insert(argv.end(), {"commo-test", "COM8", "--baud", std::to_string(baud)});
        start_mark = "Testing USB";
        end_mark = "Port Closed";
    } else {
        argv = {opt.poll_client, sim.device, std::to_string(baud), "--commo", "1000"};
        start_mark = "start";
        end_mark = "done";
    }
    Child child(argv, false);
    std::string out;
    Clock::time_point start{}, end{};
    bool started = false;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    // Looked at every millisecond rather than woken by each write: a reader woken four times a
    // query would take the processor from the client it measures.
    while (Clock::now() < deadline) {
        bool more = child.Read(out, 0);
        if (!started && out.find(start_mark) != std::string::npos) {
            start = Clock::now();
            started = true;
        }
        if (started && out.find(end_mark) != std::string::npos) {
            end = Clock::now();
            break;
        }
        if (!more) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    child.Finish(3000);
    if (!started || end == Clock::time_point{}) return 0;
    return std::chrono::duration<double>(end - start).count();
}

void Measure_Commo() {
    std::printf("\ncommunication test: 1000 x \"V\" against kdx-sim --wire, seconds\n");
    for (int baud : {9600, 57600, 115200}) {
        double wire = 2000.0 * 10 / baud;
        std::map<Client, std::vector<double>> secs, ratio;
        for (int r = 0; r < opt.rounds; ++r) {
            std::map<Client, double> round;
            for (Client c : Round(r, {Client::Kdx, Client::Bare})) {
                round[c] = Commo_Once(c, baud);
                secs[c].push_back(round[c]);
            }
            if (round[Client::Bare] > 0)
                for (auto& [c, v] : round) ratio[c].push_back(v / round[Client::Bare]);
        }
        std::printf("  %6d baud  wire %.3f", baud, wire);
        for (auto& [c, v] : secs)
            std::printf("  %s %.3f (%.2f x wire)", Name(c), Median(v), Median(v) / wire);
        std::printf("\n  %11s median ratio to poll():", "");
        for (auto& [c, v] : ratio)
            if (c != Client::Bare) std::printf("  %s %.3f", Name(c), Median(v));
        std::printf("  (goal: kdx-cli <= 1.05)\n");
    }
}

double Rss_Kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6);
    return 0;
}

void Measure_Rss() {
    std::printf("\nresident memory, idle with the port open (interactive), MB\n");
    std::map<Client, std::vector<double>> rss;
    for (int r = 0; r < opt.rounds; ++r) {
        for (Client c : Round(r, {Client::Kdx, Client::Picocom, Client::Bare})) {
            Peer peer("");
            Child child(Command(c, peer, false, ""), true);
            std::string out;
            if (!Ready(child, out)) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            rss[c].push_back(Rss_Kib(child.Pid()) / 1024.0);
            child.Finish(0);
        }
    }
    for (auto& [c, v] : rss) std::printf("  %s %.2f", Name(c), Median(v));
    std::printf("\n");
}

bool Wanted(const char* measure) {
    return opt.only.empty() ||
           std::find(opt.only.begin(), opt.only.end(), measure) != opt.only.end();
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--kdx-cli")
            opt.kdx_cli = v;
        else if (a == "--kdx-cli-before")
            opt.kdx_before = v;
        else if (a == "--kdx-sim")
            opt.kdx_sim = v;
        else if (a == "--picocom")
            opt.picocom = v;
        else if (a == "--poll-client")
            opt.poll_client = v;
        else if (a == "--rounds")
            opt.rounds = std::max(1, std::atoi(v.c_str()));
        else if (a == "--mib")
            opt.mib = std::max(1, std::atoi(v.c_str()));
        else if (a == "--samples")
            opt.samples = std::max(10, std::atoi(v.c_str()));
        else if (a == "--only")
            opt.only.push_back(v);
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "kdx-side-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    ports_dir = pattern;
    setenv("KDX_PORTS", ports_dir.c_str(), 1);
    setenv("NO_COLOR", "1", 1);
    std::printf("echo side by side: %s, %s, %s; %d rounds\n", opt.kdx_cli.c_str(),
                opt.picocom.c_str(), opt.poll_client.c_str(), opt.rounds);
    if (Wanted("flood")) Measure_Flood();
    if (Wanted("latency")) Measure_Latency();
    if (Wanted("commo")) Measure_Commo();
    if (Wanted("rss")) Measure_Rss();
    std::error_code ec;
    fs::remove_all(ports_dir, ec);
    return 0;
}
