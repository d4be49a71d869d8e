#include "platform/ports/registry.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/registry_live.h"

namespace kdx::platform {

namespace {

thread_local std::string hive_error;

struct Root_Name {
    int32_t key;
    const char* name;
};
constexpr Root_Name Roots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},   {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

// True when key (lower case) lies strictly below ancestor (lower case).
bool Is_Below(const std::string& key, const std::string& ancestor) {
    return key.size() > ancestor.size() + 1 && key.compare(0, ancestor.size(), ancestor) == 0 &&
           key[ancestor.size()] == '\\';
}

std::string Strip_Backslashes(std::string path) {
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

// A key as the view shows it: its values in order, and an index of their names in lower case
// (a lookup per port over a key of 10,000 values must not walk them all).
struct Key_View {
    bool exists = false;
    std::vector<Registry_Value> values;
    std::unordered_map<std::string, size_t> index;

    const Registry_Value* Find(const std::string& name) const {
        auto it = index.find(Lower(name));
        return it == index.end() ? nullptr : &values[it->second];
    }
    void Put(const Registry_Value& value) {
        auto [it, added] = index.emplace(Lower(value.Name), values.size());
        if (added)
            values.push_back(value);
        else
            values[it->second] = value;
    }
    void Remove(const std::string& name) {
        auto it = index.find(Lower(name));
        if (it == index.end()) return;
        values.erase(values.begin() + std::ptrdiff_t(it->second));
        Reindex();
    }
    void Clear() {
        values.clear();
        index.clear();
    }
    void Reindex() {
        index.clear();
        for (size_t i = 0; i < values.size(); ++i) index.emplace(Lower(values[i].Name), i);
    }
};

struct Reg_Key final : Handle_Object {
    std::string path;
    std::shared_ptr<const Key_View> view;
};

// A hive file as last parsed, kept while its size and write time stay the same: the port
// listing opens a key once per port, and reading and parsing a file of 10,000 values for each
// made listing them take minutes. Keys asked for are kept computed beside it.
struct Hive_File {
    std::string path;
    File_Stamp stamp;
    int32_t status = 0;  // 0 when parsed, else why not (hive_error then holds error)
    std::string error;
    std::vector<Registry_Hive_Key> keys;
    std::map<std::string, std::shared_ptr<const Key_View>> views;  // by lower-case path
};

std::mutex hive_lock;
std::map<std::string, std::shared_ptr<Hive_File>> hive_files;  // by path, under hive_lock

// The hive file at path, parsed now or earlier. Under hive_lock.
std::shared_ptr<Hive_File> Load_Hive(const std::string& path) {
    File_Stamp stamp = File_Stamp_Of(path);
    auto& kept = hive_files[path];
    if (kept && stamp.Size >= 0 && kept->stamp == stamp) return kept;
    auto hive = std::make_shared<Hive_File>();
    hive->path = path;
    std::string text;
    if (!Read_Whole_File(path, text)) {
        hive->status = int32_t(Get_Last_Error() ? Get_Last_Error() : ERROR_FILE_NOT_FOUND);
        hive->error = path + ": " + File_Failure_Text(uint32_t(hive->status));
        kept.reset();  // a file that could not be read is tried again next time
        return hive;
    }
    std::string error;
    if (!Registry_Parse_Hive(text, hive->keys, error)) {
        hive->error = path + " " + error;
        hive->status = int32_t(ERROR_INVALID_DATA);
    }
    // Stamped as it was before the read: a change made meanwhile is read next time. A file
    // written within the last moments may be written again within the same tick of the file
    // system's clock, keeping its stamp: it is kept only once its time lies further back.
    hive->stamp = stamp;
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    const int64_t Settled_Ns = 20 * 1000 * 1000;  // a tick is at most 15.6 ms (Windows)
    if (now_ns - stamp.Write_Time_Ns > Settled_Ns)
        kept = hive;
    else
        kept.reset();
    return hive;
}

// Lays the hive's keys over view for the key full (lower case).
void Apply_Hive(const std::vector<Registry_Hive_Key>& hive, const std::string& lower,
                Key_View& view) {
    for (const auto& key : hive) {
        std::string k = Lower(key.Path);
        if (key.Delete) {
            if (k == lower || Is_Below(lower, k)) {
                view.exists = false;
                view.Clear();
            }
            continue;
        }
        if (Is_Below(k, lower)) view.exists = true;
        if (k != lower) continue;
        view.exists = true;
        for (const auto& name : key.Deleted_Values) view.Remove(name);
        for (const auto& value : key.Values) view.Put(value);
    }
}

// The key's values as the view shows them now; status 2 when it does not exist.
int32_t View_Key(const std::string& full, std::shared_ptr<const Key_View>& result) {
    hive_error.clear();
    result.reset();
    std::string lower = Lower(full);
    std::string replacement = Environment("KDX_REGISTRY");
    std::lock_guard<std::mutex> guard(hive_lock);
    if (!replacement.empty()) {
        // A described machine: the view is the file's alone, so a key computed once holds
        // until the file changes.
        auto hive = Load_Hive(replacement);
        if (hive->status != 0) {
            hive_error = hive->error;
            return hive->status;
        }
        auto& view = hive->views[lower];
        if (!view) {
            auto made = std::make_shared<Key_View>();
            made->exists = lower.find('\\') == std::string::npos;  // a root key always exists
            Apply_Hive(hive->keys, lower, *made);
            view = made;
        }
        result = view;
        return view->exists ? 0 : int32_t(ERROR_FILE_NOT_FOUND);
    }
    std::shared_ptr<Hive_File> overlay;
    if (File_Exists(Registry_Overlay_Path())) {
        overlay = Load_Hive(Registry_Overlay_Path());
        if (overlay->status != 0) {
            hive_error = overlay->error;
            return overlay->status;
        }
    }
    auto made = std::make_shared<Key_View>();
    made->exists = lower.find('\\') == std::string::npos;
    for (const char* k : {Serial_Comm, Arbiter, Ports}) {
        std::string live_key = Lower(k);
        if (lower == live_key) {
            made->exists = Live_Values(k, made->values);
            made->Reindex();
        } else if (Is_Below(live_key, lower)) {
            made->exists = true;
        }
    }
    if (overlay) Apply_Hive(overlay->keys, lower, *made);
    result = made;
    return made->exists ? 0 : int32_t(ERROR_FILE_NOT_FOUND);
}

// ---- REGEDIT4 text ----

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

// A quoted text at pos (on the opening quote); pos ends after the closing quote.
bool Quoted(const std::string& line, size_t& pos, std::string& out, std::string& problem) {
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (pos + 1 >= line.size() || (line[pos + 1] != '\\' && line[pos + 1] != '"')) {
                problem = "unknown escape in a quoted text";
                return false;
            }
            c = line[++pos];
        }
        out += c;
    }
    problem = "quoted text has no closing quote";
    return false;
}

int Hex_Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Hex_Bytes(const std::string& list, std::string& out, std::string& problem) {
    out.clear();
    std::string body = Trim(list);
    if (body.empty()) return true;
    size_t pos = 0;
    while (pos <= body.size()) {
        size_t comma = body.find(',', pos);
        std::string item =
            Trim(body.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        bool last = comma == std::string::npos;
        if (item.empty() && last && pos > 0) break;  // a trailing comma
        if (item.empty() || item.size() > 2 || Hex_Digit(item[0]) < 0 ||
            (item.size() == 2 && Hex_Digit(item[1]) < 0)) {
            problem = "bad byte \"" + item.substr(0, 16) + "\" in a hex list";
            return false;
        }
        int v = Hex_Digit(item[0]);
        if (item.size() == 2) v = v * 16 + Hex_Digit(item[1]);
        out += char(v);
        if (last) break;
        pos = comma + 1;
    }
    return true;
}

bool Parse_Value(const std::string& line, Registry_Hive_Key& key, std::string& problem) {
    size_t pos = 0;
    std::string name;
    if (line[0] == '@') {
        pos = 1;
    } else if (line[0] == '"') {
        if (!Quoted(line, pos, name, problem)) return false;
    } else {
        problem = "expected a quoted value name or @";
        return false;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') {
        problem = "expected = after the value name";
        return false;
    }
    std::string data = Trim(line.substr(pos + 1));
    if (data == "-") {
        key.Deleted_Values.push_back(name);
        return true;
    }
    Registry_Value value{name, REG_SZ, {}};
    if (!data.empty() && data[0] == '"') {
        size_t p = 0;
        std::string text;
        if (!Quoted(data, p, text, problem)) return false;
        std::string rest = Trim(data.substr(p));
        if (!rest.empty() && rest[0] != ';') {
            problem = "text after the closing quote";
            return false;
        }
        value.Data = text + std::string(1, '\0');
    } else if (Lower(data.substr(0, 6)) == "dword:") {
        std::string digits = data.substr(6);
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return Hex_Digit(c) >= 0; })) {
            problem = "a dword needs 1 to 8 hex digits";
            return false;
        }
        uint32_t v = 0;
        for (char c : digits) v = v * 16 + uint32_t(Hex_Digit(c));
        value.Type = REG_DWORD;
        for (int i = 0; i < 4; ++i) value.Data += char((v >> (8 * i)) & 0xff);
    } else if (Lower(data.substr(0, 4)) == "hex:" || Lower(data.substr(0, 4)) == "hex(") {
        size_t colon = data.find(':');
        value.Type = REG_BINARY;
        if (data[3] == '(') {
            size_t close = data.find(')');
            std::string type = close == std::string::npos ? "" : data.substr(4, close - 4);
            if (close == std::string::npos || close + 1 != colon || type.empty() ||
                type.size() > 8 ||
                !std::all_of(type.begin(), type.end(), [](char c) { return Hex_Digit(c) >= 0; })) {
                problem = "bad type in hex(...)";
                return false;
            }
            value.Type = 0;
            for (char c : type) value.Type = value.Type * 16 + uint32_t(Hex_Digit(c));
        }
        if (!Hex_Bytes(data.substr(colon + 1), value.Data, problem)) return false;
    } else {
        problem = "unrecognised value data";
        return false;
    }
    key.Values.push_back(std::move(value));
    return true;
}

}  // namespace

