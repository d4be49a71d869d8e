// kdx-cli check: tests a unit in one command and leaves its records; --all tests every unit
// attached, one process per port.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "cli/check.h"
#include "cli/cli.h"
#include "cli/device_info.h"
#include "cli/protocol_port.h"
#include "cli/system.h"
#include "cli/text_forms.h"
#include "cli/usage.h"
#include "kdx_version.h"

namespace kdx::cli {
namespace {

using check::Step;
using check::Unit;
using check::Verdict;

const char* const Help =
    "Usage: kdx-cli check [COM<n>|--all] [--axes LIST] [--rate N] [--out DIR] [--traffic]\n"
    "\n"
    "Tests a unit in one command and leaves a record of it. In order: open the port (without\n"
    "COM<n>: the first listed port whose controller answers), the status query, the device\n"
    "information (serial and order number, firmware version and revision, axes set and\n"
    "found, axis ids), the communication test (1000 status queries) and the memory test of\n"
    "every axis found. A step that fails is recorded and the check goes on with every step\n"
    "that still can; a unit that stops answering ends it, and the record says in which step.\n"
    "Prints one verdict line: PASSED, or FAILED with the failing step and its reason.\n"
    "\n"
    "Options:\n"
    "  COM<n>      the port to test (see kdx-cli ports), or its device path\n"
    "  --all       test every port with a controller, all at once, and list each unit\n"
    "  --axes LIST the axes to memory-test instead of those found: 1-4, 2, 1,3\n"
    "  --rate N    baud rate (default 57600)\n"
    "  --out DIR   the folder for the records (default: the program's data folder, where\n"
    "              its settings page is)\n"
    "  --traffic   show the traffic (sent cyan, status green, received yellow)\n"
    "\n"
    "Records, for every unit tested, named kdx-check_<serial>_<date-time>_<port>: a JSON\n"
    "document (.json; its schema is kdx-check.schema.json, installed in share/kdx), a JUnit\n"
    "XML file (.junit.xml, one test case per step) and a printable HTML page (.html). Each\n"
    "unit also adds a line to kdx-check-history.csv in the same folder (time, port, serial,\n"
    "order, firmware, revision, verdict, failing step, reason); checks running at the same\n"
    "time never lose or mix lines. A progress line per port shows on standard error while\n"
    "it is a terminal.\n"
    "\n"
    "Exit status: 0 every step passed (every unit, with --all), 1 a unit failed a step or\n"
    "its port could not be opened, 2 usage error, 3 ended with End in a trace pause,\n"
    "4 no controller answered (the port given is silent, or no port has a controller).\n";

constexpr int Exit_No_Controller = 4;
// Progress lines of a child of --all start with this byte; everything else it prints is
// its result.
constexpr char Progress_Mark = '\x1f';

struct Options {
    int32_t number = 0;
    bool all = false;
    std::vector<int> axes;
    int32_t rate = 57600;
    std::string out;
    bool traffic = false;
    bool child = false;  // run by --all: progress on standard output, silence is no unit
};

bool Parse_Axes(const std::string& text, std::vector<int>& axes) {
    bool seen[5] = {};
    for (size_t i = 0; i < text.size();) {
        char a = text[i];
        if (a < '1' || a > '4') return false;
        char b = a;
        if (i + 2 < text.size() && text[i + 1] == '-') {
            b = text[i + 2];
            if (b < a || b > '4') return false;
            i += 3;
        } else {
            i += 1;
        }
        for (char c = a; c <= b; ++c) seen[c - '0'] = true;
        if (i < text.size() && text[i++] != ',') return false;
        if (i == text.size() && text.back() == ',') return false;
    }
    axes.clear();
    for (int n = 1; n <= 4; ++n)
        if (seen[n]) axes.push_back(n);
    return !axes.empty();
}

int Parse(const std::vector<std::string>& args, Options& o) {
    auto value = [&](size_t& i, const char* what) -> const std::string* {
        if (i + 1 == args.size()) {
            Missing("check", what, args[i]);
            return nullptr;
        }
        return &args[++i];
    };
    std::string port;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--all") {
            o.all = true;
        } else if (a == "--traffic") {
            o.traffic = true;
        } else if (a == "--child") {
            o.child = true;
        } else if (a == "--rate" || a == "--baud") {
            const std::string* v = value(i, "RATE");
            if (!v) return 2;
            if (!Parse_Baud(*v, o.rate)) {
                return Usage_Error("check", "bad baud rate " + *v);
            }
        } else if (a == "--axes") {
            const std::string* v = value(i, "AXES");
            if (!v) return 2;
            if (!Parse_Axes(*v, o.axes)) {
                return Usage_Error("check",
                                   "bad axes " + *v + ": give axes 1 to 4 as 1-4, 2 or 1,3");
            }
        } else if (a == "--out") {
            const std::string* v = value(i, "FOLDER");
            if (!v) return 2;
            o.out = *v;
        } else if (a.rfind("--", 0) == 0) {
            return Unknown_Argument("check", a);
        } else if (port.empty()) {
            port = a;
        } else {
            return Usage_Error("check", "one port at most, not also " + a);
        }
    }
    if (!port.empty())
        if (int code = Take_Port("check", port, o.number)) return code;
    if (o.all && o.number != 0) return Usage_Error("check", "give either COM<n> or --all");
    return 0;
}

