// The few system calls of kdx-cli's own work, one form per operating system (system.cpp,
// system_win32.cpp): the library does everything else. Descriptors are the C runtime's.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kdx::cli::sys {

std::tm Local_Time(std::time_t t);
// The path with every link followed ("" when it leads nowhere).
std::string Real_Path(const std::string& path);
// Sets an environment variable unless it is set already.
void Set_Environment_Default(const char* name, const char* value);
// The running program's own path ("kdx-cli" when it cannot be read).
std::string Self_Path();
// The system's folder separator, for the paths a user is shown: "/", or "\\" on Windows.
char Path_Separator();

// Interrupt and terminate (Ctrl+C) held back as requests, on every thread: Wait_Stop_Request
// waits at most ms for one.
void Hold_Stop_Requests();
bool Wait_Stop_Request(int ms);

// Opens path to append to, only a regular file, never through a link; the descriptor, or -1
// with problem saying why.
int Open_Append(const std::string& path, std::string& problem);
// Creates path anew for writing, never through a link or over a file: the descriptor, or -1
// with errno set (EEXIST when something is there).
int Create_New(const std::string& path);
// Takes the exclusive lock of an open file, waiting for it; the errno of a failure, 0 when
// held (until the descriptor is closed).
int Lock_Exclusive(int fd);
// The size of an open file, -1 on failure.
int64_t Size_Of(int fd);
// Writes all of text; the errno of the failure, 0 when whole.
int Write_All(int fd, const std::string& text);
// Cuts an open file back to size; the errno of a failure, 0 when done.
int Truncate_To(int fd, int64_t size);
// True while path still names the open file fd (not removed or replaced meanwhile).
bool Same_File(int fd, const std::string& path);
// Makes the folder path with every missing parent (mode 0755 under the umask); the errno of
// a failure, 0 when it is there.
int Make_Folders(const std::string& path);

// A child process of this program with its standard output and error on a pipe.
struct Child_Process {
    int fd = -1;      // the pipe's read end
    intptr_t id = 0;  // the process
};
bool Spawn(const std::vector<std::string>& args, Child_Process& child);
// Waits until one of the pipes (-1 entries ignored) has bytes or has ended; its index, -1
// when none is open, -2 once timeout_ms (-1: no limit) has passed.
int Wait_Readable(const std::vector<int>& fds, int timeout_ms = -1);
// Waits for the child's end: its exit code (1 when it did not end by itself).
int Exit_Code(Child_Process& child);

// The terminal's keys on standard input: raw mode (every key at once, unechoed, Ctrl-C a key)
// until Restore_Keys, which also runs when a stop request or a lost output would end us.
void Raw_Keys();
void Restore_Keys();
// A pipe the library writes a byte to when something happens (poller ended, log stopped).
bool Make_Watch_Pipe(int& read_end, int& write_end);
// Waits up to ms (-1: for ever) for the keys (when in >= 0) or the watch pipe; 1 when keys
// are there, 0 on time-out or the watch (drained), -1 on a failure.
int Wait_Input(int watch, int in, int ms);
// Reads what standard input has: the byte count, 0 at its end, -1 on a failure (retried
// by the caller when interrupted: errno EINTR).
int Read_Input(char* buffer, int size);

}  // namespace kdx::cli::sys