bool Registry_Parse_Hive(const std::string& text, std::vector<Registry_Hive_Key>& keys,
                         std::string& error) {
    keys.clear();
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    bool header = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t number = i + 1;
        std::string line = Trim(lines[i]);
        if (!header && i == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line = line.substr(3);
        auto fail = [&](const std::string& problem) {
            error = "line " + std::to_string(number) + ": " + problem;
            return false;
        };
        if (line.empty()) continue;
        if (!header) {
            if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00")
                return fail("expected REGEDIT4 as the first line");
            header = true;
            continue;
        }
        if (line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail("key line without closing ]");
            std::string path = line.substr(1, line.size() - 2);
            bool remove = !path.empty() && path[0] == '-';
            if (remove) path = path.substr(1);
            path = Strip_Backslashes(path);
            std::string root = Lower(path.substr(0, path.find('\\')));
            bool known = std::any_of(std::begin(Roots), std::end(Roots),
                                     [&](const Root_Name& r) { return Lower(r.name) == root; });
            if (!known) return fail("unknown root key in [" + path.substr(0, 60) + "]");
            keys.push_back(Registry_Hive_Key{path, remove, {}, {}});
            continue;
        }
        // A hex list may go on over several lines, each but the last ending in "\".
        size_t eq = line.find('=');
        if (eq != std::string::npos && Lower(Trim(line.substr(eq + 1)).substr(0, 3)) == "hex") {
            while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
                line.pop_back();
                line += Trim(lines[++i]);
            }
        }
        if (keys.empty()) return fail("value before any [key] line");
        if (keys.back().Delete) return fail("value under a deleted key");
        std::string problem;
        if (!Parse_Value(line, keys.back(), problem)) return fail(problem);
    }
    if (!header) {
        error = "line 1: expected REGEDIT4 as the first line";
        return false;
    }
    return true;
}

