// The simulated controller's fixture with files in its temporary folder: for the tests of
// kdx-cli's commands that read and write files.
#pragma once
#include <fstream>
#include <string>

#include "platform/os/file.h"
#include "tests/support/serial_fixture.h"

namespace kdx::test {

class Sim_Port_Files_Test : public Sim_Port_Test {
  protected:
    std::string File(const std::string& name, const std::string& bytes) {
        std::string path = dir.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string Read(const std::string& name) {
        std::string text;
        platform::Read_Whole_File(dir.path() + "/" + name, text);
        return text;
    }
};

}  // namespace kdx::test
