// Files behind handles, with the Win32 access and creation notions the program's files use.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kdx::platform {

enum : uint32_t {
    GENERIC_READ = 0x80000000u,
    GENERIC_WRITE = 0x40000000u,
    // Every write lands at the end of the file, whatever else writes to it (O_APPEND).
    FILE_APPEND_DATA = 0x00000004u,
    FILE_SHARE_READ = 1,
    FILE_SHARE_WRITE = 2,
    FILE_SHARE_DELETE = 4,
    CREATE_NEW = 1,
    CREATE_ALWAYS = 2,
    OPEN_EXISTING = 3,
    OPEN_ALWAYS = 4,
    TRUNCATE_EXISTING = 5,
    FILE_ATTRIBUTE_NORMAL = 0x80,
    // A symbolic link at the path is not followed: the open fails (error 5) instead of
    // writing into whatever the link names.
    FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000,
};

// Opens or creates a file. Returns a handle, or INVALID_HANDLE_VALUE with the last error set.
// Linux has no mandatory sharing: the share mode is accepted and not enforced. On success
// the last error is 0, or 183 (ERROR_ALREADY_EXISTS) when CREATE_ALWAYS / OPEN_ALWAYS found
// the file, as on Windows. Only regular files are opened: a pipe, device or folder at the
// path is refused with 5 (a pipe would block its writer once full), and File_Refusal() then
// tells why.
int32_t Create_File(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t attributes = FILE_ATTRIBUTE_NORMAL);
// Why the last Create_File on this thread refused its path ("" when it did not): "a symbolic
// link", "a pipe", "a pipe with no reader", "a device", "a folder" or "not a regular file".
std::string File_Refusal();
// Why the last failing file call on this thread failed, in words for a message: "is a
// folder", "not a regular file" (a pipe, device or socket), "is a symbolic link", "too large
// (64 MiB limit)", "disk full", else code's system message.
std::string File_Failure_Text(uint32_t code);

// Opens path with open(2)'s flags (O_CLOEXEC added) only when it is a regular file. The open
// never blocks (a pipe or device at the path is refused, not waited on); links are followed
// unless flags holds O_NOFOLLOW. The descriptor (blocking unless flags holds O_NONBLOCK), or
// -1 with errno set: EACCES for a refusal, which File_Refusal() then names.
int Open_Regular_File(const std::string& path, int flags, unsigned mode = 0666);

// Writes all of data (retrying short writes); written receives the count. False with the
// last error set when the write fails.
bool Write_File(int32_t handle, std::string_view data, uint32_t* written = nullptr);

// The same for a descriptor the caller owns (a terminal, a pipe, standard output).
bool Write_Descriptor(int fd, std::string_view data, uint32_t* written = nullptr);

// The size of what a descriptor the caller owns holds (a file), -1 on failure; and the file
// cut back to size (the part of a line a full disk took), false with the last error set.
int64_t Descriptor_Size(int fd);
bool Truncate_Descriptor(int fd, int64_t size);

// Reads up to capacity bytes at the current position.
bool Read_File(int32_t handle, std::string& out, uint32_t capacity);

// Size of an open file, -1 on failure.
int64_t Get_File_Size(int32_t handle);

// The descriptor of a file handle, or -1.
int File_Descriptor(int32_t handle);

// Whole-file helpers for small files (settings pages, hive files); last error set on failure.
// Only regular files of at most Whole_File_Limit bytes are read (error 13 otherwise).
constexpr int64_t Whole_File_Limit = 64 << 20;
bool Read_Whole_File(const std::string& path, std::string& out);
// Replaces (or creates) a file with data whole: a failed write leaves an old file as it was.
bool Write_Whole_File(const std::string& path, std::string_view data);
bool File_Exists(const std::string& path);
// Size of the file at path (links not followed), -1 when there is none.
int64_t File_Size(const std::string& path);
// What tells one version of a file from the next without reading it: its size and last write
// time in nanoseconds since 1970 (links followed). All -1 when there is no file. A cache of
// what was read from a file is good while the stamp stays the same, once the write time lies
// a clock tick or more in the past (a second write within the same tick keeps the time).
struct File_Stamp {
    int64_t Size = -1;
    int64_t Write_Time_Ns = -1;
    bool operator==(const File_Stamp&) const = default;
};
File_Stamp File_Stamp_Of(const std::string& path);
// Removes the file at path (a link itself, not its target). False with the last error set.
bool Delete_File(const std::string& path);
// Removes the file at path only when it is a regular file of this user that the user may
// write (not a link, not someone else's, not one kept read-only), so that a new file can be
// created there exclusively. True when it did.
bool Delete_Own_File(const std::string& path);

}  // namespace kdx::platform
