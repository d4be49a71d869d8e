// The Windows backends through the platform layer's own calls, on real files, the real
// registry and a real COM port: scripts/test-windows.sh runs them under Wine with the Linux
// simulator behind COM<KDX_TEST_COM>. What Wine does not do on a pseudo-terminal skips,
// with the reason, only when the program runs under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/file_position.h"
#include "platform/os/handles.h"
#include "platform/os/process.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/os/thread.h"
#include "platform/ports/device_change.h"
#include "platform/ports/port_map.h"
#include "platform/ports/registry.h"
#include "platform/ports/serial.h"
#include "serial/serial_enum.h"
#include "serial/serial_port.h"
#include "tests/support/posix.h"

// Taken before the system's headers make a macro of the name.
constexpr int32_t kLocal_Machine = kdx::platform::HKEY_LOCAL_MACHINE;

#include "platform/os/win32.h"
// After the system's headers, which they need.
#include <aclapi.h>
#include <dbt.h>
#include <sddl.h>
#include <setupapi.h>

namespace kdx::platform {
namespace {

// A fresh folder per test, removed afterwards.
class Win_Test : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        dir_ =
            std::filesystem::temp_directory_path() /
            ("kdx-win-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string Contents(const std::string& path) {
        std::string text;
        Read_Whole_File(path, text);
        return text;
    }
    std::filesystem::path dir_;
};

TEST_F(Win_Test, CreateFileReportsWhatItFoundAsWindowsDoes) {
    Write_Whole_File(Path("there.txt"), "old");
    std::filesystem::create_directory(Path("folder"));
    struct Case {
        const char* name;
        uint32_t disposition;
        bool opens;
        uint32_t error;  // last error after the call
        const char* refusal;
    };
    const Case cases[] = {
        {"there.txt", CREATE_NEW, false, ERROR_FILE_EXISTS, ""},
        {"there.txt", OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
        {"there.txt", CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
        {"new.txt", OPEN_ALWAYS, true, ERROR_SUCCESS, ""},
        {"missing.txt", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, ""},
        {"folder", OPEN_EXISTING, false, ERROR_ACCESS_DENIED, "a folder"},
        {"\\\\.\\NUL", OPEN_EXISTING, false, ERROR_ACCESS_DENIED, "a device"},
    };
    for (const auto& c : cases) {
        std::string path = std::string(c.name).rfind("\\\\", 0) == 0 ? c.name : Path(c.name);
        int32_t h = Create_File(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, c.disposition);
        uint32_t error = Get_Last_Error();
        EXPECT_EQ(Handle_Usable(h), c.opens) << c.name << " " << c.disposition;
        EXPECT_EQ(error, c.error) << c.name << " " << c.disposition;
        EXPECT_EQ(File_Refusal(), c.refusal) << c.name;
        if (Handle_Usable(h)) Close_Handle(h);
    }
    EXPECT_EQ(Contents(Path("there.txt")), "");  // CREATE_ALWAYS emptied it
}

TEST_F(Win_Test, AppendedAndPositionedWritesLandWhereAsked) {
    std::string path = Path("log.txt");
    int32_t log =
        Create_File(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    ASSERT_TRUE(Handle_Usable(log));
    int32_t other =
        Create_File(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(Handle_Usable(other));
    ASSERT_TRUE(Write_File(log, "one\r\n"));
    // Another writer's bytes in between: the appending handle still writes at the end.
    ASSERT_TRUE(Write_File(other, "ONE"));
    ASSERT_TRUE(Write_File(log, "two\r\n"));
    Overlapped at_end;
    at_end.Offset = at_end.Offset_High = Write_At_End;
    uint32_t written = 0;
    ASSERT_TRUE(Write_File_At(other, "three\r\n", &written, at_end));
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(at_end.Internal, 0u);
    Overlapped at_two;
    at_two.Offset = 1;
    ASSERT_TRUE(Write_File_At(other, "x", &written, at_two));
    EXPECT_EQ(Get_File_Size(log), 17);
    Close_Handle(log);
    Close_Handle(other);
    EXPECT_EQ(Contents(path), "OxE\r\ntwo\r\nthree\r\n");
}

TEST_F(Win_Test, ProfileEditsKeepEveryUntouchedByte) {
    std::string page = Path("page.html");
    ASSERT_TRUE(Write_Whole_File(page, "<p>\r\n[COM5]<br>\r\nPort:=COM5\r\n</p>\r\n[Other]\r\n"));
    struct Step {
        const char* section;
        const char* key;
        const char* value;
        const char* file_after;
    };
    const Step steps[] = {
        {"com5", "Port:", "COM7",  // same length: the line alone changes
         "<p>\r\n[COM5]<br>\r\nPort:=COM7\r\n</p>\r\n[Other]\r\n"},
        {"COM5", "Baud:", "57600",  // a new key goes after the section's last key
         "<p>\r\n[COM5]<br>\r\nPort:=COM7\r\nBaud:=57600\r\n</p>\r\n[Other]\r\n"},
        {"COM5", "Port:", "COM12",  // longer: what follows moves
         "<p>\r\n[COM5]<br>\r\nPort:=COM12\r\nBaud:=57600\r\n</p>\r\n[Other]\r\n"},
        {"New", "Key", "v",  // a new section at the end
         "<p>\r\n[COM5]<br>\r\nPort:=COM12\r\nBaud:=57600\r\n</p>\r\n[Other]\r\n[New]\r\nKey=v"
         "\r\n"},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(Write_Private_Profile_String(s.section, s.key, s.value, page), 1) << s.key;
        EXPECT_EQ(Contents(page), s.file_after) << s.key;
        std::string read;
        Get_Private_Profile_String(s.section, s.key, "-", read, 64, page);
        EXPECT_EQ(read, s.value);
    }
    // A page that is not there is made by the first write.
    ASSERT_EQ(Write_Private_Profile_String("A", "B", "C", Path("fresh.html")), 1);
    EXPECT_EQ(Contents(Path("fresh.html")), "[A]\r\nB=C\r\n");
}

TEST_F(Win_Test, WholeFileWriteReplacesAndRefusesAFolder) {
    std::string path = Path("hive.reg");
    ASSERT_TRUE(Write_Whole_File(path, "first"));
    ASSERT_TRUE(Write_Whole_File(path, "second, longer"));
    EXPECT_EQ(Contents(path), "second, longer");
    std::filesystem::create_directory(Path("dir"));
    EXPECT_FALSE(Write_Whole_File(Path("dir"), "x"));
    EXPECT_EQ(File_Failure_Text(Get_Last_Error()), "is a folder");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2);  // no leftovers
}

TEST_F(Win_Test, AHiveFileStillReplacesTheLiveRegistry) {
    std::string hive = Path("machine.reg");
    ASSERT_TRUE(Write_Whole_File(hive,
                                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\"
                                 "SERIALCOMM]\r\n\"\\\\Device\\\\VCP0\"=\"COM42\"\r\n"));
    ::SetEnvironmentVariableW(L"KDX_REGISTRY", win32::Wide(hive).c_str());
    int32_t key = 0;
    int32_t status =
        Reg_Open_Key(kLocal_Machine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, key);
    ::SetEnvironmentVariableW(L"KDX_REGISTRY", nullptr);
    ASSERT_EQ(status, 0);
    char name[64], data[64];
    uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
    EXPECT_EQ(Reg_Enum_Value(key, 0, name, &name_size, &type, data, &data_size), 0);
    EXPECT_STREQ(name, "\\Device\\VCP0");
    EXPECT_STREQ(data, "COM42");
    Reg_Close_Key(key);
}

TEST_F(Win_Test, ProgramsThreadsAndPaths) {
    // A missing program is reported, not started.
    EXPECT_FALSE(Start_Program({"no-such-program-kdx.exe"}));
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
    // The executable's folder is writable here, so its files stay beside it.
    EXPECT_EQ(Module_Data_File_Name(), Module_File_Name());
    EXPECT_NE(Module_File_Name().find("kdx_tests"), std::string::npos) << Module_File_Name();
    // A thread of our own knows itself, and is joined.
    Thread worker;
    std::atomic<int> inside{-1};
    ASSERT_TRUE(worker.Start([&] { inside = worker.Is_Current() ? 1 : 0; }, 0x100000));
    worker.Join();
    EXPECT_EQ(inside, 1);
    EXPECT_FALSE(worker.Is_Current());
    // Sleeps last at least as long as asked.
    int64_t start = Tick_Count_Ms();
    Sleep_Ms(30);
    EXPECT_GE(Tick_Count_Ms() - start, 30);
    std::string folder = Path("a\\b/c");
    EXPECT_TRUE(Make_Directories(folder));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

// The SID of the file's owner as text, "" when it cannot be read.
std::string Owner_Of(const std::string& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    std::wstring wide = win32::Wide(path);
    if (::GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                nullptr, nullptr, nullptr, &security) != ERROR_SUCCESS)
        return std::string();
    wchar_t* text = nullptr;
    std::string sid;
    if (owner && ::ConvertSidToStringSidW(owner, &text)) sid = win32::Narrow(text);
    ::LocalFree(text);
    ::LocalFree(security);
    return sid;
}

// The Unix path of a file under Wine ("" elsewhere).
std::string Unix_Path(const std::string& path) {
    using Unix_Name = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<Unix_Name>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* name = unix_name ? unix_name(win32::Wide(path).c_str()) : nullptr;
    if (!name) return std::string();
    std::string unix_path = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return unix_path;
}

// Starts a program of the host under Wine (command: its Windows path and arguments); Wine
// cannot wait for a Unix process, so the caller waits for what it does.
bool Start_Host_Program(std::wstring command) {
    STARTUPINFOW start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &start, &started))
        return false;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return true;
}

// Hands the file to another user where this machine lets a test, and says whether it did: an
// administrator on Windows may make the system's account its owner; under Wine a file's
// owner is its Unix owner, which a test run as root changes with chown.
bool Give_To_Another_User(const std::string& path) {
    const std::string mine = Owner_Of(path);
    PSID system = nullptr;
    if (::ConvertStringSidToSidW(L"S-1-5-18", &system)) {
        std::wstring wide = win32::Wide(path);
        ::SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, system,
                                nullptr, nullptr, nullptr);
        ::LocalFree(system);
    }
    if (Owner_Of(path) != mine) return true;
    std::string name = Unix_Path(path);
    if (name.empty() || !Start_Host_Program(L"Z:\\bin\\chown 65534 \"" + win32::Wide(name) + L"\""))
        return false;
    // The owner's change is what is waited for.
    for (int64_t end = Tick_Count_Ms() + 5000; Tick_Count_Ms() < end; Sleep_Ms(5))
        if (Owner_Of(path) != mine) return true;
    return false;
}

TEST_F(Win_Test, OnlyAWritableFileOfThisUsersOwnMakesWayForANewOne) {
    ASSERT_TRUE(Write_Whole_File(Path("mine.html"), "an old report"));
    ASSERT_TRUE(Write_Whole_File(Path("kept.html"), "kept read-only"));
    std::wstring kept = win32::Wide(Path("kept.html"));
    ASSERT_TRUE(::SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_READONLY));
    std::filesystem::create_directory(Path("folder"));
    struct Case {
        const char* name;
        bool deleted;
        bool stays;
    };
    const Case cases[] = {
        {"mine.html", true, false},
        {"kept.html", false, true},
        {"folder", false, true},
        {"missing.html", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Delete_Own_File(Path(c.name)), c.deleted) << c.name;
        EXPECT_EQ(File_Exists(Path(c.name)), c.stays) << c.name;
    }
    ::SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Whether a file can be made in folder (not GetTempFileName's word: Wine's says yes when
// the folder refused the file).
bool Writable(const std::string& folder) {
    std::wstring probe = win32::Wide(folder + "\\.kdx-test-probe");
    HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == win32::System_Invalid) return false;
    ::CloseHandle(h);
    return true;
}

// A program in a folder it may not write (installed for all users under Program Files) keeps
// its settings page in the user's %LOCALAPPDATA%\kdx, made for it, and says so. The folder is
// made unwritable the way this machine allows: its read-only attribute (Wine takes the write
// permission away), or, for root under Wine, whom no permission stops, made immutable.
TEST_F(Win_Test, AProgramInAFolderItMayNotWriteKeepsItsFilesInLocalAppData) {
    const std::string app = Path("app");
    std::filesystem::create_directory(app);
    std::filesystem::copy_file(KDX_CLI_PATH, app + "\\kdx-cli.exe");
    std::filesystem::copy_file(KDX_TEST_HELPER_DIR "/" KDX_LIBRARY_PATH,
                               app + "\\" KDX_LIBRARY_PATH);
    const std::wstring wide_app = win32::Wide(app);
    ::SetFileAttributesW(wide_app.c_str(), FILE_ATTRIBUTE_READONLY);
    const std::string unix_app = Unix_Path(app);
    bool immutable = false;
    if (Writable(app) && !unix_app.empty() &&
        Start_Host_Program(L"Z:\\usr\\bin\\chattr +i \"" + win32::Wide(unix_app) + L"\"")) {
        for (int64_t end = Tick_Count_Ms() + 5000; Tick_Count_Ms() < end && Writable(app);)
            Sleep_Ms(5);
        immutable = !Writable(app);
    }
    auto unlock = [&] {
        if (immutable) {
            Start_Host_Program(L"Z:\\usr\\bin\\chattr -i \"" + win32::Wide(unix_app) + L"\"");
            for (int64_t end = Tick_Count_Ms() + 5000; Tick_Count_Ms() < end && !Writable(app);)
                Sleep_Ms(5);
        }
        ::SetFileAttributesW(wide_app.c_str(), FILE_ATTRIBUTE_NORMAL);
    };
    if (Writable(app)) {
        unlock();
        GTEST_SKIP() << "no folder can be made unwritable here (Windows takes a read-only "
                        "attribute for no refusal)";
    }
    const std::string local = Path("local");
    auto run = test::Run_Windows_Program(app + "\\kdx-cli.exe", {"settings"}, dir_.string(),
                                         {"LOCALAPPDATA=" + local});
    unlock();
    const std::string page = local + "\\kdx\\kdx-cli.html";
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, page + "\n") << run.err;
    EXPECT_TRUE(File_Exists(page));
    EXPECT_FALSE(File_Exists(app + "\\kdx-cli.html"));
}

