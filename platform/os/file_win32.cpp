// Files on Windows: CreateFileW with the caller's access, sharing and creation words. Each file
// handle also gets a C runtime descriptor over its system handle (_open_osfhandle), which is
// what File_Descriptor and Write_Descriptor work with, as on Linux.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"

#include "platform/os/win32.h"

namespace kdx::platform {

namespace {
using win32::System_Invalid;
using win32::Take_System_Error;
using win32::Wide;

struct File_Object : Handle_Object {};

thread_local std::string refusal;
thread_local std::string failure_words;

void Refuse(const char* kind, const char* words) {
    refusal = kind;
    failure_words = words;
}

// What stands at path, without following a link: 0 when nothing does.
DWORD Attributes_Of(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return data.dwFileAttributes | 0x80000000u;  // the high bit: something is there
}
bool Is_Folder(DWORD attributes) {
    return attributes & FILE_ATTRIBUTE_DIRECTORY;
}
bool Is_Link(DWORD attributes) {
    return attributes & FILE_ATTRIBUTE_REPARSE_POINT;
}

// Opens path; a folder, a link (when not to be followed), a device or a pipe is refused with
// 5 and File_Refusal() names it.
HANDLE Open_Regular(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags) {
    refusal.clear();
    failure_words.clear();
    std::wstring wide = Wide(path);
    DWORD there = Attributes_Of(wide);
    if (there && Is_Folder(there)) {
        Refuse("a folder", "is a folder");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return System_Invalid;
    }
    if (there && Is_Link(there) && (flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
        Refuse("a symbolic link", "is a symbolic link");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return System_Invalid;
    }
    // "\\.\" names (COM1, NUL, pipes) are devices, never files.
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) {
        Refuse("a device", "not a regular file");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return System_Invalid;
    }
    HANDLE h =
        ::CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                      FILE_ATTRIBUTE_NORMAL | (flags & FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (h == System_Invalid) {
        Take_System_Error();
        return h;
    }
    DWORD type = ::GetFileType(h);
    if (type != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        Refuse(type == FILE_TYPE_PIPE ? "a pipe" : "a device", "not a regular file");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return System_Invalid;
    }
    return h;
}

// A C runtime descriptor over h (which it then owns), or -1 with h closed.
int Descriptor_Of(HANDLE h, int crt_flags) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        Set_Last_Error(ERROR_TOO_MANY_OPEN_FILES);
    }
    return fd;
}
}  // namespace

std::string File_Refusal() {
    return refusal;
}

std::string File_Failure_Text(uint32_t code) {
    bool theirs = code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_DATA;
    if (!failure_words.empty() && theirs) return failure_words;
    if (code == ERROR_DISK_FULL) return "disk full";
    return System_Message_Text(code);
}

int Open_Regular_File(const std::string& path, int flags, unsigned /*mode*/) {
    DWORD access = (flags & O_RDWR)     ? GENERIC_READ | GENERIC_WRITE
                   : (flags & O_WRONLY) ? GENERIC_WRITE
                                        : GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & O_CREAT) && (flags & O_EXCL))
        disposition = CREATE_NEW;
    else if ((flags & O_CREAT) && (flags & O_TRUNC))
        disposition = CREATE_ALWAYS;
    else if (flags & O_CREAT)
        disposition = OPEN_ALWAYS;
    else if (flags & O_TRUNC)
        disposition = TRUNCATE_EXISTING;
    HANDLE h = Open_Regular(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            disposition, 0);
    if (h == System_Invalid) {
        errno = Get_Last_Error() == ERROR_FILE_NOT_FOUND ? ENOENT
                : Get_Last_Error() == ERROR_FILE_EXISTS  ? EEXIST
                                                         : EACCES;
        return -1;
    }
    return Descriptor_Of(h, flags & (O_APPEND | O_RDWR | O_WRONLY));
}

int32_t Create_File(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t attributes) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = Open_Regular(path, access, share, disposition, attributes);
    if (h == System_Invalid) return INVALID_HANDLE_VALUE;
    // CreateFileW's own word on whether the file was there (183) is the one to report.
    DWORD status = ::GetLastError();
    bool append = (access & FILE_APPEND_DATA) && !(access & GENERIC_WRITE);
    int fd = Descriptor_Of(h, append ? _O_APPEND : 0);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    auto object = std::make_shared<File_Object>();
    object->fd = fd;
    int32_t handle = Handle_Insert(std::move(object));
    bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    Set_Last_Error(reports_existing && status == ERROR_ALREADY_EXISTS ? ERROR_ALREADY_EXISTS
                                                                      : ERROR_SUCCESS);
    return handle;
}

