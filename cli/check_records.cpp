// The records of kdx-cli check: JSON (its schema is data/kdx-check.schema.json), JUnit XML,
// a printable HTML page and a line of the CSV history.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "cli/check.h"
#include "cli/protocol_port.h"
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

std::string Unit::Verdict_Word() const {
    if (Passed()) return "passed";
    return !answered && !steps.empty() && steps.front().verdict == Verdict::Passed ? "no_controller"
                                                                                   : "failed";
}

std::string Unit::Verdict_Line() const {
    std::string who = Printable(port, 64);
    std::string serial = Identity("serial");
    if (!serial.empty()) who += " serial " + Printable(serial, 64);
    if (Passed()) return "PASSED " + who + " (" + std::to_string(steps.size()) + " steps)";
    const Step* f = Failing();
    if (!f) return "FAILED " + who + ": no step ran";
    return "FAILED " + who + ": " + f->name + ": " + f->reason;
}

std::string Json_Record(const Unit& unit, bool compact, const std::vector<std::string>* records,
                        const std::string* records_error) {
    // Laid out for people in the file, one line for a stream of records.
    const std::string nl = compact ? "" : "\n";
    auto pad = [&](int depth) { return compact ? std::string() : std::string(size_t(depth), ' '); };
    const std::string colon = ": ";
    auto object = [&](const std::vector<std::pair<std::string, std::string>>& fields, int depth) {
        std::string o = "{";
        for (size_t i = 0; i < fields.size(); ++i)
            o += std::string(i ? "," : "") + nl + pad(depth + 2) + Json_String(fields[i].first) +
                 colon + Json_String(fields[i].second);
        return o + (fields.empty() ? "}" : nl + pad(depth) + "}");
    };
    std::string j = "{" + nl;
    auto field = [&](const char* name, const std::string& value, bool last = false) {
        j += pad(2) + Json_String(name) + colon + value + (last ? "" : ",") + nl;
    };
    const Step* f = unit.Failing();
    field("schema", "\"kdx-check/2\"");
    field("program", Json_String("kdx-cli " + unit.version + " (commit " + unit.commit + ")"));
    field("version", Json_String(unit.version));
    field("commit", Json_String(unit.commit));
    field("station", object(unit.station, 2));
    field("port", Json_String(unit.port));
    field("rate", std::to_string(unit.rate));
    field("started", Json_String(unit.started));
    field("duration_ms", std::to_string(Total_Ms(unit)));
    field("verdict", Json_String(unit.Verdict_Word()));
    field("failing_step", f ? Json_String(f->name) : "null");
    field("reason", f ? Json_String(f->reason) : "null");
    field("identity", object(unit.identity, 2));
    std::string ids = "[";
    for (size_t i = 0; i < unit.axis_ids.size(); ++i)
        ids += std::string(i ? "," : "") + nl + pad(4) +
               "{\"axis\": " + std::to_string(unit.axis_ids[i].first) +
               ", \"id\": " + Json_String(unit.axis_ids[i].second) + "}";
    field("axis_ids", ids + (unit.axis_ids.empty() ? "]" : nl + pad(2) + "]"));
    std::string steps = "[";
    for (size_t i = 0; i < unit.steps.size(); ++i) {
        const Step& s = unit.steps[i];
        steps += std::string(i ? "," : "") + nl + pad(4) + "{" + nl;
        steps += pad(6) + "\"name\": " + Json_String(s.name) + "," + nl;
        steps += pad(6) + "\"verdict\": \"" + Verdict_Name(s.verdict) + "\"," + nl;
        steps += pad(6) + "\"duration_ms\": " + std::to_string(s.duration_ms) + "," + nl;
        steps += pad(6) + "\"reason\": " + Json_String(s.reason) + "," + nl;
        steps += pad(6) + "\"details\": {";
        for (size_t d = 0; d < s.details.size(); ++d) {
            const Detail& detail = s.details[d];
            steps += std::string(d ? "," : "") + nl + pad(8) + Json_String(detail.key) + ": " +
                     (detail.number ? detail.value : Json_String(detail.value));
        }
        steps += (s.details.empty() ? "}" : nl + pad(6) + "}") + nl + pad(4) + "}";
    }
    const bool more = records || records_error;
    field("steps", steps + (unit.steps.empty() ? "]" : nl + pad(2) + "]"), !more);
    if (more) {
        std::string list = "[";
        for (size_t i = 0; records && i < records->size(); ++i)
            list += (i ? ", " : "") + Json_String((*records)[i]);
        field("records", list + "]");
        field("records_error",
              records_error && !records_error->empty() ? Json_String(*records_error) : "null",
              true);
    }
    return j + "}\n";
}

