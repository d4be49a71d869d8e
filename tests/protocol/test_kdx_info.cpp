// The protocol's text handling without a line: reply cleaning, the two parsers, the status
// and limit-switch tables and the listing comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/kdx.h"

using namespace kdx;

namespace {

struct Device_Case {
    std::string reply;
    const char* tag;
    Device_Part part;
    std::string cleaned;
};

TEST(Device_Reply, CleanedIntoTheFieldText) {
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

TEST(Axis_Reply, TagCommasAndCRsRemoved) {
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

struct Parse_Case {
    std::string text;
    std::string result;
    std::string text_after;
};

TEST(Parse_Motor_ID, TakesTheIdOutOfTheReply) {
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

TEST(Parse_Limit_ID, TakesTheSecondField) {
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

TEST(Limit_Table, WholeCaseSensitiveCodes) {
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

TEST(Status_Table, LettersAndAnythingElse) {
    struct Case {
        std::string reply, meaning;
    };
    for (const auto& c : std::vector<Case>{{"R", "Ready"},
                                           {"B", "Online Busy"},
                                           {"b", "Offline Busy"},
                                           {"J", "Jog"},
                                           {"F", "Fault"},
                                           {"", "No Response"},
                                           {"R\r", "R\r"},
                                           {"r", "r"},
                                           {"RR", "RR"}})
        EXPECT_EQ(KDX_Status_Meaning(c.reply), c.meaning) << c.reply;
}

TEST(Test_Program, SixtyFourStepsPerAxis) {
    for (int32_t axis = 1; axis <= 4; ++axis) {
        std::string program = KDX_Test_Program(axis);
        EXPECT_EQ(std::count(program.begin(), program.end(), ','), 64);
        std::string n1 = std::to_string(axis * 101), n64 = std::to_string(axis * 164);
        EXPECT_EQ(program.substr(0, 8 + n1.size()), "I1M8387" + n1 + ",");
        EXPECT_EQ(program.substr(program.size() - 8 - n64.size()), "I1M8387" + n64 + ",");
    }
}

struct Compare_Case {
    const char* name;
    std::string sent, listing, result;
    bool passed;
};

std::string Listing_Of(const std::string& header, const std::string& steps) {
    std::string text = header + "\r";
    for (char c : steps) text += c == ',' ? '\r' : c;
    return text + '\x04';
}

TEST(Compare_Listing, PassesOnlyOnTheSentStepsOneForOneInOrder) {
    const std::string p3 = KDX_Test_Program(3);
    std::string corrupted = p3;
    corrupted.replace(corrupted.size() - 2, 1, "3");
    std::string truncated = p3.substr(0, p3.size() - 11);  // without I1M8387492,
    std::string repeated = p3.substr(0, p3.size() - 11) + "I1M8387489,";
    for (const auto& c : std::vector<Compare_Case>{
             {"all_matched", "A,B,", "L,A,B,\x04", "L,", true},
             {"one_replaced", "A,B,", "L,A,X,\x04", "X", false},
             {"cr_separated", "A\rB\r", "L\rA\rB\r\x04", "L,", true},
             {"crlf_listing", "A,B,", "L\r\nA\r\nB\r\n\x04", "L,", true},
             {"truncated", "A,B,C,", "L,A,B,\x04", "Missing C", false},
             {"repeats_instead_of_next", "A,B,", "L,A,A,\x04", "A", false},
             {"out_of_order", "A,B,", "L,B,A,\x04", "B,A", false},
             {"extra_step", "A,B,", "L,A,B,C,\x04", "C", false},
             {"empty_listing", "A,B,", "", "Missing A,B", false},
             {"header_only", "A,", "L,\x04", "Missing A", false},
             {"program_axis3", p3 + "]", Listing_Of("lst3M3", p3), "lst3M3,", true},
             {"program_axis3_corrupted", p3 + "]", Listing_Of("lst3M3", corrupted), "I1M8387493",
              false},
             {"program_axis3_truncated", p3 + "]", Listing_Of("lst3M3", truncated),
              "Missing I1M8387492", false},
             {"program_axis3_repeated_step", p3 + "]", Listing_Of("lst3M3", repeated), "I1M8387489",
              false},
         }) {
        std::string sent = c.sent, listing = c.listing;
        EXPECT_EQ(KDX_Tester_Commo_Fill_Memory_Compare_Strings(sent, listing), c.result) << c.name;
        EXPECT_EQ(sent.find('\r'), std::string::npos) << c.name;
        EXPECT_EQ(listing.find('\r'), std::string::npos) << c.name;
        EXPECT_EQ(KDX_Compare_Listing(sent, listing).passed, c.passed) << c.name;
    }
}

TEST(Config_Create, DoesNothing) {
    int32_t argument = 77;
    EXPECT_EQ(KDX_Config_Create(argument), 0);
    EXPECT_EQ(argument, 77);
}

}  // namespace
