// The profile functions' file work on Windows: a shared or exclusive LockFileEx over the whole
// file for the call, positioned writes through OVERLAPPED records, and the file's end moved
// with SetFileInformationByHandle (the space is claimed by moving it, so a full disk fails
// before any byte changes).
#include "platform/os/error.h"
#include "platform/os/profile_io.h"

#include "platform/os/win32.h"

namespace kdx::platform::profile_io {

namespace {
HANDLE Of(const Locked_File& file) {
    return reinterpret_cast<HANDLE>(file.Native());
}
}  // namespace

Locked_File::Locked_File(const std::string& path, Open_Mode mode) {
    std::wstring wide = win32::Wide(path);
    DWORD there = ::GetFileAttributesW(wide.c_str());
    bool write = mode != Open_Mode::Read;
    if (there != INVALID_FILE_ATTRIBUTES &&
        ((there & FILE_ATTRIBUTE_DIRECTORY) || (write && (there & FILE_ATTRIBUTE_REPARSE_POINT)))) {
        error_ = mode == Open_Mode::Create_New ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
        return;
    }
    HANDLE h =
        ::CreateFileW(wide.c_str(), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      mode == Open_Mode::Create_New ? CREATE_NEW : OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | (write ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (h == win32::System_Invalid) {
        error_ = ::GetLastError();
        // The name of an existing file, as the POSIX side reports an exclusive creation.
        if (error_ == ERROR_ALREADY_EXISTS) error_ = ERROR_FILE_EXISTS;
        return;
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        error_ = ERROR_ACCESS_DENIED;
        return;
    }
    OVERLAPPED whole{};
    ::LockFileEx(h, write ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, MAXDWORD, MAXDWORD, &whole);
    native_ = reinterpret_cast<intptr_t>(h);
}

Locked_File::~Locked_File() {
    if (native_ == -1) return;
    OVERLAPPED whole{};
    ::UnlockFileEx(Of(*this), 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(Of(*this));
}

bool Read_More(const Locked_File& file, std::string& text, size_t want, bool& eof) {
    size_t have = text.size();
    text.resize(have + want);
    while (want > 0) {
        DWORD n = 0;
        if (!::ReadFile(Of(file), text.data() + have, DWORD(std::min<size_t>(want, 1u << 30)), &n,
                        nullptr)) {
            win32::Take_System_Error();
            text.resize(have);
            return false;
        }
        if (n == 0) {
            eof = true;
            break;
        }
        have += n;
        want -= n;
    }
    text.resize(have);
    return true;
}

bool Read_All(const Locked_File& file, std::string& out) {
    out.clear();
    bool eof = false;
    while (!eof)
        if (!Read_More(file, out, 1 << 16, eof)) return false;
    return true;
}

bool Write_All_At(const Locked_File& file, std::string_view data, int64_t offset) {
    while (!data.empty()) {
        OVERLAPPED where{};
        where.Offset = DWORD(offset);
        where.OffsetHigh = DWORD(uint64_t(offset) >> 32);
        DWORD n = 0;
        if (!::WriteFile(Of(file), data.data(), DWORD(std::min<size_t>(data.size(), 1u << 30)), &n,
                         &where)) {
            win32::Take_System_Error();
            return false;
        }
        if (n == 0) {
            Set_Last_Error(ERROR_WRITE_FAULT);
            return false;
        }
        data.remove_prefix(n);
        offset += n;
    }
    return true;
}

bool Set_Size(const Locked_File& file, int64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (::SetFileInformationByHandle(Of(file), FileEndOfFileInfo, &end, sizeof end)) return true;
    win32::Take_System_Error();
    return false;
}

bool Reserve(const Locked_File& file, int64_t /*old_size*/, int64_t new_size) {
    return Set_Size(file, new_size);
}

void Remove(const std::string& path) {
    ::DeleteFileW(win32::Wide(path).c_str());
}

}  // namespace kdx::platform::profile_io
