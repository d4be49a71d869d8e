// The simulator of the tests' fixtures in the Windows build, under Wine: the Linux kdx-sim
// ($KDX_SIM) started through Wine's "start /unix", its line linked as the prefix's
// dosdevices/com<n> and steered through the files of its control folder (--control), since a
// Windows program cannot pipe to a Linux one. What runs inside the simulator's own process on
// Linux (the callback before each write) has no form here.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "sim/sim.h"
#include "tests/support/posix.h"

// Last: the system's headers make macros of names ours declare.
#include <windows.h>

namespace kdx::sim {

namespace {

constexpr int Start_Ms = 10000;
constexpr int Command_Ms = 5000;

// Wine's own export: the Unix path of a Windows one ("" elsewhere).
std::string Unix_Path(const std::string& path) {
    using Convert = char* (*)(const wchar_t*);
    auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!convert) return "";
    std::wstring wide(path.begin(), path.end());
    char* unix_path = convert(wide.c_str());
    if (!unix_path) return "";
    std::string out = unix_path;
    ::HeapFree(::GetProcessHeap(), 0, unix_path);
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool Wait_For_File(const std::string& path, int timeout_ms) {
    int64_t end = platform::Tick_Count_Ms() + timeout_ms;
    while (!platform::File_Exists(path)) {
        if (platform::Tick_Count_Ms() > end) return false;
        platform::Sleep_Ms(2);
    }
    return true;
}

}  // namespace

struct Simulator::State {
    explicit State(Sim_Config c) : config(std::move(c)) {}
    Sim_Config config;
    std::string dir;  // the control folder, as this program names it
    std::string device;
    bool running = false;
    int next_command = 1;

    // The simulator's state file: "SENT DROPPED REPLIES HUNG-UP" and what it received, as it
    // is now (the file is written every few milliseconds: a command's answer waits for it).
    std::string State_Text() {
        if (!platform::File_Exists(dir + "\\ended")) Command("sync");
        std::string text;
        // It is renamed over as it changes: a read that meets the moment of the rename again.
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (platform::Read_Whole_File(dir + "\\state", text)) return text;
            platform::Sleep_Ms(2);
        }
        return "";
    }
    int64_t Count(int which) {
        std::string text = State_Text();
        char* at = text.data();
        for (int i = 0; i < which; ++i) std::strtoll(at, &at, 10);
        return std::strtoll(at, nullptr, 10);
    }
    bool Command(const std::string& command) {
        if (!running) return false;
        std::string name = std::to_string(next_command++);
        if (!platform::Write_Whole_File(dir + "\\command-" + name, command)) return false;
        return Wait_For_File(dir + "\\done-" + name, Command_Ms);
    }
    std::string Options() const {
        const Sim_Config& c = config;
        std::string o;
        auto number = [&o](const char* name, int64_t value) {
            o += std::string(" ") + name + " " + std::to_string(value);
        };
        number("--baud", c.baud);
        if (c.wire_time) o += " --wire";
        if (c.late_ms) number("--late", c.late_ms);
        if (c.late_replies >= 0) number("--late-replies", c.late_replies);
        if (c.slow_ms) number("--slow", c.slow_ms);
        if (c.piece_size)
            o += " --pieces " + std::to_string(c.piece_size) + ":" + std::to_string(c.piece_gap_ms);
        if (c.nul_every) number("--nul", c.nul_every);
        if (c.flood_bytes) number("--flood", c.flood_bytes);
        if (c.hangup_after >= 0) number("--hangup-after", c.hangup_after);
        if (c.hangup_ms >= 0) number("--hangup-ms", c.hangup_ms);
        if (c.hangup_after_bytes >= 0) number("--hangup-after-bytes", c.hangup_after_bytes);
        if (c.stall_after_bytes >= 0) number("--stall-after-bytes", c.stall_after_bytes);
        if (!c.greeting.empty()) {
            std::string escaped;
            for (unsigned char ch : c.greeting) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", ch);
                escaped += hex;
            }
            o += " --greeting " + escaped;
        }
        if (c.model.answer_limit >= 0) number("--answer-limit", c.model.answer_limit);
        if (c.model.corrupt_axis > 0)
            o += " --corrupt " + std::to_string(c.model.corrupt_axis) + ":" +
                 std::to_string(c.model.corrupt_step);
        if (c.model.quiet_ms >= 0) number("--quiet-ms", c.model.quiet_ms);  // else never
        number("--axes", c.model.axes);
        return o;
    }
};

Simulator::Simulator(Sim_Config config) : state_(std::make_unique<State>(std::move(config))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start() {
    State& s = *state_;
    if (s.running) return true;
    const char* sim = std::getenv("KDX_SIM");
    const char* prefix = std::getenv("WINEPREFIX");
    if (!sim || !prefix || s.config.on_write || s.config.number <= 0) {
        platform::Set_Last_Error(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kdx-sim-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return false;
    s.dir = pattern;
    std::string unix_dir = Unix_Path(s.dir);
    if (unix_dir.empty()) {
        platform::Set_Last_Error(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::string link = std::string(prefix) + "/dosdevices/com" + std::to_string(s.config.number);
    std::string line = "start.exe /unix " + test::Quoted_Argument(sim) + " --no-register" +
                       " --control " + test::Quoted_Argument(unix_dir) + " --link " +
                       test::Quoted_Argument(link) + s.Options();
    test::Run_Windows_Command_Line(line, Start_Ms);
    std::string ready;
    if (!Wait_For_File(s.dir + "\\ready", Start_Ms) ||
        !platform::Read_Whole_File(s.dir + "\\ready", ready)) {
        platform::Set_Last_Error(ERROR_FILE_NOT_FOUND);
        return false;
    }
    size_t from = ready.find(' ') + 1, to = ready.find(' ', from);
    s.device = ready.substr(from, to - from);
    s.running = true;
    s.next_command = 1;
    return true;
}

void Simulator::Stop() {
    State& s = *state_;
    if (!s.running) return;
    if (!platform::File_Exists(s.dir + "\\ended")) s.Command("stop");
    Wait_For_File(s.dir + "\\ended", Command_Ms);
    s.running = false;
    std::error_code ec;
    std::filesystem::remove_all(s.dir, ec);
}

const std::string& Simulator::Device() const {
    return state_->device;
}
int32_t Simulator::Number() const {
    return state_->config.number;
}

void Simulator::Send(std::string bytes) {
    state_->Command("send " + Hex(bytes));
}
void Simulator::Flood(int64_t bytes) {
    state_->Command("flood " + std::to_string(bytes));
}
void Simulator::Hang_Up() {
    state_->Command("hangup");
}
bool Simulator::Hung_Up() const {
    return state_->Count(3) != 0;
}
bool Simulator::Wait_Ended(uint32_t timeout_ms) {
    return Wait_For_File(state_->dir + "\\ended", int(timeout_ms));
}

std::string Simulator::Received() const {
    std::string text = state_->State_Text();
    size_t line = text.find('\n');
    return line == std::string::npos ? "" : text.substr(line + 1);
}
int64_t Simulator::Sent() const {
    return state_->Count(0);
}
int64_t Simulator::Dropped() const {
    return state_->Count(1);
}
int32_t Simulator::Replies() const {
    return int32_t(state_->Count(2));
}

}  // namespace kdx::sim
