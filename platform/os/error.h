// Thread-local last-error code in Win32 numbering, and our own message texts for it.
#pragma once
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace kdx::platform {

// The Win32 codes this program reports.
enum : uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_NOT_READY = 21,
    ERROR_WRITE_FAULT = 29,
    ERROR_READ_FAULT = 30,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_DEV_NOT_EXIST = 55,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BROKEN_PIPE = 109,
    ERROR_DISK_FULL = 112,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_MORE_DATA = 234,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_IO_INCOMPLETE = 996,
    ERROR_IO_PENDING = 997,
    ERROR_NOACCESS = 998,
    ERROR_TIMEOUT = 1460,
    ERROR_DEVICE_NOT_CONNECTED = 1167,
    ERROR_CANT_RESOLVE_FILENAME = 1921,  // a loop of symbolic links
    ERROR_GEN_FAILURE = 31,
    ERROR_BAD_COMMAND = 22,
    ERROR_SEM_TIMEOUT = 121,
};

uint32_t Get_Last_Error();
void Set_Last_Error(uint32_t code);

// Maps an errno value to the Win32 code the same failure gives on Windows.
uint32_t Error_From_Errno(int err);
// Sets the last error from errno and returns the code.
uint32_t Set_Last_Error_From_Errno(int err);

// The message text for a code, ending in CR LF as the system's message table gives it;
// empty for a code we have no text for.
std::string System_Message(uint32_t code);
// The same without its line end, for a message that goes on after it.
std::string System_Message_Text(uint32_t code);

// Where our code is entered from outside it (a thread's start, the window toolkit calling a
// window procedure), what escapes is caught: the boundary carries on and reports it here,
// naming itself and what it caught. The trace installs the reporter when its console opens
// (the trace is a layer above this one); with none installed a report says nothing.
using Caught_Error_Reporter = void (*)(std::string_view boundary, std::string_view caught);
void Set_Caught_Error_Reporter(Caught_Error_Reporter reporter);
// From a catch block: an exception by its type and message, or one of no standard type.
void Report_Caught_Error(std::string_view boundary, const std::exception& caught) noexcept;
void Report_Caught_Error(std::string_view boundary) noexcept;

}  // namespace kdx::platform
