// The traffic echo's documents and log lines, byte for byte, and the ordered echo queue.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "serial/echo.h"
#include "tests/support/echo_capture.h"
#include "tests/support/reacting_sink.h"
#include "tests/support/serial_fixture.h"

namespace kdx {
namespace {

const std::string Fonts = "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}";
const std::string Sent = "{\\rtf1{\\colortbl;\\red0\\green200\\blue255;}" + Fonts;
const std::string Status = "{\\rtf1{\\colortbl;\\red0\\green128\\blue0;}";
const std::string Received = "{\\rtf1{\\colortbl;\\red255\\green255\\blue0;}" + Fonts;
const std::string Sent_Span = "<span style=\"color:rgb(0, 200, 255)\"> ";
const std::string Status_Span = "<span style=\"color:green\"> ";
const std::string Received_Span = "<span style=\"color:rgb(255, 255, 0)\"> ";

struct Echo_Case {
    const char* name;
    std::string text;
    std::string document;
    std::string log;
    std::string visible;
};

TEST(Echo, SentDocumentsAndLogLines) {
    const Echo_Case cases[] = {
        {"command with CR", "F,\r", Sent + "{\\cf1 F,\\line}}", Sent_Span + "F,<br></span>",
         "F,\n"},
        {"empty", "", Sent + "{\\cf1 }}", Sent_Span + "</span>", ""},
        // A letter after \line would be read as part of the control word and vanish.
        {"CR before a letter", "A\rV", Sent + "{\\cf1 A\\line V}}", Sent_Span + "A<br>V</span>",
         "A\nV"},
        {"CR before a digit", "\r5", Sent + "{\\cf1 \\line 5}}", Sent_Span + "<br>5</span>", "\n5"},
        {"RTF specials", "a\\b{c}", Sent + "{\\cf1 a\\\\b\\{c\\}}}", Sent_Span + "a\\b{c}</span>",
         "a\\b{c}"},
        // Only a letter, digit, blank or hyphen gets the delimiter; escapes never do.
        {"CR before specials", "-\r-\r \r{\r}x\r\xe9",
         Sent + "{\\cf1 -\\line -\\line  \\line\\{\\line\\}x\\line\\'e9}}",
         Sent_Span + "-<br>-<br> <br>{<br>}x<br>\xe9</span>", "-\n-\n \n{\n}x\n\xe9"},
        {"LF, commas, controls", "\r\n,\x1b[31m\x04\x7f\xff",
         Sent + "{\\cf1 \\line\n,\x1b[31m\x04\x7f\\'ff}}",
         Sent_Span + "<br>\n,\x1b[31m\x04\x7f\xff</span>", "\n,\x1b[31m\x04\x7f\xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Echo_Sent_Document(c.text), c.document);
        EXPECT_EQ(Echo_Sent_Log_Line(c.text), c.log);
        EXPECT_EQ(Rtf_Visible_Text(c.document), c.visible);
        // A plain-text sink gets the same text without a document being made.
        EXPECT_EQ(Echo_Visible_Text(Echo_Kind::Sent, c.text), c.visible);
    }
}

TEST(Echo, StatusDocumentsAndLogLines) {
    const Echo_Case cases[] = {
        {"no line break", "Transmission Complete", Status + "{\\cf1 Transmission Complete}}",
         Status_Span + "Transmission Complete</span><br>", "Transmission Complete"},
        // The log keeps the raw CR inside the span.
        {"open line", "COM5 Open\r", Status + "{\\cf1 COM5 Open\\line}}",
         Status_Span + "COM5 Open\r</span><br>", "COM5 Open\n"},
        {"port closed", "Port Closed\r", Status + "{\\cf1 Port Closed\\line}}",
         Status_Span + "Port Closed\r</span><br>", "Port Closed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Echo_Status_Document(c.text), c.document);
        EXPECT_EQ(Echo_Status_Log_Line(c.text), c.log);
        EXPECT_EQ(Rtf_Visible_Text(c.document), c.visible);
        EXPECT_EQ(Echo_Visible_Text(Echo_Kind::Status, c.text), c.visible);
    }
}

TEST(Echo, ReceivedDocumentsAndLogLines) {
    const Echo_Case cases[] = {
        {"line feed after CR", "R\r\nB", Received + "{\\cf1 R\r\\line}{\\cf1 CHR$(10)B}}",
         Received_Span + "R<br>\nB</span>", "R\nCHR$(10)B"},
        {"commas split, log keeps them", "1234-56@7654321,1.23,",
         Received + "{\\cf1 1234-56@7654321}{\\cf1 1.23}{\\cf1 }}",
         Received_Span + "1234-56@7654321,1.23,</span>", "1234-56@76543211.23"},
        {"EOT shown as is", "lst\x04", Received + "{\\cf1 lst\x04}}",
         Received_Span + "lst\x04</span>", "lst\x04"},
        {"no CR, no line break", "R", Received + "{\\cf1 R}}", Received_Span + "R</span>", "R"},
        {"question mark", "?\r", Received + "{\\cf1 ?\r\\line}{\\cf1 }}",
         Received_Span + "?<br></span>", "?\n"},
        // A reply holding RTF specials or bytes above 127 must not break the document.
        {"RTF specials", "{a}\\b\xe9", Received + "{\\cf1 \\{a\\}\\\\b\\'e9}}",
         Received_Span + "{a}\\b\xe9</span>", "{a}\\b\xe9"},
        // A zero byte keeps the bytes after it and is named in window and log.
        {"zero byte", std::string("A\0B", 3), Received + "{\\cf1 ACHR$(0)B}}",
         Received_Span + "ACHR$(0)B</span>", "ACHR$(0)B"},
        {"tab named", "a\tb", Received + "{\\cf1 aCHR$(9)b}}", Received_Span + "a\tb</span>",
         "aCHR$(9)b"},
        {"empty", "", Received + "}", Received_Span + "</span>", ""},
        {"empty pieces", "a,,b\r\r,c",
         Received + "{\\cf1 a}{\\cf1 }{\\cf1 b\r\\line}{\\cf1 \r\\line}{\\cf1 }{\\cf1 c}}",
         Received_Span + "a,,b<br><br>,c</span>", "ab\n\nc"},
        {"comma alone", ",", Received + "{\\cf1 }{\\cf1 }}", Received_Span + ",</span>", ""},
        {"controls named", std::string("\r\n,\x1b[31m\x04\x7f\xff\0", 12),
         Received + "{\\cf1 \r\\line}{\\cf1 CHR$(10)}{\\cf1 CHR$(27)[31m\x04\x7f\\'ffCHR$(0)}}",
         Received_Span + "<br>\n,\x1b[31m\x04\x7f\xff"
                         "CHR$(0)</span>",
         "\nCHR$(10)CHR$(27)[31m\x04\x7f\xff"
         "CHR$(0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Echo_Received_Document(c.text), c.document);
        EXPECT_EQ(Echo_Received_Log_Line(c.text), c.log);
        EXPECT_EQ(Rtf_Visible_Text(c.document), c.visible);
        EXPECT_EQ(Echo_Visible_Text(Echo_Kind::Received, c.text), c.visible);
    }
}

TEST(Echo, EscapingKeepsEveryByteVisible) {
    std::string all;
    for (int b = 32; b < 256; ++b) all += char(b);
    all.erase(all.find(','), 1);  // commas separate pieces in the window
    EXPECT_EQ(Rtf_Visible_Text(Echo_Received_Document(all)), all);
    EXPECT_EQ(Rtf_Visible_Text(Echo_Sent_Document(all)), all);
    EXPECT_EQ(Rtf_Escape("\x7f\x80\xff"), "\x7f\\'80\\'ff");
}

TEST(Echo, EchoesReachTheSinkInOrder) {
    Echo_Capture_Sink capture;
    Echo_Set_Sink(&capture);
    Serial_Port_Echo_Sent("F,\r");
    Serial_Port_Echo_Received("R");
    Serial_Port_Echo_Status("Port Closed\r");
    auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Document.Control, 100);
    EXPECT_EQ(entries[1].Document.Control, 101);
    EXPECT_EQ(entries[2].Document.Control, 100);
    EXPECT_EQ(entries[1].Document.Rtf, Echo_Received_Document("R"));
    EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "F,\n");
    EXPECT_EQ(capture.Visible(Echo_Kind::Status), "Port Closed\n");
    Echo_Set_Sink(nullptr);
}

TEST(Echo, DispatcherThreadAppliesWhatOtherThreadsPost) {
    Echo_Capture_Sink capture;
    Echo_Set_Sink(&capture);
    std::atomic<int> posts{0};
    Echo_Set_Dispatcher(std::this_thread::get_id(), [&] { ++posts; });
    // From another thread: queued and posted, never applied there.
    std::thread other([] {
        for (int i = 0; i < 100; ++i) Serial_Port_Echo_Received(std::to_string(i));
    });
    other.join();
    EXPECT_EQ(posts.load(), 100);
    EXPECT_EQ(capture.Count(), 0u);
    // On the dispatcher's thread an echo applies the whole queue, in order, before it returns.
    Serial_Port_Echo_Status("done");
    auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 101u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(Rtf_Visible_Text(entries[size_t(i)].Document.Rtf), std::to_string(i));
    EXPECT_EQ(entries.back().Document.Kind, Echo_Kind::Status);
    Echo_Set_Dispatcher(std::thread::id(), nullptr);
    Echo_Set_Sink(nullptr);
}

TEST(Echo, TerminalSinkColoursEachKind) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Echo_Terminal_Sink sink(fds[1], true, true);
        sink.Echo_Apply({Echo_Kind::Sent, 100, Echo_Sent_Document("V\r")});
        sink.Echo_Apply({Echo_Kind::Status, 100, Echo_Status_Document("COM5 Open\r")});
        sink.Echo_Apply({Echo_Kind::Received, 101, Echo_Received_Document("R")});
        Echo_Terminal_Sink plain(fds[1], false, false);
        plain.Echo_Apply({Echo_Kind::Received, 101, Echo_Received_Document("B\r")});
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fds[0]);
    EXPECT_EQ(out,
              "\x1b[96mV\r\n\x1b[0m\x1b[32mCOM5 Open\r\n\x1b[0m\x1b[93mR\x1b[0m"
              "B\n");
}

// The terminal shows received text as it arrived, the way the log keeps it; a reply's bytes
// cannot drive the user's terminal.
TEST(Echo, TerminalShowsReceivedTextAsItArrived) {
    struct Case {
        const char* name;
        std::vector<std::string> echoes;  // one received echo each
        std::string shown;
    };
    const Case cases[] = {
        {"commas kept", {"1234-56@7654321,1.23,\r"}, "1234-56@7654321,1.23,\n"},
        {"CR LF one break", {"A\r\nB\r\n"}, "A\nB\n"},
        {"CR and LF in two reads", {"A\r", "\nB"}, "A\nB"},
        {"CR alone, LF alone", {"A\rB\nC\r\rD"}, "A\nB\nC\n\nD"},
        {"controls",
         {std::string("\x1b[2J\x07\t\x04\0z\xe9", 10)},
         "CHR$(27)[2JCHR$(7)\t\x04"
         "CHR$(0)z\xe9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        {
            Echo_Terminal_Sink sink(fds[1], false, false);
            Echo_Set_Sink(&sink);
            for (const auto& text : c.echoes) Serial_Port_Echo_Received(text);
            Echo_Set_Sink(nullptr);
        }
        close(fds[1]);
        std::string out;
        char buf[512];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
        close(fds[0]);
        EXPECT_EQ(out, c.shown);
    }
}

// Each sink gets the form it takes: the rich edits the same documents as ever, a plain sink
// the echoed text; the order is kept across kinds.
TEST(Echo, EachSinkGetsItsFormInOrder) {
    struct Plain_Sink final : Echo_Sink {
        void Echo_Apply(const Echo_Document& d) override { got.push_back(d); }
        bool Echo_Plain() const override { return true; }
        std::vector<Echo_Document> got;
    } plain;
    Echo_Capture_Sink rich;
    const std::pair<Echo_Kind, std::string> echoes[] = {{Echo_Kind::Sent, "F,getD4,\r"},
                                                        {Echo_Kind::Received, "1,2\r\n"},
                                                        {Echo_Kind::Status, "x"}};
    auto echo_all = [&] {
        for (const auto& [kind, text] : echoes) {
            if (kind == Echo_Kind::Sent) Serial_Port_Echo_Sent(text);
            if (kind == Echo_Kind::Received) Serial_Port_Echo_Received(text);
            if (kind == Echo_Kind::Status) Serial_Port_Echo_Status(text);
        }
    };
    Echo_Set_Sink(&plain);
    echo_all();
    Echo_Set_Sink(&rich);
    echo_all();
    Echo_Set_Sink(nullptr);
    auto entries = rich.Entries();
    ASSERT_EQ(plain.got.size(), 3u);
    ASSERT_EQ(entries.size(), 3u);
    const std::string documents[] = {Echo_Sent_Document(echoes[0].second),
                                     Echo_Received_Document(echoes[1].second),
                                     Echo_Status_Document(echoes[2].second)};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(plain.got[i].Kind, echoes[i].first);
        EXPECT_EQ(plain.got[i].Text, echoes[i].second);
        EXPECT_TRUE(plain.got[i].Rtf.empty());
        EXPECT_EQ(entries[i].Document.Kind, echoes[i].first);
        EXPECT_EQ(entries[i].Document.Rtf, documents[i]);
    }
}

