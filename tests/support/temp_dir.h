// A fresh temporary folder per test, removed afterwards.
#pragma once
#include <filesystem>
#include <string>

#include "platform/os/error.h"
#include "tests/support/posix.h"

namespace kdx::test {

// A path as the system writes it: Windows separates folders with backslashes.
inline std::string Native(std::string path) {
#ifdef _WIN32
    for (char& c : path)
        if (c == '/') c = '\\';
#endif
    return path;
}

// The system's code for a path through a folder that is not there (Windows has a word of its
// own for it; on Linux it is the errno of a missing file).
#ifdef _WIN32
constexpr uint32_t Missing_Folder_Error = platform::ERROR_PATH_NOT_FOUND;
#else
constexpr uint32_t Missing_Folder_Error = platform::ERROR_FILE_NOT_FOUND;
#endif

class Temp_Dir {
  public:
    Temp_Dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kdx-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~Temp_Dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    Temp_Dir(const Temp_Dir&) = delete;
    Temp_Dir& operator=(const Temp_Dir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace kdx::test
