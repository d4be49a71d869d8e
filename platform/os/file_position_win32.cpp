#include <io.h>

#include "platform/os/error.h"
#include "platform/os/file_position.h"
#include "platform/os/handles.h"

#include "platform/os/win32.h"

namespace kdx::platform {

// WriteFile with an OVERLAPPED record on the synchronous handle: the system itself takes
// Offset and Offset_High both 0xFFFFFFFF as "at the end of the file", and moves the file's
// position after the bytes written.
bool Write_File_At(int32_t handle, std::string_view data, uint32_t* written, Overlapped& position) {
    if (written) *written = 0;
    position.Internal = 0;
    position.Internal_High = 0;
    auto object = Handle_Get(handle);
    HANDLE h = object && object->fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(object->fd))
                                         : win32::System_Invalid;
    if (h == win32::System_Invalid) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        position.Internal = ERROR_INVALID_HANDLE;
        return false;
    }
    bool at_end = position.Offset == Write_At_End && position.Offset_High == Write_At_End;
    uint64_t offset = (uint64_t(position.Offset_High) << 32) | position.Offset;
    size_t done = 0;
    while (done < data.size()) {
        OVERLAPPED where{};
        where.Offset = at_end ? 0xFFFFFFFFu : DWORD(offset + done);
        where.OffsetHigh = at_end ? 0xFFFFFFFFu : DWORD((offset + done) >> 32);
        DWORD n = 0;
        DWORD chunk = DWORD(std::min<size_t>(data.size() - done, 1u << 30));
        bool ok = ::WriteFile(h, data.data() + done, chunk, &n, &where);
        if (!ok || n == 0) {
            // A write that takes nothing would repeat for ever: the fault it is.
            position.Internal = ok ? ERROR_WRITE_FAULT : ::GetLastError();
            Set_Last_Error(position.Internal);
            position.Internal_High = uint32_t(done);
            if (written) *written = uint32_t(done);
            return false;
        }
        done += n;
    }
    position.Internal_High = uint32_t(done);
    if (written) *written = uint32_t(done);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace kdx::platform
