// The exported protocol procedures as a C caller sees them: buffers changed in place within
// their capacity, NULL by-reference arguments, results owned by the library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kdx/kdx_protocol.h"
#include "tests/support/posix.h"

namespace {

class Protocol_Api : public testing::Test {
  protected:
    void SetUp() override {
        lib_ = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (lib_) dlclose(lib_);
    }
    template <class F>
    F* Get(const char* name) {
        return reinterpret_cast<F*>(dlsym(lib_, name));
    }
    void* lib_ = nullptr;
};

TEST_F(Protocol_Api, ParsersChangeTheCallersBufferWithinItsCapacity) {
    auto parse_limit = Get<decltype(KDX_Parse_Limit_ID)>("KDX_Parse_Limit_ID");
    auto parse_motor = Get<decltype(KDX_Parse_Motor_ID)>("KDX_Parse_Motor_ID");
    auto describe = Get<decltype(KDX_Limit_Description)>("KDX_Limit_Description");
    ASSERT_TRUE(parse_limit && parse_motor && describe);
    char text[64] = "getL1M=,-1A,0\r";
    EXPECT_STREQ(parse_limit(text, sizeof text), "-1A");
    EXPECT_STREQ(text, "getL1M=,-1A,0");
    EXPECT_STREQ(describe("-1A"), "Negative (Normally Open), Positive (Normally Closed)");
    char motor[64] = "MT-17&B,5\r";
    EXPECT_STREQ(parse_motor(motor, sizeof motor), "17");
    EXPECT_STREQ(motor, "MT-17&B,5");
    // The capacity bounds what is read as well as what is written back.
    char small[16] = "\r\r12345678,9";
    char guard = small[6];
    EXPECT_STREQ(parse_motor(small, 5), "12");
    EXPECT_STREQ(small, "123");
    EXPECT_EQ(small[6], guard);
    EXPECT_STREQ(parse_motor(nullptr, 0), "");
}

TEST_F(Protocol_Api, CompareChangesBothBuffers) {
    auto compare = Get<decltype(KDX_Tester_Commo_Fill_Memory_Compare_Strings)>(
        "KDX_Tester_Commo_Fill_Memory_Compare_Strings");
    ASSERT_TRUE(compare);
    char sent[32] = "A\rB\r";
    char listing[32] = "L\rA\rX\r\x04";
    EXPECT_STREQ(compare(sent, sizeof sent, listing, sizeof listing), "X");
    EXPECT_STREQ(sent, "A,B,");
    EXPECT_STREQ(listing, "L,A,X,\x04");
}

TEST_F(Protocol_Api, NullReferencesCountAsNoPort) {
    auto status = Get<decltype(KDX_Verify_Status)>("KDX_Verify_Status");
    auto motor = Get<decltype(KDX_Axis_Motor_Get)>("KDX_Axis_Motor_Get");
    auto config = Get<decltype(KDX_Config_Create)>("KDX_Config_Create");
    auto meaning = Get<decltype(KDX_Status_Meaning)>("KDX_Status_Meaning");
    ASSERT_TRUE(status && motor && config && meaning);
    EXPECT_STREQ(status(nullptr), "");
    EXPECT_STREQ(motor(nullptr, nullptr), "");
    EXPECT_EQ(config(nullptr), 0);
    EXPECT_STREQ(meaning(""), "No Response");
    EXPECT_STREQ(meaning(nullptr), "No Response");
    EXPECT_STREQ(meaning("b"), "Offline Busy");
}

}  // namespace