std::string Junit_Record(const Unit& unit) {
    std::string serial = unit.Identity("serial");
    std::string suite = "kdx-check " + unit.port;
    if (!serial.empty()) suite += " " + serial;
    // A dashboard groups test cases by class: one class per unit, by its serial when it
    // gave a clean one, else by its port.
    std::string name_part;
    for (unsigned char c : serial) name_part += std::isalnum(c) || c == '-' ? char(c) : '_';
    if (name_part.size() > Name_Serial_Max || name_part.find_first_not_of('_') == std::string::npos)
        name_part = unit.port;
    const std::string classname = "kdx.check." + name_part;
    const int failures = Count(unit, Verdict::Failed);
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<testsuites name=\"kdx-check\" tests=\"" + std::to_string(unit.steps.size()) +
         "\" failures=\"" + std::to_string(failures) + "\" time=\"" + Seconds(Total_Ms(unit)) +
         "\">\n";
    x += "  <testsuite name=\"" + Markup(suite) + "\" tests=\"" +
         std::to_string(unit.steps.size()) + "\" failures=\"" + std::to_string(failures) +
         "\" errors=\"0\" skipped=\"" + std::to_string(Count(unit, Verdict::Skipped)) +
         "\" time=\"" + Seconds(Total_Ms(unit)) + "\" timestamp=\"" + Markup(unit.started) +
         "\">\n";
    x += "    <properties>\n";
    auto property = [&](const std::string& k, const std::string& v) {
        x += "      <property name=\"" + Markup(k) + "\" value=\"" + Markup(v) + "\"/>\n";
    };
    property("port", unit.port);
    property("rate", std::to_string(unit.rate));
    property("verdict", unit.Verdict_Word());
    property("version", unit.version);
    property("commit", unit.commit);
    for (const auto& [k, v] : unit.station) property(k, v);
    for (const auto& [k, v] : unit.identity) property(k, v);
    x += "    </properties>\n";
    for (const Step& s : unit.steps) {
        x += "    <testcase name=\"" + Markup(s.name) + "\" classname=\"" + Markup(classname) +
             "\" time=\"" + Seconds(s.duration_ms) + "\"";
        if (s.verdict == Verdict::Passed) {
            x += "/>\n";
            continue;
        }
        x += ">\n";
        if (s.verdict == Verdict::Failed) {
            // The body holds what the reason sums up: what was sent and listed, the counts.
            std::string body;
            for (const Detail& d : s.details) body += d.key + ": " + d.value + "\n";
            x += "      <failure message=\"" + Markup(s.reason) + "\" type=\"" + Markup(s.name) +
                 "\">" + Markup(body) + "</failure>\n";
        } else {
            x += "      <skipped message=\"" + Markup(s.reason) + "\"/>\n";
        }
        x += "    </testcase>\n";
    }
    x += "  </testsuite>\n</testsuites>\n";
    return x;
}

std::string Html_Record(const Unit& unit) {
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
    const std::pair<const char*, const char*> station_labels[] = {{"operator", "Operator"},
                                                                  {"station", "Station"},
                                                                  {"fixture", "Fixture"},
                                                                  {"label", "Label"}};
    for (const auto& [k, v] : unit.station) {
        if (v.empty()) continue;
        std::string label = k;
        for (const auto& [key, text] : station_labels)
            if (k == key) label = text;
        h += "<tr><th>" + Markup(label) + "</th><td>" + Markup(v) + "</td></tr>\n";
    }
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
        for (const Detail& d : s.details) {
            h += (first ? "" : "<br>") + Markup(d.key) + ": <code>" + Markup(d.value) + "</code>";
            first = false;
        }
        h += "</td></tr>\n";
    }
    h += "</table>\n<p><small>kdx-cli " + Markup(unit.version) + " (commit " + Markup(unit.commit) +
         ")</small></p>\n</body>\n</html>\n";
    return h;
}

std::string Csv_Field(const std::string& text) {
    // A spreadsheet opening the history must show a unit's words, never run them.
    std::string clean = !text.empty() && std::strchr("=+-@\t\r", text[0]) ? "'" : "";
    bool quote = false;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            clean += buf;
            continue;
        }
        if (c == ',' || c == '"') quote = true;
        if (c == '"') clean += '"';
        clean += char(c);
    }
    return quote ? "\"" + clean + "\"" : clean;
}

namespace {
const char* const Old_Csv_Header =
    "time,port,serial,order,firmware,revision,verdict,failing_step,reason\n";
}

std::string Csv_Header() {
    return std::string(Old_Csv_Header, std::strlen(Old_Csv_Header) - 1) +
           ",operator,station,fixture,label,version,commit\n";
}

