// The controller's facts: reply cleaning, the two parsers and the limit-switch table without
// a line, hostile replies, and the getters against the simulated controller.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/os/system.h"
#include "platform/window/window.h"
#include "protocol/kdx.h"
#include "tests/support/protocol_line_fixture.h"
#include "tests/support/random_text.h"

using namespace kdx;

namespace {

struct Device_Case {
    std::string reply;
    const char* tag;
    Device_Part part;
    std::string cleaned;
};

TEST(Kdx_Info_Device_Reply, CleanedIntoTheFieldText) {
    const std::string d4 = "getD4,1234-56     @7654321\r";
    for (const auto& c : std::vector<Device_Case>{
             {d4, "getD4", Device_Part::Before_At, "1234-56\r"},
             {d4, "getD4", Device_Part::After_At, "7654321\r"},
             {"1234-56@7654321\r", "getD4", Device_Part::Before_At, "1234-56\r"},
             {"1234-56@7654321\r", "getD4", Device_Part::After_At, "7654321\r"},
             // Without "@" the serial drops the last character, the order keeps all.
             {"ABC\r", "getD4", Device_Part::Before_At, "ABC\r"},
             {"ABC", "getD4", Device_Part::Before_At, "AB\r"},
             {"ABC\r", "getD4", Device_Part::After_At, "ABC\r"},
             {"getD0,1.23", "getD0", Device_Part::Whole, "1.23\r"},
             {"getD0,1.23\r", "getD0", Device_Part::Whole, "1.23\r"},
             {"getD1,12-06-26\r", "getD1", Device_Part::Whole, "12-06-26\r"},
             {"getAS,1,1,0,0\r", "getAS", Device_Part::Whole, "1100\r"},
             {"getAF,1,2,0,0\r", "getAF", Device_Part::Whole, "1200\r"},
             // Nothing arrived: CR alone; a "?" is kept for the caller to see.
             {"", "getD4", Device_Part::Before_At, "\r"},
             {"", "getD4", Device_Part::After_At, "\r"},
             {"", "getD0", Device_Part::Whole, "\r"},
             {"?\r", "getAS", Device_Part::Whole, "?\r"},
             // Every occurrence of the tag goes, and the spaces only with the "@" split.
             {"getD0,getD0,1 .2", "getD0", Device_Part::Whole, "1 .2\r"},
         })
        EXPECT_EQ(KDX_Clean_Device_Reply(c.reply, c.tag, c.part), c.cleaned) << c.reply;
}

TEST(Kdx_Info_Axis_Reply, TagCommasAndCRsRemoved) {
    struct Case {
        std::string reply;
        const char* tag;
        int32_t axis;
        std::string cleaned;
    };
    for (const auto& c : std::vector<Case>{
             {"getMT2M=,17\r", "getMT", 2, "17"},
             {"getL1M=,-1A,0\r", "getL", 1, "-1A0"},
             {"getHS4M=,1\r", "getHS", 4, "1"},
             {"getMT1M=,17\r", "getMT", 2, "getMT1M=17"},
             {"", "getMT", 3, ""},
         })
        EXPECT_EQ(KDX_Clean_Axis_Reply(c.reply, c.tag, c.axis), c.cleaned) << c.reply;
}

// A raw reply judged against the query it answers: only the query's own tag, then its value
// and CR, is the form expected; each way a late, slow, echoing or faulty line breaks it is named.
TEST(Kdx_Info_Reply_Doubt, OnlyTheQuerysOwnWholeAnswerIsUndoubted) {
    struct Case {
        std::string reply;
        const char* tag;
        const char* doubt;
    };
    for (const auto& c : std::vector<Case>{
             {"getD4,1234-56     @7654321\r", "getD4", ""},
             {"\rgetD0,1.23\r", "getD0", ""},  // the line end of the reply before
             {"getMT1M=,17\r", "getMT1M=", ""},
             {"", "getD1", "missing"},
             {"\r", "getD1", "missing"},
             {"?\r", "getD1", "not understood"},
             {"getD1,?\r", "getD1", "not understood"},
             // --late: the earlier query's answer is read in this one's place.
             {"getD4,1234-56     @7654321\r", "getD0", "another query's answer"},
             {"getD4,1234-56     @7654321\rgetD0,1.23\r", "getD0", "another query's answer"},
             {"getD0,1.23\rgetD1,12-06-26\r", "getD0", "another query's answer"},
             // --slow: the rest of the reply is still on the line.
             {"getD4,1234", "getD4", "cut short"},
             {"56     @7654321\r", "getD4", "garbled"},
             {"getD0,getD0,1.23\r", "getD0", "the query's echo in it"},
             {"F,getD0,1.23\r", "getD0", "the query's echo in it"},
             {std::string("getD0,1.\0"
                          "23\r",
                          12),
              "getD0", "garbled"},
         })
        EXPECT_EQ(KDX_Reply_Doubt(c.reply, c.tag), c.doubt) << c.reply << " / " << c.tag;
}

struct Parse_Case {
    std::string text;
    std::string result;
    std::string text_after;
};

TEST(Kdx_Info_Motor_Id, TakesTheIdOutOfTheReply) {
    for (const auto& c : std::vector<Parse_Case>{
             {"MT-17&B,5\r", "17", "MT-17&B,5"},
             {"17,5", "17", "17,5"},
             {"17", "1", "17"},
             {"17\r", "1", "17"},
             {"", "", ""},
             {"\r\r", "", ""},
             {"A&B-C,x", "A", "A&B-C,x"},
             {"x-y-z,1", "y-z", "x-y-z,1"},
         }) {
        std::string text = c.text;
        EXPECT_EQ(KDX_Parse_Motor_ID(text), c.result) << c.text;
        EXPECT_EQ(text, c.text_after) << c.text;
    }
}

TEST(Kdx_Info_Limit_Id, TakesTheSecondField) {
    for (const auto& c : std::vector<Parse_Case>{
             {"getL1M=,-1A,0\r", "-1A", "getL1M=,-1A,0"},
             {"x,1A", "1", "x,1A"},
             {"x,3,y", "3", "x,3,y"},
             {"1A,", "", "1A,"},
             {"12", "1", "12"},
             {"", "", ""},
             {"getMT1M=17,getL1M=,-0,0", "getL1M=", "getMT1M=17,getL1M=,-0,0"},
             {"17,-0,x", "-0", "17,-0,x"},
         }) {
        std::string text = c.text;
        EXPECT_EQ(KDX_Parse_Limit_ID(text), c.result) << c.text;
        EXPECT_EQ(text, c.text_after) << c.text;
    }
}

TEST(Kdx_Info_Limit_Table, WholeCaseSensitiveCodes) {
    struct Case {
        const char* code;
        const char* description;
    };
    for (const auto& c : std::vector<Case>{
             {"-2", "Home Switch (Normally Closed)"},
             {"-1A", "Negative (Normally Open), Positive (Normally Closed)"},
             {"-1", "Both (Normally Open)"},
             {"-0", "Auto-Detect (Not connected)"},
             {"0", "Auto-Detect (Determine if N.C. or N.O.)"},
             {"1", "Both (Normally Closed)"},
             {"1A", "Negative (Normally Closed), Positive (Normally Open)"},
             {"2", "Home Switch (Normally Open)"},
             {"1a", "TBD"},
             {"3", "TBD"},
             {"", "TBD"},
             {" 1", "TBD"},
         })
        EXPECT_EQ(KDX_Limit_Description(c.code), c.description) << c.code;
}

}  // namespace

