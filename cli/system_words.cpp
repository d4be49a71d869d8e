// kdx-cli's words for Linux: ports from the ports directory and udev, files under the XDG
// folders, the dialout group.
#include <map>

#include "cli/system_words.h"
#include "kdx/kdx.h"

namespace kdx::cli {

const char* System_Words(const std::string& name) {
    static const std::map<std::string, const char*> Words = {
        {"port-option",
         "  COM<n>      the port: a COM<n> entry of the ports directory (kdx-sim registers\n"
         "              itself there) or a serial device found by udev; or the device's\n"
         "              path (/dev/ttyUSB0, /dev/serial/by-id/...)\n"},
        {"terminal-port",
         "The port is COM<n> (an entry of the ports directory, where kdx-sim registers itself, or\n"
         "a serial device found by udev), or the device's path (/dev/ttyUSB0,\n"
         "/dev/serial/by-id/...)."},
        {"port-sources",
         "Where the ports come from:\n"
         "  the ports directory   COM<n> links made by hand or by kdx-sim ($KDX_PORTS, else\n"
         "                        $XDG_RUNTIME_DIR/kdx/ports, else /tmp/kdx-<uid>/ports)\n"
         "  udev                  on-board UARTs (ttyS<k> is COM<k+1>), USB serial adapters,\n"
         "                        CDC-ACM devices and Bluetooth links; each keeps the COM number\n"
         "                        it was first given (stored in $XDG_CONFIG_HOME/kdx/com-names)\n"
         "\n"
         "Line settings exist only where a registry hive file gives them: the REGEDIT4 file\n"
         "$XDG_CONFIG_HOME/kdx/registry.reg adds to the live view, and $KDX_REGISTRY, when set,\n"
         "replaces it (a described machine). \"-\" means no settings are recorded; a port opens "
         "at\n"
         "the baud rate chosen for it, 8 data bits, no parity, 1 stop bit.\n"},
        {"data-folder-rule",
         "An installed program (or one in a folder the user may not write) keeps it in\n"
         "$XDG_DATA_HOME/kdx (~/.local/share/kdx) instead, as it does its port logs.\n"},
        {"device-example", "/dev/ttyUSB0"},
        {"no-watch", "no udev"},
        {"watch-sources",
         "An adapter plugged in again keeps its COM number. Ports that come and go in the ports\n"
         "directory (kdx-sim starting and stopping, entries made by hand) show the same way.\n"},
    };
    auto found = Words.find(name);
    return found == Words.end() ? "" : found->second;
}

std::string No_Such_Port_Hint() {
    std::string hint =
        ". \"kdx-cli ports\" lists the ports of this machine; a device can be added in the "
        "ports directory " +
        std::string(Serial_Ports_Directory());
    if (*Serial_Ports_Directory_Problem())
        hint += std::string(" (") + Serial_Ports_Directory_Problem() + ")";
    return hint;
}

std::string No_Permission_Hint() {
    return ". Serial ports belong to the dialout group: sudo usermod -aG dialout $USER, then log "
           "in again";
}

std::string Not_Serial_Hint() {
    return std::string(" (see its entry in ") + Serial_Ports_Directory() + ")";
}

}  // namespace kdx::cli
