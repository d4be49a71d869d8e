// A full disk, for real: kdx-cli runs in a private mount namespace from a small tmpfs that is
// filled to its last page before the command starts. Pages, reports and the port log that
// cannot be written are reported with exit status 1, and no empty or cut-short file stays.
#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/port_log_name.h"
#include "tests/support/serial_fixture.h"

namespace kdx::test {
namespace {

using Cli_Full_Disk = Sim_Port_Test;

struct Shell_Result {
    int status = -1;
    std::string out;
};

// Runs script with $D a tmpfs holding a copy of kdx-cli and of the helper program (as
// "kdx"), filled up but for free_bytes, in the folder $D; prints the files left there after
// the script as "left: NAME SIZE".
Shell_Result Run_On_Full_Disk(const std::string& script, int free_bytes) {
    // Room for the two programs, however large a sanitizer build makes them.
    uintmax_t programs = std::filesystem::file_size(KDX_CLI_PATH) +
                         std::filesystem::file_size(KDX_TEST_HELPER_DIR "/ini_helper");
    std::string size = std::to_string(programs / (1 << 20) + 8) + "m";
    std::string setup = "set -u; D=$(mktemp -d); mount -t tmpfs -o size=" + size +
                        " tmpfs \"$D\" || exit 97; "
                        "cp " KDX_CLI_PATH " \"$D/kdx-cli\"; cp " KDX_TEST_HELPER_DIR
                        "/ini_helper \"$D/kdx\"; cd \"$D\"; "
                        "head -c " +
                        std::to_string(free_bytes) + " /dev/zero > spare; head -c " + size +
                        " /dev/zero > filler 2>/dev/null; rm spare; " + script +
                        "; echo \"status=$?\"; for f in *; do case $f in kdx-cli|kdx|filler) ;; "
                        "*) echo \"left: $f $(stat -c %s \"$f\")\";; esac; done";
    std::string command = "unshare -rm sh -c '" + setup + "' 2>&1";
    Shell_Result r;
    FILE* out = popen(command.c_str(), "r");
    if (!out) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) r.out.append(buf, n);
    int status = pclose(out);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST_F(Cli_Full_Disk, FilesThatCannotBeWrittenAreReportedAndLeaveNothingBehind) {
    if (Run_On_Full_Disk("true", 0).out.find("status=0") == std::string::npos)
        GTEST_SKIP() << "no user namespaces here to mount a small tmpfs in";
    Start_Sim();
    const struct {
        const char* name;
        std::string script;
        int free_bytes;
        std::string said;  // in the output
        std::string left;  // how the list of files left begins, "" for none
    } cases[] = {
        {"settings page", "./kdx-cli settings", 0, "cannot create", ""},
        {"an empty page from before is made anew", ": > kdx-cli.html; ./kdx-cli settings", 0,
         "cannot create", ""},
        {"report", "./kdx-cli report", 0, "the report could not be written", ""},
        {"report names its file and the reason", "./kdx-cli report", 0, ".html: disk full", ""},
        // The Terminal records its port at every open: on a full disk that leaves no empty
        // page behind either.
        {"port recorded by the window", "(./kdx port COM40; exit 1)", 0, "port=0", ""},
        {"port log without room for its header", "echo V | ./kdx-cli terminal COM5 --log", 0,
         Port_Log_Name_At(time(nullptr)) + ": There is not enough space on the disk.]", ""},
        {"port log filling up on the way",
         "i=0; while [ $i -lt 400 ]; do echo V; i=$((i+1)); done | "
         "./kdx-cli terminal COM5 --log --wait 1",
         4096,
         "[the port log could not be written, logging stopped: There is not enough space on the "
         "disk.]",
         "left: " + Port_Log_Name_At(time(nullptr)) + " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Shell_Result r = Run_On_Full_Disk(c.script, c.free_bytes);
        EXPECT_NE(r.out.find("status=1\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        size_t left = r.out.find("left: ");
        EXPECT_EQ(left == std::string::npos ? "" : r.out.substr(left, c.left.size()), c.left)
            << r.out;
    }
}

// kdx-cli check on a full disk: the verdict line says the records were not written and
// names the history, the history keeps whole lines only (a line cut short is cut back off,
// a history this check began is not left empty), and the next check's line is whole.
TEST_F(Cli_Full_Disk, CheckRecordsAreWholeOrNotThere) {
    if (Run_On_Full_Disk("true", 0).out.find("status=0") == std::string::npos)
        GTEST_SKIP() << "no user namespaces here to mount a small tmpfs in";
    Start_Sim();
    // A history of 4090 bytes: the next line must cross into a page the disk does not have.
    const std::string history =
        "printf \"time,port,serial,order,firmware,revision,verdict,failing_step,reason,operator,"
        "station,fixture,label,version,commit\\n\" > kdx-check-history.csv; "
        "head -c $((4089 - $(stat -c %s kdx-check-history.csv))) /dev/zero | tr \"\\\\0\" x "
        ">> kdx-check-history.csv; echo >> kdx-check-history.csv; ";
    const struct {
        const char* name;
        std::string script;
        std::string said;
        std::string left;  // from the first "left: " to the end
        int free_bytes;
    } cases[] = {
        {"nothing written", "./kdx-cli check COM5 --out .",
         "PASSED, but the records were NOT written: cannot write ./kdx-check_1234-56_", "", 0},
        {"history named", "./kdx-cli check COM5 --out .",
         "; cannot add to ./kdx-check-history.csv: disk full; COM5 serial 1234-56 (8 steps)", "",
         0},
        {"history cut back", history + "./kdx-cli check COM5 --out .",
         "cannot add to ./kdx-check-history.csv: disk full", "left: kdx-check-history.csv 4090\n",
         4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Shell_Result r = Run_On_Full_Disk(c.script, c.free_bytes);
        EXPECT_NE(r.out.find("status=1\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        size_t left = r.out.find("left: ");
        EXPECT_EQ(left == std::string::npos ? "" : r.out.substr(left), c.left) << r.out;
    }
}

// A transcript the disk cannot take: said at once on standard error while the session goes on
// to its end (lines are still answered and shown), the file ends on its last whole line,
// and the status is 1.
TEST_F(Cli_Full_Disk, TerminalTranscriptOnAFullDiskIsSaidAndTheSessionGoesOn) {
    if (Run_On_Full_Disk("true", 0).out.find("status=0") == std::string::npos)
        GTEST_SKIP() << "no user namespaces here to mount a small tmpfs in";
    Start_Sim();
    Shell_Result r = Run_On_Full_Disk(
        "i=0; while [ $i -lt 300 ]; do echo V; i=$((i+1)); done | "
        "./kdx-cli terminal COM5 --wait 1 --log-file t.txt; s=$?; "
        "[ -s t.txt ] && [ -z \"$(tail -c 1 t.txt)\" ] && echo whole-lines; (exit $s)",
        4096);
    EXPECT_NE(r.out.find("status=1\n"), std::string::npos) << r.out;
    size_t said = r.out.find(
        "kdx-cli terminal: the transcript t.txt could not be written: disk full; it ends on its "
        "last whole line, the session goes on\n");
    ASSERT_NE(said, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("could not be written", said + 60), std::string::npos) << "said once";
    // Said while the session ran: replies are still shown after it.
    EXPECT_NE(r.out.find('R', said), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Port Closed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("whole-lines"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kdx::test
