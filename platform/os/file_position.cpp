#include "platform/os/file_position.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/error.h"
#include "platform/os/handles.h"

namespace kdx::platform {

bool Write_File_At(int32_t handle, std::string_view data, uint32_t* written, Overlapped& position) {
    if (written) *written = 0;
    position.Internal = 0;
    position.Internal_High = 0;
    auto object = Handle_Get(handle);
    if (!object || object->fd < 0) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        position.Internal = ERROR_INVALID_HANDLE;
        return false;
    }
    int fd = object->fd;
    bool at_end = position.Offset == Write_At_End && position.Offset_High == Write_At_End;
    off_t offset = off_t((uint64_t(position.Offset_High) << 32) | position.Offset);
    bool append = at_end && (fcntl(fd, F_GETFL) & O_APPEND);
    if (at_end && !append) {
        offset = lseek(fd, 0, SEEK_END);
        if (offset < 0) {
            position.Internal = Set_Last_Error_From_Errno(errno);
            return false;
        }
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n =
            append ? ::write(fd, data.data() + done, data.size() - done)
                   : ::pwrite(fd, data.data() + done, data.size() - done, offset + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            position.Internal = Set_Last_Error_From_Errno(n < 0 ? errno : EIO);
            position.Internal_High = uint32_t(done);
            if (written) *written = uint32_t(done);
            return false;
        }
        done += size_t(n);
    }
    // Later plain writes on the handle continue after these bytes, as on Windows.
    if (!append) lseek(fd, offset + off_t(done), SEEK_SET);
    position.Internal_High = uint32_t(done);
    if (written) *written = uint32_t(done);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace kdx::platform
