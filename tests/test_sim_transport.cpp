// The simulator's line: registration, its own baud rate, wire time and the fault switches.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/serial.h"
#include "tests/test_serial_fixture.h"

namespace kdx::test {
namespace {

using Sim_Transport = Sim_Port_Test;

TEST_F(Sim_Transport, RegistersWhileRunningOnly) {
    Start_Sim();
    EXPECT_EQ(platform::Ports_Dir_Device(5), sim->Device());
    sim->Stop();
    EXPECT_EQ(platform::Ports_Dir_Device(5), "");
}

TEST_F(Sim_Transport, AnswersOnlyAtItsOwnRate) {
    sim::Sim_Config config;
    config.baud = 19200;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open(57600)));
    Serial_Port_Write(handle, "V");
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 100));
    EXPECT_TRUE(Eventually([&] { return sim->Dropped() == 1; }));
    int32_t baud = 19200;
    Serial_Port_DCB(handle, baud);
    Serial_Port_Write(handle, "V");
    EXPECT_EQ(Read_Until("R"), "R");
    EXPECT_EQ(sim->Received(), "V");
}

TEST_F(Sim_Transport, ReplyShapes) {
    struct Case {
        const char* name;
        sim::Sim_Config config;
        std::string want;
        bool in_pieces;
    };
    sim::Sim_Config nul, pieces, slow, late;
    nul.nul_every = 1;
    pieces.piece_size = 1;
    pieces.piece_gap_ms = 30;
    slow.slow_ms = 30;
    late.late_ms = 50;
    const Case cases[] = {
        {"zero bytes", nul, std::string("R\0", 2), false},
        {"pieces", pieces, "getD0,1.23\r", true},
        {"slow", slow, "getD0,1.23\r", true},
        {"late", late, "R", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start_Sim(c.config);
        ASSERT_TRUE(platform::Handle_Usable(Open()));
        const int32_t zero = 0;
        std::string command = c.want[0] == 'g' ? "F,getD0," : "V";
        int64_t sent_at = platform::Tick_Count_Ms();
        Serial_Port_Write(handle, command, &zero);
        ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
        int64_t first_at = platform::Tick_Count_Ms();
        std::string first = Serial_Port_Read(handle, &zero);
        std::string all = first;
        if (all.size() < c.want.size()) all += Read_Until(c.want.substr(c.want.size() - 1), &zero);
        EXPECT_EQ(all.substr(0, c.want.size()), c.want);
        if (c.in_pieces) {
            EXPECT_LT(first.size(), c.want.size());
        }
        if (c.config.late_ms) {
            EXPECT_GE(first_at - sent_at, c.config.late_ms - 1);
        }
        Serial_Port_Close(handle);
        sim.reset();
    }
}

TEST_F(Sim_Transport, WireTimeHoldsEachByte) {
    sim::Sim_Config config;
    config.baud = 9600;  // about 1 ms a byte
    config.wire_time = true;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open(9600)));
    int64_t start = platform::Tick_Count_Ms();
    sim->Send(std::string(100, 'w') + "END");
    std::string got = Read_Until("END");
    EXPECT_EQ(got.size(), 103u);
    EXPECT_GE(platform::Tick_Count_Ms() - start, 100);  // cannot be faster than the wire
}

TEST_F(Sim_Transport, WireTimeCountsCommandAndReplyBytes) {
    // At 1200 baud a byte takes 8.33 ms: a reply byte reaches the program no sooner than the
    // command's bytes have crossed the line and its own ten bits have followed them.
    struct Case {
        const char* name;
        std::string command;
        std::string reply;
        int32_t late_ms;
    };
    const Case cases[] = {
        {"status query", "V", "R", 0},
        {"value query", "F,getD0,", "getD0,1.23\r", 0},
        {"late reply", "V", "R", 30},
    };
    const int64_t byte_ns = 10 * int64_t(1000000000) / 1200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex lock;
        std::vector<int64_t> written_ns;
        sim::Sim_Config config;
        config.baud = 1200;
        config.wire_time = true;
        config.late_ms = c.late_ms;
        config.on_write = [&](std::string_view bytes, int64_t now_ns) {
            std::lock_guard<std::mutex> guard(lock);
            for (size_t i = 0; i < bytes.size(); ++i) written_ns.push_back(now_ns);
        };
        Start_Sim(config);
        ASSERT_TRUE(platform::Handle_Usable(Open(1200)));
        const int32_t zero = 0;
        int64_t sent_ns = platform::Query_Performance_Counter();
        Serial_Port_Write(handle, c.command, &zero);
        EXPECT_EQ(Read_Until(c.reply.substr(c.reply.size() - 1), &zero), c.reply);
        {
            std::lock_guard<std::mutex> guard(lock);
            ASSERT_EQ(written_ns.size(), c.reply.size());
            for (size_t k = 0; k < written_ns.size(); ++k) {
                int64_t earliest = sent_ns + int64_t(c.command.size() + k + 1) * byte_ns +
                                   int64_t(c.late_ms) * 1000000;
                EXPECT_GE(written_ns[k], earliest) << "reply byte " << k;
            }
        }
        Serial_Port_Close(handle);
        handle = 0;
        sim.reset();
    }
}

