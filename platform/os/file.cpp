#include "platform/os/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/os/error.h"
#include "platform/os/file_os.h"
#include "platform/os/handles.h"

namespace kdx::platform {

namespace {
const char* Kind_Of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

void Note_Refusal(mode_t mode) {
    Note_File_Refusal(Kind_Of(mode));
}
}  // namespace

int Open_Regular_File(const std::string& path, int flags, unsigned mode) {
    Clear_File_Refusal();
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        int err = errno;
        struct stat st {};
        // ELOOP: the link that O_NOFOLLOW refused; ENXIO: a pipe without a reader; EISDIR;
        // EEXIST: an exclusive creation that found a link (or anything but a file) there.
        bool exists_refused =
            err == EEXIST && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
        if (exists_refused ||
            ((err == ELOOP || err == ENXIO || err == EISDIR) && ::lstat(path.c_str(), &st) == 0)) {
            if (err == ENXIO && S_ISFIFO(st.st_mode))
                Note_File_Refusal("a pipe with no reader");
            else
                Note_Refusal(st.st_mode);
            err = EACCES;
        }
        errno = err;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Note_Refusal(st.st_mode);
        errno = EACCES;
        return -1;
    }
    if (!(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int32_t Create_File(const std::string& path, uint32_t access, uint32_t /*share*/,
                    uint32_t disposition, uint32_t attributes) {
    Clear_File_Refusal();
    int flags = 0;
    if (attributes & FILE_FLAG_OPEN_REPARSE_POINT) flags |= O_NOFOLLOW;
    bool read = access & GENERIC_READ;
    bool write = access & (GENERIC_WRITE | FILE_APPEND_DATA);
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if (access & FILE_APPEND_DATA) flags |= O_APPEND;
    bool existed = ::access(path.c_str(), F_OK) == 0;
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            Set_Last_Error(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    int fd = Open_Regular_File(path, flags);
    if (fd < 0) {
        Set_Last_Error_From_Errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    return Insert_File_Handle(fd, disposition, existed);
}

bool Write_Descriptor(int fd, std::string_view data, uint32_t* written) {
    if (written) *written = 0;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A write that takes nothing would repeat for ever: report it as the fault it is.
        if (n < 0)
            Set_Last_Error_From_Errno(errno);
        else
            Set_Last_Error(ERROR_WRITE_FAULT);
        if (written) *written = uint32_t(done);
        return false;
    }
    if (written) *written = uint32_t(done);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

int64_t Descriptor_Size(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    return int64_t(st.st_size);
}

bool Truncate_Descriptor(int fd, int64_t size) {
    while (ftruncate(fd, off_t(size)) != 0) {
        if (errno == EINTR) continue;
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Read_File(int32_t handle, std::string& out, uint32_t capacity) {
    out.clear();
    auto object = Handle_Get(handle);
    if (!object) return false;
    out.resize(capacity);
    ssize_t n;
    do {
        n = ::read(object->fd, out.data(), capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Set_Last_Error_From_Errno(errno);
        out.clear();
        return false;
    }
    out.resize(size_t(n));
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

int64_t Get_File_Size(int32_t handle) {
    auto object = Handle_Get(handle);
    if (!object) return -1;
    struct stat st {};
    if (fstat(object->fd, &st) != 0) {
        Set_Last_Error_From_Errno(errno);
        return -1;
    }
    return st.st_size;
}

bool Read_Whole_File(const std::string& path, std::string& out) {
    out.clear();
    // A pipe or device named by mistake is refused, not waited on.
    int fd = Open_Regular_File(path, O_RDONLY);
    if (fd < 0) {
        int err = errno;
        // A pipe is no data to read; a folder is not to be read as a file.
        if (File_Was_Refused())
            Set_Refused_Read_Error();
        else
            Set_Last_Error_From_Errno(err);
        return false;
    }
    struct stat st {};
    auto too_large = [&] {
        ::close(fd);
        return Fail_Too_Large(out);
    };
    if (fstat(fd, &st) == 0 && st.st_size > Whole_File_Limit) return too_large();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Set_Last_Error_From_Errno(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        if (out.size() + size_t(n) > size_t(Whole_File_Limit)) return too_large();
        out.append(buf, size_t(n));
    }
    ::close(fd);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Write_Whole_File(const std::string& path, std::string_view data) {
    // Written beside the file and renamed over it: a failure half-way keeps the old file.
    // The new file gets the permissions a plain creation would (0666 less the umask).
    static std::atomic<uint32_t> serial{0};
    Clear_File_Refusal();
    // Only a file is replaced: a pipe, device or folder at the name is someone's on purpose.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        Note_Refusal(st.st_mode);
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return false;
    }
    std::string temp = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    bool ok = Write_Descriptor(fd, data);
    uint32_t error = Get_Last_Error();
    if (ok && ::fsync(fd) != 0) {
        error = Error_From_Errno(errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = Error_From_Errno(errno);
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = Error_From_Errno(errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        Set_Last_Error(error);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool File_Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

int64_t File_Size(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

File_Stamp File_Stamp_Of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return File_Stamp{};
    return File_Stamp{int64_t(st.st_size),
                      int64_t(st.st_mtim.tv_sec) * 1000000000 + int64_t(st.st_mtim.tv_nsec)};
}

bool Delete_File(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return true;
    Set_Last_Error_From_Errno(errno);
    return false;
}

bool Delete_Own_File(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::access(path.c_str(), W_OK) != 0)
        return false;
    return ::unlink(path.c_str()) == 0;
}

}  // namespace kdx::platform
