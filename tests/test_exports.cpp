// Every procedure declared in the public headers is exported by name from libkdx, and
// nothing of our C++ internals leaks out.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

namespace {

std::set<std::string> Declared_Names() {
    std::set<std::string> names;
    std::regex decl(R"(KDX_API[^;(]*?\b([A-Za-z_][A-Za-z0-9_]*)\s*\()");
    for (const auto& entry : std::filesystem::directory_iterator(KDX_INCLUDE_DIR "/kdx")) {
        std::ifstream in(entry.path());
        std::smatch m;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("KDX_API ", 0) == 0 && std::regex_search(line, m, decl))
                names.insert(m[1]);
    }
    return names;
}

TEST(Exports, EveryDeclaredProcedureIsFoundByName) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto names = Declared_Names();
    EXPECT_TRUE(names.count("ErrCheck_Debug"));
    for (const auto& name : names) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    dlclose(lib);
}

TEST(Exports, InternalsAreHidden) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    // The C++ twin of an exported procedure stays inside the library.
    EXPECT_EQ(dlsym(lib, "_ZN3kdx14ErrCheck_DebugEi"), nullptr);
    dlclose(lib);
}

}  // namespace
