// kdx-cli ports and report over machines described by hive files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/sim.h"
#include "tests/support/registry_fixture.h"

namespace {

struct Run_Result {
    int code;
    std::string out;
};

Run_Result Cli(const std::string& args) {
    Run_Result r{-1, {}};
    FILE* pipe = popen((std::string("'") + KDX_CLI_PATH + "' " + args + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, pipe)) r.out += buf;
    int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(CliPorts, ListsAdapterTypesAndLineSettingsOfTheDescribedMachine) {
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
TEST(CliPorts, AListingThatStoppedSaysWhereAndFails) {
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

TEST(CliPorts, NoPortsMalformedHiveAndUsage) {
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

TEST(CliPorts, ProbeTellsWhichPortHoldsAController) {
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
    EXPECT_EQ(Cli("ports --probe fast").code, 2);
}

TEST(CliReport, WritesIntoTheFolderAndPrintsThePath) {
    kdx::test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\n");
    Run_Result r = Cli("report --dir '" + machine.path() + "'");
    ASSERT_EQ(r.code, 0) << r.out;
    ASSERT_FALSE(r.out.empty());
    std::string path = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(path.rfind(machine.path() + "/KDX Diagnostic ", 0), 0u) << path;
    EXPECT_TRUE(std::filesystem::exists(path)) << path;

    Run_Result missing = Cli("report --dir '" + machine.path() + "/absent'");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("cannot use folder"), std::string::npos);
}

}  // namespace