// A window that keeps only so many characters of a control, behind a thread too busy to apply
// the queue: the queue holds for that control only the newest documents that can still show,
// in order; another control's documents all stay.
TEST(Echo, AQueueTheSinkCannotKeepUpWithHoldsOnlyWhatTheControlShows) {
    struct Keeping_Sink final : Echo_Sink {
        void Echo_Apply(const Echo_Document& d) override { got.push_back(d); }
        int64_t Echo_Keep(int32_t control) const override { return control == 101 ? 1000 : -1; }
        std::vector<Echo_Document> got;
    } sink;
    Echo_Set_Sink(&sink);
    Echo_Set_Dispatcher(std::this_thread::get_id(), [] {});
    std::thread poller([] {
        // 10 000 received texts of 10 characters shown (the comma shows as none), and a status
        // line after every thousandth.
        for (int i = 0; i < 10000; ++i) {
            char text[16];
            std::snprintf(text, sizeof text, "%05d,abcde", i);
            Serial_Port_Echo_Received(text);
            if (i % 1000 == 999) Serial_Port_Echo_Status(std::to_string(i));
        }
    });
    poller.join();
    EXPECT_EQ(Echo_Queue_Shown(101), 1000);
    EXPECT_EQ(Echo_Queue_Shown(100), 3 + 9 * 4);
    Echo_Queue_Apply();
    EXPECT_EQ(Echo_Queue_Shown(101), 0);
    Echo_Set_Dispatcher(std::thread::id(), nullptr);
    Echo_Set_Sink(nullptr);
    std::vector<std::string> want;
    for (int i = 999; i < 9999; i += 1000) want.push_back(std::to_string(i));
    for (int i = 9900; i < 10000; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%05dabcde", i);
        want.push_back(text);
    }
    want.push_back("9999");
    std::vector<std::string> got;
    for (const auto& d : sink.got) got.push_back(Rtf_Visible_Text(d.Rtf));
    EXPECT_EQ(got, want);
}

