// Private-profile (INI) files in the manner of WritePrivateProfileStringA and
// GetPrivateProfileStringA, as far as the settings page and the diagnostic report use them.
//
// A line ends at CR, LF or CR LF. A section line starts (after white space) with "[" and
// names the text up to its last "]", the rest of the line being ignored ("[COM6]<br>" is
// section COM6). Inside a section, a key line is any line holding "=": its key is the text
// before the first "=", its value the text after it, both without surrounding white space.
// Other lines (HTML tags, titles, blank lines) belong to no key and are never touched.
// Names compare without regard to ASCII case.
#pragma once
#include <cstdint>
#include <string>

namespace kdx::platform {

// The longest path the profile functions accept (a 260-character buffer with its NUL).
constexpr size_t Max_Profile_Path = 259;

// Sets key = value in section of the file at path, creating the file and the section as
// needed. The key's line is replaced in place; a new key goes after the last key line of its
// section (or right after the section line); a new section goes at the end of the file. New
// lines end like the file's first line (CR LF in a file that has none). Every other byte
// stays as it was, and the file keeps its identity, so a writer holding it open for
// appending keeps appending at its end.
//
// Surrounding white space of section and key is dropped. An empty section together with an
// empty key is the "flush" call: nothing is written and the call succeeds. Otherwise an empty
// name, a line end inside a name or the value, a key holding "=" or starting with "[" (it
// could not be read back), or a path over Max_Profile_Path fails with
// ERROR_INVALID_PARAMETER (87) or ERROR_FILENAME_EXCED_RANGE (206) and changes nothing.
//
// Returns non-zero on success; on failure 0 with the last error set (0 on success).
int32_t Write_Private_Profile_String(const std::string& section, const std::string& key,
                                     const std::string& value, const std::string& path);

// Reads the value of key in section into out, cut to capacity - 1 characters; when the file,
// section or key is missing, or a name is empty, out gets default_value (cut the same way).
// Returns the length of out. A missing file sets ERROR_FILE_NOT_FOUND (2); a readable file
// sets the last error to 0 whether or not the key was found.
uint32_t Get_Private_Profile_String(const std::string& section, const std::string& key,
                                    const std::string& default_value, std::string& out,
                                    uint32_t capacity, const std::string& path);

}  // namespace kdx::platform
