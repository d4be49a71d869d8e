// A machine described by a hive file: $KDX_REGISTRY points at it for the test's lifetime, and
// the config folder (the user's overlay, on Windows the local data folder) is the test's own,
// so nothing of the real machine leaks in.
#pragma once
#include <fstream>
#include <string>

#include "tests/support/posix.h"
#include "tests/support/temp_dir.h"

namespace kdx::test {

class Registry_Machine {
  public:
    Registry_Machine() {
        Save("KDX_REGISTRY", saved_registry_);
        Save(Config_Variable, saved_config_);
        setenv(Config_Variable, (dir_.path() + "/config").c_str(), 1);
    }
    ~Registry_Machine() {
        Restore("KDX_REGISTRY", saved_registry_);
        Restore(Config_Variable, saved_config_);
    }
    Registry_Machine(const Registry_Machine&) = delete;
    Registry_Machine& operator=(const Registry_Machine&) = delete;

    // Writes the hive (REGEDIT4 text) and makes it the whole registry.
    std::string Use_Hive(const std::string& text, const std::string& name = "machine.reg") {
        std::string path = dir_.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        setenv("KDX_REGISTRY", path.c_str(), 1);
        return path;
    }
    const std::string& path() const { return dir_.path(); }

  private:
#ifdef _WIN32
    static constexpr const char* Config_Variable = "LOCALAPPDATA";
#else
    static constexpr const char* Config_Variable = "XDG_CONFIG_HOME";
#endif
    struct Saved {
        bool set = false;
        std::string value;
    };
    static void Save(const char* name, Saved& saved) {
        const char* v = getenv(name);
        saved.set = v != nullptr;
        saved.value = v ? v : "";
    }
    static void Restore(const char* name, const Saved& saved) {
        if (saved.set)
            setenv(name, saved.value.c_str(), 1);
        else
            unsetenv(name);
    }

    Temp_Dir dir_;
    Saved saved_registry_, saved_config_;
};

}  // namespace kdx::test