std::string Registry_Hive_Error() {
    return hive_error;
}

int32_t Reg_Open_Key(int32_t root, const std::string& path, uint32_t options, uint32_t access,
                     int32_t& key) {
    (void)options;
    key = 0;
    if (access & ~uint32_t(KEY_READ)) return int32_t(ERROR_ACCESS_DENIED);
    std::string base;
    for (const auto& r : Roots)
        if (r.key == root) base = r.name;
    if (base.empty()) {
        auto parent = Handle_Get_As<Reg_Key>(root);
        if (!parent) return int32_t(ERROR_INVALID_HANDLE);
        base = parent->path;
    }
    std::string sub = Strip_Backslashes(path);
    std::string full = sub.empty() ? base : base + "\\" + sub;
    auto object = std::make_shared<Reg_Key>();
    int32_t status = View_Key(full, object->view);
    if (status != 0) return status;
    object->path = full;
    key = Handle_Insert(object);
    return 0;
}

int32_t Reg_Query_Value(int32_t key, const std::string& name, uint32_t* type, char* data,
                        uint32_t* size) {
    auto object = Handle_Get_As<Reg_Key>(key);
    if (!object) return int32_t(ERROR_INVALID_HANDLE);
    const Registry_Value* it = object->view->Find(name);
    if (!it) return int32_t(ERROR_FILE_NOT_FOUND);
    if (type) *type = it->Type;
    if (data && !size) return int32_t(ERROR_INVALID_PARAMETER);
    uint32_t need = uint32_t(it->Data.size());
    if (!size) return 0;
    if (!data) {
        *size = need;
        return 0;
    }
    if (*size < need) {
        *size = need;
        return int32_t(ERROR_MORE_DATA);
    }
    std::memcpy(data, it->Data.data(), need);
    *size = need;
    return 0;
}

