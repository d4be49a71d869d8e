#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/os/error.h"
#include "platform/os/profile.h"
#include "platform/os/profile_io.h"

namespace kdx::platform {

using namespace profile_io;

namespace {

bool Is_Space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && Is_Space(s.front())) s.remove_prefix(1);
    while (!s.empty() && Is_Space(s.back())) s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool Same_Name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool Has_Line_End(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// The line end new lines get: the file's first one, CR LF when it has none.
std::string_view Line_End_Of(std::string_view text) {
    size_t i = text.find_first_of("\r\n");
    if (i == std::string_view::npos) return "\r\n";
    if (text[i] == '\n') return "\n";
    return i + 1 < text.size() && text[i + 1] == '\n' ? "\r\n" : "\r";
}

// Finds line ends: the next CR and the next LF are each searched with memchr and kept until
// the scan passes them, so a file is swept about twice at memchr's speed, whichever line ends
// it uses.
class Line_Ends {
  public:
    explicit Line_Ends(std::string_view text) : text_(text) {}
    // The first CR or LF at or after pos; text.size() when there is none.
    size_t From(size_t pos) {
        if (!cr_known_ || cr_ < pos) cr_ = Find(pos, '\r'), cr_known_ = true;
        if (!lf_known_ || lf_ < pos) lf_ = Find(pos, '\n'), lf_known_ = true;
        return std::min(cr_, lf_);
    }

  private:
    size_t Find(size_t pos, char c) const {
        const void* p = std::memchr(text_.data() + pos, c, text_.size() - pos);
        return p ? size_t(static_cast<const char*>(p) - text_.data()) : text_.size();
    }
    std::string_view text_;
    size_t cr_ = 0, lf_ = 0;
    bool cr_known_ = false, lf_known_ = false;
};

// Where a key is, or where it would go, in the first section of its name.
struct Lookup {
    bool section = false;
    bool key = false;
    size_t key_line = 0, key_line_end = 0;  // the key's line, without its line end
    std::string_view value;
    size_t insert_at = 0;      // just after the last key line (or the section line)
    bool insert_ended = true;  // whether that line has a line end of its own
    bool ended = false;        // a later section line closed the section
};

Lookup Find(std::string_view text, std::string_view section, std::string_view key) {
    Lookup found;
    bool inside = false;
    size_t pos = 0;
    Line_Ends ends(text);
    while (pos < text.size()) {
        if (!inside) {
            // Outside the section only a section line matters: go straight to the line of the
            // next "[" (a page of a million other lines is passed at memchr's speed).
            size_t bracket = text.find('[', pos);
            if (bracket == std::string_view::npos) break;
            size_t start = text.find_last_of("\r\n", bracket);
            if (start != std::string_view::npos && start + 1 > pos) pos = start + 1;
        }
        size_t end = ends.From(pos);
        size_t next;
        if (end == text.size()) {
            next = end;
        } else {
            next =
                end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
        }
        std::string_view line = text.substr(pos, end - pos);
        std::string_view lead = line;
        while (!lead.empty() && Is_Space(lead.front())) lead.remove_prefix(1);
        if (!lead.empty() && lead.front() == '[') {
            if (inside) {  // past the section: the first one of its name is the one used
                found.ended = true;
                break;
            }
            size_t close = lead.rfind(']');
            std::string_view name =
                Trim(lead.substr(1, close == std::string_view::npos ? lead.npos : close - 1));
            if (Same_Name(name, section)) {
                inside = found.section = true;
                found.insert_at = next;
                found.insert_ended = next > end;
            }
        } else if (inside) {
            size_t eq = line.find('=');
            if (eq != std::string_view::npos) {
                found.insert_at = next;
                found.insert_ended = next > end;
                if (!found.key && Same_Name(Trim(line.substr(0, eq)), key)) {
                    found.key = true;
                    found.key_line = pos;
                    found.key_line_end = end;
                    found.value = Trim(line.substr(eq + 1));
                }
            }
        }
        pos = next;
    }
    return found;
}

// Replaces remove bytes at offset by insert, rewriting only from offset on; old holds the file
// from byte base to its end, offset counts from base. Space is claimed before any byte changes,
// so a full disk leaves the file as it was.
bool Apply_Edit(const Locked_File& file, const std::string& old, int64_t base, size_t offset,
                size_t remove, const std::string& insert) {
    const int64_t old_size = base + int64_t(old.size());
    const int64_t new_size = old_size - int64_t(remove) + int64_t(insert.size());
    if (new_size > old_size && !Reserve(file, old_size, new_size)) {
        uint32_t error = Get_Last_Error();
        Set_Size(file, old_size);  // the size is all that may have changed
        Set_Last_Error(error);
        return false;
    }
    std::string tail = insert;
    tail.append(old, offset + remove);
    if (!Write_All_At(file, tail, base + int64_t(offset))) {
        uint32_t error = Get_Last_Error();
        // Put the old bytes back as far as the disk lets us.
        Write_All_At(file, std::string_view(old).substr(offset), base + int64_t(offset));
        Set_Size(file, old_size);
        Set_Last_Error(error);
        return false;
    }
    return new_size >= old_size || Set_Size(file, new_size);
}

// How much of text is whole lines (all of it at the end of the file): a CR at its very end may
// still get its LF, and a line without its end may still grow.
size_t Whole_Lines(std::string_view text, bool eof) {
    if (eof) return text.size();
    size_t end = text.find_last_of("\r\n");
    if (end != std::string_view::npos && text[end] == '\r' && end + 1 == text.size())
        end = end == 0 ? std::string_view::npos : text.find_last_of("\r\n", end - 1);
    return end == std::string_view::npos ? 0 : end + 1;
}

// The first part of a file read to look a key up, more at a time as the lookup needs it.
constexpr size_t First_Read = 64 * 1024;
constexpr size_t Largest_Read = 16 * 1024 * 1024;
}  // namespace

int32_t Write_Private_Profile_String(const std::string& section_in, const std::string& key_in,
                                     const std::string& value, const std::string& path) {
    std::string_view section = Trim(section_in);
    std::string_view key = Trim(key_in);
    if (section.empty() && key.empty()) {
        Set_Last_Error(ERROR_SUCCESS);
        return 1;
    }
    // A key holding "=" or starting with "[" would read back as another key or a section.
    if (section.empty() || key.empty() || Has_Line_End(section) || Has_Line_End(key) ||
        Has_Line_End(value) || key.find('=') != key.npos || key.front() == '[') {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() > Max_Profile_Path) {
        Set_Last_Error(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    // Never through a link at the file's name: that would write into whatever it names.
    // A file this call creates is removed again when its first write fails (a full disk),
    // so no empty page is left to be taken for a page later.
    bool created = false;
    std::optional<Locked_File> opened;
    for (int attempt = 0; attempt < 3; ++attempt) {
        opened.emplace(path, Open_Mode::Write);
        if (opened->Ok() || opened->Error() != ERROR_FILE_NOT_FOUND) break;
        opened.emplace(path, Open_Mode::Create_New);
        created = opened->Ok();
        // ERROR_FILE_EXISTS: another writer made it just now
        if (created || opened->Error() != ERROR_FILE_EXISTS) break;
    }
    const Locked_File& file = *opened;
    if (!file.Ok()) {
        Set_Last_Error(file.Error());
        return 0;
    }
    // Read only as far as the lookup needs: up to the key, or to the end of its section. Whole
    // lines before the section are dropped once looked at (a big file costs no memory for them);
    // text holds the file from byte base on.
    std::string text;
    int64_t base = 0;
    bool eof = false;
    std::string eol;
    Lookup found;
    for (size_t chunk = First_Read;; chunk = std::min(chunk * 2, Largest_Read)) {
        if (!Read_More(file, text, chunk, eof)) return 0;
        // New lines end like the file's first line: known once its end is whole.
        size_t first = text.find_first_of("\r\n");
        if (eol.empty() && (eof || (first != std::string::npos &&
                                    (text[first] == '\n' || first + 1 < text.size()))))
            eol = Line_End_Of(text);
        size_t whole = Whole_Lines(text, eof);
        found = Find(std::string_view(text).substr(0, whole), section, key);
        if (eof || found.key || found.ended) break;
        if (!found.section && whole > 0) {
            // Whole lines without the section have nothing for the lookup: they go.
            text.erase(0, whole);
            base += int64_t(whole);
        }
    }
    std::string key_line(key);
    key_line += '=';
    key_line += value;
    size_t offset, remove = 0;
    std::string insert;
    if (found.key) {
        offset = found.key_line;
        remove = found.key_line_end - found.key_line;
        if (found.value == Trim(value)) {  // already so: leave the line as its author wrote it
            Set_Last_Error(ERROR_SUCCESS);
            return 1;
        }
        insert = key_line;
    } else if (found.section) {
        offset = found.insert_at;
        if (!found.insert_ended) insert = eol;
        insert += key_line;
        insert += eol;
    } else {
        offset = text.size();
        // (Only whole lines were dropped: an empty rest follows a line end.)
        if (!text.empty() && text.back() != '\r' && text.back() != '\n') insert = eol;
        insert += '[';
        insert += section;
        insert += ']';
        insert += eol;
        insert += key_line;
        insert += eol;
    }
    if (insert.size() == remove) {
        // The same length: only the line changes, whatever follows it.
        if (!Write_All_At(file, insert, base + int64_t(offset))) {
            uint32_t error = Get_Last_Error();
            Write_All_At(file, std::string_view(text).substr(offset, remove),
                         base + int64_t(offset));
            Set_Last_Error(error);
            return 0;
        }
        Set_Last_Error(ERROR_SUCCESS);
        return 1;
    }
    // Another length moves what follows: that needs the rest of the file.
    while (!eof) {
        if (!Read_More(file, text, Largest_Read, eof)) return 0;
    }
    if (!Apply_Edit(file, text, base, offset, remove, insert)) {
        // A page this call created and could not write is not left behind empty.
        if (created) {
            uint32_t error = Get_Last_Error();
            Remove(path);
            Set_Last_Error(error);
        }
        return 0;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return 1;
}

uint32_t Get_Private_Profile_String(const std::string& section, const std::string& key,
                                    const std::string& default_value, std::string& out,
                                    uint32_t capacity, const std::string& path) {
    auto give = [&](std::string_view text) {
        size_t room = capacity ? capacity - 1 : 0;
        out.assign(text.substr(0, room));
        return uint32_t(out.size());
    };
    if (path.size() > Max_Profile_Path) {
        Set_Last_Error(ERROR_FILENAME_EXCED_RANGE);
        return give(default_value);
    }
    Locked_File file(path, Open_Mode::Read);
    if (!file.Ok()) {
        Set_Last_Error(file.Error());
        return give(default_value);
    }
    std::string text;
    if (!Read_All(file, text)) return give(default_value);
    Set_Last_Error(ERROR_SUCCESS);
    std::string_view s = Trim(section), k = Trim(key);
    if (s.empty() || k.empty()) return give(default_value);
    Lookup found = Find(text, s, k);
    return give(found.key ? found.value : std::string_view(default_value));
}

}  // namespace kdx::platform
