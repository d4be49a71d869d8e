// The echo's rich text: any received bytes are escaped so the document shows them as text,
// and the reader of the documents takes any rich text without harm.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "serial/echo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx;
    std::string text(reinterpret_cast<const char*>(data), size);
    Rtf_Visible_Text(text);
    for (const std::string& doc :
         {Echo_Received_Document(text), Echo_Sent_Document(text), Echo_Status_Document(text)})
        Rtf_Visible_Text(doc);
    Echo_Received_Log_Line(text);
    // Escaped text is plain text again to the reader: no brace or backslash of the input
    // may open a group or a control word of its own.
    std::string plain;
    for (char c : text)
        if (c >= 32 && c < 127) plain += c;
    if (Rtf_Visible_Text("{\\rtf1 " + Rtf_Escape(plain) + "}") != plain) std::abort();
    return 0;
}
