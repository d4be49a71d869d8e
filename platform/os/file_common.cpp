// The file calls that are the same on every system: the reasons a path was refused, in words
// for a message, and the file handles over descriptors. What opens, reads and writes is in
// file.cpp or file_win32.cpp (file_os.h).
#include <cstring>
#include <memory>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/file_os.h"
#include "platform/os/handles.h"

namespace kdx::platform {

namespace {
struct File_Object : Handle_Object {};

thread_local std::string refusal;
// The reason of the last failing file call in words for a message, "" when the code says it.
thread_local std::string failure_words;
}  // namespace

void Clear_File_Refusal() {
    refusal.clear();
    failure_words.clear();
}

void Note_File_Refusal(const char* kind) {
    refusal = kind;
    failure_words = std::strcmp(kind, "a folder") == 0          ? "is a folder"
                    : std::strcmp(kind, "a symbolic link") == 0 ? "is a symbolic link"
                    : std::strcmp(kind, "a pipe with no reader") == 0
                        ? "a pipe with no reader: not a regular file"
                        : "not a regular file";
}

bool File_Was_Refused() {
    return !refusal.empty();
}

void Set_Refused_Read_Error() {
    Set_Last_Error(refusal == "a folder" ? ERROR_ACCESS_DENIED : ERROR_INVALID_DATA);
}

bool Fail_Too_Large(std::string& out) {
    out.clear();
    failure_words = "too large (64 MiB limit)";
    Set_Last_Error(ERROR_INVALID_DATA);
    return false;
}

std::string File_Refusal() {
    return refusal;
}

std::string File_Failure_Text(uint32_t code) {
    // The words belong to the failure that set them, not to a later one with another code.
    bool theirs = code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_DATA;
    if (!failure_words.empty() && theirs) return failure_words;
    if (code == ERROR_DISK_FULL) return "disk full";
    if (code == ERROR_CANT_RESOLVE_FILENAME) return "a link loop (too many levels of links)";
    return System_Message_Text(code);
}

int32_t Insert_File_Handle(int fd, uint32_t disposition, bool existed) {
    auto object = std::make_shared<File_Object>();
    object->fd = fd;
    int32_t handle = Handle_Insert(std::move(object));
    bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    Set_Last_Error(reports_existing && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

int File_Descriptor(int32_t handle) {
    auto object = Handle_Get(handle);
    return object ? object->fd : -1;
}

bool Write_File(int32_t handle, std::string_view data, uint32_t* written) {
    if (written) *written = 0;
    auto object = Handle_Get(handle);
    if (!object) return false;
    return Write_Descriptor(object->fd, data, written);
}

}  // namespace kdx::platform
