// kdx-cli set-serial: store a new serial and order number in the controller.
#include <chrono>
#include <iostream>
#include <thread>

#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli set-serial COM<n> SERIAL ORDER [--yes] [--baud B] [--quiet]\n"
    "\n"
    "Stores SERIAL and ORDER in the controller. SERIAL is four characters, \"-\" and two\n"
    "characters (1234-56); ORDER is seven characters (7654321); neither may hold a comma,\n"
    "a blank, \"@\" or a control character. The forms are checked before anything is sent.\n"
    "The stored numbers are read first and shown beside the new ones, and the command asks\n"
    "before overwriting them; then it sends \"setser#&=\" SERIAL, five spaces, \"@\" ORDER\n"
    "(not shown) and reads both numbers back.\n"
    "\n"
    "Options:\n"
    "  --yes       overwrite without asking (needed when standard input is not a "
    "terminal)\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 stored and read back, 1 the controller does not answer, reads back other\n"
    "numbers, the overwrite was declined, or the port could not be opened; 2 usage error\n"
    "(a number of the wrong form, or no --yes without a terminal to ask on).\n";

// What a number must not hold: the command's own separators and anything unprintable.
bool Plain(const std::string& text) {
    for (unsigned char c : text)
        if (c <= ' ' || c == 127 || c == ',' || c == '@') return false;
    return true;
}

bool Serial_Form(const std::string& s) {
    return s.size() == 7 && s[4] == '-' && Plain(s);
}

bool Order_Form(const std::string& s) {
    return s.size() == 7 && Plain(s);
}

// Asks on the terminal whether to overwrite; true on "y" or "yes".
bool Confirm() {
    std::printf("Overwrite the stored numbers? [y/N] ");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

int Run(const std::vector<std::string>& command_args) {
    std::vector<std::string> args = command_args;
    bool yes = Take_Flag(args, "--yes");
    Port_Args a;
    if (int code = Parse_Port_Args("set-serial", args, {"SERIAL", "ORDER"}, a)) return code;
    const std::string& serial = a.words[0];
    const std::string& order = a.words[1];
    if (!Serial_Form(serial)) {
        return Usage_Error("set-serial",
                           "the serial number is four characters, \"-\" and two characters, "
                           "without comma, blank or \"@\" (1234-56), not \"" +
                               Printable(serial) + "\"");
    }
    if (!Order_Form(order)) {
        return Usage_Error("set-serial",
                           "the order number is seven characters, without comma, blank or "
                           "\"@\" (7654321), not \"" +
                               Printable(order) + "\"");
    }
    // A prompt nobody can answer would wait for ever or take an accidental line of input.
    if (!yes && !isatty(STDIN_FILENO)) {
        return Usage_Error("set-serial",
                           "standard input is not a terminal to ask on; give --yes to overwrite "
                           "the stored numbers");
    }
    std::string sent, old_serial, old_order, got_serial, got_order;
    int result = 0;
    {
        Open_Port port("set-serial", a);
        if (!port.Ok()) return 1;
        old_serial = Field(KDX_Serial_Number_Get(port.Handle()));
        old_order = Field(KDX_Order_Number_Get(port.Handle()));
        if (!a.quiet) std::printf("\n");
        std::printf("Stored:     %s %s\n", Printable(old_serial).c_str(),
                    Printable(old_order).c_str());
        std::printf("New:        %s %s\n", serial.c_str(), order.c_str());
        std::fflush(stdout);  // before the echo writes on
        if (!Clean_Field(old_serial) && !Clean_Field(old_order)) {
            std::printf("The controller does not answer; nothing was sent\n");
            std::fflush(stdout);
            return 1;
        }
        if (!yes && !Confirm()) {
            std::printf("Nothing was stored\n");
            std::fflush(stdout);
            return 1;
        }
        sent = KDX_Serial_Number_Set(port.Handle(), serial.c_str(), order.c_str());
        // The command has no terminator: the controller takes it once the line is quiet.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        got_serial = Field(KDX_Serial_Number_Get(port.Handle()));
        got_order = Field(KDX_Order_Number_Get(port.Handle()));
    }
    std::printf("Sent:       %s\n", Printable(sent).c_str());
    std::printf("Serial Num: %s\n", Printable(got_serial).c_str());
    std::printf("Order Num:  %s\n", Printable(got_order).c_str());
    if (got_serial != serial || got_order != order) {
        std::printf("The controller reads back other numbers: the new ones were not stored\n");
        result = 1;
    }
    return result;
}

const Subcommand_Registration Registration({"set-serial",
                                            "store a serial and order number in the "
                                            "controller",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
