// Port discovery over machines described by hive files: the registry readers, the Terminal's
// port list, the port table with adapter types and line settings, and the arbiter look-ups;
// and the device probe that tells which port holds a controller.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/registry.h"
#include "serial/serial_enum.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/serial_fixture.h"
#include "trace/trace.h"

using namespace kdx;

namespace {

const std::string Header = "REGEDIT4\n\n";
const std::string Serial_Comm = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
const std::string Ports =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n";
const std::string Arbiter =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices]\n";

// The machine of the edge cases: an on-board port, a Bluetooth port, the adapters whose
// names trip the type table, and settings texts of every shape.
const std::string Machine = Header + Serial_Comm +
                            "\"\\\\Device\\\\Serial0\"=\"COM1\"\n"
                            "\"\\\\Device\\\\BthModem0\"=\"COM7\"\n"
                            "\"\\\\Device\\\\ProlificSerial0\"=\"COM4\"\n"
                            "\"\\\\Device\\\\VCP0\"=\"COM5\"\n"
                            "\"\\\\Device\\\\U2SPORT1\"=\"COM6\"\n"
                            "\"\\\\Device\\\\Mystery\"=\"COM8\"\n" +
                            Ports +
                            "\"COM1:\"=\"9600,n,8,1\"\n"
                            "\"COM4:\"=\"19200,E,7,2,x\"\n"
                            "\"COM5:\"=\"4800,q,8,1,p\"\n"
                            "\"COM6:\"=\"2400,Q,8,1.5,Z\"\n" +
                            Arbiter +
                            "\"COM5\"=\"usb-FTDI_FT232R_A1-if00\"\n\"COM9\"=dword:00000007\n";

TEST(Serial_Enum_Port_List, ListsEveryMapValueInOrderWithBluetoothMarked) {
    test::Registry_Machine machine;
    machine.Use_Hive(Machine);
    std::vector<std::string> ports = {"stale"};
    EXPECT_EQ(Serial_Terminal_Port_Enum(ports), 6);
    const std::vector<std::string> expected = {"COM1", "BTH_COM7", "COM4", "COM5", "COM6", "COM8"};
    EXPECT_EQ(ports, expected);
}

TEST(Serial_Enum_Port_List, NoPortsOrNoKeyGiveAnEmptyListAndAnEmptyTable) {
    test::Registry_Machine machine;
    for (const std::string& hive : {Header + Serial_Comm, Header + Ports}) {
        SCOPED_TRACE(hive);
        machine.Use_Hive(hive);
        std::vector<std::string> ports;
        EXPECT_EQ(Serial_Terminal_Port_Enum(ports), 0);
        EXPECT_TRUE(ports.empty());
        EXPECT_EQ(Serial_Port_Enum(), "");
        EXPECT_TRUE(Serial_Port_Table.empty());
    }
    // A failed open leaves the caller's list as it was.
    std::vector<std::string> kept = {"COM2"};
    EXPECT_EQ(Serial_Terminal_Port_Enum(kept), 0);
    EXPECT_EQ(kept, std::vector<std::string>{"COM2"});
}

struct Row {
    const char* friendly;
    const char* type;
    const char* description;
    int32_t number;
    const char* baud;
    const char* parity;
    const char* data_bits;
    const char* stop_bits;
    const char* handshake;
};

TEST(Serial_Enum_Port_Table, DescribesAdaptersAndTranslatesSettings) {
    test::Registry_Machine machine;
    machine.Use_Hive(Machine);
    Serial_Port_Table.assign(9, Serial_Port_Info{});  // left from an earlier call
    Serial_Port_Enum();
    const Row expected[] = {
        {"COM1", "Serial0", "RS232", 1, "9600", "None", "8", "1", "None"},
        // Removing "COM" leaves BTH_7: no number, and no settings were found for it.
        {"BTH_COM7", "BthModem0", "UnKnown Port Type", 0, "", "", "", "", "None"},
        // "Serial" is tried first, so the Prolific adapter reads as RS232.
        {"COM4", "ProlificSerial0", "RS232", 4, "19200", "Even", "7", "2", "Xon/Xoff"},
        {"COM5", "VCP0", "FTDI USB Adapter", 5, "4800", "q", "8", "1", "Hardware"},
        {"COM6", "U2SPORT1", "Belkin/Targus/IO-Gear", 6, "2400", "q", "8", "1.5", "z"},
        {"COM8", "Mystery", "UnKnown Port Type", 8, "", "", "", "", "None"},
    };
    ASSERT_EQ(Serial_Port_Table.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Serial_Port_Info& info = Serial_Port_Table[i];
        const Row& row = expected[i];
        SCOPED_TRACE(row.friendly);
        EXPECT_EQ(info.Friendly_Name, row.friendly);
        EXPECT_EQ(info.Real_Name, std::string("\\Device\\") + row.type);
        EXPECT_EQ(info.Type, row.type);
        EXPECT_EQ(info.Type_Description, row.description);
        EXPECT_EQ(info.Port_Number, row.number);
        EXPECT_EQ(info.Baud, row.baud);
        EXPECT_EQ(info.Parity, row.parity);
        EXPECT_EQ(info.Data_Bits, row.data_bits);
        EXPECT_EQ(info.Stop_Bits, row.stop_bits);
        EXPECT_EQ(info.Handshake, row.handshake);
    }
}