// What the progress line shows, and where it goes.
struct Progress {
    std::string port;
    std::string step;
    bool to_terminal = false;  // a line on standard error, redrawn in place
    bool to_parent = false;    // lines for --all on standard output
    std::chrono::steady_clock::time_point last{};
    bool shown = false;

    void Show(const std::string& text, bool force = false) {
        if (!to_terminal && !to_parent) return;
        auto now = std::chrono::steady_clock::now();
        if (!force && shown && now - last < std::chrono::milliseconds(100)) return;
        last = now;
        shown = true;
        if (to_parent) {
            std::printf("%c%s\n", Progress_Mark, text.c_str());
            std::fflush(stdout);
        } else {
            std::fprintf(stderr, "\r\033[K%s %s", port.c_str(), text.c_str());
            std::fflush(stderr);
        }
    }
    void Clear() {
        if (to_terminal && shown) std::fprintf(stderr, "\r\033[K");
        shown = false;
    }
};

Progress The_Progress;

// The library's progress of the running test; the communication test's last counts too.
struct Commo_Count {
    int64_t queries = 0;
    int64_t answered = 0;
};
Commo_Count The_Commo;

void On_Progress(const char* operation, const char* item, int64_t done, int64_t total, void*) {
    if (*item) {
        if (std::strcmp(operation, "Testing USB") == 0) The_Commo.queries = done + 1;
        The_Progress.Show(The_Progress.step + " " + std::to_string(done) + "/" +
                          std::to_string(total));
    } else if (std::strcmp(operation, "Testing USB") == 0) {
        The_Commo.answered = done;
    }
}

// Times a step and adds it to the unit.
class Step_Run {
  public:
    Step_Run(Unit& unit, const std::string& name) : unit_(unit), start_(Now()) {
        step_.name = name;
        The_Progress.step = name;
        The_Progress.Show(name, true);
    }
    ~Step_Run() {
        step_.duration_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Now() - start_).count();
        unit_.steps.push_back(step_);
    }
    Step_Run(const Step_Run&) = delete;
    Step_Run& operator=(const Step_Run&) = delete;

    void Pass() { step_.verdict = Verdict::Passed; }
    void Fail(const std::string& reason) {
        step_.verdict = Verdict::Failed;
        step_.reason = reason;
    }
    void Detail(const std::string& key, const std::string& value) {
        step_.details.push_back({key, value});
    }
    Step& Record() { return step_; }

  private:
    static std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
    Unit& unit_;
    std::chrono::steady_clock::time_point start_;
    Step step_;
};

void Skip(Unit& unit, const std::string& name, const std::string& why) {
    Step s;
    s.name = name;
    s.verdict = Verdict::Skipped;
    s.reason = why;
    unit.steps.push_back(s);
}

// True while the unit still answers the status query (after a step that lost its replies).
bool Still_Answers(int32_t* h) {
    return *KDX_Verify_Status(h) != 0;
}

std::string Memory_Step_Name(int axis) {
    return "memory axis " + std::to_string(axis);
}

