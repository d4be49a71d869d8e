// The file work of the private-profile functions, one form per operating system; the lookup
// and the edit (profile_common.cpp) are the same everywhere.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kdx::platform::profile_io {

enum class Open_Mode { Read, Write, Create_New };

// A profile file, open and locked (shared to read, exclusive to write) for one call. Only a
// regular file is opened and a link at the name is not followed for writing. When the open
// fails, error() is the Win32 code (2 when there is no file, 80 when Create_New found one).
class Locked_File {
  public:
    Locked_File(const std::string& path, Open_Mode mode);
    ~Locked_File();
    Locked_File(const Locked_File&) = delete;
    Locked_File& operator=(const Locked_File&) = delete;
    bool Ok() const { return native_ != -1; }
    uint32_t Error() const { return error_; }
    intptr_t Native() const { return native_; }

  private:
    intptr_t native_ = -1;  // a descriptor on Linux, a HANDLE on Windows
    uint32_t error_ = 0;
};

// Each returns false with the last error set.
bool Read_All(const Locked_File& file, std::string& out);
// Reads up to want more bytes onto the end of text; eof is set once the file has no more.
bool Read_More(const Locked_File& file, std::string& text, size_t want, bool& eof);
bool Write_All_At(const Locked_File& file, std::string_view data, int64_t offset);
// Claims the disk space for a file growing from old_size to new_size (its size then is
// new_size or more), so the writes that follow cannot run out of room half-way.
bool Reserve(const Locked_File& file, int64_t old_size, int64_t new_size);
bool Set_Size(const Locked_File& file, int64_t size);
// Removes the file at path (a page that could not be written whole).
void Remove(const std::string& path);

}  // namespace kdx::platform::profile_io
