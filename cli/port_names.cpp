#include "cli/port_names.h"

#include "cli/protocol_port.h"
#include "cli/system.h"
#include "kdx/kdx.h"

namespace kdx::cli {

namespace {

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> parts;
    size_t start = 0, end;
    while ((end = line.find(separator, start)) != std::string::npos) {
        parts.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(line.substr(start));
    return parts;
}

}  // namespace

std::vector<Port_Entry> Port_Entries() {
    std::vector<Port_Entry> entries;
    for (const std::string& line : Split(Serial_Port_Map_Text(), '\n')) {
        std::vector<std::string> f = Split(line, '\t');
        if (f.size() < 5 || f[0].empty()) continue;
        entries.push_back({f[0], f[1], f[3], f[4]});
    }
    return entries;
}

std::string Port_Description(const Port_Entry& e) {
    struct Maker {
        const char* driver;
        const char* name;
    };
    static const Maker Makers[] = {{"ftdi_sio", "FTDI"},       {"pl2303", "Prolific"},
                                   {"ch341", "WCH"},           {"cp210x", "Silicon Labs"},
                                   {"cdc_acm", "USB CDC ACM"}, {"io_edgeport", "Edgeport"},
                                   {"rfcomm", "Bluetooth"}};
    std::string maker;
    for (const Maker& m : Makers)
        if (e.driver == m.driver) maker = m.name;
    if (e.driver == "serial" || e.driver.rfind("8250", 0) == 0)
        return e.product.empty() ? "on-board serial port" : e.product;
    if (maker.empty()) maker = e.driver;
    if (e.product.empty()) return maker;
    return maker.empty() ? e.product : maker + " " + e.product;
}

bool Parse_Port(const std::string& word, int32_t& number, std::string& why) {
    if (word.empty() || word[0] != '/') {
        if (Parse_Com(word, number)) return true;
        why = "give the port as COM<n> (n from 1 to 999) or as its device path";
        return false;
    }
    std::string real = sys::Real_Path(word);
    if (real.empty()) {
        why = "no device at " + word;
        return false;
    }
    for (const Port_Entry& e : Port_Entries())
        if (sys::Real_Path(e.node) == real && Parse_Com(e.port, number)) return true;
    why = word + " is no port of this machine (\"kdx-cli ports\" lists them)";
    return false;
}

}  // namespace kdx::cli