namespace {

using kdx::test::Random_Text;

TEST(Kdx_Info_Hostile_Replies, ParsersTakeAnyBytes) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::string reply = Random_Text(rng, round % 10 == 0 ? 2000 : 40);
        for (auto part :
             {kdx::Device_Part::Whole, kdx::Device_Part::Before_At, kdx::Device_Part::After_At}) {
            std::string cleaned = kdx::KDX_Clean_Device_Reply(reply, "getD4", part);
            ASSERT_FALSE(cleaned.empty());
            EXPECT_EQ(cleaned.back(), '\r');
            EXPECT_LE(cleaned.size(), reply.size() + 1);
        }
        std::string axis = kdx::KDX_Clean_Axis_Reply(reply, "getMT", round % 6 - 1);
        EXPECT_EQ(axis.find('\r'), std::string::npos);
        EXPECT_LE(axis.size(), reply.size());

        std::string text = reply;
        std::string motor = kdx::KDX_Parse_Motor_ID(text);
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_LE(motor.size(), text.size());
        text = reply;
        std::string limit = kdx::KDX_Parse_Limit_ID(text);
        EXPECT_LE(limit.size(), text.size());
        EXPECT_FALSE(kdx::KDX_Limit_Description(limit).empty());

        std::string sent = kdx::KDX_Test_Program(1 + round % 4);
        std::string listing = reply;
        kdx::Listing_Comparison c = kdx::KDX_Compare_Listing(sent, listing);
        EXPECT_EQ(c.passed, c.unmatched.empty() && c.missing.empty());
        std::string s = sent, l = reply;
        kdx::KDX_Tester_Commo_Fill_Memory_Compare_Strings(s, l);
        EXPECT_EQ(s.find('\r'), std::string::npos);
        EXPECT_EQ(l.find('\r'), std::string::npos);
    }
}

}  // namespace

