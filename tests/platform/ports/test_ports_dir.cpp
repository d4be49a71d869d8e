// The ports directory: COM<n> entries resolved, listed and unregistered, and the shared
// fallback folder taken only when it is the user's own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/os/error.h"
#include "platform/ports/ports_dir.h"
#include "tests/support/temp_dir.h"

namespace kdx::test {
namespace {

using namespace platform;

TEST(Ports_Dir, ResolvesListsAndUnregisters) {
    Temp_Dir dir;
    setenv("KDX_PORTS", (dir.path() + "/ports/").c_str(), 1);
    EXPECT_EQ(Ports_Directory(), dir.path() + "/ports");
    EXPECT_EQ(Ports_Dir_Device(7), "");
    EXPECT_TRUE(Ports_Dir_Register(12, "/dev/ttyUSB0"));
    EXPECT_TRUE(Ports_Dir_Register(7, "/dev/pts/9"));
    EXPECT_TRUE(Ports_Dir_Register(7, "/dev/pts/3"));  // replaced, not doubled
    // Names that are not COM<n> are not ports.
    symlink("/dev/null", (dir.path() + "/ports/COM07").c_str());
    symlink("/dev/null", (dir.path() + "/ports/notes").c_str());
    auto list = Ports_Dir_List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], std::make_pair(int32_t(7), std::string("/dev/pts/3")));
    EXPECT_EQ(list[1], std::make_pair(int32_t(12), std::string("/dev/ttyUSB0")));
    EXPECT_TRUE(Ports_Dir_Unregister(7));
    EXPECT_TRUE(Ports_Dir_Unregister(7));  // already gone is fine
    EXPECT_EQ(Ports_Dir_Device(7), "");
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Ports_Dir_Register(0, "/dev/null"));
    unsetenv("KDX_PORTS");
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(Ports_Directory(), "/run/user/4242/kdx/ports");
}

// What a command prints on its standard output.
std::string Output_Of(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    pclose(pipe);
    return out;
}

// The files a program needs that lie under /tmp (a build folder cloned there): the program
// and the libraries the loader finds for it there.
std::vector<std::string> Files_Under_Tmp(const std::string& program) {
    std::vector<std::string> files;
    auto under_tmp = [](const std::string& path) { return path.rfind("/tmp/", 0) == 0; };
    if (under_tmp(program)) files.push_back(program);
    std::string listing = Output_Of("ldd '" + program + "' 2>/dev/null");
    for (size_t at = 0; (at = listing.find(" => ", at)) != std::string::npos;) {
        at += 4;
        std::string path = listing.substr(at, listing.find_first_of(" \n", at) - at);
        if (under_tmp(path)) files.push_back(path);
    }
    return files;
}

// Runs script as root of a private mount namespace with a tmpfs of its own on /tmp; its
// output and status, or "" when this machine allows no such namespace. The files carried
// (at most 7) are opened before the tmpfs hides them and copied back to the same paths in it,
// so a program built under /tmp still runs there.
std::string Run_With_Own_Tmp(const std::string& script,
                             const std::vector<std::string>& carried = {}) {
    std::string open, restore;
    int fd = 3;
    for (const std::string& file : carried) {
        if (fd > 9) break;
        std::string n = std::to_string(fd++);
        std::string folder = file.substr(0, file.rfind('/'));
        open += "exec " + n + "<\"" + file + "\"; ";
        restore += "mkdir -p \"" + folder + "\" && cat <&" + n + " >\"" + file +
                   "\" && chmod 755 \"" + file + "\" || exit 96; ";
    }
    // Real root may change owners there; anyone else maps themselves to root of a user
    // namespace.
    std::string command = std::string(getuid() == 0 ? "unshare -m" : "unshare -rm") + " sh -c '" +
                          open + "mount -t tmpfs tmpfs /tmp || exit 97; " + restore + script +
                          "; echo status=$?' 2>&1";
    std::string out = Output_Of(command);
    return out.find("status=") == std::string::npos ? std::string() : out;
}

