// The open port's keys in the diagnostic report, asked of a simulated controller, for machines
// described by hive files.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/os/file.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "protocol/kdx_report.h"
#include "protocol/report.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/serial_fixture.h"

namespace kdx {
namespace {

class Kdx_Report : public test::Sim_Port_Test {
  protected:
    void SetUp() override {
        Sim_Port_Test::SetUp();
        saved_ = platform::Current_Directory();
        platform::Set_Current_Directory(machine.path());
    }
    void TearDown() override {
        platform::Set_Current_Directory(saved_);
        Sim_Port_Test::TearDown();
    }
    std::string Key(const std::string& name, const std::string& section, const std::string& label) {
        std::string value;
        platform::Get_Private_Profile_String(section, std::string(Report_Key_Prefix) + label,
                                             "<none>", value, 1024, machine.path() + "/" + name);
        return value;
    }
    test::Registry_Machine machine;
    std::string saved_;
};

struct Port_Case {
    const char* name;
    const char* device;  // the serial device map's name of COM5
    int32_t axes;
    int32_t answer_limit;
    const char* section;  // the port's block in the report
    const char *type, *answer, *axis_count;
    int32_t late_ms = 0;  // the status letter comes this long after its query
};

void PrintTo(const Port_Case& c, std::ostream* os) {
    *os << c.name;
}

class Kdx_Report_Keys : public Kdx_Report, public testing::WithParamInterface<Port_Case> {};

TEST_P(Kdx_Report_Keys, KeysDescribeThePortThatIsOpen) {
    const Port_Case& c = GetParam();
    machine.Use_Hive(std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
                                 "\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"\\\\Device\\\\") +
                     c.device + "\"=\"COM5\"\n");
    sim::Sim_Config config;
    config.model.axes = c.axes;
    config.model.answer_limit = c.answer_limit;
    config.late_ms = c.late_ms;
    if (c.late_ms) config.late_replies = 1;  // the letter alone: the axes query is answered
    Start_Sim(config);
    Open();
    std::string name = HTML_Template_Create();
    EXPECT_EQ(KDX_Report_Port_Keys(name), 4);
    EXPECT_EQ(Key(name, c.section, "Port Type:"), c.type);
    EXPECT_EQ(Key(name, c.section, "PortNum:"), "5");
    EXPECT_EQ(Key(name, c.section, "Device:"), c.answer);
    EXPECT_EQ(Key(name, std::string(c.section) + " - Device", "Num of Axis:"), c.axis_count);
    // The other port's block keeps its empty labels, and no made-up section appears.
    EXPECT_EQ(Key(name, "COM1", "Port Type:"), "");
    EXPECT_EQ(Key(name, "COM1", "PortNum:"), "<none>");
    EXPECT_EQ(Key(name, "BTH_COM5", "PortNum:"),
              std::string(c.section) == "BTH_COM5" ? "5" : "<none>");
    // The keys go inside the port's block, before the document's end.
    std::string text;
    ASSERT_TRUE(platform::Read_Whole_File(machine.path() + "/" + name, text));
    EXPECT_LT(text.find("PortNum:=5"), text.find("</body>"));
}

INSTANTIATE_TEST_SUITE_P(Ports, Kdx_Report_Keys,
                         testing::Values(Port_Case{"ftdi_two_axes", "VCP0", 2, -1, "COM5",
                                                   "FTDI USB Adapter", "KDX", "2"},
                                         Port_Case{"edgeport_four_axes", "EdgeSer0", 4, -1, "COM5",
                                                   "EdgePort USB Adapter", "KDX", "4"},
                                         Port_Case{"bluetooth", "BthModem0", 1, -1, "BTH_COM5",
                                                   "UnKnown Port Type", "KDX", "1"},
                                         Port_Case{"silent_controller", "VCP0", 4, 0, "COM5",
                                                   "FTDI USB Adapter", "No Response", ""},
                                         // Past the status query's own wait: a slow adapter's
                                         // unit, or a loaded machine's, is still there.
                                         Port_Case{"late_letter", "BthModem0", 2, -1, "BTH_COM5",
                                                   "UnKnown Port Type", "KDX", "2", 200}));

// With no port open the report keeps only its labels and the line stays quiet.
TEST_F(Kdx_Report, NoPortOpenWritesNoKeysAndSendsNothing) {
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\VCP0\"=\"COM5\"\n");
    Start_Sim();
    std::string name = HTML_Template_Create();
    std::string before, after;
    ASSERT_TRUE(platform::Read_Whole_File(machine.path() + "/" + name, before));
    EXPECT_EQ(KDX_Report_Port_Keys(name), 0);
    ASSERT_TRUE(platform::Read_Whole_File(machine.path() + "/" + name, after));
    EXPECT_EQ(after, before);
    EXPECT_EQ(sim->Received(), "");
}

}  // namespace
}  // namespace kdx
