// The records of kdx-cli check: JSON (its schema is data/kdx-check.schema.json), JUnit XML,
// a printable HTML page and a line of the CSV history.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/check.h"
#include "cli/system.h"
#include "cli/text_forms.h"

namespace kdx::cli::check {

namespace {

// Markup text: the special characters as entities, control bytes as "<XX>" so a page never
// holds a byte an XML reader refuses.
std::string Markup(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "&lt;%02X&gt;", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out;
}

// A CSV field: quoted when it holds a separator, a quote or a line break; control bytes
// become blanks so a line of the history is always one line.
std::string Csv_Field(const std::string& text) {
    std::string clean;
    bool quote = false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) c = ' ';
        if (c == ',' || c == '"') quote = true;
        if (c == '"') clean += '"';
        clean += char(c);
    }
    return quote ? "\"" + clean + "\"" : clean;
}

std::string Seconds(int64_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", double(ms) / 1000.0);
    return buf;
}

// The compact form of the start time for file names: 20261207-201501.
std::string Name_Time(const std::string& iso) {
    std::string out;
    for (char c : iso.substr(0, 19)) {
        if (c == 'T')
            out += '-';
        else if (c >= '0' && c <= '9')
            out += c;
    }
    return out;
}

int Count(const Unit& unit, Verdict v) {
    int n = 0;
    for (const Step& s : unit.steps) n += s.verdict == v;
    return n;
}

int64_t Total_Ms(const Unit& unit) {
    int64_t ms = 0;
    for (const Step& s : unit.steps) ms += s.duration_ms;
    return ms;
}

}  // namespace

const char* Verdict_Name(Verdict v) {
    switch (v) {
        case Verdict::Passed:
            return "passed";
        case Verdict::Failed:
            return "failed";
        default:
            return "skipped";
    }
}

std::string Unit::Identity(const std::string& key) const {
    for (const auto& [k, v] : identity)
        if (k == key) return v;
    return "";
}

const Step* Unit::Failing() const {
    for (const Step& s : steps)
        if (s.verdict == Verdict::Failed) return &s;
    return nullptr;
}

bool Unit::Passed() const {
    return !steps.empty() && !Failing() && Count(*this, Verdict::Passed) > 0;
}

std::string Unit::Verdict_Line() const {
    std::string who = port;
    std::string serial = Identity("serial");
    if (!serial.empty()) who += " serial " + serial;
    if (Passed()) return "PASSED " + who + " (" + std::to_string(steps.size()) + " steps)";
    const Step* f = Failing();
    if (!f) return "FAILED " + who + ": no step ran";
    return "FAILED " + who + ": " + f->name + ": " + f->reason;
}

std::string Json_Record(const Unit& unit, const std::string& version) {
    std::string j = "{\n";
    j += "  \"schema\": \"kdx-check/1\",\n";
    j += "  \"program\": " + Json_String("kdx-cli " + version) + ",\n";
    j += "  \"port\": " + Json_String(unit.port) + ",\n";
    j += "  \"rate\": " + std::to_string(unit.rate) + ",\n";
    j += "  \"started\": " + Json_String(unit.started) + ",\n";
    j += "  \"duration_ms\": " + std::to_string(Total_Ms(unit)) + ",\n";
    j += std::string("  \"verdict\": \"") + (unit.Passed() ? "passed" : "failed") + "\",\n";
    const Step* f = unit.Failing();
    j += "  \"failing_step\": " + (f ? Json_String(f->name) : std::string("null")) + ",\n";
    j += "  \"reason\": " + (f ? Json_String(f->reason) : std::string("null")) + ",\n";
    j += "  \"identity\": {";
    for (size_t i = 0; i < unit.identity.size(); ++i)
        j += std::string(i ? "," : "") + "\n    " + Json_String(unit.identity[i].first) + ": " +
             Json_String(unit.identity[i].second);
    j += unit.identity.empty() ? "},\n" : "\n  },\n";
    j += "  \"axis_ids\": [";
    for (size_t i = 0; i < unit.axis_ids.size(); ++i)
        j += std::string(i ? "," : "") +
             "\n    {\"axis\": " + std::to_string(unit.axis_ids[i].first) +
             ", \"id\": " + Json_String(unit.axis_ids[i].second) + "}";
    j += unit.axis_ids.empty() ? "],\n" : "\n  ],\n";
    j += "  \"steps\": [";
    for (size_t i = 0; i < unit.steps.size(); ++i) {
        const Step& s = unit.steps[i];
        j += std::string(i ? "," : "") + "\n    {\n";
        j += "      \"name\": " + Json_String(s.name) + ",\n";
        j += std::string("      \"verdict\": \"") + Verdict_Name(s.verdict) + "\",\n";
        j += "      \"duration_ms\": " + std::to_string(s.duration_ms) + ",\n";
        j += "      \"reason\": " + Json_String(s.reason) + ",\n";
        j += "      \"details\": {";
        for (size_t d = 0; d < s.details.size(); ++d)
            j += std::string(d ? "," : "") + "\n        " + Json_String(s.details[d].first) + ": " +
                 Json_String(s.details[d].second);
        j += s.details.empty() ? "}\n" : "\n      }\n";
        j += "    }";
    }
    j += unit.steps.empty() ? "]\n" : "\n  ]\n";
    return j + "}\n";
}