// A source that never stops (each document applied brings another, as a flood's poller
// does): a slice of the queue still ends, and the next one goes on in order.
TEST(Echo, ASliceOfTheQueueEndsWhileTheSourceKeepsEchoing) {
    struct Feeding_Sink final : Echo_Sink {
        void Echo_Apply(const Echo_Document& d) override {
            got.push_back(Rtf_Visible_Text(d.Rtf));
            Serial_Port_Echo_Received(std::to_string(got.size()));
        }
        std::vector<std::string> got;
    } sink;
    Echo_Set_Sink(&sink);
    Echo_Set_Dispatcher(std::this_thread::get_id(), [] {});
    std::thread([] { Serial_Port_Echo_Received("0"); }).join();
    EXPECT_TRUE(Echo_Queue_Apply_For(2));
    size_t first = sink.got.size();
    EXPECT_GE(first, 1u);
    EXPECT_TRUE(Echo_Queue_Apply_For(0));
    EXPECT_EQ(sink.got.size(), first + 1);
    Echo_Set_Sink(nullptr);
    Echo_Queue_Apply();
    Echo_Set_Dispatcher(std::thread::id(), nullptr);
    for (size_t i = 0; i < sink.got.size(); ++i) EXPECT_EQ(sink.got[i], std::to_string(i));
}

// An echo made by the sink while it applies the queue, against the echoing thread itself.
using Echo_Queue = test::Sim_Port_Test;
using test::Reacting_Sink;

TEST_F(Echo_Queue, AnEchoMadeWhileTheQueueIsAppliedFollowsInOrder) {
    // Without a dispatcher the echoing thread applies the queue itself; a sink that echoes
    // again (a status line on what arrived) must neither wait on itself nor jump the queue.
    Reacting_Sink sink(capture, Echo_Kind::Received, [] { Serial_Port_Echo_Status("seen\r"); });
    Echo_Set_Sink(&sink);
    auto done = std::async(std::launch::async, [] {
        Serial_Port_Echo_Received("A");
        Serial_Port_Echo_Sent("B");
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "an echo from inside the sink never returned";
    auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Document.Kind, Echo_Kind::Received);
    EXPECT_EQ(entries[1].Document.Kind, Echo_Kind::Status);
    EXPECT_EQ(entries[2].Document.Kind, Echo_Kind::Sent);
    Echo_Set_Sink(&capture);
}

}  // namespace
}  // namespace kdx
