// kdx-cli check: one command tests a unit (status, device information, communication test,
// memory test of its axes) and leaves a record of it for a production line.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kdx::cli::check {

enum class Verdict { Passed, Failed, Skipped };

struct Step {
    std::string name;  // "port", "status", "info", "commo", "memory axis 3"
    Verdict verdict = Verdict::Skipped;
    int64_t duration_ms = 0;
    std::string reason;                                        // one line; "" when passed
    std::vector<std::pair<std::string, std::string>> details;  // shown and recorded as they are
};

struct Unit {
    std::string port;  // "COM7"
    int32_t rate = 57600;
    std::string started;  // local time, ISO 8601 with its offset
    int64_t started_epoch_ms = 0;
    std::vector<std::pair<std::string, std::string>> identity;  // "serial", "order", ...
    std::vector<std::pair<int, std::string>> axis_ids;
    std::vector<Step> steps;
    bool answered = false;  // a controller answered the status query

    std::string Identity(const std::string& key) const;
    bool Passed() const;
    // The first failed step, nullptr when none failed.
    const Step* Failing() const;
    // The line a person reads at a glance: "PASSED COM7 1234-56 ..." or
    // "FAILED COM7 1234-56: memory axis 3: step 6 sent ..., listed ...".
    std::string Verdict_Line() const;
};

const char* Verdict_Name(Verdict v);  // "passed", "failed", "skipped"

// The records of one unit, as texts.
std::string Json_Record(const Unit& unit, const std::string& version);
std::string Junit_Record(const Unit& unit);
std::string Html_Record(const Unit& unit, const std::string& version);
std::string Csv_Header();
std::string Csv_Line(const Unit& unit);

// The base name of a unit's records: "kdx-check_<serial>_<YYYYMMDD-HHMMSS>_<port>", the
// serial made safe for a file name ("unknown" without one).
std::string Record_Base_Name(const Unit& unit);

// Writes the unit's JSON, JUnit XML and HTML records into folder (each created anew, never
// through a link; a name taken gets "-2", "-3", ...) and appends its line to the folder's
// CSV history under a lock, so concurrent checks neither lose nor interleave lines. Returns
// the paths written; on a failure, error says what and where (the other records are still
// written).
std::vector<std::string> Write_Records(const Unit& unit, const std::string& folder,
                                       const std::string& version, std::string& error);

// The name of the history file in the records folder.
constexpr const char* History_Name = "kdx-check-history.csv";

}  // namespace kdx::cli::check