// The shared fallback /tmp/kdx-<uid>/ports is used only when it and its parent are folders of
// the user with mode 0700: another user could make them first and plant COM entries that
// lead to a pty of theirs. Otherwise the listing says why and shows none of its entries.
TEST(Ports_Dir, TheSharedFallbackIsUsedOnlyWhenItIsTheUsersWithMode0700) {
    if (Run_With_Own_Tmp("true").empty()) GTEST_SKIP() << "no mount namespace here";
    const struct {
        const char* name;
        std::string make;  // makes $T (/tmp/kdx-<uid>) and $T/ports
        std::string said;  // why it is not used; "" when it is
        bool needs_root;
    } cases[] = {
        {"the user's, mode 0700", "mkdir -m 0700 $T $T/ports", "", false},
        {"open to all", "mkdir -m 0777 $T; mkdir -m 0700 $T/ports", "$T has mode 0777, not 0700",
         false},
        {"ports writable by the group", "mkdir -m 0700 $T; mkdir -m 0770 $T/ports",
         "$T/ports has mode 0770, not 0700", false},
        // As earlier versions made it: nobody else could add entries, so it is made private.
        {"the user's, mode 0755", "mkdir -m 0755 $T $T/ports", "", false},
        {"a link to a folder",
         "mkdir -m 0700 /tmp/elsewhere /tmp/elsewhere/ports; ln -s /tmp/elsewhere $T",
         "$T is a symbolic link", false},
        {"another user's", "mkdir -m 0700 $T $T/ports; chown 65534 $T",
         "$T belongs to another user (uid 65534)", true},
    };
    // A build under /tmp (a newcomer's clone) is hidden by the namespace's own /tmp.
    const std::vector<std::string> carried = Files_Under_Tmp(KDX_CLI_PATH);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && getuid() != 0) continue;
        std::string out = Run_With_Own_Tmp(
            "T=/tmp/kdx-$(id -u); " + c.make +
                "; ln -s /dev/null $T/ports/COM9; env -u KDX_PORTS -u XDG_RUNTIME_DIR "
                "-u KDX_REGISTRY XDG_CONFIG_HOME=/tmp/config " KDX_CLI_PATH " ports",
            carried);
        // Root of the namespace either way: uid 0.
        const std::string t = "/tmp/kdx-0";
        std::string said = c.said;
        for (size_t at = said.find("$T"); at != std::string::npos; at = said.find("$T"))
            said.replace(at, 2, t);
        if (said.empty()) {
            EXPECT_NE(out.find("COM9"), std::string::npos) << out;
            EXPECT_EQ(out.find("is not used"), std::string::npos) << out;
        } else {
            EXPECT_NE(out.find("kdx-cli ports: the ports folder " + t +
                               "/ports is not used: " + said + "\n"),
                      std::string::npos)
                << out;
            EXPECT_EQ(out.find("COM9"), std::string::npos) << out;
        }
    }
}

// kdx-sim refuses such a folder before anything starts, naming it and the reason as kdx-cli
// does, instead of a bare "access denied".
TEST(Ports_Dir, TheSimulatorSaysWhichFolderItRefusesAndWhy) {
    if (Run_With_Own_Tmp("true").empty()) GTEST_SKIP() << "no mount namespace here";
    std::string out = Run_With_Own_Tmp(
        "T=/tmp/kdx-$(id -u); mkdir -m 0777 $T; env -u KDX_PORTS -u XDG_RUNTIME_DIR " KDX_SIM_PATH,
        Files_Under_Tmp(KDX_SIM_PATH));
    EXPECT_NE(out.find("kdx-sim: cannot register the port: the ports folder /tmp/kdx-0/ports is "
                       "not used: /tmp/kdx-0 has mode 0777, not 0700 (set KDX_PORTS"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("status=1"), std::string::npos) << out;
}

}  // namespace
}  // namespace kdx::test
