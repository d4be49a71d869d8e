// The port log of the windowed benches: the newest log of the program's folder, and the
// received text in it read back a line at a time (a sustained flood's log runs to gigabytes).
#pragma once
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/port_log.h"
#include "platform/os/system.h"

namespace kdx::bench {

// The newest port log of the program's folder ("" with none).
inline std::string Port_Log_Path() {
    std::filesystem::path folder =
        std::filesystem::path(platform::Module_File_Name()).parent_path();
    std::string newest;
    auto when = std::filesystem::file_time_type::min();
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (name.rfind("KDX Port Log ", 0) == 0 && e.last_write_time() >= when) {
            when = e.last_write_time();
            newest = e.path().string();
        }
    }
    return newest;
}

// Opens the port log and returns where this run's text starts in it: the end of today's log
// as it stood, or 0 when the open started a new file. path gets the log's name.
inline std::uintmax_t Port_Log_Open_Here(std::string& path) {
    path = Port_Log_Path();
    std::uintmax_t start = path.empty() ? 0 : std::filesystem::file_size(path);
    Port_Log_Open();
    if (Port_Log_Path() != path) start = 0;
    path = Port_Log_Path();
    return start;
}

// Hands take(text) the received text of the log from offset on, a span at a time: the yellow
// spans, <br> back to CR (the LF the line sent stays as it came).
template <class Take>
void Received_In_Log(const std::string& path, std::uintmax_t offset, Take take) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(offset));
    const std::string open = "<span style=\"color:rgb(255, 255, 0)\"> ", close = "</span>";
    std::string buffer, out;
    std::vector<char> piece(1 << 22);
    size_t at = 0;  // where the search goes on in buffer
    for (;;) {
        in.read(piece.data(), std::streamsize(piece.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        buffer.erase(0, at);
        at = 0;
        buffer.append(piece.data(), size_t(got));
        for (;;) {
            size_t from = buffer.find(open, at);
            if (from == std::string::npos) break;
            size_t end = buffer.find(close, from + open.size());
            if (end == std::string::npos) {
                at = from;  // the span goes on in the next piece
                break;
            }
            out.clear();
            for (size_t i = from + open.size(); i < end; ++i) {
                if (buffer.compare(i, 4, "<br>") == 0) {
                    out += '\r';
                    i += 3;
                } else {
                    out += buffer[i];
                }
            }
            take(out);
            at = end + close.size();
        }
        // Nothing of an opening can hide in what was searched past.
        if (buffer.find(open, at) == std::string::npos && buffer.size() > at + open.size())
            at = buffer.size() - open.size();
    }
}

inline std::string Received_In_Log(const std::string& path, std::uintmax_t offset) {
    std::string all;
    Received_In_Log(path, offset, [&](const std::string& text) { all += text; });
    return all;
}

}  // namespace kdx::bench
