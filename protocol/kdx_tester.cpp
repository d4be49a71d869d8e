// The communication test, the program-memory test and its comparison.
#include <algorithm>

#include "platform/os/system.h"
#include "protocol/kdx.h"
#include "protocol/kdx_link.h"
#include "protocol/kdx_progress.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

constexpr char CR = '\r';
constexpr char EOT = '\x04';

thread_local int32_t Last_Test_Passed = 0;
thread_local KDX_Commo_Count Last_Commo;
thread_local Listing_Comparison Last_Comparison;

// The fields of a text split at ",", each trimmed of blanks and line feeds; empty fields
// (a trailing ",", CR LF line ends) are not fields of their own.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string field = text.substr(start, comma - start);
        size_t a = field.find_first_not_of(" \n\t");
        size_t b = field.find_last_not_of(" \n\t");
        if (a != std::string::npos) fields.push_back(field.substr(a, b - a + 1));
        start = comma + 1;
    }
    return fields;
}

std::string Join(const std::vector<std::string>& fields) {
    std::string text;
    for (const auto& f : fields) text += (text.empty() ? "" : ",") + f;
    return text;
}

}  // namespace

std::string KDX_Test_Program(int32_t axis) {
    std::string steps;
    for (int32_t i = 1; i <= 64; ++i) steps += "I1M8387" + std::to_string(axis * (100 + i)) + ",";
    return steps;
}

Listing_Comparison KDX_Compare_Listing(const std::string& sent, const std::string& listing) {
    Listing_Comparison c;
    std::string list = listing;
    protocol::Remove_All(list, EOT);
    std::vector<std::string> got = Fields(list);
    size_t comma = list.find(',');
    c.header = list.substr(0, comma);
    // The header may come again (a listing sent in pieces); it is never a step.
    std::erase(got, c.header);
    std::vector<std::string> expected = Fields(sent);
    // "]" closes the program when it is stored; the controller does not list it.
    if (!expected.empty() && expected.back() == "]") expected.pop_back();
    size_t common = std::min(got.size(), expected.size());
    for (size_t i = 0; i < common; ++i)
        if (got[i] != expected[i]) c.unmatched.push_back(got[i]);
    for (size_t i = common; i < got.size(); ++i) c.unmatched.push_back(got[i]);
    for (size_t i = common; i < expected.size(); ++i) c.missing.push_back(expected[i]);
    c.passed = c.unmatched.empty() && c.missing.empty();
    for (size_t i = 0; !c.passed && i < std::max(got.size(), expected.size()); ++i) {
        std::string listed = i < got.size() ? got[i] : "";
        std::string step = i < expected.size() ? expected[i] : "";
        if (listed != step) {
            c.first_step = i + 1;
            c.first_sent = step;
            c.first_listed = listed;
            break;
        }
    }
    if (c.passed) {
        c.text = c.header + ",";
    } else {
        c.text = Join(c.unmatched);
        if (!c.missing.empty())
            c.text += (c.text.empty() ? "" : " ") + std::string("Missing ") + Join(c.missing);
    }
    return c;
}

std::string KDX_Tester_Commo_Fill_Memory_Compare_Strings(std::string& sent, std::string& listing) {
    KDX_FRAME("KDX_Tester_Commo_Fill_Memory_Compare_Strings", sent, listing);
    std::replace(sent.begin(), sent.end(), CR, ',');
    std::replace(listing.begin(), listing.end(), CR, ',');
    Listing_Comparison c = KDX_Compare_Listing(sent, listing);
    if (!c.passed) kdx_frame.comment("Listing does not match what was sent");
    return kdx_frame.result(c.text);
}

std::string KDX_Tester_USB_Commo(int32_t& handle) {
    KDX_FRAME("KDX_Tester_USB_Commo", handle);
    Last_Test_Passed = 0;
    Last_Commo = KDX_Commo_Count{};
    if (!protocol::Usable(handle)) {
        Serial_Port_Echo_Status("KDX_TESTER_USB_COMMO FAILED... Port not open\r");
        return kdx_frame.result(std::string());
    }
    KDX_Operation operation;
    KDX_Progress progress{"Testing USB", "V", 0, KDX_Commo_Queries};
    Poller_Pause pause(Serial_Port_State.Poller);
    Serial_Port_Echo_Status("Testing USB\r");
    int32_t answered = 0, failed = 0;
    for (int32_t i = 1; i <= KDX_Commo_Queries; ++i) {
        if (operation.Stopped()) {
            Serial_Port_Echo_Status("Test Stopped\r");
            break;
        }
        progress.Done = i - 1;
        KDX_Progress_Report(progress);
        std::string counter = "     ";
        counter += i <= 99 ? "  " : i <= 999 ? " " : "";
        counter += std::to_string(i) + "     ";
        Serial_Port_Echo_Status(counter);
        Serial_Port_Write(handle, "V");
        Last_Commo.Sent = i;
        Serial_Port_Wait_Input(handle, KDX_Commo_Wait_Ms);
        std::string reply = Serial_Port_Read(handle);
        Serial_Port_Echo_Received(std::string(1, CR));
        if (reply.empty()) {
            Serial_Port_Echo_Status("Test Error - Aborting Test\r");
            Last_Commo.Aborted = true;
            break;
        }
        // Only a status letter answers the query: other bytes (a listing still in flight,
        // line noise) would let a broken link pass in half its time.
        if (KDX_Is_Status_Letter(reply))
            ++answered;
        else
            ++failed;
    }
    if (failed > 0)
        Serial_Port_Echo_Status("Failed queries: " + std::to_string(failed) +
                                " replies were no status letter\r");
    progress.Done = answered;
    progress.Item.clear();
    KDX_Progress_Report(progress);
    Last_Commo.Answered = answered;
    Last_Commo.Wrong = failed;
    Last_Test_Passed = answered == KDX_Commo_Queries;
    kdx_frame.comment(Last_Test_Passed ? "Passed" : "Failed");
    return kdx_frame.result(std::string());
}

