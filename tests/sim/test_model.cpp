// The simulated controller's model on its own: bytes in, reply bytes out.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "sim/model.h"

using kdx::sim::Controller_Model;
using kdx::sim::Model_Config;

namespace {

// Feeds each text as one piece at the given time and returns everything answered,
// letting the line go quiet after the last piece.
std::string Exchange(Controller_Model& model, const std::vector<std::string>& pieces,
                     int64_t now = 1000) {
    std::string out;
    for (const auto& piece : pieces) out += model.Receive(piece, now);
    if (model.Next_Deadline() >= 0) out += model.Idle(model.Next_Deadline());
    return out;
}

std::string Byte_By_Byte(Controller_Model& model, const std::string& text, int64_t now = 1000) {
    std::string out;
    for (char c : text) out += model.Receive(std::string(1, c), now);
    return out;
}

struct Reply_Case {
    const char* name;
    std::vector<std::string> pieces;
    std::string reply;
};

// Test names show the case name, not the bytes of the record.
void PrintTo(const Reply_Case& c, std::ostream* os) {
    *os << c.name;
}

class Model_Replies : public testing::TestWithParam<Reply_Case> {};

TEST_P(Model_Replies, AnswerInTheirForms) {
    Controller_Model model;
    EXPECT_EQ(Exchange(model, GetParam().pieces), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Model_Replies,
    testing::Values(Reply_Case{"status", {"V"}, "R"},
                    Reply_Case{"status_then_probe_comma", {"V,"}, "R"},
                    Reply_Case{"offline_status", {"Q,", "V"}, "J"},
                    Reply_Case{"serial_order", {"F,getD4,"}, "getD4,1234-56     @7654321\r"},
                    Reply_Case{"version", {"F,getD0,"}, "getD0,1.23\r"},
                    Reply_Case{"revision", {"F,getD1,"}, "getD1,12-06-26\r"},
                    Reply_Case{"axes_set", {"F,getAS,"}, "getAS,1,1,1,1\r"},
                    Reply_Case{"axes_found", {"F,getAF,"}, "getAF,1,2,3,4\r"},
                    Reply_Case{"motor", {"F,getMT2M=\r"}, "getMT2M=,17\r"},
                    Reply_Case{"limit", {"F,getL1M=\r"}, "getL1M=,-1A,0\r"},
                    Reply_Case{"home", {"F,getHS3M=\r"}, "getHS3M=,1\r"},
                    Reply_Case{"current_fault", {"K", "F,getFc"}, "getFc,0\r"},
                    Reply_Case{"fault_report", {"K", "F,getFAc"}, "getFAc,0\r"},
                    Reply_Case{"unknown", {"xyz,"}, "?\r"},
                    Reply_Case{"unknown_without_terminator_waits", {"xyz"}, ""},
                    Reply_Case{"axis_out_of_range", {"F,getMT5M=\r"}, "?\r"},
                    Reply_Case{"set_up_commands_are_silent",
                               {"F,setMLH2M=3,", "rss,", "F,setAXISF4M3,", "setser#&=1     @2"},
                               ""},
                    Reply_Case{"quickmove_is_silent", {"F,PM-0,S2M2000,I2M-400,R"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Model, CommandsSplitAnywhereGiveTheSameReplies) {
    const std::string text = "F,getD4,F,getMT2M=\rVF,getFc";
    Controller_Model whole;
    std::string expected = Exchange(whole, {text});
    EXPECT_EQ(expected, "getD4,1234-56     @7654321\rgetMT2M=,17\rRgetFc,0\r");
    for (size_t cut = 1; cut < text.size(); ++cut) {
        Controller_Model model;
        EXPECT_EQ(Exchange(model, {text.substr(0, cut), text.substr(cut)}), expected) << cut;
    }
    Controller_Model bytes;
    EXPECT_EQ(Byte_By_Byte(bytes, text), expected);
    EXPECT_EQ(bytes.Received(), text);
}

TEST(Model, WithAQuietTimeAFieldWithoutTerminatorIsTakenOnceTheLineIsQuiet) {
    Controller_Model model(Model_Config{.quiet_ms = 20});
    EXPECT_EQ(model.Receive("xyz", 100), "");
    EXPECT_EQ(model.Next_Deadline(), 120);
    EXPECT_EQ(model.Idle(119), "");
    EXPECT_EQ(model.Idle(120), "?\r");
    EXPECT_EQ(model.Next_Deadline(), -1);
    // "setser#&=" is whole with its order number's seventh character, quiet or not.
    EXPECT_EQ(model.Receive("setser#&=9999-01     @1112223", 130), "");
    EXPECT_EQ(model.Next_Deadline(), -1);
    EXPECT_EQ(model.Receive("F,getD4,", 130), "getD4,9999-01     @1112223\r");
}

// A person types at the simulator with pauses of seconds between keys: a command still ends
// only at its separator or its own end, never on a pause.
TEST(Model, TypedSlowlyACommandEndsAtItsSeparatorOnly) {
    struct Case {
        const char* typed;
        const char* reply;
    };
    const Case cases[] = {
        {"F,getD0,", "getD0,1.23\r"},
        {"F,getMT2M=\r", "getMT2M=,17\r"},
        {"F,getFc", "getFc,0\r"},
        {"xyz,", "?\r"},
        {"setser#&=9999-01     @1112223F,getD4,", "getD4,9999-01     @1112223\r"},
    };
    for (const auto& c : cases) {
        Controller_Model model;
        std::string out;
        int64_t now = 0;
        for (const char* p = c.typed; *p; ++p) {
            now += 3000;
            EXPECT_EQ(model.Next_Deadline(), -1) << c.typed;
            out += model.Receive(std::string(1, *p), now);
            out += model.Idle(now + 2999);
        }
        EXPECT_EQ(out, c.reply) << c.typed;
    }
}

TEST(Model, ImmediateCommandsNeedNoDeadline) {
    Controller_Model model;
    EXPECT_EQ(model.Receive("V", 5), "R");
    EXPECT_EQ(model.Next_Deadline(), -1);
    EXPECT_EQ(model.Receive("F,getFAc", 5), "getFAc,0\r");
    EXPECT_EQ(model.Next_Deadline(), -1);
}

TEST(Model, EchoModeEchoesEachCommandBeforeItsReply) {
    Controller_Model model;
    EXPECT_EQ(model.Receive("E,", 0), "");
    EXPECT_EQ(model.Receive("V", 0), "VR");
    // "F," switches the echo off: neither it nor what follows is echoed.
    EXPECT_EQ(model.Receive("F,getD0,", 0), "getD0,1.23\r");
    EXPECT_EQ(model.Receive("E,V,getD0,", 0), "VR,getD0,getD0,1.23\r");
    EXPECT_EQ(model.Receive("Hel", 0), "");
    EXPECT_EQ(model.Receive("p\r", 0).substr(0, 9), "Help\rKDX ");
    EXPECT_EQ(model.Receive("Q,", 0), "");
    EXPECT_EQ(model.Receive("V", 0), "J");
}

TEST(Model, UnknownCommandFaultsUntilReported) {
    Controller_Model model;
    EXPECT_EQ(model.Receive("bogus?,", 0), "?\r");
    EXPECT_EQ(model.Receive("V", 0), "F");
    EXPECT_EQ(model.Receive("F,getFc", 0), "getFc,1\r");
    // The report never carries a "?" of its own, so reading it cannot start another query.
    EXPECT_EQ(model.Receive("K", 0), "");
    EXPECT_EQ(model.Receive("F,getFAc", 0), "getFAc,1,Command not understood: bogus\r");
    EXPECT_EQ(model.Receive("V", 0), "R");
}

TEST(Model, MovesKeepItBusyForDistanceOverVelocity) {
    struct Case {
        std::string move;
        int64_t busy_ms;
        char online_letter;
    };
    for (const auto& c : std::vector<Case>{
             {"F,PM-0,S2M2000,I2M-400,R", 200, 'B'},
             {"F,C,S2M2000,I2M400,I2M-400,LA4,R", 1600, 'B'},
             {"F,PM-0,S1M-1500,I1M300,R", 200, 'B'},
         }) {
        Controller_Model model;
        EXPECT_EQ(model.Receive(c.move, 1000), "") << c.move;
        EXPECT_EQ(model.Receive("V", 1000), std::string(1, c.online_letter)) << c.move;
        EXPECT_EQ(model.Receive("V", 1000 + c.busy_ms - 1), "B") << c.move;
        EXPECT_EQ(model.Receive("Q,V", 1000 + c.busy_ms - 1), "b") << c.move;
        EXPECT_EQ(model.Receive("V", 1000 + c.busy_ms), "J") << c.move;
    }
    Controller_Model stopped;
    stopped.Receive("F,C,S1M10,I1M1000,R", 0);
    EXPECT_EQ(stopped.Receive("V", 10), "B");
    EXPECT_EQ(stopped.Receive("KV", 10), "R");
}

std::string Program(int axis) {
    std::string steps;
    for (int i = 1; i <= 64; ++i) steps += "I1M8387" + std::to_string(axis * (100 + i)) + ",";
    return steps;
}

std::string Listing(const std::string& header, const std::string& steps) {
    std::string text = header + "\r";
    for (char c : steps) text += c == ',' ? '\r' : c;
    return text + '\x04';
}

TEST(Model, ProgramMemoryListsWhatWasStoredPerAxis) {
    Controller_Model model;
    EXPECT_EQ(model.Receive("F,PM-1,", 0), "");
    EXPECT_EQ(model.Receive(Program(1), 0), "");
    EXPECT_EQ(model.Receive("lst,", 0), Listing("lst", Program(1)));
    for (int n = 2; n <= 4; ++n) {
        std::string d = std::to_string(n);
        EXPECT_EQ(model.Receive("F,[" + d + "[PM-" + d + ",", 0), "");
        EXPECT_EQ(model.Receive(Program(n) + "]", 0), "");
    }
    for (int n = 4; n >= 2; --n) {
        std::string d = std::to_string(n);
        std::string header = "lst" + d + "M" + d;
        EXPECT_EQ(model.Receive(header + ",", 0), Listing(header, Program(n)));
    }
    // Storing a program again replaces it.
    model.Receive("F,[2[PM-2,I1M5,]", 0);
    EXPECT_EQ(model.Receive("lst2M2,", 0), Listing("lst2M2", "I1M5,"));
    EXPECT_EQ(model.Receive("lst1M1,", 0), Listing("lst1M1", Program(1)));
}

TEST(Model, CorruptsTheChosenStepOnly) {
    Controller_Model model(Model_Config{.corrupt_axis = 3, .corrupt_step = 64});
    model.Receive("F,[3[PM-3," + Program(3) + "]", 0);
    model.Receive("F,[2[PM-2," + Program(2) + "]", 0);
    std::string expected = Program(3);
    expected.replace(expected.size() - 2, 1, "3");  // 492 -> 493
    EXPECT_EQ(model.Receive("lst3M3,", 0), Listing("lst3M3", expected));
    EXPECT_EQ(model.Receive("lst2M2,", 0), Listing("lst2M2", Program(2)));
}

TEST(Model, StopsAnsweringAfterTheLimit) {
    Controller_Model model(Model_Config{.answer_limit = 3});
    EXPECT_EQ(model.Receive("VVV", 0), "RRR");
    EXPECT_EQ(model.Receive("V", 0), "");
    EXPECT_EQ(model.Receive("F,getD0,xx,", 0), "");
    EXPECT_EQ(model.Answered(), 3);
}

// A hostile unit's numbers: whatever bytes it was given, in the reply's own form.
TEST(Model, StoresTheSerialAndOrderItIsGiven) {
    const std::string serial = "\x1b]0;owned\x07" + std::string(300, 'S');
    Controller_Model model(Model_Config{.serial = serial, .order = "=1+1-23"});
    EXPECT_EQ(model.Receive("F,getD4,", 0), "getD4," + serial + "     @=1+1-23\r");
}

TEST(Model, HelpTextHasNoQuestionMark) {
    Controller_Model model;
    std::string help = model.Receive("Help\r", 0);
    EXPECT_NE(help.find("KDX controller commands"), std::string::npos);
    EXPECT_EQ(help.find('?'), std::string::npos);
}

TEST(Model, OverlongFieldIsRefusedNotKept) {
    Controller_Model model;
    EXPECT_EQ(model.Receive(std::string(5000, 'x'), 0), "?\r");
    EXPECT_EQ(model.Next_Deadline(), -1);
    EXPECT_EQ(model.Receive(",F,getFc", 0), "getFc,1\r");
}

}  // namespace

namespace {

TEST(Model, FewerAxesRefuseTheOthers) {
    Controller_Model model(Model_Config{.axes = 2});
    EXPECT_EQ(model.Receive("F,getAS,", 0), "getAS,1,1,0,0\r");
    EXPECT_EQ(model.Receive("F,getAF,", 0), "getAF,1,2,0,0\r");
    EXPECT_EQ(model.Receive("F,getMT2M=\r", 0), "getMT2M=,17\r");
    for (const char* refused : {"F,getMT3M=\r", "F,getL4M=\r", "F,[3[PM-3,", "lst3M3,", "PM-4,",
                                "F,setMLH3M=1,", "I3M100,"}) {
        Controller_Model fresh(Model_Config{.axes = 2});
        EXPECT_EQ(fresh.Receive(refused, 0), "?\r") << refused;
    }
}

}  // namespace

namespace {

// The simulated controller is fed whatever its line carries: moves whose time does not fit
// any clock keep it busy instead of wrapping round to "ready".
TEST(Model_Hostile_Moves, OutsizedMovesStayBusy) {
    for (const char* move : {
             "F,C,I1M1e300,R",
             "F,C,S1M1e-300,I1M1000,R",
             "F,C,I1M400,LA99999999999,R",
             "F,C,S1M0.000001,I1M1e15,LA2000000000,R",
         }) {
        kdx::sim::Controller_Model model;
        EXPECT_EQ(model.Receive(move, 1000), "") << move;
        EXPECT_EQ(model.Receive("V", 1000), "B") << move;
        // A second outsized move on top of the first does not overflow either.
        model.Receive(move, 2000);
        EXPECT_EQ(model.Receive("V", 2000), "B") << move;
        EXPECT_EQ(model.Receive("V", 800000000000), "B") << move;
        EXPECT_EQ(model.Receive("KV", 3000), "R") << move;
    }
}

}  // namespace
