// The HTML writers through the exported C interface, as a C caller uses them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kdx/kdx_files.h"
#include "tests/support/ini_run.h"
#include "tests/support/posix.h"
#include "tests/support/temp_dir.h"

using kdx::test::Read_File_Text;

namespace {

// The exported record: a C caller builds a page with the writers and the record comes back
// with the handle, the fragment and the written count.
TEST(Files_Api, ExportedWritersWorkOnTheCRecord) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto create = (int32_t(*)(KDX_File_Writer*))dlsym(lib, "HTML_Template_File_Create");
    auto close = (int32_t(*)(KDX_File_Writer*))dlsym(lib, "HTML_Template_File_Close");
    auto doc = (const char* (*)(KDX_File_Writer*))dlsym(lib, "HTML_Template_DocType");
    auto title =
        (const char* (*)(KDX_File_Writer*, const char*))dlsym(lib, "HTML_Template_Summary_Title");
    auto write = (int32_t(*)(KDX_File_Writer*))dlsym(lib, "HTML_Template_Write");
    auto header = (int32_t(*)(KDX_File_Writer*))dlsym(lib, "Ini_Template_Header");
    ASSERT_TRUE(create && close && doc && title && write && header);
    kdx::test::Temp_Dir dir;
    KDX_File_Writer rec{};
    std::string path = dir.path() + "/c.html";
    snprintf(rec.Path, sizeof rec.Path, "%s", path.c_str());
    ASSERT_GT(create(&rec), 0);
    EXPECT_STREQ(doc(&rec), "<!DOCTYPE html>\r");
    EXPECT_STREQ(rec.Text, "<!DOCTYPE html>\r");
    EXPECT_EQ(write(&rec), rec.Handle);
    EXPECT_EQ(rec.Written, 16);
    EXPECT_EQ(uint32_t(rec.Position[2]), 0xFFFFFFFFu);
    title(&rec, "COM1");
    write(&rec);
    EXPECT_NE(header(&rec), 0);
    EXPECT_NE(close(&rec), 0);
    EXPECT_EQ(rec.Handle, 0);
    EXPECT_EQ(Read_File_Text(path),
              "<!DOCTYPE html>\r[COM1]\r     <head>\r          <link "
              "rel=\"stylesheet\" href=\"../dravon.css\" "
              "type=\"text/css\">\r     </head>\r");
    dlclose(lib);
}

}  // namespace
