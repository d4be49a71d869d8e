// Opening the desktop's text editor: which program starts, with which arguments, without the
// caller waiting for it and without a zombie left behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/process.h"
#include "tests/support/serial_fixture.h"
#include "tests/support/temp_dir.h"

namespace kdx {
namespace {

// Sets environment variables for the test's lifetime (nullopt: unset).
class Environment_Scope {
  public:
    void Set(const char* name, std::optional<std::string> value) {
        const char* old = getenv(name);
        saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~Environment_Scope() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first, it->second->c_str(), 1);
            else
                unsetenv(it->first);
        }
    }

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

// A stand-in editor: once the test lets it go on (the "go" file), it records its name and
// arguments. A caller that waited for it would never get to let it go.
void Fake_Program(const std::string& path, const std::string& folder) {
    std::ofstream(path) << "#!/bin/sh\nPATH=/usr/bin:/bin\nn=0\n"
                        << "while [ ! -e '" << folder << "/go' ] && [ $n -lt 200 ]; do "
                        << "sleep 0.05; n=$((n+1)); done\n"
                        << "echo \"$(basename \"$0\"):$*\" > '" << folder << "/record'\n";
    chmod(path.c_str(), 0755);
}

struct Editor_Case {
    const char* name;
    std::optional<std::string> kdx_editor, visual;
    std::vector<std::string> installed;  // programs in the only folder on PATH
    std::string started;                 // the record's start: program name and arguments
};

TEST(Process_Text_Editor, FirstChoiceStartsWithoutWaitingAndIsNotLeftAsAZombie) {
    test::Temp_Dir dir;
    const std::string bin = dir.path() + "/bin";
    mkdir(bin.c_str(), 0755);
    for (const char* p : {"my editor", "ed", "vis", "mousepad", "geany", "xdg-open"})
        Fake_Program(bin + "/" + p, dir.path());
    const std::string runtime = dir.path() + "/run";
    mkdir(runtime.c_str(), 0700);
    const Editor_Case cases[] = {
        {"kdx_editor_with_argument", bin + "/ed -n", "vis", {}, "ed:-n"},
        {"kdx_editor_path_with_blank", bin + "/my editor", std::nullopt, {}, "my editor:"},
        {"visual", std::nullopt, bin + "/vis", {}, "vis:"},
        {"first_desktop_editor", std::nullopt, std::nullopt, {"geany", "mousepad"}, "mousepad:"},
        {"xdg_open_on_empty_file",
         std::nullopt,
         std::nullopt,
         {"xdg-open"},
         "xdg-open:" + runtime + "/kdx/Untitled-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path_dir = dir.path() + "/path-" + c.name;
        mkdir(path_dir.c_str(), 0755);
        for (const auto& p : c.installed)
            symlink((bin + "/" + p).c_str(), (path_dir + "/" + p).c_str());
        Environment_Scope env;
        env.Set("KDX_EDITOR", c.kdx_editor);
        env.Set("VISUAL", c.visual);
        env.Set("PATH", path_dir);
        env.Set("XDG_RUNTIME_DIR", runtime);
        std::remove((dir.path() + "/go").c_str());
        std::remove((dir.path() + "/record").c_str());

        std::string how;
        ASSERT_TRUE(platform::Open_Text_Editor(&how)) << how;
        std::ofstream(dir.path() + "/go") << "";
        std::string record;
        ASSERT_TRUE(test::Eventually([&] {
            return platform::Read_Whole_File(dir.path() + "/record", record) && !record.empty();
        }));
        EXPECT_EQ(record.rfind(c.started, 0), 0u) << record;
        // The program is not our child: nothing is left for us to reap.
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        if (std::string(c.name) == "xdg_open_on_empty_file") {
            std::string document = record.substr(record.find(':') + 1);
            document.erase(document.find_last_not_of("\n") + 1);
            std::string text = "x";
            EXPECT_TRUE(platform::Read_Whole_File(document, text)) << document;
            EXPECT_EQ(text, "");
            EXPECT_EQ(document.substr(document.size() - 4), ".txt");
        }
    }
}

// An editor that cannot start is reported, not waited for.
TEST(Process_Text_Editor, MissingEditorIsReportedWithItsCode) {
    Environment_Scope env;
    env.Set("KDX_EDITOR", "/nonexistent/kdx-editor --new");
    std::string how;
    EXPECT_FALSE(platform::Open_Text_Editor(&how));
    EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(how, "/nonexistent/kdx-editor --new");
}

// A program watched for its first moments: one that fails at once is told with its code
// (a signal as 128 + the signal), one that runs on outlives the watch, and neither is left
// for the caller to reap.
TEST(Process_Watch, AProgramThatEndsAtOnceIsToldWithItsCode) {
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        platform::Watch_State state;
        int32_t code;
    };
    const Case cases[] = {
        {"fails", {"/bin/sh", "-c", "exit 3"}, platform::Watch_State::Exited, 3},
        {"crashes", {"/bin/sh", "-c", "kill -SEGV $$"}, platform::Watch_State::Exited, 128 + 11},
        {"succeeds", {"/bin/true"}, platform::Watch_State::Exited, 0},
        {"runs_on", {"/bin/sleep", "2"}, platform::Watch_State::Running, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t watch = platform::Start_Program_Watched(c.argv, 300);
        ASSERT_NE(watch, 0);
        platform::Watch_State state = platform::Watch_State::Watching;
        int32_t code = -1;
        ASSERT_TRUE(test::Eventually([&] {
            state = platform::Program_Watch_Poll(watch, code);
            return state != platform::Watch_State::Watching;
        }));
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(platform::Program_Watch_Poll(watch, code), platform::Watch_State::Running);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
    EXPECT_EQ(platform::Start_Program_Watched({"/nonexistent/kdx-editor"}, 300), 0);
    EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace kdx
