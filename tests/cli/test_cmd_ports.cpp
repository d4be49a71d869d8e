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

// A value too long to list is left out with a warning that names it; the other ports are
// listed and the listing succeeds.
TEST(Cli_Ports, AValueTooLongIsSkippedWithAWarning) {
    kdx::test::Registry_Machine machine;
    const std::string serial_comm =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    const std::string long_name = "\\\\Device\\\\" + std::string(300, 'x');
    const std::string warning = "kdx-cli ports: warning: skipped the value \"\\Device\\" +
                                std::string(32, 'x') +
                                "...\": its name is longer than 259 characters\n";
    const struct {
        const char* name;
        std::string hive;
        std::string said;
    } cases[] = {
        {"no ports", serial_comm, "No serial ports found.\n"},
        {"no device map at all", "REGEDIT4\n", "No serial ports found.\n"},
        {"only a value name over 259 characters", serial_comm + "\"" + long_name + "\"=\"COM4\"\n",
         warning + "No serial ports found.\n"},
        {"the same between two ports",
         serial_comm + "\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"" + long_name +
             "\"=\"COM4\"\n\"\\\\Device\\\\VCP0\"=\"COM3\"\n",
         warning + "PORT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine.Use_Hive(c.hive);
        Run_Result r = Cli("ports");
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(r.out.rfind(c.said, 0), 0u) << r.out;
        if (c.said.find("PORT") != std::string::npos) {
            EXPECT_NE(r.out.find("\nCOM1 "), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("\nCOM3 "), std::string::npos) << r.out;
        }
        Run_Result names = Cli("ports --names");
        EXPECT_EQ(names.code, 0) << names.out;
    }
}

// --json: one object a line per port, every line parses whatever the names hold, and an entry
// of the ports folder that is no serial line (a link loop among them) is listed as not usable
// with the reason, as in the table.
TEST(Cli_Ports, JsonAndUnusableEntriesParseAndSayWhy) {
#ifdef _WIN32
    GTEST_SKIP() << "its lines are parsed by python3 and its ports are links: a Windows program "
                    "starts no Linux program, and Windows' C++ library makes no links";
#endif
    kdx::test::Registry_Machine machine;
    std::string ports = machine.path() + "/ports";
    std::filesystem::create_directories(ports);
    setenv("KDX_PORTS", ports.c_str(), 1);
    std::filesystem::create_symlink("COM9", ports + "/COM9");  // a loop of one link
    std::filesystem::create_symlink("/dev/null", ports + "/COM8");
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"\\\\Device\\\\Odd\\\"\x1b[2J\"=\"COM3\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n"
        "\"COM1:\"=\"9600,n,8,1\"\n");
    kdx::test::Shell_Result json = kdx::test::Cli_Json("ports --json");
    EXPECT_EQ(json.code, 0) << json.out;
    EXPECT_EQ(
        json.out,
        "{\"adapter\":\"RS232\",\"device\":null,\"port\":\"COM1\",\"real_name\":"
        "\"\\\\Device\\\\Serial0\",\"settings\":{\"baud\":\"9600\",\"data_bits\":\"8\","
        "\"handshake\":\"None\",\"parity\":\"None\",\"stop_bits\":\"1\"},\"type\":"
        "\"Serial0\",\"usable\":true}\n"
        "{\"adapter\":\"UnKnown Port Type\",\"device\":null,\"port\":\"COM3\",\"real_name\":"
        "\"\\\\Device\\\\Odd\\\"\\u001b[2J\",\"settings\":null,\"type\":\"Odd\\\"\\u001b[2J\","
        "\"usable\":true}\n");
    // The ports folder's entries show without a described machine.
    unsetenv("KDX_REGISTRY");
    Run_Result table = Cli("ports");
    EXPECT_NE(table.out.find("COM9       not usable: " + ports + "/COM9 -> " + ports +
                             "/COM9: it is a link loop (too many levels of links)\n"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("COM8       not usable: " + ports +
                             "/COM8 -> /dev/null: it is not a "
                             "serial line"),
              std::string::npos)
        << table.out;
    json = kdx::test::Cli_Json("ports --json");
    EXPECT_NE(json.out.find("{\"path\":\"" + ports +
                            "/COM9\",\"port\":\"COM9\",\"reason\":\"it "
                            "is a link loop (too many levels of links)\",\"target\":\"" +
                            ports + "/COM9\",\"usable\":false}\n"),
              std::string::npos)
        << json.out;
    EXPECT_EQ(json.out.find("NOT JSON"), std::string::npos) << json.out;
    Run_Result open = Cli("status COM9");
    EXPECT_EQ(open.code, 1);
    EXPECT_NE(open.out.find("cannot open COM9: its entry is a link loop"), std::string::npos)
        << open.out;
    unsetenv("KDX_PORTS");
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