TEST(Serial_Enum_Port_Table, EnumTextHasOneLinePerNumberedPortRunTogether) {
    test::Registry_Machine machine;
    machine.Use_Hive(Header + Serial_Comm +
                     "\"\\\\Device\\\\Serial0\"=\"COM1\"\n"
                     "\"\\\\Device\\\\BthModem0\"=\"COM7\"\n"
                     "\"\\\\Device\\\\VCP0\"=\"COM3\"\n" +
                     Ports + "\"COM1:\"=\"9600,n,8,1\"\n\"COM3:\"=\"19200,E,7,2,x\"\n");
    const std::string gap = "     ";
    std::string expected =
        "Friendly Name: COM1" + gap + "Baud: 9600" + gap + "Data Bits: 8" + gap + "Parity: None" +
        gap + "Stop Bits: 1" + gap + "Handshake: None" + gap + "Real Name: \\Device\\Serial0" +
        gap + "Type: Serial0" + gap + "Type Description: RS232" + gap + "Friendly Name: COM3" +
        gap + "Baud: 19200" + gap + "Data Bits: 7" + gap + "Parity: Even" + gap + "Stop Bits: 2" +
        gap + "Handshake: Xon/Xoff" + gap + "Real Name: \\Device\\VCP0" + gap + "Type: VCP0" + gap +
        "Type Description: FTDI USB Adapter" + gap;
    EXPECT_EQ(Serial_Port_Enum(), expected);
}

TEST(Serial_Enum_Port_Table, LongTextsAreCutToTheirFieldsAndEmptyNamesStayBlank) {
    test::Registry_Machine machine;
    std::string device = "VCP" + std::string(67, 'V');
    machine.Use_Hive(Header + Serial_Comm + "\"\\\\Device\\\\" + device + "\"=\"COM3\"\n" +
                     "\"\"=\"COM4\"\n" + Ports + "\"COM3:\"=\"1234567890123,n,123456,1,x\"\n");
    Serial_Port_Enum();
    ASSERT_EQ(Serial_Port_Table.size(), 2u);
    const Serial_Port_Info& info = Serial_Port_Table[0];
    EXPECT_EQ(info.Real_Name, ("\\Device\\" + device).substr(0, 49));
    EXPECT_EQ(info.Type, device.substr(0, 41));
    EXPECT_EQ(info.Type_Description, "FTDI USB Adapter");
    EXPECT_EQ(info.Baud, "123456789");
    EXPECT_EQ(info.Data_Bits, "1234");
    EXPECT_EQ(Serial_Port_Table[1].Friendly_Name, "");
    EXPECT_EQ(Serial_Port_Table[1].Port_Number, 0);
}

TEST(Serial_Enum_Registry, DwordValuesReadAsDecimalTextThroughBothReaders) {
    test::Registry_Machine machine;
    machine.Use_Hive(Header + Arbiter + "\"COM9\"=dword:00000007\n\"Neg\"=dword:fffffffe\n" +
                     "\"Multi\"=hex(7):61,00,62,00,00\n\"Raw\"=hex:01,00,7f\n");
    int32_t root = platform::HKEY_LOCAL_MACHINE;
    std::string data;
    int32_t type = -1;
    EXPECT_EQ(Registry_Get_Value(root, Registry_Arbiter_Key, "COM9", data, type), 0);
    EXPECT_EQ(data, "7");
    EXPECT_EQ(type, 4);
    EXPECT_EQ(Registry_Get_Value(root, Registry_Arbiter_Key, "Neg", data, type), 0);
    EXPECT_EQ(data, "-2");
    EXPECT_EQ(Registry_Get_Value(root, Registry_Arbiter_Key, "Multi", data, type), 0);
    EXPECT_EQ(data, std::string("a\0b", 3));  // inner separators stay
    EXPECT_EQ(type, 7);
    EXPECT_EQ(Registry_Get_Value(root, Registry_Arbiter_Key, "Raw", data, type), 0);
    EXPECT_EQ(data, std::string("\x01\x00\x7f", 3));

    std::vector<std::string> names, values;
    std::vector<int32_t> types;
    int32_t count = 0;
    EXPECT_EQ(Registry_Enum_Values(root, Registry_Arbiter_Key, names, types, values, count), 0);
    ASSERT_EQ(count, 4);
    EXPECT_EQ(names[0], "COM9");
    EXPECT_EQ(values[0], "7");
    EXPECT_EQ(types[0], 4);
    EXPECT_EQ(values[1], "-2");
    EXPECT_EQ(values[2], "a");  // up to the first zero byte
}