// The memory test of one axis; false when the unit stopped answering in it.
bool Memory_Step(Unit& unit, int32_t* h, int axis) {
    Step_Run step(unit, Memory_Step_Name(axis));
    int32_t a = axis;
    std::string outcome = KDX_Tester_Commo_Fill_Memory(h, &a);
    bool passed = KDX_Tester_Passed() == 1;
    char sent[64] = "", listed[64] = "", missing[4096] = "";
    int32_t first = KDX_Tester_Memory_Difference(sent, sizeof sent, listed, sizeof listed, missing,
                                                 sizeof missing);
    if (passed) {
        step.Pass();
        return true;
    }
    step.Detail("outcome", Printable(outcome));
    if (first > 0) {
        step.Detail("first_difference_step", std::to_string(first));
        step.Detail("sent", sent);
        step.Detail("listed", listed);
        step.Fail("step " + std::to_string(first) + " sent " +
                  (*sent ? Printable(sent) : "nothing") + ", listed " +
                  (*listed ? Printable(listed) : "nothing"));
    } else {
        step.Fail(outcome.empty() ? "no outcome" : Printable(outcome, 120));
    }
    if (*missing) step.Detail("missing", missing);
    if (outcome.rfind("Listing incomplete", 0) == 0 && !Still_Answers(h)) {
        step.Record().reason += "; the unit stopped answering";
        return false;
    }
    return true;
}

// Runs every step on the open port; the unit's record.
void Run_Steps(Unit& unit, int32_t* h, const Options& o) {
    {
        Step_Run step(unit, "status");
        std::string reply = KDX_Verify_Status(h);
        std::string meaning = KDX_Status_Meaning(reply.c_str());
        step.Detail("reply", Printable(reply));
        if (reply.empty()) {
            step.Fail("no answer to the status query");
        } else {
            unit.answered = true;
            step.Detail("meaning", meaning);
            if (meaning != reply)
                step.Pass();
            else
                step.Fail("the reply " + Printable(reply, 40) + " is no status letter");
        }
    }
    if (!unit.answered) {
        for (const char* name : {"info", "commo"})
            Skip(unit, name, "not run: no controller answered");
        return;
    }
    bool found_known = false;
    std::vector<int> found;
    {
        Step_Run step(unit, "info");
        Device_Info info = Read_Device_Info(h);
        const char* keys[] = {"serial", "order", "firmware", "revision", "axes_set", "axes_found"};
        // The fields themselves are the unit's identity in the record.
        for (size_t i = 0; i < info.fields.size(); ++i)
            unit.identity.push_back({keys[i], info.fields[i].second});
        for (const auto& [n, id] : info.axes) unit.axis_ids.push_back({n, id});
        std::vector<std::string> bad = Bad_Fields(info);
        bool silent = true;
        for (const auto& field : info.fields) silent = silent && field.second.empty();
        if (bad.empty()) {
            step.Pass();
        } else {
            std::string names;
            for (const auto& b : bad) names += (names.empty() ? "" : ", ") + b;
            step.Fail((silent ? "no answer: " : "no answer or a garbled answer for: ") + names);
        }
        if (silent && !Still_Answers(h)) {
            step.Record().reason = "the unit stopped answering";
            Skip(unit, "commo", "not run: the unit stopped answering in info");
            return;
        }
        const std::string& detected = info.Field_Value("Detected");
        found_known = std::find(bad.begin(), bad.end(), "Detected") == bad.end();
        found = Axes_Named(detected);
    }
    {
        Step_Run step(unit, "commo");
        The_Commo = {};
        KDX_Tester_USB_Commo(h);
        bool passed = KDX_Tester_Passed() == 1;
        int64_t queries = The_Commo.queries, answered = The_Commo.answered;
        step.Detail("queries", std::to_string(queries));
        step.Detail("answered", std::to_string(answered));
        if (passed) {
            step.Pass();
        } else if (queries < 1000) {
            step.Fail("aborted at query " + std::to_string(queries) + ": no reply; " +
                      std::to_string(answered) + " of 1000 answered");
            if (!Still_Answers(h)) {
                step.Record().reason += "; the unit stopped answering";
                std::vector<int> axes = o.axes.empty() ? found : o.axes;
                for (int a : axes)
                    Skip(unit, Memory_Step_Name(a), "not run: the unit stopped answering in commo");
                return;
            }
        } else {
            step.Fail(std::to_string(queries - answered) +
                      " of 1000 replies were no status letter");
        }
    }
    std::vector<int> axes = o.axes;
    if (axes.empty()) {
        if (!found_known) {
            Skip(unit, "memory", "not run: the axes found are unknown (use --axes)");
            return;
        }
        axes = found;
        if (axes.empty()) {
            Skip(unit, "memory", "not run: the controller found no axis");
            return;
        }
    }
    for (size_t i = 0; i < axes.size(); ++i) {
        if (Memory_Step(unit, h, axes[i])) continue;
        for (size_t k = i + 1; k < axes.size(); ++k)
            Skip(unit, Memory_Step_Name(axes[k]),
                 "not run: the unit stopped answering in " + Memory_Step_Name(axes[i]));
        return;
    }
}