std::string Junit_Record(const Unit& unit) {
    std::string suite = "kdx-check " + unit.port;
    std::string serial = unit.Identity("serial");
    if (!serial.empty()) suite += " " + serial;
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<testsuites name=\"kdx-check\" tests=\"" + std::to_string(unit.steps.size()) +
         "\" failures=\"" + std::to_string(Count(unit, Verdict::Failed)) + "\" time=\"" +
         Seconds(Total_Ms(unit)) + "\">\n";
    x += "  <testsuite name=\"" + Markup(suite) + "\" tests=\"" +
         std::to_string(unit.steps.size()) + "\" failures=\"" +
         std::to_string(Count(unit, Verdict::Failed)) + "\" errors=\"0\" skipped=\"" +
         std::to_string(Count(unit, Verdict::Skipped)) + "\" time=\"" + Seconds(Total_Ms(unit)) +
         "\" timestamp=\"" + Markup(unit.started.substr(0, 19)) + "\">\n";
    x += "    <properties>\n";
    x += "      <property name=\"port\" value=\"" + Markup(unit.port) + "\"/>\n";
    x += "      <property name=\"rate\" value=\"" + std::to_string(unit.rate) + "\"/>\n";
    for (const auto& [k, v] : unit.identity)
        x += "      <property name=\"" + Markup(k) + "\" value=\"" + Markup(v) + "\"/>\n";
    x += "    </properties>\n";
    for (const Step& s : unit.steps) {
        x += "    <testcase name=\"" + Markup(s.name) + "\" classname=\"kdx.check\" time=\"" +
             Seconds(s.duration_ms) + "\"";
        if (s.verdict == Verdict::Passed) {
            x += "/>\n";
            continue;
        }
        x += ">\n";
        if (s.verdict == Verdict::Failed)
            x += "      <failure message=\"" + Markup(s.reason) + "\"/>\n";
        else
            x += "      <skipped message=\"" + Markup(s.reason) + "\"/>\n";
        x += "    </testcase>\n";
    }
    x += "  </testsuite>\n</testsuites>\n";
    return x;
}

std::string Html_Record(const Unit& unit, const std::string& version) {
    const bool passed = unit.Passed();
    std::string serial = unit.Identity("serial");
    std::string h =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>KDX check " +
        Markup(unit.port) + (serial.empty() ? "" : " " + Markup(serial)) + " " +
        Markup(unit.started.substr(0, 19)) + "</title>\n";
    // Colours with at least 4.5:1 contrast on white, and the verdict also in words, so the
    // page reads the same printed in black and white.
    h += "<style>\nbody{font-family:sans-serif;margin:2em;color:#111}\n"
         "table{border-collapse:collapse;margin:1em 0}\n"
         "th,td{border:1px solid #999;padding:.3em .6em;text-align:left;vertical-align:top}\n"
         ".passed{color:#fff;background:#1b5e20}.failed{color:#fff;background:#b71c1c}\n"
         ".skipped{color:#111;background:#e0e0e0}\n"
         "h1 span{padding:.1em .4em;border-radius:.2em}\n"
         "code{font-family:monospace;word-break:break-all}\n"
         "</style>\n</head>\n<body>\n";
    h += std::string("<h1>KDX unit check: <span class=\"") + (passed ? "passed" : "failed") +
         "\">" + (passed ? "PASSED" : "FAILED") + "</span></h1>\n";
    h += "<p>" + Markup(unit.Verdict_Line()) + "</p>\n";
    h += "<h2>Unit</h2>\n<table>\n";
    h += "<tr><th>Port</th><td>" + Markup(unit.port) + " at " + std::to_string(unit.rate) +
         " baud</td></tr>\n";
    h += "<tr><th>Tested</th><td>" + Markup(unit.started) + "</td></tr>\n";
    const std::pair<const char*, const char*> labels[] = {
        {"serial", "Serial number"}, {"order", "Order number"}, {"firmware", "Firmware"},
        {"revision", "Revision"},    {"axes_set", "Axes set"},  {"axes_found", "Axes found"}};
    for (const auto& [k, v] : unit.identity) {
        std::string label = k;
        for (const auto& [key, text] : labels)
            if (k == key) label = text;
        h += "<tr><th>" + Markup(label) + "</th><td><code>" + Markup(v) + "</code></td></tr>\n";
    }
    for (const auto& [n, id] : unit.axis_ids)
        h += "<tr><th>Axis " + std::to_string(n) + " id</th><td><code>" + Markup(id) +
             "</code></td></tr>\n";
    h += "</table>\n<h2>Steps</h2>\n<table>\n";
    h += "<tr><th>Step</th><th>Verdict</th><th>Time</th><th>Reason and details</th></tr>\n";
    for (const Step& s : unit.steps) {
        std::string v = Verdict_Name(s.verdict);
        std::string upper;
        for (char c : v) upper += char(c - 'a' + 'A');
        h += "<tr><td>" + Markup(s.name) + "</td><td class=\"" + v + "\">" + upper + "</td><td>" +
             Seconds(s.duration_ms) + " s</td><td>" + Markup(s.reason);
        bool first = s.reason.empty();
        for (const auto& [k, d] : s.details) {
            h += (first ? "" : "<br>") + Markup(k) + ": <code>" + Markup(d) + "</code>";
            first = false;
        }
        h += "</td></tr>\n";
    }
    h += "</table>\n<p><small>kdx-cli " + Markup(version) + "</small></p>\n</body>\n</html>\n";
    return h;
}

