// Console devices: the ANSI terminal through a real pseudo-terminal, and device selection.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/system.h"
#include "tests/support/run_in_folder.h"
#include "tests/support/temp_dir.h"

namespace kdx {
namespace {

using namespace platform;
using namespace test::run_in_folder;

// ---- the terminal device ----

TEST(Console_Terminal, AttributesBecomeAnsiColours) {
    const std::vector<std::pair<int32_t, std::string>> cases{
        {2, "\x1b[0;32m"},  {10, "\x1b[0;92m"},      {12, "\x1b[0;91m"},
        {14, "\x1b[0;93m"}, {15, "\x1b[0;97m"},      {7, "\x1b[0;37m"},
        {1, "\x1b[0;34m"},  {0x1F, "\x1b[0;97;44m"}, {0xC0, "\x1b[0;30;101m"},
    };
    for (const auto& [attribute, sequence] : cases)
        EXPECT_EQ(Attribute_Sequence(attribute), sequence) << attribute;
}

TEST(Console_Terminal, KeySequences) {
    const std::vector<std::tuple<std::string, int32_t, size_t>> cases{
        {"\x1b[20~", VK_F9, 5},
        {"\x1b[20;2~", VK_F9, 7},
        {"\x1b[F", VK_END, 3},
        {"\x1bOF", VK_END, 3},
        {"\x1b[4~", VK_END, 4},
        {"\x1b[8~", VK_END, 4},
        {"\x1b[1;5F", VK_END, 6},
        {"\x1b[11~", VK_F1, 5},
        {"\x1bOP", VK_F1, 3},
        {"\x1b[[E", VK_F1 + 4, 4},
        {"\x1b[24~", VK_F1 + 11, 5},
        {"\x1b[A", VK_UP, 3},
        {"\x1b[3~", VK_DELETE, 4},
        {"\x1b[99~", VK_OTHER, 5},
        {"\x1bx", VK_OTHER, 2},
        {"q", 'Q', 1},
        {"7x", '7', 1},
        {"\r", VK_RETURN, 1},
        {"\x7f", VK_BACK, 1},
        {"\x03", VK_END, 1},
        {"\xc3\xa9", VK_OTHER, 2},
        {"\x1b", 0, 0},
        {"\x1b[2", 0, 0},
        {"\x1bO", 0, 0},
        {"\xe2\x82", 0, 0},
        {"", 0, 0},
    };
    for (const auto& [bytes, key, used] : cases) {
        auto d = Decode_Terminal_Key(bytes);
        EXPECT_EQ(d.key, key) << testing::PrintToString(bytes);
        EXPECT_EQ(d.used, used) << testing::PrintToString(bytes);
    }
}

class Console_Pty : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0); }
    void TearDown() override {
        if (master_ >= 0) close(master_);
        close(slave_);
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    int master_ = -1, slave_ = -1;
};

TEST_F(Console_Pty, WritesColourOnlyWhenTheAttributeChanges) {
    auto device = Make_Terminal_Console(slave_, slave_, true);
    device->Set_Title("Debug Console");
    device->Write("ab", 10);
    device->Write("cd", 10);
    device->Write("e", 12);
    std::string expected = "\x1b]0;Debug Console\x07\x1b[0;92mabcd\x1b[0;91me";
    EXPECT_EQ(Read_Until(master_, "\x1b[0;91me", 1, 5000), expected);
    device.reset();
    EXPECT_EQ(Read_Until(master_, "\x1b[0m", 1, 5000), "\x1b[0m") << "colours are reset at closing";
}

