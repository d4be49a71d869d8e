// kdx-cli ports over machines described by hive files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/sim.h"
#include "tests/support/cli_run.h"
#include "tests/support/registry_fixture.h"

namespace {

using Run_Result = kdx::test::Shell_Result;
using kdx::test::Cli;

TEST(Cli_Ports, ListsAdapterTypesAndLineSettingsOfTheDescribedMachine) {
    kdx::test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"\\\\Device\\\\VCP0\"=\"COM3\"\n"
        "\"\\\\Device\\\\BthModem0\"=\"COM7\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n"
        "\"COM1:\"=\"9600,n,8,1\"\n");
    Run_Result r = Cli("ports");
    EXPECT_EQ(r.code, 0) << r.out;
    for (const char* want :
         {"COM1       RS232 [Serial0]                        9600,None,8,1,None       -\n",
          "COM3       FTDI USB Adapter [VCP0]                -                        -\n",
          "BTH_COM7   UnKnown Port Type [BthModem0]          -                        -\n"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
}

// A listing that stopped at a value it could not read is a failed listing, not "no ports".
TEST(Cli_Ports, AListingThatStoppedSaysWhereAndFails) {
    kdx::test::Registry_Machine machine;
    const std::string serial_comm =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    const std::string long_name = "\\\\Device\\\\" + std::string(300, 'x');
    const struct {
        const char* name;
        std::string hive;
        int code;
        std::string said;
    } cases[] = {
        {"no ports", serial_comm, 0, "No serial ports found.\n"},
        {"no device map at all", "REGEDIT4\n", 0, "No serial ports found.\n"},
        {"a value name over 259 characters", serial_comm + "\"" + long_name + "\"=\"COM4\"\n", 1,
         "kdx-cli ports: the port listing failed: error 234 (More data is available.) at the "
         "value \"\\Device\\" +
             std::string(251, 'x') + "\"\n"},
        {"the same after a port",
         serial_comm + "\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"" + long_name + "\"=\"COM4\"\n", 1,
         "the port listing failed: error 234"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine.Use_Hive(c.hive);
        for (const char* args : {"ports", "ports --names"}) {
            Run_Result r = Cli(args);
            EXPECT_EQ(r.code, c.code) << r.out;
            if (c.code != 0) {
                EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
            } else if (std::string(args) == "ports") {
                EXPECT_EQ(r.out, c.said);
            }
        }
    }
}

TEST(Cli_Ports, NoPortsMalformedHiveAndUsage) {
    kdx::test::Registry_Machine machine;
    machine.Use_Hive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n");
    Run_Result r = Cli("ports");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "No serial ports found.\n");

    std::string file = machine.Use_Hive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:xyz\n");
    r = Cli("ports");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find(file + " line 3: a dword needs"), std::string::npos) << r.out;

    EXPECT_EQ(Cli("ports --bogus").code, 2);
    EXPECT_EQ(Cli("report --dir").code, 2);
    EXPECT_EQ(Cli("watch --count x").code, 2);
    Run_Result help = Cli("ports --help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Usage: kdx-cli ports"), std::string::npos);
}

TEST(Cli_Ports, ProbeTellsWhichPortHoldsAController) {
    kdx::test::Registry_Machine machine;
    setenv("KDX_PORTS", (machine.path() + "/ports").c_str(), 1);
    kdx::sim::Sim_Config config;
    config.number = 5;
    kdx::sim::Simulator sim(config);
    ASSERT_TRUE(sim.Start());
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\pts9\"=\"COM5\"\n\"\\\\Device\\\\VCP0\"=\"COM9\"\n"
        "\"\\\\Device\\\\BthModem0\"=\"COM7\"\n");
    Run_Result r = Cli("ports --probe");
    unsetenv("KDX_PORTS");
    EXPECT_EQ(r.code, 0) << r.out;
    for (const char* want :
         {"COM5       UnKnown Port Type [pts9]               -                        QMT",
          "COM9       FTDI USB Adapter [VCP0]                -                        not opened",
          "BTH_COM7   UnKnown Port Type [BthModem0]          -                        -"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    EXPECT_NE(sim.Received().find("V,"), std::string::npos);
    // A long "not opened" reason widens its column: the device column stays in line.
    size_t header = r.out.find("PORT ");
    ASSERT_NE(header, std::string::npos) << r.out;
    size_t column = r.out.find("DEVICE", header) - header;
    for (size_t at = header; at < r.out.size();) {
        size_t end = r.out.find('\n', at);
        std::string line = r.out.substr(at, end - at);
        if (line.rfind("COM", 0) == 0 || line.rfind("BTH", 0) == 0) {
            EXPECT_TRUE(line.size() > column && line[column - 1] == ' ' && line[column] != ' ')
                << line << "\n"
                << r.out;
        }
        at = end == std::string::npos ? end : end + 1;
    }
    EXPECT_EQ(Cli("ports --probe fast").code, 2);
}

}  // namespace
