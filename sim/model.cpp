// The simulated controller. Commands are fields separated by "," (or CR/LF); a few commands
// are whole on their own without any separator ("V", "K", "R", "]", "F,getFc", "F,getFAc")
// and are answered the moment their last byte arrives, because the program reads their
// replies without sending a terminator. "setser#&=" ends with the seventh character of its
// order number (it is sent without terminator). Any other field waits for its separator,
// however long the line is quiet, unless a quiet time is set: then it is taken as it stands
// once the line has been quiet for quiet_ms.
#include "sim/model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kdx::sim {

namespace {

constexpr char CR = '\r';
constexpr char EOT = '\x04';
// A field longer than this is not a command of ours: it is answered "?" rather than kept.
constexpr size_t Max_Field = 512;
// An order number has seven characters.
constexpr size_t Order_Length = 7;

enum class Mode { Online, Online_Echo, Offline };

const char* const Help_Text =
    "KDX controller commands\r\n"
    "  F,          on line, no echo\r\n"
    "  E,          on line, echo what is received\r\n"
    "  Q,          off line (jog/slew mode)\r\n"
    "  V           status letter: R ready, B on line busy, b off line busy, J jog, F fault\r\n"
    "  K           stop all motion\r\n"
    "  getD4,      serial and order number\r\n"
    "  getD0,      firmware version;  getD1, firmware revision\r\n"
    "  getAS,      axes set;  getAF, axes found\r\n"
    "  getMTnM=    motor type of axis n;  getLnM= limit switches;  getHSnM= home switch\r\n"
    "  getFc       current fault;  getFAc  fault report\r\n"
    "  setser#&=serial     @order   store serial and order number\r\n"
    "  setMLHnM=v  set the id of axis n;  rss,  restart;  setAXISFnM3,  flash LED of axis n\r\n"
    "  C, PM-0,    clear the move buffer;  SnMv, velocity;  InMd, index;  LAk, loop;  R run\r\n"
    "  PM-n, [n[PM-n,  store program n;  ]  end it;  lst, lstnMn,  list program n\r\n";

bool Digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// A signed decimal number, possibly with a fraction ("-400", "+1500.25").
bool Number(std::string_view s, double& value) {
    if (s.empty()) return false;
    std::string text(s);
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// "<axis>M<rest>" after a command letter: axis 1..4.
bool Axis_Field(std::string_view s, int& axis, std::string_view& rest) {
    if (s.size() < 2 || s[0] < '1' || s[0] > '4' || s[1] != 'M') return false;
    axis = s[0] - '0';
    rest = s.substr(2);
    return true;
}

bool Starts(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

std::string Trim(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && s[a] == ' ') ++a;
    while (b > a && s[b - 1] == ' ') --b;
    return std::string(s.substr(a, b - a));
}

}  // namespace

std::string Flood_Text(int64_t bytes) {
    static const char Line[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789\r\n";
    const size_t line = sizeof Line - 1;
    std::string out;
    out.reserve(size_t(std::max<int64_t>(bytes, 0)));
    while (int64_t(out.size()) < bytes)
        out.append(Line, std::min<size_t>(line, size_t(bytes) - out.size()));
    return out;
}

struct Controller_Model::State {
    Model_Config config;
    Mode mode = Mode::Online;
    std::string received;
    std::string field;
    // After an overlong field, the rest of it up to the next separator is dropped.
    bool discarding = false;
    int64_t last_byte_ms = 0;
    int32_t answered = 0;

    std::string serial = "1234-56";
    std::string order = "7654321";
    std::string version = "1.23";
    std::string revision = "12-06-26";
    std::array<std::string, 5> motor{"", "17", "17", "34", "34"};
    std::array<std::string, 5> limit{"", "-1A,0", "1,0", "0,0", "-2,0"};
    std::array<std::string, 5> home{"", "1", "0", "1", "0"};
    std::array<int, 5> flash{};

    // Fault: 0 none, else the code of the last command not understood.
    int fault = 0;
    std::string fault_text;

    // Moves: the immediate buffer run by "R", velocities per axis, busy until.
    std::vector<std::string> buffer;
    std::array<double, 5> velocity{0, 1000, 1000, 1000, 1000};
    int64_t busy_until = 0;

    // Program memory per axis (index 1..4); the program being stored (0 none) and the one
    // a bare "lst," lists.
    std::array<std::vector<std::string>, 5> programs;
    int recording = 0;
    int selected = 1;

    // "<axis>M<rest>" naming one of this controller's axes.
    bool Axis_In(std::string_view text, int& axis, std::string_view& rest) const {
        return Axis_Field(text, axis, rest) && axis <= config.axes;
    }

    bool Silent() const { return config.answer_limit >= 0 && answered >= config.answer_limit; }

    void Answer(std::string& out, const std::string& text) {
        if (Silent()) return;
        ++answered;
        out += text;
    }

    void Not_Understood(std::string& out, std::string_view f) {
        fault = 1;
        fault_text.clear();
        for (char c : f)
            if (c != '?' && static_cast<unsigned char>(c) >= ' ') fault_text += c;
        Answer(out, std::string("?") + CR);
    }

    void Status(std::string& out, int64_t now) {
        char letter;
        if (fault)
            letter = 'F';
        else if (now < busy_until)
            letter = mode == Mode::Offline ? 'b' : 'B';
        else
            letter = mode == Mode::Offline ? 'J' : 'R';
        Answer(out, std::string(1, letter));
    }

    // Runs the immediate buffer: busy for the sum of distance / velocity, times the loop.
    void Run(int64_t now) {
        std::array<double, 5> v = velocity;
        double seconds = 0;
        int loops = 1;
        for (const auto& step : buffer) {
            int axis;
            std::string_view rest;
            double value;
            if (step[0] == 'S' && Axis_In(std::string_view(step).substr(1), axis, rest) &&
                Number(rest, value)) {
                v[axis] = std::fabs(value);
                velocity[axis] = v[axis];
            } else if (step[0] == 'I' && Axis_In(std::string_view(step).substr(1), axis, rest) &&
                       Number(rest, value)) {
                seconds += std::fabs(value) / v[axis];
            } else if (Starts(step, "LA") && Number(std::string_view(step).substr(2), value)) {
                loops = value >= INT32_MAX ? INT32_MAX : std::max(1, static_cast<int>(value));
            }
        }
        buffer.clear();
        // A move longer than any clock keeps the controller busy for good: the time is
        // worked out in floating point and saturates rather than wrapping round.
        double ms = std::ceil(seconds * loops * 1000.0);
        int64_t start = std::max(busy_until, now);
        double room = static_cast<double>(INT64_MAX - start);
        busy_until = std::isfinite(ms) && ms < room ? start + static_cast<int64_t>(ms) : INT64_MAX;
    }

    // True when f is a program step: velocity, index or loop.
    bool Step(std::string_view f) const {
        int axis;
        std::string_view rest;
        double value;
        if ((f[0] == 'S' || f[0] == 'I') && Axis_In(f.substr(1), axis, rest) && Number(rest, value))
            return f[0] == 'I' || std::fabs(value) > 0;
        return Starts(f, "LA") && Digits(f.substr(2));
    }

    void Store(const std::string& step) {
        auto& program = programs[recording];
        std::string stored = step;
        if (recording == config.corrupt_axis &&
            static_cast<int32_t>(program.size()) + 1 == config.corrupt_step) {
            char& last = stored.back();
            last = std::isdigit(static_cast<unsigned char>(last))
                       ? char('0' + (last - '0' + 1) % 10)
                       : '0';
        }
        program.push_back(stored);
    }

    void Start_Program(int k) {
        recording = k;
        selected = k;
        programs[k].clear();
    }

    void List(std::string& out, const std::string& header, int k) {
        recording = 0;
        std::string text = header + CR;
        for (const auto& step : programs[k]) text += step + CR;
        text += EOT;
        Answer(out, text);
    }

    // One complete field.
    void Field(const std::string& f, std::string& out, int64_t now) {
        if (f.empty()) return;
        if (f.size() > Max_Field) return Not_Understood(out, f.substr(0, 32));
        int axis;
        std::string_view rest;
        std::string_view v(f);

        if (f == "F") {
            mode = Mode::Online;
        } else if (f == "E") {
            mode = Mode::Online_Echo;
        } else if (f == "Q") {
            mode = Mode::Offline;
        } else if (f == "C") {
            recording = 0;
            buffer.clear();
        } else if (Starts(v, "PM-") && Digits(v.substr(3)) && v.size() == 4 &&
                   v[3] <= '0' + config.axes) {
            int k = v[3] - '0';
            if (k == 0) {
                recording = 0;
                buffer.clear();
            } else {
                Start_Program(k);
            }
        } else if (v.size() == 7 && v[0] == '[' && v[1] >= '1' && v[1] <= '0' + config.axes &&
                   v.substr(2, 4) == "[PM-" && v[6] >= '1' && v[6] <= '0' + config.axes) {
            Start_Program(v[6] - '0');
        } else if (f == "lst") {
            List(out, f, selected);
        } else if (Starts(v, "lst") && Axis_In(v.substr(3), axis, rest) &&
                   rest == std::string(1, char('0' + axis))) {
            List(out, f, axis);
        } else if (f == "getD4") {
            Answer(out, "getD4," + serial + "     @" + order + CR);
        } else if (f == "getD0") {
            Answer(out, "getD0," + version + CR);
        } else if (f == "getD1") {
            Answer(out, "getD1," + revision + CR);
        } else if (f == "getAS") {
            std::string text = "getAS";
            for (int a = 1; a <= 4; ++a) text += a <= config.axes ? ",1" : ",0";
            Answer(out, text + CR);
        } else if (f == "getAF") {
            std::string text = "getAF";
            for (int a = 1; a <= 4; ++a) text += "," + std::to_string(a <= config.axes ? a : 0);
            Answer(out, text + CR);
        } else if (f == "getFc") {
            Answer(out, "getFc," + std::to_string(fault) + CR);
        } else if (f == "getFAc") {
            std::string text = "getFAc," + std::to_string(fault);
            if (fault) text += ",Command not understood: " + fault_text;
            fault = 0;
            fault_text.clear();
            Answer(out, text + CR);
        } else if (Starts(v, "getMT") && Axis_In(v.substr(5), axis, rest) && rest == "=") {
            Answer(out, f + "," + motor[axis] + CR);
        } else if (Starts(v, "getL") && Axis_In(v.substr(4), axis, rest) && rest == "=") {
            Answer(out, f + "," + limit[axis] + CR);
        } else if (Starts(v, "getHS") && Axis_In(v.substr(5), axis, rest) && rest == "=") {
            Answer(out, f + "," + home[axis] + CR);
        } else if (Starts(v, "setser#&=")) {
            std::string_view value = v.substr(9);
            size_t at = value.find('@');
            serial = Trim(value.substr(0, at));
            order = at == std::string_view::npos ? "" : Trim(value.substr(at + 1));
        } else if (Starts(v, "setMLH") && Axis_In(v.substr(6), axis, rest) && Starts(rest, "=") &&
                   rest.size() > 1) {
            motor[axis] = std::string(rest.substr(1));
        } else if (f == "rss" || f == "res") {
            buffer.clear();
            recording = 0;
            busy_until = 0;
            // "res" (in program files) restarts the controller: it comes back off line.
            if (f == "res") mode = Mode::Offline;
        } else if (Starts(v, "setAXISF") && Axis_In(v.substr(8), axis, rest) && Digits(rest)) {
            flash[axis] = std::atoi(std::string(rest).c_str());
        } else if (f == "Help" || f == "help" || f == "HELP") {
            Answer(out, Help_Text);
        } else if (v[0] == 'M' &&
                   (Digits(v.substr(1)) || (v.size() > 2 && v[1] == '-' && Digits(v.substr(2))))) {
            // A bare motor field ("M0", "M-0") selects nothing on its own.
        } else if (Step(v)) {
            if (recording)
                Store(f);
            else
                buffer.push_back(f);
        } else {
            Not_Understood(out, f);
        }
        (void)now;
    }

    // Commands that are whole without a separator.
    void Immediate(char c, std::string& out, int64_t now) {
        switch (c) {
            case 'V':
                Status(out, now);
                break;
            case 'K':
                buffer.clear();
                busy_until = 0;
                break;
            case 'R':
                Run(now);
                break;
            case ']':
                recording = 0;
                break;
        }
    }

    bool Echoing() const { return mode == Mode::Online_Echo && !Silent(); }

    // Takes one whole command; with echo on (before and after it, so the commands that
    // switch echo on or off are not echoed) the command's bytes go out before its reply.
    void Take(const std::string& f, const std::string& bytes, std::string& out, int64_t now) {
        bool echo = Echoing();
        std::string reply;
        if (f.size() == 1 && bytes.size() == 1 && field.empty() &&
            (f[0] == 'V' || f[0] == 'K' || f[0] == 'R' || f[0] == ']'))
            Immediate(f[0], reply, now);
        else
            Field(f, reply, now);
        if (echo && Echoing()) out += bytes;
        out += reply;
    }

    std::string Receive(std::string_view bytes, int64_t now) {
        std::string out;
        received.append(bytes);
        for (char c : bytes) {
            last_byte_ms = now;
            bool separator = c == CR || c == '\n' || (c == ',' && !Starts(field, "setser#&="));
            if (discarding) {
                discarding = !separator;
                continue;
            }
            if (field.empty()) {
                if (c == 'V' || c == 'K' || c == 'R' || c == ']') {
                    Take(std::string(1, c), std::string(1, c), out, now);
                    continue;
                }
                if (separator) {
                    if (Echoing()) out += c;
                    continue;
                }
            }
            if (separator) {
                std::string f;
                f.swap(field);
                Take(f, f + c, out, now);
                continue;
            }
            field += c;
            if (field == "getFc" || field == "getFAc" || Serial_Set_Whole() ||
                field.size() > Max_Field) {
                discarding = field.size() > Max_Field;
                std::string f;
                f.swap(field);
                Take(f, discarding ? std::string() : f, out, now);
            }
        }
        return out;
    }

    // "setser#&=serial     @order" is whole once the order number has its seven characters.
    bool Serial_Set_Whole() const {
        if (!Starts(field, "setser#&=")) return false;
        size_t at = field.find('@');
        return at != std::string::npos && field.size() - at - 1 == Order_Length;
    }

    std::string Idle(int64_t now) {
        std::string out;
        if (!field.empty() && config.quiet_ms >= 0 && now >= last_byte_ms + config.quiet_ms) {
            std::string f;
            f.swap(field);
            Take(f, f, out, now);
        }
        return out;
    }
};

Controller_Model::Controller_Model(Model_Config config) : state_(std::make_unique<State>()) {
    state_->config = config;
    state_->config.axes = std::clamp(config.axes, 1, 4);
    if (!config.serial.empty()) state_->serial = config.serial;
    if (!config.order.empty()) state_->order = config.order;
}

Controller_Model::~Controller_Model() = default;

std::string Controller_Model::Receive(std::string_view bytes, int64_t now_ms) {
    return state_->Receive(bytes, now_ms);
}

std::string Controller_Model::Idle(int64_t now_ms) {
    return state_->Idle(now_ms);
}

int64_t Controller_Model::Next_Deadline() const {
    if (state_->field.empty() || state_->config.quiet_ms < 0) return -1;
    return state_->last_byte_ms + state_->config.quiet_ms;
}

const std::string& Controller_Model::Received() const {
    return state_->received;
}

int32_t Controller_Model::Answered() const {
    return state_->answered;
}

}  // namespace kdx::sim
