#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/profile_io.h"

namespace kdx::platform::profile_io {

// Only regular files (Open_Regular_File): a pipe or device in the file's place would block
// the reads.
Locked_File::Locked_File(const std::string& path, Open_Mode mode) {
    int flags = mode == Open_Mode::Read    ? O_RDONLY
                : mode == Open_Mode::Write ? O_RDWR | O_NOFOLLOW
                                           : O_RDWR | O_NOFOLLOW | O_CREAT | O_EXCL;
    int fd = Open_Regular_File(path, flags);
    if (fd < 0) {
        error_ = Error_From_Errno(errno);
        return;
    }
    while (flock(fd, mode == Open_Mode::Read ? LOCK_SH : LOCK_EX) != 0 && errno == EINTR) {
    }
    native_ = fd;
}

Locked_File::~Locked_File() {
    if (native_ >= 0) ::close(int(native_));  // also releases the lock
}

bool Read_All(const Locked_File& file, std::string& out) {
    int fd = int(file.Native());
    // Straight into the string, growing it only when the file grew after fstat.
    struct stat st {};
    out.resize(fstat(fd, &st) == 0 && st.st_size > 0 ? size_t(st.st_size) + 1 : 4096);
    size_t have = 0;
    for (;;) {
        if (have == out.size()) out.resize(out.size() * 2);
        ssize_t n = ::read(fd, out.data() + have, out.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Set_Last_Error_From_Errno(errno);
            out.clear();
            return false;
        }
        if (n == 0) break;
        have += size_t(n);
    }
    out.resize(have);
    return true;
}

bool Write_All_At(const Locked_File& file, std::string_view data, int64_t offset) {
    while (!data.empty()) {
        ssize_t n = ::pwrite(int(file.Native()), data.data(), data.size(), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Set_Last_Error_From_Errno(n < 0 && errno ? errno : EIO);
            return false;
        }
        data.remove_prefix(size_t(n));
        offset += n;
    }
    return true;
}

bool Reserve(const Locked_File& file, int64_t old_size, int64_t new_size) {
    int fd = int(file.Native());
    int err = posix_fallocate(fd, off_t(old_size), off_t(new_size - old_size));
    if (err == EOPNOTSUPP || err == EINVAL) err = ftruncate(fd, off_t(new_size)) ? errno : 0;
    if (err) Set_Last_Error_From_Errno(err);
    return err == 0;
}

bool Set_Size(const Locked_File& file, int64_t size) {
    if (ftruncate(int(file.Native()), off_t(size)) == 0) return true;
    Set_Last_Error_From_Errno(errno);
    return false;
}

bool Read_More(const Locked_File& file, std::string& text, size_t want, bool& eof) {
    int fd = int(file.Native());
    size_t have = text.size();
    text.resize(have + want);
    while (want > 0) {
        ssize_t n = ::read(fd, text.data() + have, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Set_Last_Error_From_Errno(errno);
            text.resize(have);
            return false;
        }
        if (n == 0) {
            eof = true;
            break;
        }
        have += size_t(n);
        want -= size_t(n);
    }
    text.resize(have);
    return true;
}

void Remove(const std::string& path) {
    ::unlink(path.c_str());
}

}  // namespace kdx::platform::profile_io
