#include "files/html_template.h"

#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "trace/trace.h"

namespace kdx {

namespace {

constexpr char CR = '\r';
constexpr char TAB = '\t';
const std::string Indent_1(5, ' ');
const std::string Indent_2(10, ' ');
const std::string Indent_3(15, ' ');

// One write of rec.Text at the end of the file; true on success.
bool Write_At_End(File_Writer_Record& rec) {
    if (rec.Text.size() > Max_Fragment) rec.Text.resize(Max_Fragment);
    rec.Position.Offset = platform::Write_At_End;
    rec.Position.Offset_High = platform::Write_At_End;
    return platform::Write_File_At(rec.Handle, rec.Text, &rec.Written, rec.Position);
}

// Sets a settings-page fragment and writes it at once.
int32_t Ini_Fragment(Ini_Template_Record& rec, std::string text) {
    rec.Text = std::move(text);
    return Ini_Template_Write(rec);
}

// Sets a document fragment (cut like every fragment) and returns it.
const std::string& Html_Fragment(HTML_Template_Record& rec, std::string text) {
    rec.Text = std::move(text);
    if (rec.Text.size() > Max_Fragment) rec.Text.resize(Max_Fragment);
    return rec.Text;
}

}  // namespace

void Format_Arg(std::string& out, const File_Writer_Record& rec) {
    trace::Format_Arg(out, rec.Path);
    out += ':';
    out += std::to_string(rec.Handle);
}

std::string File_Address_Of(const std::string& folder) {
    std::string dir = folder;
    for (char& c : dir)
        if (c == '\\') c = '/';
    // A POSIX folder starts with "/" already: "file:///" + "home/..." is its address.
    if (!dir.empty() && dir.front() == '/') dir.erase(0, 1);
    std::string address = "file:///" + dir;
    if (!dir.empty() && dir.back() != '/') address += '/';
    return address;
}

int32_t HTML_Template_File_Create(File_Writer_Record& rec) {
    KDX_FRAME("HTML_Template_File_Create", rec);
    rec.Handle = platform::Create_File(rec.Path, rec.Access, rec.Share, rec.Disposition, rec.Flags);
    kdx_frame.check();
    return kdx_frame.result(rec.Handle);
}

int32_t HTML_Template_File_Close(File_Writer_Record& rec) {
    KDX_FRAME("HTML_Template_File_Close", rec);
    bool ok = platform::Close_Handle(rec.Handle);
    kdx_frame.check();
    rec.Handle = 0;
    return kdx_frame.result(int32_t(ok));
}

int32_t Ini_Template_Write(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Write", rec);
    bool ok = Write_At_End(rec);
    kdx_frame.check();
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(int32_t(ok));
}

int32_t Ini_Template_Doc_Type(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Doc_Type", rec);
    int32_t r = Ini_Fragment(rec, std::string("<!DOCTYPE html>") + CR);
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t Ini_Template_Html_Start(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Html_Start", rec);
    int32_t r = Ini_Fragment(rec, std::string("<html>") + CR);
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t Ini_Template_Html_End(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Html_End", rec);
    int32_t r = Ini_Fragment(rec, std::string("</html>") + CR);
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t Ini_Template_Header(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Header", rec);
    std::string text = Indent_1 + "<head>" + CR;
    text += Indent_2 + "<link rel=\"stylesheet\" href=\"../dravon.css\" type=\"text/css\">" + CR;
    text += Indent_1 + "</head>" + CR;
    int32_t r = Ini_Fragment(rec, std::move(text));
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t Ini_Template_Body_Start(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Body_Start", rec);
    int32_t r = Ini_Fragment(rec, Indent_1 + "<body>" + CR);
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t Ini_Template_Body_End(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Body_End", rec);
    int32_t r = Ini_Fragment(rec, Indent_1 + "</body>" + CR);
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t Ini_Template_Details_Summary(Ini_Template_Record& rec) {
    KDX_FRAME("Ini_Template_Details_Summary", rec);
    struct Block {
        const char* title;
        const char* section;
        const char* after;
    };
    static constexpr Block Blocks[] = {
        {"Port 7 Info", "COM7", ""}, {"Port 6 Info", "COM6", "<br>"}, {"Port 1 Info", "COM1", ""}};
    std::string text;
    for (const Block& b : Blocks) {
        text += Indent_2 + "<details>" + CR;
        text += Indent_3 + "<summary>" + CR;
        text += std::string(b.title) + CR;
        text += Indent_3 + "</summary>" + CR;
        text += std::string("[") + b.section + "]" + b.after + CR;
        text += Indent_2 + "</details>" + CR;
    }
    int32_t r = Ini_Fragment(rec, std::move(text));
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(r);
}

int32_t HTML_Template_Write(HTML_Template_Record& rec) {
    KDX_FRAME("HTML_Template_Write", rec);
    Write_At_End(rec);
    kdx_frame.check();
    kdx_frame.comment("Diagnostic Handle: " + std::to_string(rec.Handle));
    return kdx_frame.result(rec.Handle);
}

// The document writers differ only in their fragment.
#define KDX_HTML_FRAGMENT(Name, ...)                               \
    std::string Name(HTML_Template_Record& rec) {                  \
        KDX_FRAME(#Name, rec);                                     \
        const std::string& text = Html_Fragment(rec, __VA_ARGS__); \
        kdx_frame.comment(text);                                   \
        return kdx_frame.result(text);                             \
    }

KDX_HTML_FRAGMENT(HTML_Template_DocType, std::string("<!DOCTYPE html>") + CR)
KDX_HTML_FRAGMENT(HTML_Template_Html_Start, std::string("<html>") + CR)
KDX_HTML_FRAGMENT(HTML_Template_Html_End, std::string("</html>") + CR)
KDX_HTML_FRAGMENT(HTML_Template_Head_Start, std::string(1, TAB) + "<head>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Head_End, std::string(1, TAB) + "</head>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Body_Start, std::string(1, TAB) + "<body>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Content, std::string(1, TAB) + "<body>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Body_End, std::string(1, TAB) + "</body>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Details_Start, std::string(2, TAB) + "<details>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Details_End,
                  std::string("<br/><br/>") + CR + std::string(2, TAB) + "</details>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Summary_Start, std::string(3, TAB) + "<summary>" + CR)
KDX_HTML_FRAGMENT(HTML_Template_Summary_End, std::string(3, TAB) + "</summary>" + CR)

#undef KDX_HTML_FRAGMENT

std::string HTML_Template_Head_Refs(HTML_Template_Record& rec) {
    KDX_FRAME("HTML_Template_Head_Refs", rec);
    std::string folder = platform::Current_Directory();
    kdx_frame.check();
    std::string text = std::string(2, TAB) + "<base href=\"" + File_Address_Of(folder) + "\">" + CR;
    text += std::string(2, TAB) +
            "<link rel=\"stylesheet\" href=\"css/dravon.css\" type=\"text/css\">" + CR;
    const std::string& fragment = Html_Fragment(rec, std::move(text));
    kdx_frame.comment(fragment);
    return kdx_frame.result(fragment);
}

std::string HTML_Template_Summary_Title(HTML_Template_Record& rec, const std::string& title) {
    KDX_FRAME("HTML_Template_Summary_Title", rec, title);
    const std::string& text = Html_Fragment(rec, "[" + title + "]" + CR);
    kdx_frame.comment(text);
    return kdx_frame.result(text);
}

std::string HTML_Template_Details_Summary(HTML_Template_Record& rec, const std::string& title,
                                          const std::string& body) {
    KDX_FRAME("HTML_Template_Details_Summary", rec, title, body);
    HTML_Template_Details_Start(rec);
    HTML_Template_Write(rec);
    HTML_Template_Summary_Start(rec);
    HTML_Template_Write(rec);
    Html_Fragment(rec, title + CR);
    HTML_Template_Write(rec);
    HTML_Template_Summary_End(rec);
    HTML_Template_Write(rec);
    Html_Fragment(rec, body + CR);
    HTML_Template_Write(rec);
    kdx_frame.comment(rec.Text);
    return kdx_frame.result(rec.Text);
}

}  // namespace kdx