// The getters against the simulated controller: the commands sent and the replies cleaned.
namespace {

using Kdx_Info = kdx::test::Protocol_Line_Test;

TEST_F(Kdx_Info, DeviceGettersCleanTheReplies) {
    Start();
    int32_t unused = 0;  // the getters always use the open port
    EXPECT_EQ(KDX_Serial_Number_Get(unused), "1234-56\r");
    EXPECT_EQ(KDX_Order_Number_Get(unused), "7654321\r");
    EXPECT_EQ(KDX_Firmware_Version_Get(unused), "1.23\r");
    EXPECT_EQ(KDX_Firmware_Revision_Get(unused), "12-06-26\r");
    EXPECT_EQ(KDX_Axis_Set(unused), "1111\r");
    EXPECT_EQ(KDX_Axis_Found(unused), "1234\r");
    EXPECT_EQ(Received(0), "F,getD4,F,getD4,F,getD0,F,getD1,F,getAS,F,getAF,");
    EXPECT_EQ(Sent(), "F,getD4,F,getD4,F,getD0,F,getD1,F,getAS,F,getAF,");
}

TEST_F(Kdx_Info, PerAxisGettersAndTheirCommands) {
    sim::Sim_Config c;
    c.model.axes = 2;
    Start(c);
    int32_t unused = 0;
    int32_t axis = 2;
    EXPECT_EQ(KDX_Axis_Motor_Get(unused, axis), "17");
    axis = 1;
    EXPECT_EQ(KDX_Axis_Limit_Get(unused, axis), "-1A0");
    EXPECT_EQ(KDX_Axis_Home_Switch_Get(unused, axis), "1");
    EXPECT_EQ(KDX_Axis_Found(unused), "1200\r");
    EXPECT_EQ(Received(0), "F,getMT2M=\rF,getL1M=\rF,getHS1M=\rF,getAF,");
}

// Records what the protocol puts into the Terminal's controls.
class Recording_Window final : public win::Backend {
  public:
    bool Set_Dlg_Item_Text(win::HWND dialog, int32_t id, const std::string& text) override {
        if (dialog == win::Terminal_Dialog) texts[id] = text;
        return true;
    }
    std::string Get_Dlg_Item_Text(win::HWND, int32_t id) override { return texts[id]; }
    int64_t Send_Message(win::HWND, uint32_t, uint64_t, int64_t) override { return 0; }
    bool Post_Message(win::HWND, uint32_t, uint64_t, int64_t) override { return true; }
    std::map<int32_t, std::string> texts;
};

TEST_F(Kdx_Info, AxisIdJoinsThreeRepliesIntoItsBox) {
    Start();
    Recording_Window window;
    win::Set_Backend(&window);
    win::Terminal_Dialog = 77;
    EXPECT_EQ(KDX_ID_Axis_1(handle), "getMT1M=,17,getL1M=,-1A,0,getHS1M=,1");
    EXPECT_EQ(KDX_ID_Axis_4(handle), "getMT4M=,34,getL4M=,-2,0,getHS4M=,0");
    win::Terminal_Dialog = 0;
    win::Set_Backend(nullptr);
    EXPECT_EQ(window.texts[2005], "getMT1M=,17,getL1M=,-1A,0,getHS1M=,1");
    EXPECT_EQ(window.texts[2008], "getMT4M=,34,getL4M=,-2,0,getHS4M=,0");
    EXPECT_EQ(Received(0),
              "F,getMT1M=\rF,getL1M=\rF,getHS1M=\rF,getMT4M=\rF,getL4M=\rF,getHS4M=\r");
    // Each joined text parses into its motor id and limit code.
    std::string joined = window.texts[2005];
    EXPECT_EQ(KDX_Parse_Limit_ID(joined), "17");
}

TEST_F(Kdx_Info, SerialNumberSetIsStoredAndNotShown) {
    Start();
    std::string serial = "9876-54", order = "1112223";
    EXPECT_EQ(KDX_Serial_Number_Set(handle, serial, order), "setser#&=9876-54     @1112223");
    EXPECT_EQ(Received(29), "setser#&=9876-54     @1112223");
    EXPECT_EQ(Sent(), "");
    // The controller takes a command without terminator once the line is quiet.
    kdx::platform::Sleep_Ms(60);
    EXPECT_EQ(KDX_Serial_Number_Get(handle), "9876-54\r");
    EXPECT_EQ(KDX_Order_Number_Get(handle), "1112223\r");
}

}  // namespace
