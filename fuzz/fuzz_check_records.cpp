// The records of kdx-cli check built from a unit that says anything: each record stays
// well-formed (JSON that parses, markup whose tags are only the record's own, one CSV line
// with its columns and no formula), and the record name stays short and safe.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/check.h"

namespace {

using kdx::cli::check::Unit;

// A JSON value's syntax, from at; false when it is no value.
bool Json_Value(const std::string& j, size_t& at, int depth = 0);

void Blanks(const std::string& j, size_t& at) {
    while (at < j.size() && std::strchr(" \n\r\t", j[at]) && j[at]) ++at;
}

bool Json_Text(const std::string& j, size_t& at) {
    if (at >= j.size() || j[at] != '"') return false;
    for (++at; at < j.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(j[at]);
        if (c < 0x20 || c >= 0x80) return false;  // written as ASCII, control bytes escaped
        if (c == '"') return ++at, true;
        if (c != '\\') continue;
        if (++at >= j.size()) return false;
        if (j[at] == 'u') {
            if (at + 4 >= j.size()) return false;
            for (int k = 1; k <= 4; ++k)
                if (!std::isxdigit(static_cast<unsigned char>(j[at + size_t(k)]))) return false;
            at += 4;
        } else if (!std::strchr("\"\\/bfnrt", j[at]) || !j[at]) {
            return false;
        }
    }
    return false;
}

bool Json_Value(const std::string& j, size_t& at, int depth) {
    if (depth > 20) return false;
    Blanks(j, at);
    if (at >= j.size()) return false;
    char c = j[at];
    if (c == '"') return Json_Text(j, at);
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        ++at;
        Blanks(j, at);
        if (at < j.size() && j[at] == close) return ++at, true;
        for (;;) {
            if (c == '{') {
                if (!Json_Text(j, at)) return false;
                Blanks(j, at);
                if (at >= j.size() || j[at++] != ':') return false;
            }
            if (!Json_Value(j, at, depth + 1)) return false;
            Blanks(j, at);
            if (at >= j.size()) return false;
            if (j[at] == close) return ++at, true;
            if (j[at++] != ',') return false;
            Blanks(j, at);
        }
    }
    for (const char* word : {"null", "true", "false"})
        if (j.compare(at, std::strlen(word), word) == 0) return at += std::strlen(word), true;
    size_t from = at;
    if (j[at] == '-') ++at;
    while (at < j.size() && std::isdigit(static_cast<unsigned char>(j[at]))) ++at;
    return at > from && j[from] != '-' ? true : at > from + 1;
}

bool Json_Parses(const std::string& j) {
    size_t at = 0;
    if (!Json_Value(j, at)) return false;
    Blanks(j, at);
    return at == j.size();
}

// The markup characters of a text: the same unit with tame words must have as many.
std::string Markup_Shape(const std::string& text) {
    std::string shape;
    for (char c : text)
        if (c == '<' || c == '>' || c == '"') shape += c;
    return shape;
}

// The fields of one CSV line (quotes undone); false when the line is not one line.
bool Csv_Fields(const std::string& line, std::vector<std::string>& fields) {
    if (line.empty() || line.back() != '\n' || line.find_first_of("\r\n") != line.size() - 1)
        return false;
    std::string field;
    bool quoted = false, was_quoted = false;
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 2 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty() && !was_quoted) {
            quoted = was_quoted = true;
        } else if (c == ',') {
            fields.push_back(field);
            field.clear();
            was_quoted = false;
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return !quoted;
}

Unit Make_Unit(FuzzedDataProvider& in, bool tame) {
    auto text = [&](size_t most) {
        std::string t = in.ConsumeRandomLengthString(most);
        return tame && !t.empty() ? std::string("x") : t;
    };
    Unit u;
    // Both units take the same bytes, so every later choice (verdicts, lengths) is the same.
    std::string port = in.ConsumeRandomLengthString(16);
    u.port = tame && !port.empty() ? "COM5" : port;
    u.rate = in.ConsumeIntegral<int32_t>();
    u.started = "2026-12-08T09:30:00+01:00";
    u.version = "1.0";
    u.commit = "abc";
    u.answered = in.ConsumeBool();
    for (const char* key : {"serial", "order", "firmware", "revision", "axes_set", "axes_found"})
        u.identity.push_back({key, text(400)});
    for (const char* key : {"operator", "station", "fixture", "label"})
        u.station.push_back({key, text(40)});
    u.axis_ids.push_back({1, text(80)});
    const char* names[] = {"port", "status", "info", "commo", "memory axis 1"};
    for (const char* name : names) {
        kdx::cli::check::Step s;
        s.name = name;
        s.verdict = kdx::cli::check::Verdict(in.ConsumeIntegralInRange<int>(0, 2));
        s.duration_ms = in.ConsumeIntegralInRange<int64_t>(0, 1 << 30);
        s.reason = text(200);
        s.details.push_back({"sent", text(100), false});
        s.details.push_back({"tries", std::to_string(in.ConsumeIntegral<int32_t>()), true});
        u.steps.push_back(s);
    }
    return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx::cli::check;
    FuzzedDataProvider wild_in(data, size), tame_in(data, size);
    Unit unit = Make_Unit(wild_in, false);
    Unit tame = Make_Unit(tame_in, true);
    if (!Json_Parses(Json_Record(unit))) std::abort();
    std::vector<std::string> records = {"a\x1b", "b"};
    std::string compact = Json_Record(unit, true, &records, &unit.steps[0].reason);
    if (!Json_Parses(compact) || compact.find('\n') != compact.size() - 1) std::abort();
    if (Markup_Shape(Junit_Record(unit)) != Markup_Shape(Junit_Record(tame))) std::abort();
    if (Markup_Shape(Html_Record(unit)) != Markup_Shape(Html_Record(tame))) std::abort();
    for (const std::string& page : {Junit_Record(unit), Html_Record(unit)})
        for (unsigned char c : page)
            if ((c < 0x20 && c != '\n') || c >= 0x7f) std::abort();
    std::vector<std::string> header, fields;
    Csv_Fields(Csv_Header(), header);
    if (!Csv_Fields(Csv_Line(unit), fields) || fields.size() != header.size()) std::abort();
    for (const std::string& f : fields)
        if (!f.empty() && std::strchr("=+-@\t\r", f[0])) std::abort();
    std::string name = Record_Base_Name(unit);
    if (name.size() > 10 + Name_Serial_Max + 1 + 15 + 1 + Name_Serial_Max) std::abort();
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '-' && c != '_') std::abort();
    std::string line = unit.Verdict_Line();
    for (unsigned char c : line)
        if (c < 0x20 || c >= 0x7f) std::abort();
    return 0;
}