TEST_F(Console_Pty, ReadsKeysInRawModeAndRestoresTheTerminal) {
    auto device = Make_Terminal_Console(slave_, slave_, true);
    ASSERT_TRUE(device->Has_Keyboard());
    ASSERT_TRUE(device->Begin_Keys());
    termios raw{};
    tcgetattr(slave_, &raw);
    EXPECT_FALSE(raw.c_lflag & ICANON);
    EXPECT_FALSE(raw.c_lflag & ECHO);
    EXPECT_EQ(device->Poll_Key(0), 0);
    const std::vector<std::pair<std::string, int32_t>> keys{
        {"\x1b[20~", VK_F9}, {"\x1b[F", VK_END},  {"\x1bOF", VK_END},
        {"q", 'Q'},          {"\x1b", VK_ESCAPE},  // a lone ESC, told apart by the pause after it
    };
    for (const auto& [bytes, key] : keys) {
        Send(bytes);
        EXPECT_EQ(device->Poll_Key(5000), key) << testing::PrintToString(bytes);
    }
    Send("ab");
    EXPECT_EQ(device->Poll_Key(5000), 'A');
    EXPECT_EQ(device->Poll_Key(5000), 'B');
    ASSERT_TRUE(device->End_Keys());
    termios cooked{};
    tcgetattr(slave_, &cooked);
    EXPECT_TRUE(cooked.c_lflag & ICANON);
    EXPECT_TRUE(cooked.c_lflag & ECHO);
}

TEST_F(Console_Pty, HangUpEndsTheKeyboardWithoutSpinning) {
    auto device = Make_Terminal_Console(slave_, slave_, false);
    ASSERT_TRUE(device->Begin_Keys());
    close(master_);
    master_ = -1;
    auto start = Tick_Count_Ms();
    EXPECT_EQ(device->Poll_Key(5000), 0);
    EXPECT_LT(Tick_Count_Ms() - start, 4000);
    EXPECT_FALSE(device->Has_Keyboard());
}

TEST(Console_Terminal, WithoutColoursOrKeyboard) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        auto device = Make_Terminal_Console(p[1], -1, false);
        device->Set_Title("Debug Console");
        device->Write("plain\r\n", 12);
        EXPECT_FALSE(device->Has_Keyboard());
        EXPECT_EQ(device->Poll_Key(5000), 0);
    }
    close(p[1]);
    EXPECT_EQ(Read_Until(p[0], "\x01never", 1, 2000), "plain\r\n");
    close(p[0]);
}

// ---- device selection ----

struct Window_Stand_In : Console_Device {
    void Write(std::string_view, int32_t) override {}
    void Set_Title(const std::string&) override {}
    bool Has_Keyboard() override { return false; }
    int32_t Poll_Key(uint32_t) override { return 0; }
};

TEST(Console_Selection, ByEnvironment) {
    unsetenv("KDX_CONSOLE");
    EXPECT_NE(Create_Console(), nullptr) << "the terminal by default";
    Register_Console_Device("window", [] { return std::make_unique<Window_Stand_In>(); });
    auto chosen = Create_Console();
    EXPECT_NE(dynamic_cast<Window_Stand_In*>(chosen.get()), nullptr) << "the window once there";
    setenv("KDX_CONSOLE", "terminal", 1);
    chosen = Create_Console();
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(dynamic_cast<Window_Stand_In*>(chosen.get()), nullptr);
    Register_Console_Device("window", nullptr);
    setenv("KDX_CONSOLE", "window", 1);
    EXPECT_NE(Create_Console(), nullptr) << "no window yet: the terminal stands in";

    setenv("KDX_CONSOLE", "capture", 1);
    int32_t before = Capture_Open_Count();
    {
        auto capture = Create_Console();
        EXPECT_EQ(Capture_Open_Count(), before + 1);
    }
    EXPECT_EQ(Capture_Open_Count(), before);

    setenv("KDX_CONSOLE", "none", 1);
    EXPECT_EQ(Create_Console(), nullptr);
    EXPECT_EQ(Get_Last_Error(), uint32_t(ERROR_NOT_SUPPORTED));
    setenv("KDX_CONSOLE", "bogus", 1);
    EXPECT_EQ(Create_Console(), nullptr);
    EXPECT_EQ(Get_Last_Error(), uint32_t(ERROR_INVALID_PARAMETER));
    unsetenv("KDX_CONSOLE");
}

}  // namespace
}  // namespace kdx