TEST_F(Win_Test, AnotherUsersFileIsNeverDeleted) {
    std::string path = Path("theirs.html");
    ASSERT_TRUE(Write_Whole_File(path, "someone else's report"));
    if (!Give_To_Another_User(path))
        GTEST_SKIP() << "no file can be given to another user here (needs an administrator, or "
                        "root under Wine)";
    EXPECT_FALSE(Delete_Own_File(path));
    EXPECT_EQ(Contents(path), "someone else's report");
}

// ---- the serial line, against the simulator behind COM<KDX_TEST_COM> ----

int32_t Test_Port() {
    const char* text = std::getenv("KDX_TEST_COM");
    return text ? std::atoi(text) : 0;
}

class Win_Serial : public ::testing::Test {
  protected:
    void SetUp() override {
        number_ = Test_Port();
        if (number_ == 0) GTEST_SKIP() << "no simulated port: KDX_TEST_COM is not set";
    }
    void TearDown() override {
        if (handle_ != 0) Serial_Port_Close(handle_);
    }
    int32_t number_ = 0;
    int32_t handle_ = 0;
};

TEST_F(Win_Serial, TheDeviceMapListsThePort) {
    std::string listing = Serial_Port_Enum();
    EXPECT_NE(listing.find("COM" + std::to_string(number_)), std::string::npos) << listing;
    EXPECT_EQ(Comm_Device_Node(number_), Comm_Device_Name(number_));
    EXPECT_EQ(Comm_Device_Node(998), "");
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win_Serial, AStatusQueryIsAnsweredThroughTheOpenPort) {
    int32_t baud = 57600;
    handle_ = Serial_Port_Open(number_, baud);
    ASSERT_TRUE(Handle_Usable(handle_)) << Get_Last_Error();
    DCB dcb;
    ASSERT_TRUE(Get_Comm_State(handle_, dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    // Settings read back as set, other rates included.
    dcb.BaudRate = 9600;
    ASSERT_TRUE(Set_Comm_State(handle_, dcb));
    DCB back;
    ASSERT_TRUE(Get_Comm_State(handle_, back));
    EXPECT_EQ(back.BaudRate, 9600u);
    dcb.BaudRate = 57600;
    ASSERT_TRUE(Set_Comm_State(handle_, dcb));
    // The simulator answers "V" with its status letter alone: the wait wakes for it.
    EXPECT_EQ(Serial_Port_Write(handle_, "V"), "V");
    Comm_Wait got = Wait_Comm_Input(handle_, 0, 10000);
    ASSERT_EQ(got, Comm_Wait::Input) << "error " << Get_Last_Error();
    std::string reply;
    ASSERT_TRUE(Read_Comm(handle_, reply, 256));
    ASSERT_EQ(reply.size(), 1u) << reply;
    EXPECT_NE(std::string("RJBbF").find(reply[0]), std::string::npos) << reply;
}

TEST_F(Win_Serial, AWakeEventEndsAWaitWithNothingToRead) {
    int32_t baud = 57600;
    handle_ = Serial_Port_Open(number_, baud);
    ASSERT_TRUE(Handle_Usable(handle_));
    Serial_Port_Read(handle_);  // whatever came on opening
    int32_t wake = Create_Wake_Event();
    ASSERT_TRUE(Handle_Usable(wake));
    Thread waker;
    ASSERT_TRUE(waker.Start([&] { Set_Wake_Event(wake); }, 0x10000));
    EXPECT_EQ(Wait_Comm_Input(handle_, wake, MAXDWORD), Comm_Wait::Woken) << Get_Last_Error();
    waker.Join();
    Reset_Wake_Event(wake);
    EXPECT_EQ(Wait_Comm_Input(handle_, wake, 0), Comm_Wait::Timeout);
    Close_Handle(wake);
}

// Reads of an empty queue end at once, also when two threads read together while one reply
// comes (the receive poller and a window's read): neither is left waiting for bytes the other
// took. A read that hangs is left behind (its state is shared), so the failure is reported.
TEST_F(Win_Serial, ReadsOfAnEmptyQueueReturnAtOnceBesideAnotherReader) {
    int32_t baud = 57600;
    handle_ = Serial_Port_Open(number_, baud);
    ASSERT_TRUE(Handle_Usable(handle_)) << Get_Last_Error();
    Serial_Port_Read(handle_);  // whatever came on opening
    struct Reads {
        std::mutex lock;
        std::condition_variable changed;
        int done = 0;
        std::string taken[3];
        bool ok[3] = {false, false, false};
    };
    auto reads = std::make_shared<Reads>();
    auto reader = [reads, handle = handle_](int i) {
        return [reads, handle, i] {
            std::string got;
            bool result = Read_Comm(handle, got, 256);
            std::lock_guard<std::mutex> guard(reads->lock);
            reads->ok[i] = result;
            reads->taken[i] = got;
            ++reads->done;
            reads->changed.notify_all();
        };
    };
    auto all_done = [&](int count) {
        std::unique_lock<std::mutex> guard(reads->lock);
        return reads->changed.wait_for(guard, std::chrono::seconds(10),
                                       [&] { return reads->done >= count; });
    };
    Thread threads[3];
    ASSERT_TRUE(threads[0].Start(reader(0), 0x10000));
    ASSERT_TRUE(all_done(1)) << "a read of an empty queue did not return";
    threads[0].Join();
    EXPECT_TRUE(reads->ok[0]);
    EXPECT_EQ(reads->taken[0], "");
    ASSERT_EQ(Serial_Port_Write(handle_, "V"), "V");
    ASSERT_EQ(Wait_Comm_Input(handle_, 0, 10000), Comm_Wait::Input) << Get_Last_Error();
    ASSERT_TRUE(threads[1].Start(reader(1), 0x10000));
    ASSERT_TRUE(threads[2].Start(reader(2), 0x10000));
    ASSERT_TRUE(all_done(3)) << "a read beside another reader did not return";
    threads[1].Join();
    threads[2].Join();
    EXPECT_TRUE(reads->ok[1] && reads->ok[2]);
    // The one status letter went to one reader only.
    std::string both = reads->taken[1] + reads->taken[2];
    ASSERT_EQ(both.size(), 1u) << both;
    EXPECT_NE(std::string("RJBbF").find(both[0]), std::string::npos) << both;
}

TEST_F(Win_Serial, AHeldPortIsRefusedWithAccessDenied) {
    if (win32::Under_Wine())
        GTEST_SKIP() << "Wine opens a pseudo-terminal port twice: no exclusive open";
    int32_t baud = 57600;
    handle_ = Serial_Port_Open(number_, baud);
    ASSERT_TRUE(Handle_Usable(handle_));
    int32_t second = Comm_Open(Comm_Device_Name(number_));
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED);
    if (Handle_Usable(second)) Close_Handle(second);
}

// The Ports class's device of a COM port whose driver keeps a latency timer among its device
// parameters, as the FTDI driver keeps an adapter's; removed again with the object. Made()
// is false where the test may not add devices (Windows without an administrator).
class Ftdi_Parameters {
  public:
    Ftdi_Parameters(int32_t number, DWORD timer_ms) {
        static const GUID ports = {
            0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
        set_ = ::SetupDiCreateDeviceInfoList(&ports, nullptr);
        device_.cbSize = sizeof device_;
        registered_ = set_ != win32::System_Invalid &&
                      ::SetupDiCreateDeviceInfoW(set_, L"PORTS", &ports, nullptr, nullptr,
                                                 DICD_GENERATE_ID, &device_) &&
                      ::SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr);
        if (!registered_) return;
        HKEY key = ::SetupDiCreateDevRegKeyW(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                             nullptr, nullptr);
        made_ = key != win32::System_Invalid;
        if (!made_) return;
        std::wstring name = L"COM" + std::to_wstring(number);
        ::RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                         DWORD((name.size() + 1) * sizeof(wchar_t)));
        ::RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&timer_ms), sizeof timer_ms);
        ::RegCloseKey(key);
    }
    ~Ftdi_Parameters() {
        if (registered_) ::SetupDiRemoveDevice(set_, &device_);
        if (set_ != win32::System_Invalid) ::SetupDiDestroyDeviceInfoList(set_);
    }
    bool Made() const { return made_; }

  private:
    HDEVINFO set_ = win32::System_Invalid;
    SP_DEVINFO_DATA device_{};
    bool registered_ = false;
    bool made_ = false;
};