// The ports of the machine, as COM numbers.
std::vector<int32_t> Machine_Ports() {
    std::vector<const char*> names(1000);
    int32_t count = Serial_Terminal_Port_Enum(names.data(), int32_t(names.size()));
    std::vector<int32_t> ports;
    for (int32_t i = 0; i < count && i < int32_t(names.size()); ++i) {
        int32_t n = 0;
        if (Parse_Com(names[i], n)) ports.push_back(n);
    }
    return ports;
}

// The first listed port whose controller answers the status query at rate; 0 when none.
int32_t Locate(int32_t rate, int32_t& scanned) {
    for (int32_t n : Machine_Ports()) {
        ++scanned;
        int32_t number = n, baud = rate;
        int32_t h = Serial_Port_Open(&number, &baud);
        if (h == 0 || h == -1) continue;
        std::string reply = KDX_Verify_Status(&h);
        Serial_Port_Close(&h);
        std::string meaning = KDX_Status_Meaning(reply.c_str());
        if (!reply.empty() && meaning != reply) return n;
    }
    return 0;
}

std::string Records_Folder(const Options& o) {
    return o.out.empty() ? std::string(Ini_Get_Leading_Path()) : o.out;
}

// Tests the unit on one port (or the one located); its exit status.
int Check_Unit(const Options& o) {
    Unit unit;
    unit.rate = o.rate;
    std::time_t now = std::time(nullptr);
    unit.started = Local_Time_Iso(now);
    int32_t number = o.number, scanned = 0;
    if (number == 0) {
        number = Locate(o.rate, scanned);
        if (number == 0) {
            std::printf("No controller answered on %d port%s at %d baud\n", int(scanned),
                        scanned == 1 ? "" : "s", int(o.rate));
            return Exit_No_Controller;
        }
    }
    unit.port = "COM" + std::to_string(number);
    The_Progress.port = unit.port;
    The_Progress.to_parent = o.child;
    The_Progress.to_terminal = !o.child && isatty(STDERR_FILENO) == 1;
    KDX_Set_Progress_Callback(On_Progress, nullptr);
    {
        Port_Args pa;
        pa.number = number;
        pa.baud = o.rate;
        pa.quiet = !o.traffic;
        std::optional<Open_Port> port;
        {
            Step_Run step(unit, "port");
            step.Detail("rate", std::to_string(o.rate));
            if (scanned > 0)
                step.Detail("located",
                            "answered first of " + std::to_string(scanned) + " ports scanned");
            port.emplace("check", pa);
            if (port->Ok())
                step.Pass();
            else
                step.Fail("cannot open " + unit.port + ": " + Open_Failure_Cause());
        }
        if (port->Ok()) Run_Steps(unit, port->Handle(), o);
    }
    KDX_Set_Progress_Callback(nullptr, nullptr);
    The_Progress.Clear();
    const bool opened = unit.steps.front().verdict == Verdict::Passed;
    // Run by --all, a port without a controller is no unit: nothing to record.
    if (o.child && !unit.answered) {
        std::printf("%s: %s\n", unit.port.c_str(),
                    opened ? "no controller answered" : unit.steps.front().reason.c_str());
        return Exit_No_Controller;
    }
    std::printf("%s\n", unit.Verdict_Line().c_str());
    std::string error;
    std::vector<std::string> paths =
        check::Write_Records(unit, Records_Folder(o), KDX_VERSION_TEXT, error);
    if (!o.child)
        for (const auto& p : paths) std::printf("  record: %s\n", p.c_str());
    if (!error.empty()) std::fprintf(stderr, "kdx-cli check: %s\n", error.c_str());
    if (!opened) return 1;
    if (!unit.answered) return Exit_No_Controller;
    return unit.Passed() && error.empty() ? 0 : 1;
}

