// kdx-cli check: one command tests a unit (status, device information, communication test,
// memory test of its axes) and leaves a record of it for a production line.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kdx::cli::check {

enum class Verdict { Passed, Failed, Skipped };

// One fact a step recorded; numbers stay numbers in the JSON record.
struct Detail {
    std::string key;
    std::string value;
    bool number = false;
};

struct Step {
    std::string name;  // "port", "status", "info", "commo", "memory axis 3"
    Verdict verdict = Verdict::Skipped;
    int64_t duration_ms = 0;
    std::string reason;           // one line; "" when passed
    std::vector<Detail> details;  // recorded as they are, shown escaped
};

struct Unit {
    std::string port;  // "COM7"
    int32_t rate = 57600;
    std::string started;  // local time, ISO 8601 with its offset
    std::vector<std::pair<std::string, std::string>> identity;  // "serial", "order", ...
    std::vector<std::pair<int, std::string>> axis_ids;
    std::vector<Step> steps;  // in the order they ran
    bool answered = false;    // a controller answered the status query
    // Who tested it where: "operator", "station", "fixture", "label" (each may be "").
    std::vector<std::pair<std::string, std::string>> station;
    std::string version;  // the program's version
    std::string commit;   // and the commit it was built from

    std::string Identity(const std::string& key) const;
    bool Passed() const;
    // "passed", "failed", or "no_controller" (the port opened, nothing answered).
    std::string Verdict_Word() const;
    // The first failed step, nullptr when none failed.
    const Step* Failing() const;
    // The line a person reads at a glance: "PASSED COM7 serial 1234-56 (8 steps)" or
    // "FAILED COM7 serial 1234-56: memory axis 3: step 6 sent ..., listed ...". What the
    // unit said is escaped and capped: the line is safe on any terminal.
    std::string Verdict_Line() const;
};

const char* Verdict_Name(Verdict v);  // "passed", "failed", "skipped"

// The records of one unit, as texts. The JSON record is one line when compact (for
// check --json), with paths and problem of its records written when given.
std::string Json_Record(const Unit& unit, bool compact = false,
                        const std::vector<std::string>* records = nullptr,
                        const std::string* records_error = nullptr);
std::string Junit_Record(const Unit& unit);
std::string Html_Record(const Unit& unit);
std::string Csv_Header();
// The unit's history line; with_station false gives the columns of a history begun by an
// earlier version (without station, version and commit).
std::string Csv_Line(const Unit& unit, bool with_station = true);
// A CSV field: quoted when needed; a value a spreadsheet would take as a formula (starting
// with =, +, -, @, tab or CR) gets a leading "'"; control bytes escaped as "<1B>".
std::string Csv_Field(const std::string& text);

// The base name of a unit's records: "kdx-check_<serial>_<YYYYMMDD-HHMMSS>_<port>", the
// serial made safe for a file name and capped at Name_Serial_Max ("unknown" without one).
std::string Record_Base_Name(const Unit& unit);
constexpr size_t Name_Serial_Max = 40;

// Writes the unit's JSON, JUnit XML and HTML records into folder (made with its parents
// when missing; each record created anew, never through a link; a name taken gets "-2",
// "-3", ...) and appends its line to the folder's CSV history under a lock, whole or not at
// all, so concurrent checks and a full disk neither lose, tear nor interleave lines. Returns
// the paths written; on a failure, error says what and where (the other records are still
// written).
std::vector<std::string> Write_Records(const Unit& unit, const std::string& folder,
                                       std::string& error);

// The name of the history file in the records folder.
constexpr const char* History_Name = "kdx-check-history.csv";

}  // namespace kdx::cli::check