TEST(Serial_Enum_Registry, GetValueFailuresGiveTheStatusAndEmptyData) {
    test::Registry_Machine machine;
    machine.Use_Hive(Machine);
    int32_t root = platform::HKEY_LOCAL_MACHINE;
    std::string data = "old";
    int32_t type = 9;
    EXPECT_EQ(Registry_Get_Value(root, "SOFTWARE\\Absent", "x", data, type),
              int32_t(platform::ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(data, "");
    EXPECT_EQ(type, 0);
    EXPECT_EQ(Registry_Get_Value(root, Registry_Arbiter_Key, "COM77", data, type),
              int32_t(platform::ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "usb-FTDI_FT232R_A1-if00");
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM2"), "");
    EXPECT_EQ(Serial_Terminal_COM_Name_Arbiter("COM5", "anything"), 0);
}

// One value too long for the listing's buffers (a hand-made hive file) is left out with a
// warning naming it; the ports before and after it are listed.
TEST(Serial_Enum_Registry, AValueOverTheBufferIsSkippedWithAWarning) {
    test::Registry_Machine machine;
    const struct {
        const char* name;
        std::string value;
        std::string warning;
    } cases[] = {
        {"a long name", "\"\\\\Device\\\\BTH" + std::string(300, 'x') + "\"=\"COM9\"",
         "skipped the value \"\\Device\\BTH" + std::string(29, 'x') +
             "...\": its name is longer than 259 characters"},
        {"long data", "\"\\\\Device\\\\VCP9\"=\"COM" + std::string(300, '9') + "\"",
         "skipped the value \"\\Device\\VCP9\": its data is longer than 259 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine.Use_Hive(Header + Serial_Comm + "\"\\\\Device\\\\Serial0\"=\"COM1\"\n" + c.value +
                         "\n\"\\\\Device\\\\VCP0\"=\"COM3\"\n");
        int32_t root = platform::HKEY_LOCAL_MACHINE;
        std::vector<std::string> names, values;
        std::vector<int32_t> types;
        int32_t count = 0;
        EXPECT_EQ(Registry_Enum_Values(root, Registry_Serial_Comm_Key, names, types, values, count),
                  0);
        EXPECT_EQ(values, (std::vector<std::string>{"COM1", "COM3"}));
        EXPECT_EQ(Serial_Port_Enum_Warnings(), std::vector<std::string>{c.warning});
        EXPECT_NE(Serial_Port_Enum(), "");
        EXPECT_EQ(Serial_Port_Enum_Failure(), "");
        ASSERT_EQ(Serial_Port_Table.size(), 2u);
        EXPECT_EQ(Serial_Port_Table[1].Friendly_Name, "COM3");
    }
}

// The hive file is parsed once and kept while it stays the same; a change to it, of its size
// or only of its content and time, is seen by the next lookup.
TEST(Serial_Enum_Registry, AChangedHiveFileIsReadAgain) {
    test::Registry_Machine machine;
    auto hive = [](const std::string& identity) {
        return Header + Arbiter + "\"COM5\"=\"" + identity + "\"\n";
    };
    // Kept only once its write time lies back a while: an hour back, as a file long written.
    auto age = [](const std::string& path) {
        std::filesystem::last_write_time(
            path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    };
    std::string path = machine.Use_Hive(hive("first-adapter"));
    age(path);
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "first-adapter");
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "first-adapter");
    // The same size: only the write time tells.
    std::ofstream(path, std::ios::binary) << hive("other-adapter");
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "other-adapter");
    age(path);
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "other-adapter");
    // Another size, the write time put back to what it was.
    std::ofstream(path, std::ios::binary) << hive("a-longer-adapter");
    age(path);
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "a-longer-adapter");
    std::filesystem::remove(path);
    EXPECT_EQ(Serial_Terminal_COM_Name_Value("COM5"), "");
}