int32_t Reg_Enum_Value(int32_t key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                       char* data, uint32_t* data_size) {
    auto object = Handle_Get_As<Reg_Key>(key);
    if (!object) return int32_t(ERROR_INVALID_HANDLE);
    if (!name || !name_size || *name_size == 0) return int32_t(ERROR_INVALID_PARAMETER);
    if (index >= object->view->values.size()) return int32_t(ERROR_NO_MORE_ITEMS);
    const Registry_Value& v = object->view->values[index];
    int32_t status = 0;
    uint32_t n = uint32_t(v.Name.size());
    if (n + 1 > *name_size) {
        n = *name_size - 1;
        status = int32_t(ERROR_MORE_DATA);
    }
    std::memcpy(name, v.Name.data(), n);
    name[n] = '\0';
    *name_size = n;
    if (type) *type = v.Type;
    if (data_size) {
        uint32_t need = uint32_t(v.Data.size());
        if (data) {
            uint32_t copy = std::min(need, *data_size);
            std::memcpy(data, v.Data.data(), copy);
            if (copy < need) status = int32_t(ERROR_MORE_DATA);
        }
        *data_size = need;
    }
    return status;
}

int32_t Reg_Close_Key(int32_t key) {
    for (const auto& r : Roots)
        if (r.key == key) return 0;
    if (!Handle_Get_As<Reg_Key>(key)) return int32_t(ERROR_INVALID_HANDLE);
    Close_Handle(key);
    return 0;
}

}  // namespace kdx::platform