TEST_F(Sim_Transport, FloodFollowsTheFirstReplyWhole) {
    sim::Sim_Config config;
    config.flood_bytes = 200000;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_Write(handle, "V");
    std::string want = "R" + sim::Flood_Text(config.flood_bytes);
    std::string got;
    Eventually([&] {
        if (Serial_Port_Wait_Input(handle, 50)) got += Serial_Port_Read(handle);
        return got.size() >= want.size();
    });
    EXPECT_TRUE(got == want) << got.size();
}

TEST_F(Sim_Transport, HangsUpAfterItsReplies) {
    sim::Sim_Config config;
    config.hangup_after = 2;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_Write(handle, "V");
    Serial_Port_Write(handle, "V");
    ASSERT_TRUE(sim->Wait_Ended(5000));
    EXPECT_TRUE(sim->Hung_Up());
    EXPECT_EQ(platform::Ports_Dir_Device(5), "");
}

// The program, as the run command starts it.
TEST(Sim_Program, HelpExplainsEverySwitch) {
    FILE* out = popen(KDX_SIM_PATH " --help", "r");
    ASSERT_NE(out, nullptr);
    std::string help;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) help.append(buf, n);
    EXPECT_EQ(pclose(out), 0);
    for (const char* option : {"--port", "--no-register", "--baud", "--wire", "--greeting",
                               "--late", "--slow", "--pieces", "--nul", "--flood", "--hangup-after",
                               "--hangup-ms", "--answer-limit", "--corrupt", "--quiet-ms"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_EQ(system(KDX_SIM_PATH " --bogus 2>/dev/null") >> 8, 2);
}

// Bad arguments get a usage error that names the problem; no number wraps around.
TEST(Sim_Program, BadArgumentsAreUsageErrors) {
    const std::pair<const char*, const char*> cases[] = {
        {"--bogus", "kdx-sim: unknown option --bogus\n"},
        {"stray", "kdx-sim: unexpected argument stray"},
        {"--pieces 2147483648", "--pieces takes N[:GAP]"},
        {"--pieces 4294967297", "--pieces takes N[:GAP]"},
        {"--pieces 8:4294967296", "--pieces takes N[:GAP]"},
        {"--pieces 0", "--pieces takes N[:GAP]"},
        {"--corrupt 1:4294967297", "--corrupt takes AXIS:STEP"},
        {"--corrupt 5:1", "--corrupt takes AXIS:STEP"},
        {"--port 1000", "--port takes 1 to 999, not 1000"},
        {"--baud 9600x", "--baud takes a number from 1 to 4000000, not 9600x"},
        {"--late 2147483648", "--late takes a number from 0 to 2147483647"},
        {"--slow -1", "--slow takes a number"},
        {"--nul +5", "--nul takes a number"},
        {"--flood 4294967296", "--flood takes a number from 0 to 1073741824"},
        {"--hangup-after 2147483648", "--hangup-after takes a number"},
        {"--hangup-ms 1e3", "--hangup-ms takes a number"},
        {"--answer-limit 4294967296", "--answer-limit takes a number"},
        {"--quiet-ms ''", "--quiet-ms takes a number"},
        {"--late", "kdx-sim: missing value for --late"},
    };
    for (const auto& [args, message] : cases) {
        // A simulator that took the arguments would run until stopped.
        std::string command =
            std::string("timeout 5 " KDX_SIM_PATH " --no-register ") + args + " 2>&1";
        FILE* out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char buf[512];
        for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
        int status = pclose(out);
        EXPECT_EQ(WEXITSTATUS(status), 2) << args;
        EXPECT_NE(text.find(message), std::string::npos) << args << ": " << text;
    }
}

TEST(Sim_Program, RegistersAndRemovesItsEntryOnExit) {
    Temp_Dir dir;
    setenv("KDX_PORTS", dir.path().c_str(), 1);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl(KDX_SIM_PATH, "kdx-sim", "--port", "9", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    EXPECT_EQ(line.rfind("COM9 /dev/pts/", 0), 0u) << line;
    EXPECT_NE(platform::Ports_Dir_Device(9), "");
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(platform::Ports_Dir_Device(9), "");
    unsetenv("KDX_PORTS");
}

}  // namespace
}  // namespace kdx::test
