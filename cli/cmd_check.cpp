// kdx-cli check: tests a unit in one command and leaves its records; --all tests every unit
// attached, one process per port.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
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
    "Usage: kdx-cli check [COM<n>...|--all] [--ports FILE] [--expect N] [--axes LIST]\n"
    "                     [--rate N] [--out DIR] [--json] [--traffic]\n"
    "                     [--operator NAME] [--station NAME] [--fixture NAME] [--label TEXT]\n"
    "\n"
    "Tests a unit in one command and leaves a record of it. In order: open the port (without\n"
    "COM<n>: the first listed port whose controller answers), the status query (asked again\n"
    "over about a second for a unit slow to answer), the device information (serial and\n"
    "order number, firmware version and revision, axes set and found, axis ids), the\n"
    "communication test (1000 status queries) and the memory test of every axis found. A\n"
    "step that fails is recorded and the check goes on with every step that still can; a\n"
    "unit that stops answering or hangs up ends it at once, and the record says in which\n"
    "step. Prints one verdict line: PASSED, or FAILED with the failing step and its reason;\n"
    "what the unit said is shown with every byte outside printable text as <1B>, and cut\n"
    "short past a few hundred characters.\n"
    "\n"
    "Options:\n"
    "  COM<n>...   the port or ports to test (see kdx-cli ports), or their device paths;\n"
    "              several are a batch, tested all at once\n"
    "  --all       test every port with a controller, all at once, and list each unit\n"
    "  --ports FILE  the ports of the batch from FILE: one a line, # starts a comment\n"
    "  --expect N  the batch must have N units answering; fewer fail it\n"
    "  --axes LIST the axes to memory-test instead of those found: 1-4, 2, 1,3\n"
    "  --rate N    baud rate (default 57600)\n"
    "  --out DIR   the folder for the records, made with its parents when missing (default:\n"
    "              the program's data folder, where its settings page is)\n"
    "  --json      each unit's record on standard output as one line of JSON; the verdict\n"
    "              lines go to standard error\n"
    "  --traffic   show the traffic (sent cyan, status green, received yellow)\n"
    "  --operator NAME, --station NAME, --fixture NAME, --label TEXT\n"
    "              who tests where, kept in every record and the history (default: the\n"
    "              environment's KDX_OPERATOR, KDX_STATION, KDX_FIXTURE, KDX_LABEL)\n"
    "\n"
    "Records, for every unit tested, named kdx-check_<serial>_<date-time>_<port> (the serial\n"
    "cut to 40 characters, anything but letters, digits and - made _): a JSON document\n"
    "(.json; its schema is kdx-check.schema.json, installed in share/kdx; its verdict is\n"
    "passed, failed or no_controller), a JUnit XML file (.junit.xml, one test case per step,\n"
    "classname kdx.check.<serial or port>) and a printable HTML page (.html). Each unit also\n"
    "adds a line to kdx-check-history.csv in the same folder (time, port, serial, order,\n"
    "firmware, revision, verdict, failing step, reason, operator, station, fixture, label,\n"
    "version, commit); checks running at the same time never lose or mix lines, and a line\n"
    "that cannot be written whole (a full disk) is not written at all. A value a spreadsheet\n"
    "would take as a formula (starting with =, +, -, @, a tab or CR) gets a leading ' there.\n"
    "A progress line per port shows each unit's step on standard error while it is a\n"
    "terminal.\n"
    "\n"
    "In a batch (--all, several ports, --ports or --expect), a port another program holds is\n"
    "a FAILED unit, named as held; so is a listed port that is silent or cannot be opened.\n"
    "\n"
    "Exit status: 0 every step passed (every unit of a batch) and every record was written,\n"
    "1 a unit failed a step, its port could not be opened or was held, its records could not\n"
    "be written, or a batch had fewer units than expected, 2 usage error, 3 ended with End in\n"
    "a trace pause, 4 no controller answered anywhere (the port given is silent, or no port\n"
    "has a controller, and none was held).\n";

constexpr int Exit_No_Controller = 4;
// Lines of a child of a batch that start with these bytes are its progress, its outcome and
// its JSON record; everything else it prints is its result.
constexpr char Progress_Mark = '\x1f';
constexpr char Outcome_Mark = '\x1e';
constexpr char Json_Mark = '\x1d';
constexpr int32_t Hung_Up_Error = 1167;

