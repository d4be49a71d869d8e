// kdx-cli's words for Windows: ports from the registry's serial device map, as the Device
// Manager shows them; files under %LOCALAPPDATA%.
#include <map>

#include "cli/system_words.h"

namespace kdx::cli {

const char* System_Words(const std::string& name) {
    static const std::map<std::string, const char*> Words = {
        {"port-option",
         "  COM<n>      the port, as \"kdx-cli ports\" and the Device Manager name it\n"},
        {"terminal-port",
         "The port is COM<n>, as \"kdx-cli ports\" and the Device Manager name it."},
        {"port-sources",
         "Where the ports come from: the registry's serial device map\n"
         "(HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM), where every driver lists the\n"
         "COM ports it made: on-board UARTs, USB serial adapters, Bluetooth links. The Device\n"
         "Manager (Ports (COM & LPT)) shows which COM number an adapter has and changes it.\n"
         "\n"
         "Line settings are the registry's defaults for each port (HKEY_LOCAL_MACHINE\\SOFTWARE\\\n"
         "Microsoft\\Windows NT\\CurrentVersion\\Ports); the REGEDIT4 file\n"
         "%LOCALAPPDATA%\\kdx\\registry.reg adds to them, and %KDX_REGISTRY%, when set, replaces\n"
         "the registry's view (a described machine). \"-\" means no settings are recorded; a port\n"
         "opens at the baud rate chosen for it, 8 data bits, no parity, 1 stop bit.\n"},
        {"data-folder-rule",
         "A program in a folder the user may not write (installed for all users, under Program\n"
         "Files) keeps it in %LOCALAPPDATA%\\kdx instead, as it does its port logs.\n"},
        {"device-example", "\\Device\\VCP0"},
        {"no-watch", "the system sends no device notifications"},
        {"watch-sources",
         "An adapter plugged in again gets the COM number Windows keeps for it.\n"},
    };
    auto found = Words.find(name);
    return found == Words.end() ? "" : found->second;
}

std::string No_Such_Port_Hint() {
    return ". \"kdx-cli ports\" lists the ports of this machine; the Device Manager (Ports (COM "
           "& LPT)) shows which COM number an adapter has";
}

std::string No_Permission_Hint() {
    return std::string();  // Windows refuses a port another program holds, said as such
}

std::string Not_Serial_Hint() {
    return " (the name is no serial port's)";
}

}  // namespace kdx::cli
