#include "cli/system_words.h"

namespace kdx::cli {

std::string Help_Text(const char* help) {
    std::string text = help;
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open)) {
        size_t close = text.find('}', open);
        if (close == std::string::npos) break;
        std::string name = text.substr(open + 1, close - open - 1);
        const char* words = System_Words(name);
        if (!*words) {
            ++open;
            continue;
        }
        text.replace(open, close - open + 1, words);
        open += std::string(words).size();
    }
    return text;
}

}  // namespace kdx::cli
