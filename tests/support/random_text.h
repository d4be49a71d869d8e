// Random bytes for the hostile-input tests, weighted towards the characters the parsers look
// for.
#pragma once
#include <cstddef>
#include <random>
#include <string>

namespace kdx::test {

inline std::string Random_Text(std::mt19937& rng, size_t max_size) {
    static const char Special[] = {',', '\r',   '\n', '@', '&', '-', '=', '"', '\\', '[',
                                   ']', '\x04', '?',  ' ', ':', '(', ')', ';', 'M',  '\0'};
    std::uniform_int_distribution<size_t> size(0, max_size);
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 2);
    std::uniform_int_distribution<size_t> which(0, sizeof Special - 1);
    std::string text(size(rng), '\0');
    for (char& c : text) c = pick(rng) == 0 ? Special[which(rng)] : char(byte(rng));
    return text;
}

}  // namespace kdx::test