struct Options {
    std::vector<int32_t> ports;  // the ports given, in order
    std::string ports_file;
    int expect = -1;  // units the batch must have (-1: no number given)
    bool all = false;
    std::vector<int> axes;
    int32_t rate = 57600;
    std::string out;
    bool traffic = false;
    bool json = false;
    // operator, station, fixture, label
    std::vector<std::pair<std::string, std::string>> station;
    bool child = false;   // run by a batch: progress on standard output
    bool listed = false;  // a child whose port was asked for: recorded whatever happens

    bool Batch() const { return all || ports.size() > 1 || !ports_file.empty() || expect >= 0; }
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

// The ports of a --ports file: one a line, "#" starts a comment.
bool Read_Ports_File(const std::string& path, std::vector<std::string>& ports, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot read the ports file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        for (std::string word; words >> word;) ports.push_back(word);
    }
    return true;
}

int Parse(const std::vector<std::string>& args, Options& o) {
    auto value = [&](size_t& i, const char* what) -> const std::string* {
        if (i + 1 == args.size()) {
            Missing("check", what, args[i]);
            return nullptr;
        }
        return &args[++i];
    };
    const char* const station_keys[] = {"operator", "station", "fixture", "label"};
    for (const char* key : station_keys) {
        std::string name = "KDX_" + std::string(key);
        for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
        const char* env = std::getenv(name.c_str());
        o.station.push_back({key, env ? env : ""});
    }
    std::vector<std::string> ports;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool station_option = false;
        for (auto& [key, field] : o.station)
            if (a == "--" + key) {
                const std::string* v = value(i, "TEXT");
                if (!v) return 2;
                field = *v;
                station_option = true;
            }
        if (station_option) continue;
        if (a == "--all") {
            o.all = true;
        } else if (a == "--traffic") {
            o.traffic = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--child") {
            o.child = true;
        } else if (a == "--listed") {
            o.listed = true;
        } else if (a == "--rate" || a == "--baud") {
            const std::string* v = value(i, "RATE");
            if (!v) return 2;
            if (!Parse_Baud(*v, o.rate)) {
                return Usage_Error("check", "bad baud rate " + *v);
            }
        } else if (a == "--expect") {
            const std::string* v = value(i, "N");
            if (!v) return 2;
            long n = 0;
            if (!Parse_Number(*v, 1, 999, n))
                return Usage_Error("check",
                                   "bad number of units " + Printable(*v, 80) + ": give 1 to 999");
            o.expect = int(n);
        } else if (a == "--ports") {
            const std::string* v = value(i, "FILE");
            if (!v) return 2;
            o.ports_file = *v;
            if (int code = Check_Input_File("check", *v)) return code;
            std::string why;
            if (!Read_Ports_File(*v, ports, why)) {
                std::fprintf(stderr, "kdx-cli check: %s\n", why.c_str());
                return 1;
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
        } else {
            ports.push_back(a);
        }
    }
    for (const std::string& port : ports) {
        int32_t number = 0;
        if (int code = Take_Port("check", port, number)) return code;
        if (std::find(o.ports.begin(), o.ports.end(), number) != o.ports.end()) {
            return Usage_Error("check", "COM" + std::to_string(number) + " is listed twice");
        }
        o.ports.push_back(number);
    }
    if (o.all && !o.ports.empty()) {
        return Usage_Error("check", "give either COM<n> or --all");
    }
    if (!o.ports_file.empty() && o.ports.empty()) {
        return Usage_Error("check", "the ports file " + o.ports_file + " lists no port");
    }
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

// Times a step and keeps its place in the unit: the records list the steps in the order
// they ran, whatever a step skips while it runs.
class Step_Run {
  public:
    Step_Run(Unit& unit, const std::string& name)
        : unit_(unit), index_(unit.steps.size()), start_(Now()) {
        unit.steps.emplace_back();
        step_.name = name;
        The_Progress.step = name;
        The_Progress.Show(name, true);
    }
    ~Step_Run() {
        step_.duration_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Now() - start_).count();
        unit_.steps[index_] = step_;
    }
    Step_Run(const Step_Run&) = delete;
    Step_Run& operator=(const Step_Run&) = delete;

    void Pass() { step_.verdict = Verdict::Passed; }
    void Fail(const std::string& reason) {
        step_.verdict = Verdict::Failed;
        step_.reason = reason;
    }
    void Detail(const std::string& key, const std::string& value) {
        step_.details.push_back({key, value, false});
    }
    void Number(const std::string& key, int64_t value) {
        step_.details.push_back({key, std::to_string(value), true});
    }
    const std::string& Name() const { return step_.name; }
    Step& Record() { return step_; }

  private:
    static std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
    Unit& unit_;
    size_t index_;
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

// True when the last exchange found the port hung up (a unit unplugged).
bool Hung_Up() {
    return ErrCheck_Last_Error() == Hung_Up_Error;
}

// Fails the step when the port hung up in it: "COM14 hung up during info". True then.
bool Hang_Up_Ends(Unit& unit, Step_Run& step) {
    if (!Hung_Up()) return false;
    step.Fail(unit.port + " hung up during " + step.Name());
    return true;
}

std::string Memory_Step_Name(int axis) {
    return "memory axis " + std::to_string(axis);
}

// Skips the memory steps of axes (or the one "memory" step when none are known).
void Skip_Memory(Unit& unit, const std::vector<int>& axes, const std::string& why) {
    if (axes.empty()) Skip(unit, "memory", why);
    for (int a : axes) Skip(unit, Memory_Step_Name(a), why);
}

// The memory test of one axis; false when the unit stopped answering or hung up in it.
bool Memory_Step(Unit& unit, int32_t* h, int axis) {
    Step_Run step(unit, Memory_Step_Name(axis));
    int32_t a = axis;
    std::string outcome = KDX_Tester_Commo_Fill_Memory(h, &a);
    const bool hung_up = Hung_Up();
    bool passed = KDX_Tester_Passed() == 1;
    char sent[64] = "", listed[64] = "", missing[4096] = "";
    int32_t first = KDX_Tester_Memory_Difference(sent, sizeof sent, listed, sizeof listed, missing,
                                                 sizeof missing);
    if (passed && !hung_up) {
        step.Pass();
        return true;
    }
    step.Detail("outcome", outcome);
    if (hung_up) {
        step.Fail(unit.port + " hung up during " + step.Name());
        return false;
    }
    if (first > 0) {
        step.Number("first_difference_step", first);
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
        step.Record().reason +=
            Hung_Up() ? "; " + unit.port + " hung up" : "; the unit stopped answering";
        return false;
    }
    return true;
}

// The status query, asked again while nothing comes: a unit busy for a moment or slow to
// answer gets about a second. Each try waits for a late reply before asking again; after
// a second try, the answers to the earlier ones are let come and taken off the line (one
// letter for each try: the last one is the reply), so none lands in the next step's reply.
std::string Status_Reply(int32_t* h, int& tries, int64_t& waited_ms) {
    const auto start = std::chrono::steady_clock::now();
    constexpr int Tries = 4;
    constexpr uint32_t Late_Reply_Ms = 200;
    std::string reply;
    for (tries = 1;; ++tries) {
        reply = KDX_Verify_Status(h);
        if (!reply.empty() || Hung_Up()) break;
        if (Serial_Port_Wait_Input(*h, Late_Reply_Ms) == 1) {
            reply = Serial_Port_Read(h, nullptr);
            if (!reply.empty()) break;
        }
        if (Hung_Up() || tries == Tries) break;
    }
    if (tries > 1 && !reply.empty() && !Hung_Up()) {
        constexpr uint32_t Quiet_Ms = 300;
        while (Serial_Port_Wait_Input(*h, Quiet_Ms) == 1) reply += Serial_Port_Read(h, nullptr);
        bool letters = true;
        for (char c : reply) {
            const char one[2] = {c, 0};
            letters = letters && std::strcmp(KDX_Status_Meaning(one), one) != 0;
        }
        if (letters) reply = reply.substr(reply.size() - 1);
    }
    waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
    return reply;
}

// Runs every step on the open port; the unit's record.
void Run_Steps(Unit& unit, int32_t* h, const Options& o) {
    {
        Step_Run step(unit, "status");
        int tries = 0;
        int64_t waited = 0;
        std::string reply = Status_Reply(h, tries, waited);
        std::string meaning = KDX_Status_Meaning(reply.c_str());
        step.Detail("reply", reply);
        step.Number("tries", tries);
        step.Number("waited_ms", waited);
        if (Hang_Up_Ends(unit, step)) {
        } else if (reply.empty()) {
            step.Fail("no answer to the status query (" + std::to_string(tries) + " tries in " +
                      std::to_string(waited) + " ms)");
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
        const Step& status = unit.steps.back();
        std::string why = status.reason.find(" hung up during ") != std::string::npos
                              ? "not run: " + status.reason
                              : "not run: no controller answered";
        for (const char* name : {"info", "commo"}) Skip(unit, name, why);
        return;
    }
    bool found_known = false;
    std::vector<int> found;
    {
        Step_Run step(unit, "info");
        Device_Info info = Read_Device_Info(h, [] { return !Hung_Up(); });
        const char* keys[] = {"serial", "order", "firmware", "revision", "axes_set", "axes_found"};
        // The fields themselves are the unit's identity in the record.
        for (size_t i = 0; i < info.fields.size(); ++i)
            unit.identity.push_back({keys[i], info.fields[i].second});
        for (const auto& [n, id] : info.axes) unit.axis_ids.push_back({n, id});
        if (Hang_Up_Ends(unit, step)) {
            std::string why = "not run: " + step.Record().reason;
            Skip(unit, "commo", why);
            Skip_Memory(unit, o.axes, why);
            return;
        }
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
            if (!Hang_Up_Ends(unit, step)) step.Record().reason = "the unit stopped answering";
            std::string why = Hung_Up() ? "not run: " + step.Record().reason
                                        : "not run: the unit stopped answering in info";
            Skip(unit, "commo", why);
            Skip_Memory(unit, o.axes, why);
            return;
        }
        const std::string& detected = info.Field_Value("Detected");
        found_known = std::find(bad.begin(), bad.end(), "Detected") == bad.end();
        found = Axes_Named(detected);
    }
    const std::vector<int> axes_known = o.axes.empty() && found_known ? found : o.axes;
    {
        Step_Run step(unit, "commo");
        The_Commo = {};
        KDX_Tester_USB_Commo(h);
        const bool hung_up = Hung_Up();
        bool passed = KDX_Tester_Passed() == 1;
        int64_t queries = The_Commo.queries, answered = The_Commo.answered;
        step.Number("queries", queries);
        step.Number("answered", answered);
        if (hung_up) {
            Hang_Up_Ends(unit, step);
            Skip_Memory(unit, axes_known, "not run: " + step.Record().reason);
            return;
        }
        if (passed) {
            step.Pass();
        } else if (queries < 1000) {
            step.Fail("aborted at query " + std::to_string(queries) + ": no reply; " +
                      std::to_string(answered) + " of 1000 answered");
            if (!Still_Answers(h)) {
                step.Record().reason +=
                    Hung_Up() ? "; " + unit.port + " hung up" : "; the unit stopped answering";
                Skip_Memory(unit, axes_known,
                            Hung_Up() ? "not run: " + unit.port + " hung up during commo"
                                      : "not run: the unit stopped answering in commo");
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
        const Step& last = unit.steps.back();
        std::string why = last.reason.find(" hung up") != std::string::npos
                              ? "not run: " + unit.port + " hung up during " + last.name
                              : "not run: the unit stopped answering in " + last.name;
        for (size_t k = i + 1; k < axes.size(); ++k) Skip(unit, Memory_Step_Name(axes[k]), why);
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

// The line of a unit whose records could not all be written: it says so plainly.
std::string Line_With_Records(const Unit& unit, const std::string& error) {
    std::string line = unit.Verdict_Line();
    if (error.empty()) return line;
    if (unit.Passed())
        return "PASSED, but the records were NOT written: " + error + "; " +
               line.substr(std::strlen("PASSED "));
    return line + "; the records were NOT written: " + error;
}

// Tests the unit on one port (or the one located); its exit status.
int Check_Unit(const Options& o) {
    FILE* human = o.json ? stderr : stdout;
    Unit unit;
    unit.rate = o.rate;
    unit.station = o.station;
    unit.version = KDX_VERSION;
    unit.commit = KDX_COMMIT;
    unit.started = Local_Time_Iso(std::time(nullptr));
    int32_t number = o.ports.empty() ? 0 : o.ports.front(), scanned = 0;
    if (number == 0) {
        number = Locate(o.rate, scanned);
        if (number == 0) {
            std::fprintf(human, "No controller answered on %d port%s at %d baud\n", int(scanned),
                         scanned == 1 ? "" : "s", int(o.rate));
            return Exit_No_Controller;
        }
    }
    unit.port = "COM" + std::to_string(number);
    The_Progress.port = unit.port;
    The_Progress.to_parent = o.child;
    The_Progress.to_terminal = !o.child && isatty(STDERR_FILENO) == 1;
    KDX_Set_Progress_Callback(On_Progress, nullptr);
    bool held = false;
    {
        Port_Args pa;
        pa.number = number;
        pa.baud = o.rate;
        pa.quiet = !o.traffic;
        std::optional<Open_Port> port;
        {
            Step_Run step(unit, "port");
            step.Number("rate", o.rate);
            if (scanned > 0)
                step.Detail("located",
                            "answered first of " + std::to_string(scanned) + " ports scanned");
            port.emplace("check", pa);
            if (port->Ok()) {
                step.Pass();
            } else {
                held = Serial_Port_Open_Failure(nullptr) == KDX_OPEN_HELD;
                step.Fail("cannot open " + unit.port + ": " + Open_Failure_Cause());
            }
        }
        if (port->Ok()) Run_Steps(unit, port->Handle(), o);
    }
    KDX_Set_Progress_Callback(nullptr, nullptr);
    The_Progress.Clear();
    const bool opened = unit.steps.front().verdict == Verdict::Passed;
    auto outcome = [&](const char* verdict, bool recorded) {
        if (o.child) std::printf("%c%s %d\n", Outcome_Mark, verdict, recorded ? 1 : 0);
    };
    // In a batch over every port, a port without a controller is no unit: nothing to record.
    // One that another program holds may hide one: it fails the batch, with its record.
    if (o.child && !o.listed && !unit.answered && !held) {
        std::printf("%s: %s\n", unit.port.c_str(),
                    opened ? "no controller answered" : unit.steps.front().reason.c_str());
        outcome("absent", false);
        return Exit_No_Controller;
    }
    std::string error;
    std::vector<std::string> paths = check::Write_Records(unit, Records_Folder(o), error);
    std::fprintf(human, "%s\n", Line_With_Records(unit, error).c_str());
    if (!o.child)
        for (const auto& p : paths) std::fprintf(human, "  record: %s\n", p.c_str());
    if (o.json) {
        std::string record = check::Json_Record(unit, true, &paths, &error);
        if (o.child)
            std::printf("%c%s", Json_Mark, record.c_str());
        else
            std::fputs(record.c_str(), stdout);
    }
    const std::string verdict = held ? "held" : unit.Verdict_Word();
    outcome(verdict.c_str(), error.empty());
    std::fflush(stdout);
    if (!opened) return 1;
    if (!unit.answered) return Exit_No_Controller;
    return unit.Passed() && error.empty() ? 0 : 1;
}

// One child of a batch: its port, process and output so far.
struct Child {
    int32_t number = 0;
    sys::Child_Process process;
    std::string pending;  // bytes after the last line break
    std::string progress = "starting";
    std::string result;
    std::string json;
    std::string verdict;  // passed, failed, no_controller, held, absent
    bool recorded = false;
    int code = -1;
};

bool Spawn(Child& c, const std::string& self, const Options& o) {
    std::vector<std::string> args = {self,      "check",          "COM" + std::to_string(c.number),
                                     "--child", "--rate",         std::to_string(o.rate),
                                     "--out",   Records_Folder(o)};
    if (!o.all) args.push_back("--listed");
    if (o.json) args.push_back("--json");
    for (const auto& [key, value] : o.station) args.insert(args.end(), {"--" + key, value});
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
        if (!line.empty() && line[0] == Progress_Mark) {
            c.progress = line.substr(1);
        } else if (!line.empty() && line[0] == Outcome_Mark) {
            std::istringstream words(line.substr(1));
            int recorded = 0;
            words >> c.verdict >> recorded;
            c.recorded = recorded == 1;
        } else if (!line.empty() && line[0] == Json_Mark) {
            c.json += line.substr(1) + "\n";
        } else {
            c.result += line + "\n";
        }
    }
}

void Draw(const std::vector<Child>& children, bool again) {
    if (again) std::fprintf(stderr, "\033[%zuA", children.size());
    for (const Child& c : children) {
        std::string text = c.code < 0                     ? c.progress
                           : c.verdict == "passed"        ? "PASSED"
                           : c.verdict == "held"          ? "FAILED: held by another program"
                           : c.verdict == "absent"        ? "no controller"
                           : c.verdict == "no_controller" ? "FAILED: no controller answered"
                                                          : "FAILED";
        std::fprintf(stderr, "\r\033[KCOM%d: %s\n", int(c.number), text.c_str());
    }
    std::fflush(stderr);
}

int Check_Batch(const Options& o) {
    FILE* human = o.json ? stderr : stdout;
    std::vector<Child> children;
    for (int32_t n : o.all ? Machine_Ports() : o.ports) {
        children.emplace_back();
        children.back().number = n;
    }
    if (children.empty()) {
        std::fprintf(human, "No controller answered: this machine lists no ports\n");
        return Exit_No_Controller;
    }
    const std::string self = sys::Self_Path();
    for (Child& c : children)
        if (!Spawn(c, self, o)) {
            c.result = "FAILED COM" + std::to_string(c.number) + ": could not start its check\n";
            c.verdict = "failed";
            c.code = 1;
        }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal) Draw(children, false);
    auto last_draw = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<int> fds;
        for (const Child& c : children) fds.push_back(c.process.fd);
        // Redrawn at least every 100 ms: each unit's step shows while it runs.
        int ready = sys::Wait_Readable(fds, terminal ? 100 : -1);
        if (ready == -1) break;
        if (ready >= 0) {
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
                if (c.verdict.empty()) c.verdict = "failed";  // it ended without its outcome
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (terminal && (ready == -2 || now - last_draw >= std::chrono::milliseconds(100))) {
            Draw(children, true);
            last_draw = now;
        }
    }
    if (terminal) Draw(children, true);
    int units = 0, passed = 0, answered = 0, unrecorded = 0;
    std::string held;
    for (const Child& c : children) {
        std::fputs(c.result.c_str(), human);
        std::fputs(c.json.c_str(), stdout);
        if (c.verdict == "absent") continue;
        ++units;
        passed += c.verdict == "passed";
        answered += c.verdict == "passed" || c.verdict == "failed";
        unrecorded += !c.recorded;
        if (c.verdict == "held") held += " COM" + std::to_string(c.number);
    }
    if (answered == 0 && held.empty()) {
        std::fprintf(human, "No controller answered on %zu port%s at %d baud\n", children.size(),
                     children.size() == 1 ? "" : "s", int(o.rate));
        return Exit_No_Controller;
    }
    std::string summary = std::to_string(units) + " unit" + (units == 1 ? "" : "s") +
                          " checked: " + std::to_string(passed) + " passed, " +
                          std::to_string(units - passed) + " failed";
    if (!held.empty()) summary += "; held by another program:" + held;
    if (unrecorded == 0)
        summary += "; records in " + Records_Folder(o);
    else if (unrecorded == units)
        summary += "; the records were NOT written in " + Records_Folder(o);
    else
        summary += "; the records of " + std::to_string(unrecorded) + " unit" +
                   (unrecorded == 1 ? " were" : "s were") + " NOT written in " + Records_Folder(o);
    std::fprintf(human, "%s\n", summary.c_str());
    bool short_of_units = o.expect >= 0 && answered < o.expect;
    if (short_of_units)
        std::fprintf(human, "FAILED: %d unit%s expected, %d answered\n", o.expect,
                     o.expect == 1 ? "" : "s", answered);
    return passed == units && unrecorded == 0 && !short_of_units ? 0 : 1;
}

int Run(const std::vector<std::string>& args) {
    Options o;
    if (int code = Parse(args, o)) return code;
    return o.Batch() && !o.child ? Check_Batch(o) : Check_Unit(o);
}

const Subcommand_Registration Registration({"check", "test a unit (or --all) and write its records",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
