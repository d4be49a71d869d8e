// What each system's form of the file calls (file.cpp, file_win32.cpp) shares with the
// system-independent part (file_common.cpp): why a path was refused, and the handle made for
// an open file.
#pragma once
#include <cstdint>
#include <string>

namespace kdx::platform {

// Forgets the refusal of this thread's last file call; each call that looks at a path first.
void Clear_File_Refusal();
// Notes that a path was refused for what stands there ("a folder", "a symbolic link", "a
// pipe", "a device", "a socket", "not a regular file"), for File_Refusal and, in a message's
// words, File_Failure_Text.
void Note_File_Refusal(const char* kind);
bool File_Was_Refused();
// A whole-file read refused its path: 5 for a folder (no file to read), 13 for the rest (a
// pipe or device is no data).
void Set_Refused_Read_Error();
// A whole-file read that found more than Whole_File_Limit bytes: out emptied, last error 13.
bool Fail_Too_Large(std::string& out);
// A handle for the C runtime or system descriptor of a file just opened. The last error is
// 183 when existed and the creation is one that reports it (CREATE_ALWAYS, OPEN_ALWAYS),
// else 0.
int32_t Insert_File_Handle(int fd, uint32_t disposition, bool existed);

}  // namespace kdx::platform