// One child of --all: its port, process and output so far.
struct Child {
    int32_t number = 0;
    sys::Child_Process process;
    std::string pending;  // bytes after the last line break
    std::string progress = "starting";
    std::string result;
    int code = -1;
};

bool Spawn(Child& c, const std::string& self, const Options& o) {
    std::vector<std::string> args = {self,      "check",          "COM" + std::to_string(c.number),
                                     "--child", "--rate",         std::to_string(o.rate),
                                     "--out",   Records_Folder(o)};
    if (!o.axes.empty()) {
        std::string list;
        for (int a : o.axes) list += (list.empty() ? "" : ",") + std::to_string(a);
        args.insert(args.end(), {"--axes", list});
    }
    return sys::Spawn(args, c.process);
}

void Take_Output(Child& c, const char* data, size_t size) {
    c.pending.append(data, size);
    size_t end;
    while ((end = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!line.empty() && line[0] == Progress_Mark)
            c.progress = line.substr(1);
        else
            c.result += line + "\n";
    }
}

void Draw(const std::vector<Child>& children, bool again) {
    if (again) std::fprintf(stderr, "\033[%zuA", children.size());
    for (const Child& c : children) {
        std::string text = c.code < 0                     ? c.progress
                           : c.code == 0                  ? "PASSED"
                           : c.code == Exit_No_Controller ? "no controller"
                                                          : "FAILED";
        std::fprintf(stderr, "\r\033[KCOM%d: %s\n", int(c.number), text.c_str());
    }
    std::fflush(stderr);
}

int Check_All(const Options& o) {
    std::vector<Child> children;
    for (int32_t n : Machine_Ports()) {
        children.emplace_back();
        children.back().number = n;
    }
    if (children.empty()) {
        std::printf("No controller answered: this machine lists no ports\n");
        return Exit_No_Controller;
    }
    const std::string self = sys::Self_Path();
    for (Child& c : children)
        if (!Spawn(c, self, o)) {
            c.result = "COM" + std::to_string(c.number) + ": could not start its check\n";
            c.code = 1;
        }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal) Draw(children, false);
    auto last_draw = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<int> fds;
        for (const Child& c : children) fds.push_back(c.process.fd);
        int ready = sys::Wait_Readable(fds);
        if (ready < 0) break;
        Child& c = children[size_t(ready)];
        char buf[4096];
        ssize_t n = ::read(c.process.fd, buf, sizeof buf);
        if (n > 0) {
            Take_Output(c, buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(c.process.fd);
            c.process.fd = -1;
            c.code = sys::Exit_Code(c.process);
            if (!c.pending.empty()) c.result += c.pending + "\n";
        }
        auto now = std::chrono::steady_clock::now();
        if (terminal && now - last_draw > std::chrono::milliseconds(100)) {
            Draw(children, true);
            last_draw = now;
        }
    }
    if (terminal) Draw(children, true);
    int units = 0, passed = 0, failed = 0;
    for (const Child& c : children) {
        std::fputs(c.result.c_str(), stdout);
        if (c.code == Exit_No_Controller) continue;
        ++units;
        (c.code == 0 ? passed : failed) += 1;
    }
    if (units == 0) {
        std::printf("No controller answered on %zu port%s at %d baud\n", children.size(),
                    children.size() == 1 ? "" : "s", int(o.rate));
        return Exit_No_Controller;
    }
    std::printf("%d unit%s checked: %d passed, %d failed; records in %s\n", units,
                units == 1 ? "" : "s", passed, failed, Records_Folder(o).c_str());
    return failed ? 1 : 0;
}

int Run(const std::vector<std::string>& args) {
    Options o;
    if (int code = Parse(args, o)) return code;
    return o.all ? Check_All(o) : Check_Unit(o);
}

const Subcommand_Registration Registration({"check", "test a unit (or --all) and write its records",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