TEST(Serial_Enum_Port_Table, TypeTableMatchesAnywhereInAnyCaseFirstRowWins) {
    const std::pair<const char*, const char*> cases[] = {
        {"serial3", "RS232"},
        {"ProlificSerial0", "RS232"},
        {"myvcp", "FTDI USB Adapter"},
        {"EDGESER2", "EdgePort USB Adapter"},
        {"Winachsf0", "Targus USB Adapter or Conexant Modem"},
        {"NiSerP1", "NI Virtual Com"},
        {"NTPNP_PCI0001", "NI Virtual Com"},
        {"NIPALK", "NI Virtual Com"},
        {"x19h2kp", "KeySpan"},
        {"USBSER000", "UnKnown Port Type"},
        {"", "UnKnown Port Type"},
    };
    for (const auto& [type, description] : cases)
        EXPECT_EQ(Serial_Port_Type_Description(type), description) << type;
}

}  // namespace

namespace {

// What the trace console shows while fn runs; log (when given) gets the debug log's text.
template <class F>
std::string Traced(F&& fn, std::string* log = nullptr) {
    // The debug log goes to the current directory: keep it in a folder of the test's own.
    test::Temp_Dir logs;
    std::string saved = platform::Current_Directory();
    platform::Set_Current_Directory(logs.path());
    setenv("KDX_CONSOLE", "capture", 1);
    platform::Capture_Reset();
    ErrCheck_Debug(1);
    fn();
    std::string log_path = trace::Debug_Log_Path();
    ErrCheck_Debug(0);
    unsetenv("KDX_CONSOLE");
    platform::Set_Current_Directory(saved);
    if (log) {
        std::ifstream in(log_path, std::ios::binary);
        log->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return platform::Capture_Text();
}

TEST(Serial_Enum_Port_Trace, MissingKeysAreReportedAndLinesShownButNoStaleErrors) {
    test::Registry_Machine machine;
    machine.Use_Hive(Header + Serial_Comm + "\"\\\\Device\\\\Serial0\"=\"COM1\"\n");
    std::string text = Traced([] {
        // An older failure must not show up as an error of the registry readers.
        platform::Set_Last_Error(platform::ERROR_ACCESS_DENIED);
        Serial_Port_Enum();
    });
    EXPECT_NE(text.find("SERIAL_PORT_ENUM()"), std::string::npos) << text;
    EXPECT_NE(text.find("Friendly Name: COM1     Baud: "), std::string::npos) << text;
    // The Ports key is missing from this machine: the settings read reports it.
    EXPECT_NE(text.find("Error: 2 - The system cannot find the file specified."), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Error: 5"), std::string::npos) << text;

    machine.Use_Hive(Machine);
    text = Traced([] { Serial_Terminal_COM_Name_Value("COM5"); });
    EXPECT_EQ(text.find("Error:"), std::string::npos) << text;
    EXPECT_NE(text.find("usb-FTDI_FT232R_A1-if00"), std::string::npos) << text;
}

// Each listed port's line is debug text: on the console in green, one level below the
// procedure's entry line, and in the debug log with its own line end (not a comment, whose
// log text has none).
TEST(Serial_Enum_Port_Trace, EachPortsLineIsDebugTextOnConsoleAndLog) {
    test::Registry_Machine machine;
    machine.Use_Hive(Header + Serial_Comm + "\"\\\\Device\\\\Serial0\"=\"COM1\"\n");
    std::string line, log;
    Traced([&] { line = Serial_Port_Enum(); }, &log);
    ASSERT_NE(line, "");
    std::string shown = std::string(10, ' ') + line + "\r\n";
    bool found = false;
    for (const auto& segment : platform::Capture_Segments())
        found = found || (segment.attribute == 2 && segment.text.find(shown) != std::string::npos);
    EXPECT_TRUE(found) << platform::Capture_Text();
    EXPECT_NE(log.find(shown), std::string::npos) << log;
}

}  // namespace

// The device probe against the simulated controller, and against a bare pseudo-terminal
// that answers exactly what a test needs (a reply the simulator would never give).
namespace {

using Serial_Enum_Probe = test::Sim_Port_Test;

TEST_F(Serial_Enum_Probe, SimulatedControllerIsAQmtInEachOfItsModes) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    struct Step {
        const char* command;  // sent first to set the mode ("" none)
        const char* reply;
    };
    const Step steps[] = {{"", "QMT"}, {"Q,", "QMT"}, {"F,", "QMT"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.command);
        if (*step.command) {
            Serial_Port_Write(handle, step.command);
            // The mode is set once the controller has taken the command.
            ASSERT_TRUE(test::Eventually(
                [&] { return sim->Received().find(step.command) != std::string::npos; }));
            Serial_Port_Read(handle);
        }
        EXPECT_EQ(Serial_Port_Device(handle, 0), step.reply);
    }
    EXPECT_NE(sim->Received().find("V,"), std::string::npos);
}

TEST_F(Serial_Enum_Probe, AnswerAfterWireTimeAndLatencyIsStillTaken) {
    // Reading at once would find nothing yet and call the controller missing.
    sim::Sim_Config config;
    config.late_ms = 5;
    config.wire_time = true;
    Start_Sim(config);
    Open();
    EXPECT_EQ(Serial_Port_Device(handle, 0), "QMT");
}

TEST_F(Serial_Enum_Probe, ReceivePollerDoesNotTakeTheAnswer) {
    Start_Sim();
    Open();
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(Serial_Port_State.Poller, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Serial_Port_Device(handle, i), "QMT") << i;
}

TEST_F(Serial_Enum_Probe, SilentDeviceIsNotFoundAndUnusableHandlesSendNothing) {
    sim::Sim_Config config;
    config.model.answer_limit = 0;
    Start_Sim(config);
    Open();
    EXPECT_EQ(Serial_Port_Device(handle, 0), "Device not found");
    std::string before = sim->Received();
    int32_t none = 0;
    EXPECT_EQ(Serial_Port_Device(none, 0), "Device not found");
    int32_t invalid = -1;
    EXPECT_EQ(Serial_Port_Device(invalid, 0), "");
    // A marker written after them arrives behind anything they sent.
    Serial_Port_Write(handle, "#");
    ASSERT_TRUE(test::Eventually([&] { return sim->Received().size() > before.size(); }));
    EXPECT_EQ(sim->Received(), before + "#");
}

// A device that answers every "V," with a fixed text, in one write. It answers from the
// write's echo, on the writer's thread once the bytes are out: an answer from a thread of its
// own could come after the probe's bounded wait on a busy machine. A read of the master takes
// what the slave has just written, and the probe's wait sees the answer at once.
class Scripted_Device final : public Echo_Sink {
  public:
    // Takes the echo while it lives.
    explicit Scripted_Device(std::string answer) : answer_(std::move(answer)) {
        ok_ = platform::Pty_Open(pair_);
        Echo_Set_Sink(this);
    }
    ~Scripted_Device() override {
        Echo_Set_Sink(nullptr);
        platform::Pty_Close(pair_);
    }
    bool ok() const { return ok_; }
    const std::string& device() const { return pair_.device; }

    void Echo_Apply(const Echo_Document& document) override {
        if (document.Kind != Echo_Kind::Sent) return;
        char buf[256];
        while (size_t n = platform::Pty_Read(pair_.master, buf, sizeof buf)) got_.append(buf, n);
        while (got_.find("V,") != std::string::npos) {
            got_.erase(0, got_.find("V,") + 2);
            if (!answer_.empty()) platform::Pty_Write(pair_.master, answer_);
        }
    }
    bool Echo_Plain() const override { return true; }

  private:
    std::string answer_;
    std::string got_;
    platform::Pty_Pair pair_;
    bool ok_ = false;
};

TEST_F(Serial_Enum_Probe, WholeReplyIsLookedUpCaseSensitively) {
    const std::pair<const char*, const char*> cases[] = {
        {"R", "QMT"},
        {"B", "QMT"},
        {"J", "QMT"},
        {"b", "QMT"},
        {"S", "ZLR"},
        {"D", "ZLR"},
        {"P", "ZLR"},
        {"RB", "Device not found"},  // two replies run together
        {"r", "Device not found"},
        {"F", "Device not found"},
        {"R\r", "Device not found"},
        {"", "Device not found"},
    };
    for (const auto& [answer, type] : cases) {
        SCOPED_TRACE(answer);
        Scripted_Device device(answer);
        ASSERT_TRUE(device.ok());

        ASSERT_TRUE(platform::Ports_Dir_Register(6, device.device()));
        int32_t number = 6, baud = 9600;
        int32_t port = Serial_Port_Open(number, baud);
        ASSERT_TRUE(platform::Handle_Usable(port));
        EXPECT_EQ(Serial_Port_Device(port, 0), type);
        Serial_Port_Close(port);
    }
}

}  // namespace
