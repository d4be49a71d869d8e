// A fresh temporary folder per test, removed afterwards.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kdx::test {

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