std::string Csv_Line(const Unit& unit, bool with_station) {
    const Step* f = unit.Failing();
    std::string line =
        Csv_Field(unit.started) + "," + Csv_Field(unit.port) + "," +
        Csv_Field(unit.Identity("serial")) + "," + Csv_Field(unit.Identity("order")) + "," +
        Csv_Field(unit.Identity("firmware")) + "," + Csv_Field(unit.Identity("revision")) + "," +
        (unit.Passed() ? "PASSED" : "FAILED") + "," + Csv_Field(f ? f->name : "") + "," +
        Csv_Field(f ? f->reason : "");
    if (with_station) {
        for (const char* key : {"operator", "station", "fixture", "label"}) {
            std::string value;
            for (const auto& [k, v] : unit.station)
                if (k == key) value = v;
            line += "," + Csv_Field(value);
        }
        line += "," + Csv_Field(unit.version) + "," + Csv_Field(unit.commit);
    }
    return line + "\n";
}

std::string Record_Base_Name(const Unit& unit) {
    // A flooding or hostile unit's serial must not make the name too long for the folder:
    // the name takes a cleaned, capped part of it; the records hold it whole.
    auto part = [](const std::string& text) {
        std::string clean;
        for (unsigned char c : text) {
            if (clean.size() == Name_Serial_Max) break;
            clean += std::isalnum(c) || c == '-' ? char(c) : '_';
        }
        return clean.find_first_not_of('_') == std::string::npos ? std::string("unknown") : clean;
    };
    return "kdx-check_" + part(unit.Identity("serial")) + "_" + Name_Time(unit.started) + "_" +
           part(unit.port);
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

// The first line of the file at path ("" when none can be read).
std::string First_Line(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (in && std::getline(in, line)) line += '\n';
    return line;
}

// Appends the unit's line to the history under an exclusive lock, with the header first in a
// new file: the whole line or nothing. A write cut short (a full disk) is cut back off under
// the same lock, so the next line never lands glued onto half of this one, and a history
// this write created is removed again rather than left empty. A history begun by an earlier
// version keeps its columns.
int Append_History(const std::string& path, const Unit& unit) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string problem;
        int fd = sys::Open_Append(path, problem);
        if (fd < 0) return problem == "not a regular file" ? EINVAL : errno ? errno : EINVAL;
        int error = sys::Lock_Exclusive(fd);
        // Another check removed the file it created while this one waited for the lock.
        if (error == 0 && !sys::Same_File(fd, path)) {
            ::close(fd);
            continue;
        }
        const int64_t before = error == 0 ? sys::Size_Of(fd) : -1;
        if (error == 0 && before < 0) error = EIO;
        if (error == 0) {
            std::string text = before == 0 ? Csv_Header() + Csv_Line(unit)
                                           : Csv_Line(unit, First_Line(path) != Old_Csv_Header);
            error = sys::Write_All(fd, text);
            if (error != 0) {
                sys::Truncate_To(fd, before);
                if (before == 0) ::unlink(path.c_str());
            }
        }
        ::close(fd);
        return error;
    }
    return EAGAIN;
}

}  // namespace

std::vector<std::string> Write_Records(const Unit& unit, const std::string& folder,
                                       std::string& error) {
    std::vector<std::string> written;
    std::string dir = folder.empty() ? "." : folder;
    if (dir.back() != '/' && dir.back() != sys::Path_Separator()) dir += sys::Path_Separator();
    if (int e = sys::Make_Folders(dir); e != 0) {
        error = "cannot make the folder " + dir + ": " + Reason(e);
        return written;
    }
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
    const std::pair<const char*, std::string> records[] = {{".json", Json_Record(unit)},
                                                           {".junit.xml", Junit_Record(unit)},
                                                           {".html", Html_Record(unit)}};
    for (const auto& [extension, text] : records) {
        int e = EEXIST;
        std::string path;
        for (int n = 1; e == EEXIST && n < 100; ++n) {
            path = base + (n == 1 ? "" : "-" + std::to_string(n)) + extension;
            e = Create_Whole(path, text);
        }
        if (e == 0)
            written.push_back(path);
        else if (error.empty())  // the first is enough: the others fail alike
            error = "cannot write " + path + ": " + Reason(e);
    }
    std::string history = dir + History_Name;
    if (int e = Append_History(history, unit); e != 0) {
        error += (error.empty() ? "" : "; ") + std::string("cannot add to ") + history + ": " +
                 (e == EINVAL ? std::string("not a regular file") : Reason(e));
    } else {
        written.push_back(history);
    }
    return written;
}

}  // namespace kdx::cli::check
