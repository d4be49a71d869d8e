// What the Windows backends of the platform layer share: the system headers, text in the
// system's UTF-16 and back, and the thread's last error taken from the system's.
// Include it after every header of ours: the system's headers make macros of the Win32 names
// our headers declare (ERROR_SUCCESS, GENERIC_READ, NOPARITY, ...), with the same values.
#pragma once
#include <string>
#include <string_view>

#include "platform/os/error.h"
#include "platform/os/handles.h"

// Last, as said above.
#include <windows.h>
// Ours is the handle table's -1; the system's is System_Invalid.
#undef INVALID_HANDLE_VALUE

namespace kdx::platform::win32 {

inline const HANDLE System_Invalid = reinterpret_cast<HANDLE>(intptr_t(-1));

// Our strings are UTF-8; the system's wide calls take UTF-16.
std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

// The system's last error as the thread's (the codes are the same numbers); returns it.
inline uint32_t Take_System_Error() {
    uint32_t code = ::GetLastError();
    Set_Last_Error(code);
    return code;
}

// A handle-table object holding a system handle, closed with it.
struct System_Object : Handle_Object {
    explicit System_Object(HANDLE h) : handle(h) {}
    ~System_Object() override {
        if (handle && handle != System_Invalid) ::CloseHandle(handle);
    }
    HANDLE handle;
};

// True when the program runs under Wine (ntdll exports wine_get_version there): the few
// services Wine does not give on a pseudo-terminal are then skipped by the tests.
bool Under_Wine();

}  // namespace kdx::platform::win32
