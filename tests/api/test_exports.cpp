// Every procedure declared in the public headers is exported by name from libkdx, and
// nothing of our C++ internals leaks out.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>

#include "tests/support/posix.h"

namespace {

// The name of a declaration line "KDX_API <type> Name(...": the word before the first "(".
std::string Declared_Name(const std::string& line) {
    size_t paren = line.find('(');
    if (paren == std::string::npos) return std::string();
    size_t end = paren;
    while (end > 0 && line[end - 1] == ' ') --end;
    size_t begin = end;
    while (begin > 0 &&
           (std::isalnum(static_cast<unsigned char>(line[begin - 1])) || line[begin - 1] == '_'))
        --begin;
    return line.substr(begin, end - begin);
}

std::set<std::string> Declared_Names() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(KDX_INCLUDE_DIR "/kdx")) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("KDX_API ", 0) == 0) {
                std::string name = Declared_Name(line);
                if (!name.empty()) names.insert(name);
            }
    }
    return names;
}

TEST(Api_Exports, EveryDeclaredProcedureIsFoundByName) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto names = Declared_Names();
    EXPECT_TRUE(names.count("ErrCheck_Debug"));
    for (const auto& name : names) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    dlclose(lib);
}

TEST(Api_Exports, InternalsAreHidden) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    // The C++ twin of an exported procedure stays inside the library.
    EXPECT_EQ(dlsym(lib, "_ZN3kdx14ErrCheck_DebugEi"), nullptr);
    dlclose(lib);
}

}  // namespace