std::string KDX_Tester_Commo_Fill_Memory(int32_t& handle, int32_t& axis) {
    KDX_FRAME("KDX_Tester_Commo_Fill_Memory", handle, axis);
    Last_Test_Passed = 0;
    Last_Comparison = Listing_Comparison{};
    const std::string name = "KDX_TESTER_COMMO_FILL_MEMORY Axis " + std::to_string(axis);
    if (!protocol::Usable(handle)) {
        Serial_Port_Echo_Status(name + " FAILED... Port not open\r");
        return kdx_frame.result(std::string());
    }
    if (axis < 1 || axis > 4) {
        Serial_Port_Echo_Status(name + " FAILED... Axis must be 1 to 4\r");
        return kdx_frame.result(std::string());
    }
    const std::string n = std::to_string(axis);
    std::string listing, last;
    bool complete = false, refused = false;
    std::string expected = KDX_Test_Program(axis);
    KDX_Operation operation;
    const std::string title = "Testing Axis " + n + " - Program " + n;
    KDX_Progress progress{title, "", 0, 4};
    // Each command goes out unless a stop was requested; the progress names it first.
    auto command = [&](const std::string& text) {
        if (operation.Stopped()) return;
        progress.Item = text;
        KDX_Progress_Report(progress);
        Serial_Port_Write(handle, text);
        ++progress.Done;
    };
    {
        Poller_Pause pause(Serial_Port_State.Poller);
        Serial_Port_Echo_Sent(title + CR);
        const std::string open = axis == 1 ? "F,PM-1," : "F,[" + n + "[PM-" + n + ",";
        const std::string list = axis == 1 ? "lst," : "lst" + n + "M" + n + ",";
        if (axis >= 2) expected += "]";
        // The writes return once the driver has the bytes, long before a slow line has
        // carried them: the quiet spell counts only from when the last byte has left.
        int64_t line_free =
            platform::Tick_Count_Ms() +
            Serial_Port_Wire_Ms(handle, open.size() + expected.size() + list.size());
        command(open);
        command(expected);
        command(list);
        progress.Item = "listing";
        if (!operation.Stopped()) KDX_Progress_Report(progress);
        // The listing ends with EOT or a "?"; a controller that stops sending ends it after
        // a quiet spell, and one that never stops after far more than a listing's bytes, so
        // a dead or babbling line neither hangs the program nor passes the test.
        while (!operation.Stopped() && !complete && !refused &&
               listing.size() < KDX_Listing_Capacity) {
            int64_t sending = std::max<int64_t>(0, line_free - platform::Tick_Count_Ms());
            if (!Serial_Port_Wait_Input(handle, KDX_Listing_Quiet_Ms + uint32_t(sending))) break;
            last = Serial_Port_Read(handle);
            listing += last;
            complete = listing.find(EOT) != std::string::npos;
            refused = last.find('?') != std::string::npos;
        }
    }
    if (!operation.Stopped()) ++progress.Done;
    progress.Item.clear();
    KDX_Progress_Report(progress);
    std::string outcome;
    if (operation.Stopped() && !complete && !refused) {
        outcome = "Test Stopped";
    } else if (refused) {
        outcome = last;
    } else {
        std::string sent = expected;
        std::string list = listing;
        outcome = KDX_Tester_Commo_Fill_Memory_Compare_Strings(sent, list);
        Last_Comparison = KDX_Compare_Listing(sent, list);
        if (complete)
            Last_Test_Passed = Last_Comparison.passed;
        else
            outcome = "Listing incomplete" +
                      (listing.empty() ? std::string(", no reply") : " - " + outcome);
    }
    // A babbling line's outcome would be its whole text: show the start of it.
    if (outcome.size() > KDX_Outcome_Capacity) {
        outcome.resize(KDX_Outcome_Capacity - 3);
        outcome += "...";
    }
    Serial_Port_Echo_Status(outcome + CR);
    kdx_frame.comment(Last_Test_Passed ? "Passed" : "Failed");
    return kdx_frame.result(outcome);
}

int32_t KDX_Config_Create(int32_t& argument) {
    KDX_FRAME("KDX_Config_Create", argument);
    return kdx_frame.result(0);
}

const KDX_Commo_Count& KDX_Tester_Last_Commo() {
    return Last_Commo;
}

int32_t KDX_Tester_Passed() {
    return Last_Test_Passed;
}

const Listing_Comparison& KDX_Tester_Last_Comparison() {
    return Last_Comparison;
}

}  // namespace kdx