// Low latency is the driver's setting: an FTDI timer of 1 or 2 ms passes bytes on at once, its
// default 16 ms holds them; a driver that keeps no timer says nothing, and the port is not
// taken for a low-latency one. The listing shows the same.
TEST_F(Win_Serial, TheDriversLatencyTimerSaysWhetherThePortRunsInLowLatency) {
    struct Case {
        DWORD timer_ms;  // 0: no timer kept
        bool low;
        const char* listed;
    };
    const Case cases[] = {
        {0, false, ""},
        {1, true, "low latency"},
        {2, true, "low latency"},
        {16, false, "latency timer 16 ms"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<Ftdi_Parameters> driver;
        if (c.timer_ms) {
            driver = std::make_unique<Ftdi_Parameters>(number_, c.timer_ms);
            if (!driver->Made())
                GTEST_SKIP() << "no device can be added here (administrators only)";
        }
        int32_t port = Comm_Open(Comm_Device_Name(number_));
        ASSERT_TRUE(Handle_Usable(port)) << "error " << Get_Last_Error();
        EXPECT_EQ(Comm_Low_Latency(port), c.low) << c.timer_ms;
        Close_Handle(port);
        std::string listed = "(not listed)";
        for (const auto& entry : Port_Map_List())
            if (entry.Number == number_) listed = entry.Latency;
        EXPECT_EQ(listed, c.listed) << c.timer_ms;
    }
}

TEST(Win_Device_Change, ARegisteredMonitorStartsAndStops) {
    int32_t id = Device_Change_Register([](const Device_Change&) {});
    ASSERT_NE(id, 0) << Get_Last_Error();
    EXPECT_TRUE(Device_Change_Unregister(id));
    EXPECT_FALSE(Device_Change_Unregister(id));
    // The monitor stopped with its last callback; the next registration starts another.
    int32_t again = Device_Change_Register([](const Device_Change&) {});
    ASSERT_NE(again, 0) << Get_Last_Error();
    EXPECT_TRUE(Device_Change_Unregister(again));
    if (win32::Under_Wine())
        GTEST_SKIP() << "Wine sends no WM_DEVICECHANGE when a port's link appears";
}

// What the monitor makes of a device notice, where no adapter can be plugged in (and Wine
// sends none): a port added to the serial device map and the notice Windows broadcasts
// for it, sent to the monitor's window as Windows would, give one arrival named by its port
// and node, then one DBT_DEVNODES_CHANGED; taken out again, one removal.
TEST(Win_Device_Change, ANoticeNamesThePortThatCameAndWent) {
    struct Seen {
        std::mutex lock;
        std::vector<Device_Change> changes;
    };
    auto seen = std::make_shared<Seen>();
    int32_t id = Device_Change_Register([seen](const Device_Change& change) {
        std::lock_guard<std::mutex> guard(seen->lock);
        seen->changes.push_back(change);
    });
    ASSERT_NE(id, 0) << Get_Last_Error();
    // The monitor's window among the process's top-level windows, as a broadcast finds it.
    struct Search {
        HWND found = nullptr;
        std::string seen;
    } search;
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            wchar_t name[64] = {};
            ::GetClassNameW(window, name, 64);
            s->seen += win32::Narrow(name) + " ";
            if (std::wstring(name) == L"KDX_Device_Change_Monitor") s->found = window;
            return s->found == nullptr;
        },
        reinterpret_cast<LPARAM>(&search));
    HWND monitor = search.found;
    if (!monitor && win32::Under_Wine()) {
        Device_Change_Unregister(id);
        GTEST_SKIP() << "Wine without a display lists no top-level window to send the notice to";
    }
    ASSERT_NE(monitor, nullptr) << search.seen;
    HKEY map = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                          REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &map,
                          nullptr) != ERROR_SUCCESS) {
        Device_Change_Unregister(id);
        GTEST_SKIP() << "the serial device map cannot be written here (Windows: administrators "
                        "only)";
    }
    const wchar_t* device = L"\\Device\\KdxNotice0";
    const std::wstring port = L"COM43";
    auto changes = [&](size_t count) {
        for (int64_t end = Tick_Count_Ms() + 5000; Tick_Count_Ms() < end; Sleep_Ms(5)) {
            std::lock_guard<std::mutex> guard(seen->lock);
            if (seen->changes.size() >= count) return seen->changes;
        }
        std::lock_guard<std::mutex> guard(seen->lock);
        return seen->changes;
    };
    ::RegSetValueExW(map, device, 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                     DWORD((port.size() + 1) * sizeof(wchar_t)));
    ::SendMessageW(monitor, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    ::RegDeleteValueW(map, device);
    ::SendMessageW(monitor, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
    ::RegCloseKey(map);
    std::vector<Device_Change> got = changes(4);
    EXPECT_TRUE(Device_Change_Unregister(id));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].Event, uint32_t(DBT_DEVICEARRIVAL));
    EXPECT_EQ(got[0].Port_Name, "COM43");
    EXPECT_EQ(got[0].Node, "\\\\.\\COM43");
    EXPECT_EQ(got[1].Event, uint32_t(DBT_DEVNODES_CHANGED));
    EXPECT_EQ(got[1].Port_Name, "");
    EXPECT_EQ(got[2].Event, uint32_t(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(got[2].Port_Name, "COM43");
    EXPECT_EQ(got[3].Event, uint32_t(DBT_DEVNODES_CHANGED));
}

}  // namespace
}  // namespace kdx::platform
