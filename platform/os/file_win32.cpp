// Files on Windows: CreateFileW with the caller's access, sharing and creation words. Each file
// handle also gets a C runtime descriptor over its system handle (_open_osfhandle), which is
// what File_Descriptor and Write_Descriptor work with, as on Linux.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/file_os.h"
#include "platform/os/handles.h"

#include "platform/os/win32.h"
// After the system's headers, which it needs.
#include <aclapi.h>

namespace kdx::platform {

namespace {
using win32::System_Invalid;
using win32::Take_System_Error;
using win32::Wide;

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
    Clear_File_Refusal();
    std::wstring wide = Wide(path);
    DWORD there = Attributes_Of(wide);
    if (there && Is_Folder(there)) {
        Note_File_Refusal("a folder");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return System_Invalid;
    }
    if (there && Is_Link(there) && (flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
        Note_File_Refusal("a symbolic link");
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return System_Invalid;
    }
    // "\\.\" names (COM1, NUL, pipes) are devices, never files.
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) {
        Note_File_Refusal("a device");
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
        Note_File_Refusal(type == FILE_TYPE_PIPE ? "a pipe" : "a device");
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
    return Insert_File_Handle(fd, disposition, status == ERROR_ALREADY_EXISTS);
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

int64_t Descriptor_Size(int fd) {
    LARGE_INTEGER size{};
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == System_Invalid || !::GetFileSizeEx(h, &size)) return -1;
    return int64_t(size.QuadPart);
}

bool Truncate_Descriptor(int fd, int64_t size) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (h == System_Invalid ||
        !::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) {
        Set_Last_Error(h == System_Invalid ? ERROR_INVALID_HANDLE : Take_System_Error());
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
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
        if (File_Was_Refused()) Set_Refused_Read_Error();
        return false;
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(h, &size) && size.QuadPart > Whole_File_Limit) {
        ::CloseHandle(h);
        return Fail_Too_Large(out);
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
            return Fail_Too_Large(out);
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
    Clear_File_Refusal();
    DWORD there = Attributes_Of(Wide(path));
    if (there && Is_Folder(there)) {
        Note_File_Refusal("a folder");
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

File_Stamp File_Stamp_Of(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data))
        return File_Stamp{};
    // FILETIME counts 100 ns steps from 1601; the stamp, as on Linux, nanoseconds from 1970.
    int64_t time =
        int64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    constexpr int64_t From_1601_To_1970 = 116444736000000000;
    return File_Stamp{int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow,
                      (time - From_1601_To_1970) * 100};
}

bool Delete_File(const std::string& path) {
    if (::DeleteFileW(Wide(path).c_str())) return true;
    Take_System_Error();
    return false;
}

namespace {
// True when the open file's owner is this process's user, or the owner the process gives the
// files it makes (an elevated administrator's go to the Administrators group). An owner that
// cannot be read counts as another's.
bool Owned_By_This_User(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &security) != ERROR_SUCCESS)
        return false;
    bool own = false;
    HANDLE token = nullptr;
    if (owner && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        union {
            TOKEN_USER user;
            TOKEN_OWNER owner;
            BYTE room[512];  // the record and its SID
        } record;
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenUser, &record, sizeof record, &size))
            own = ::EqualSid(owner, record.user.User.Sid);
        if (!own && ::GetTokenInformation(token, TokenOwner, &record, sizeof record, &size))
            own = ::EqualSid(owner, record.owner.Owner);
        ::CloseHandle(token);
    }
    ::LocalFree(security);
    return own;
}
}  // namespace

bool Delete_Own_File(const std::string& path) {
    // Opened once, without following a link and only where the user may write it, then
    // checked and removed through that handle: what was checked is what goes.
    HANDLE h = ::CreateFileW(Wide(path).c_str(),
                             READ_CONTROL | DELETE | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == System_Invalid) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    constexpr DWORD kNot_Removed =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY;
    bool removable = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
                     !(info.dwFileAttributes & kNot_Removed) && Owned_By_This_User(h);
    FILE_DISPOSITION_INFO gone{TRUE};
    bool deleted =
        removable && ::SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    ::CloseHandle(h);
    return deleted;
}

}  // namespace kdx::platform
