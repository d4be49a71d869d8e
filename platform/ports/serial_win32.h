// The system calls the Windows serial backend (serial_win32.cpp) makes on a port, gathered in
// one table: the seam where a test puts a driver of its own (a port that never finishes a
// read, one that is unplugged, one held by another program) under the real backend, so the
// logic above the system calls is tried where no such device is at hand. Include after
// every header of ours (it takes the system's headers, platform/os/win32.h).
#pragma once
#include "platform/os/win32.h"

namespace kdx::platform::win32 {

struct Comm_Calls {
    decltype(&::CreateFileW) Create_File = ::CreateFileW;
    decltype(&::CloseHandle) Close_Handle = ::CloseHandle;
    decltype(&::GetFileType) Get_File_Type = ::GetFileType;
    decltype(&::GetCommState) Get_Comm_State = ::GetCommState;
    decltype(&::SetCommState) Set_Comm_State = ::SetCommState;
    decltype(&::SetCommTimeouts) Set_Comm_Timeouts = ::SetCommTimeouts;
    decltype(&::SetCommMask) Set_Comm_Mask = ::SetCommMask;
    decltype(&::PurgeComm) Purge_Comm = ::PurgeComm;
    decltype(&::ClearCommError) Clear_Comm_Error = ::ClearCommError;
    decltype(&::ReadFile) Read_File = ::ReadFile;
    decltype(&::WriteFile) Write_File = ::WriteFile;
    decltype(&::WaitCommEvent) Wait_Comm_Event = ::WaitCommEvent;
    decltype(&::CancelIoEx) Cancel_Io = ::CancelIoEx;
};

// The table in use: the system's own unless a test replaced it. Replace it only while no
// port is open (the calls are not locked against each other).
Comm_Calls& Comm_System_Calls();

// How long a cancelled overlapped call may still take to end. A call its driver keeps past
// that is left to the driver (its record and buffer are never freed). After a read or write
// so kept the port answers every later call at once with ERROR_SEM_TIMEOUT: a port that does
// not respond; after an event wait so kept (Wine on a real UART) its waits look at the
// queue in short slices instead.
constexpr DWORD Comm_Cancel_Bound_Ms = 500;

}  // namespace kdx::platform::win32