int File_Descriptor(int32_t handle) {
    auto object = Handle_Get(handle);
    return object ? object->fd : -1;
}

bool Write_Descriptor(int fd, std::string_view data, uint32_t* written) {
    if (written) *written = 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == System_Invalid && !data.empty()) {  // nothing to write, nothing to fail
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    // A descriptor opened to append writes at the end each time, as FILE_APPEND_DATA does.
    size_t done = 0;
    while (done < data.size()) {
        DWORD chunk = DWORD(std::min<size_t>(data.size() - done, 1u << 30));
        DWORD n = 0;
        if (!::WriteFile(h, data.data() + done, chunk, &n, nullptr)) {
            Take_System_Error();
            if (written) *written = uint32_t(done);
            return false;
        }
        if (n == 0) {
            Set_Last_Error(ERROR_WRITE_FAULT);
            if (written) *written = uint32_t(done);
            return false;
        }
        done += n;
    }
    if (written) *written = uint32_t(done);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Write_File(int32_t handle, std::string_view data, uint32_t* written) {
    if (written) *written = 0;
    auto object = Handle_Get(handle);
    if (!object) return false;
    return Write_Descriptor(object->fd, data, written);
}

bool Read_File(int32_t handle, std::string& out, uint32_t capacity) {
    out.clear();
    auto object = Handle_Get(handle);
    if (!object) return false;
    out.resize(capacity);
    DWORD n = 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(object->fd));
    if (!::ReadFile(h, out.data(), capacity, &n, nullptr)) {
        Take_System_Error();
        out.clear();
        return false;
    }
    out.resize(n);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

int64_t Get_File_Size(int32_t handle) {
    auto object = Handle_Get(handle);
    if (!object) return -1;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(object->fd)), &size)) {
        Take_System_Error();
        return -1;
    }
    return size.QuadPart;
}

bool Read_Whole_File(const std::string& path, std::string& out) {
    out.clear();
    HANDLE h =
        Open_Regular(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (h == System_Invalid) {
        if (!refusal.empty())
            Set_Last_Error(failure_words == "is a folder" ? ERROR_ACCESS_DENIED
                                                          : ERROR_INVALID_DATA);
        return false;
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(h, &size) && size.QuadPart > Whole_File_Limit) {
        ::CloseHandle(h);
        failure_words = "too large (64 MiB limit)";
        Set_Last_Error(ERROR_INVALID_DATA);
        return false;
    }
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            Take_System_Error();
            ::CloseHandle(h);
            out.clear();
            return false;
        }
        if (n == 0) break;
        if (out.size() + n > size_t(Whole_File_Limit)) {
            ::CloseHandle(h);
            out.clear();
            failure_words = "too large (64 MiB limit)";
            Set_Last_Error(ERROR_INVALID_DATA);
            return false;
        }
        out.append(buf, n);
    }
    ::CloseHandle(h);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Write_Whole_File(const std::string& path, std::string_view data) {
    // Written beside the file and moved over it: a failure half-way keeps the old file.
    static std::atomic<uint32_t> serial{0};
    refusal.clear();
    failure_words.clear();
    DWORD there = Attributes_Of(Wide(path));
    if (there && Is_Folder(there)) {
        Refuse("a folder", "is a folder");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return false;
    }
    std::string temp =
        path + ".new-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial);
    HANDLE h = ::CreateFileW(Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == System_Invalid) {
        Take_System_Error();
        return false;
    }
    int fd = Descriptor_Of(h, 0);
    if (fd < 0) return false;
    bool ok = Write_Descriptor(fd, data);
    uint32_t error = Get_Last_Error();
    if (ok && !::FlushFileBuffers(h)) {
        error = ::GetLastError();
        ok = false;
    }
    _close(fd);
    if (ok && !::MoveFileExW(Wide(temp).c_str(), Wide(path).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
        ok = false;
    }
    if (!ok) {
        ::DeleteFileW(Wide(temp).c_str());
        Set_Last_Error(error);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool File_Exists(const std::string& path) {
    return Attributes_Of(Wide(path)) != 0;
}

int64_t File_Size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    return int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool Delete_File(const std::string& path) {
    if (::DeleteFileW(Wide(path).c_str())) return true;
    Take_System_Error();
    return false;
}

bool Delete_Own_File(const std::string& path) {
    // Windows keeps no owner we could compare cheaply; a file kept read-only, a link or
    // anything but a file is left alone.
    DWORD there = Attributes_Of(Wide(path));
    if (!there || Is_Folder(there) || Is_Link(there) || (there & FILE_ATTRIBUTE_READONLY))
        return false;
    return ::DeleteFileW(Wide(path).c_str());
}

}  // namespace kdx::platform
