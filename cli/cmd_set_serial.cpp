// kdx-cli set-serial: store a new serial and order number in the controller.
#include <chrono>
#include <thread>

#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const kHelp =
    "Usage: kdx-cli set-serial COM<n> SERIAL ORDER [--baud B] [--quiet]\n"
    "\n"
    "Stores SERIAL (form XXXX-xx) and ORDER (form XXXXXXX) in the controller: sends\n"
    "\"setser#&=\" SERIAL, five spaces, \"@\" ORDER (not shown), then reads both back.\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 stored and read back, 1 the controller reads back other numbers or\n"
    "the port could not be opened, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("set-serial", args, 2, a)) return code;
    const std::string& serial = a.words[0];
    const std::string& order = a.words[1];
    if (serial.find_first_of("@\r\n") != std::string::npos ||
        order.find_first_of("@\r\n") != std::string::npos) {
        std::fprintf(stderr, "kdx-cli set-serial: the numbers may not hold \"@\" or line ends\n");
        return 2;
    }
    std::string sent, got_serial, got_order;
    {
        Open_Port port("set-serial", a);
        if (!port.Ok()) return 1;
        sent = KDX_Serial_Number_Set(port.Handle(), serial.c_str(), order.c_str());
        // The command has no terminator: the controller takes it once the line is quiet.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        got_serial = Field(KDX_Serial_Number_Get(port.Handle()));
        got_order = Field(KDX_Order_Number_Get(port.Handle()));
    }
    std::printf("Sent:       %s\n", Printable(sent).c_str());
    std::printf("Serial Num: %s\n", Printable(got_serial).c_str());
    std::printf("Order Num:  %s\n", Printable(got_order).c_str());
    // The controller keeps the numbers without their spaces.
    auto bare = [](std::string s) {
        std::erase(s, ' ');
        return s;
    };
    if (got_serial != bare(serial) || got_order != bare(order)) {
        std::printf("The controller did not take the new numbers\n");
        return 1;
    }
    return 0;
}

const Subcommand_Registration registration({"set-serial",
                                            "store a serial and order number in the "
                                            "controller",
                                            kHelp, Run});

}  // namespace
}  // namespace kdx::cli
