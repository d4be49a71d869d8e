#include "platform/os/error.h"

#include <cxxabi.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <typeinfo>

namespace kdx::platform {

namespace {
thread_local uint32_t last_error = 0;
std::atomic<Caught_Error_Reporter> caught_error_reporter{nullptr};

void Report(std::string_view boundary, std::string_view caught) noexcept {
    auto reporter = caught_error_reporter.load();
    if (!reporter) return;
    // The boundary is already handling one failure: a second one in the report is dropped.
    try {
        reporter(boundary, caught);
    } catch (...) {
    }
}
}  // namespace

uint32_t Get_Last_Error() {
    return last_error;
}
void Set_Last_Error(uint32_t code) {
    last_error = code;
}

uint32_t Error_From_Errno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;  // a port held elsewhere
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENXIO:
        case ENODEV:
            return ERROR_DEV_NOT_EXIST;
        case EIO:
            return ERROR_GEN_FAILURE;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case ENOTTY:
            return ERROR_INVALID_HANDLE;
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        default:
            return ERROR_GEN_FAILURE;
    }
}

uint32_t Set_Last_Error_From_Errno(int err) {
    last_error = Error_From_Errno(err);
    return last_error;
}

std::string System_Message(uint32_t code) {
    const char* text = nullptr;
    switch (code) {
        case ERROR_SUCCESS:
            text = "The operation completed successfully.";
            break;
        case ERROR_FILE_NOT_FOUND:
            text = "The system cannot find the file specified.";
            break;
        case ERROR_PATH_NOT_FOUND:
            text = "The system cannot find the path specified.";
            break;
        case ERROR_TOO_MANY_OPEN_FILES:
            text = "The system cannot open the file.";
            break;
        case ERROR_ACCESS_DENIED:
            text = "Access is denied.";
            break;
        case ERROR_INVALID_HANDLE:
            text = "The handle is invalid.";
            break;
        case ERROR_NOT_ENOUGH_MEMORY:
            text = "Not enough memory resources are available to process this command.";
            break;
        case ERROR_INVALID_DATA:
            text = "The data is invalid.";
            break;
        case ERROR_NOT_READY:
            text = "The device is not ready.";
            break;
        case ERROR_BAD_COMMAND:
            text = "The device does not recognize the command.";
            break;
        case ERROR_WRITE_FAULT:
            text = "The system cannot write to the specified device.";
            break;
        case ERROR_READ_FAULT:
            text = "The system cannot read from the specified device.";
            break;
        case ERROR_GEN_FAILURE:
            text = "A device attached to the system is not functioning.";
            break;
        case ERROR_SHARING_VIOLATION:
            text =
                "The process cannot access the file because it is being used by another "
                "process.";
            break;
        case ERROR_NOT_SUPPORTED:
            text = "The request is not supported.";
            break;
        case ERROR_DEV_NOT_EXIST:
            text = "The specified network resource or device is no longer available.";
            break;
        case ERROR_FILE_EXISTS:
            text = "The file exists.";
            break;
        case ERROR_CANT_RESOLVE_FILENAME:
            text = "The name of the file cannot be resolved by the system.";
            break;
        case ERROR_INVALID_PARAMETER:
            text = "The parameter is incorrect.";
            break;
        case ERROR_BROKEN_PIPE:
            text = "The pipe has been ended.";
            break;
        case ERROR_DISK_FULL:
            text = "There is not enough space on the disk.";
            break;
        case ERROR_SEM_TIMEOUT:
            text = "The semaphore timeout period has expired.";
            break;
        case ERROR_INSUFFICIENT_BUFFER:
            text = "The data area passed to a system call is too small.";
            break;
        case ERROR_INVALID_NAME:
            text = "The filename, directory name, or volume label syntax is incorrect.";
            break;
        case ERROR_ALREADY_EXISTS:
            text = "Cannot create a file when that file already exists.";
            break;
        case ERROR_FILENAME_EXCED_RANGE:
            text = "The filename or extension is too long.";
            break;
        case ERROR_MORE_DATA:
            text = "More data is available.";
            break;
        case ERROR_NO_MORE_ITEMS:
            text = "No more data is available.";
            break;
        case ERROR_OPERATION_ABORTED:
            text =
                "The I/O operation has been aborted because of either a thread exit or an "
                "application request.";
            break;
        case ERROR_IO_INCOMPLETE:
            text = "Overlapped I/O event is not in a signaled state.";
            break;
        case ERROR_IO_PENDING:
            text = "Overlapped I/O operation is in progress.";
            break;
        case ERROR_NOACCESS:
            text = "Invalid access to memory location.";
            break;
        case ERROR_DEVICE_NOT_CONNECTED:
            text = "The device is not connected.";
            break;
        case ERROR_TIMEOUT:
            text = "This operation returned because the timeout period expired.";
            break;
        default:
            return std::string();
    }
    return std::string(text) + "\r\n";
}

std::string System_Message_Text(uint32_t code) {
    std::string text = System_Message(code);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

void Set_Caught_Error_Reporter(Caught_Error_Reporter reporter) {
    caught_error_reporter.store(reporter);
}

void Report_Caught_Error(std::string_view boundary, const std::exception& caught) noexcept {
    try {
        // The type by its source name (std::runtime_error), then its message.
        const char* mangled = typeid(caught).name();
        int status = -1;
        char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        std::string text = status == 0 && name ? name : mangled;
        std::free(name);
        text += ": ";
        text += caught.what();
        Report(boundary, text);
    } catch (...) {
        Report(boundary, "an exception (its text could not be made)");
    }
}

void Report_Caught_Error(std::string_view boundary) noexcept {
    Report(boundary, "an exception of unknown type");
}

}  // namespace kdx::platform