std::string Csv_Header() {
    return "time,port,serial,order,firmware,revision,verdict,failing_step,reason\n";
}

std::string Csv_Line(const Unit& unit) {
    const Step* f = unit.Failing();
    std::string line =
        Csv_Field(unit.started) + "," + Csv_Field(unit.port) + "," +
        Csv_Field(unit.Identity("serial")) + "," + Csv_Field(unit.Identity("order")) + "," +
        Csv_Field(unit.Identity("firmware")) + "," + Csv_Field(unit.Identity("revision")) + "," +
        (unit.Passed() ? "PASSED" : "FAILED") + "," + Csv_Field(f ? f->name : "") + "," +
        Csv_Field(f ? f->reason : "");
    return line + "\n";
}

std::string Record_Base_Name(const Unit& unit) {
    std::string serial;
    for (unsigned char c : unit.Identity("serial"))
        serial += std::isalnum(c) || c == '-' ? char(c) : '_';
    if (serial.empty()) serial = "unknown";
    return "kdx-check_" + serial + "_" + Name_Time(unit.started) + "_" + unit.port;
}

namespace {

std::string Reason(int error) {
    if (error == ENOSPC) return "disk full";
    if (error == ELOOP) return "a link is at that name";
    return std::strerror(error);
}

// Creates path anew (never through a link, never over another file) and writes text whole;
// a file not written whole is removed. The errno, 0 on success.
int Create_Whole(const std::string& path, const std::string& text) {
    int fd = sys::Create_New(path);
    if (fd < 0) return errno;
    int error = sys::Write_All(fd, text);
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) ::unlink(path.c_str());
    return error;
}

// Appends line to the history under an exclusive lock, with the header first in a new file.
int Append_History(const std::string& path, const std::string& line) {
    std::string problem;
    int fd = sys::Open_Append(path, problem);
    if (fd < 0) return problem == "not a regular file" ? EINVAL : errno ? errno : EINVAL;
    int error = sys::Lock_Exclusive(fd);
    if (error == 0 && sys::Size_Of(fd) == 0) error = sys::Write_All(fd, Csv_Header());
    if (error == 0) error = sys::Write_All(fd, line);
    ::close(fd);
    return error;
}

}  // namespace

std::vector<std::string> Write_Records(const Unit& unit, const std::string& folder,
                                       const std::string& version, std::string& error) {
    std::vector<std::string> written;
    std::string dir = folder.empty() ? "." : folder;
    if (dir.back() != '/' && dir.back() != sys::Path_Separator()) dir += sys::Path_Separator();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        error = "cannot write the records into " + dir + ": " + Reason(errno);
        return written;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "cannot write the records into " + dir + ": not a folder";
        return written;
    }
    const std::string base = dir + Record_Base_Name(unit);
    const std::pair<const char*, std::string> records[] = {{".json", Json_Record(unit, version)},
                                                           {".junit.xml", Junit_Record(unit)},
                                                           {".html", Html_Record(unit, version)}};
    for (const auto& [extension, text] : records) {
        int e = EEXIST;
        std::string path;
        for (int n = 1; e == EEXIST && n < 100; ++n) {
            path = base + (n == 1 ? "" : "-" + std::to_string(n)) + extension;
            e = Create_Whole(path, text);
        }
        if (e == 0)
            written.push_back(path);
        else if (error.empty())
            error = "cannot write " + path + ": " + Reason(e);
    }
    std::string history = dir + History_Name;
    if (int e = Append_History(history, Csv_Line(unit)); e != 0) {
        if (error.empty())
            error = "cannot add to " + history + ": " +
                    (e == EINVAL ? std::string("not a regular file") : Reason(e));
    } else {
        written.push_back(history);
    }
    return written;
}

}  // namespace kdx::cli::check
