// The two HTML writer families. The settings-page writers (Ini_Template_*) each compose one
// fixed fragment and append it to the file at once; the document writers (HTML_Template_*)
// compose a fragment into the record's Text and return it, and the caller appends it with
// HTML_Template_Write. Every write goes to the current end of the file, so private-profile key
// lines written between two fragments stay between them. Fragment lines end in a single CR;
// the settings-page writers indent with spaces, the document writers with TABs.
#pragma once
#include <cstdint>
#include <string>

#include "platform/os/file.h"
#include "platform/os/file_position.h"

namespace kdx {

// The longest fragment one write takes.
constexpr size_t Max_Fragment = 2079;

// The file writer record. The caller fills the creation fields (the defaults are the ones
// every page uses: read and write, shared for reading, writing and deleting, created anew)
// and creates the file, for instance with HTML_Template_File_Create.
struct File_Writer_Record {
    std::string Path;
    int32_t Handle = 0;
    uint32_t Access = platform::GENERIC_READ | platform::GENERIC_WRITE;
    uint32_t Share =
        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE;
    uint32_t Security[3] = {0, 0, 0};  // length, descriptor, inherit
    uint32_t Disposition = platform::CREATE_ALWAYS;
    uint32_t Flags = 0;
    uint32_t Template = 0;
    std::string Text;  // the fragment to write, cut to Max_Fragment
    uint32_t Written = 0;
    platform::Overlapped Position;
};

// The settings-page writer record.
using Ini_Template_Record = File_Writer_Record;

// The document writer record: also carries the time stamp of the report's name.
struct HTML_Template_Record : File_Writer_Record {
    std::string Stamp;
};

// How a record shows in a trace call text: its path and handle.
void Format_Arg(std::string& out, const File_Writer_Record& rec);

// Creates the file of rec.Path with the record's creation fields; stores and returns the
// handle (INVALID_HANDLE_VALUE on failure, last error set).
int32_t HTML_Template_File_Create(File_Writer_Record& rec);
// Closes the record's file and sets its handle to 0; non-zero on success.
int32_t HTML_Template_File_Close(File_Writer_Record& rec);

// Appends rec.Text at the end of the file; returns non-zero on success.
int32_t Ini_Template_Write(Ini_Template_Record& rec);
int32_t Ini_Template_Doc_Type(Ini_Template_Record& rec);
int32_t Ini_Template_Html_Start(Ini_Template_Record& rec);
int32_t Ini_Template_Html_End(Ini_Template_Record& rec);
int32_t Ini_Template_Header(Ini_Template_Record& rec);
int32_t Ini_Template_Body_Start(Ini_Template_Record& rec);
int32_t Ini_Template_Body_End(Ini_Template_Record& rec);
// The three details blocks of the settings page, holding the section lines [COM7], [COM6]
// and [COM1].
int32_t Ini_Template_Details_Summary(Ini_Template_Record& rec);

// Appends rec.Text at the end of the file; returns the file's handle.
int32_t HTML_Template_Write(HTML_Template_Record& rec);
std::string HTML_Template_DocType(HTML_Template_Record& rec);
std::string HTML_Template_Html_Start(HTML_Template_Record& rec);
std::string HTML_Template_Html_End(HTML_Template_Record& rec);
std::string HTML_Template_Head_Start(HTML_Template_Record& rec);
std::string HTML_Template_Head_End(HTML_Template_Record& rec);
// The base address (the current directory as a file address) and the style sheet.
std::string HTML_Template_Head_Refs(HTML_Template_Record& rec);
std::string HTML_Template_Body_Start(HTML_Template_Record& rec);
std::string HTML_Template_Content(HTML_Template_Record& rec);
std::string HTML_Template_Body_End(HTML_Template_Record& rec);
std::string HTML_Template_Details_Start(HTML_Template_Record& rec);
std::string HTML_Template_Details_End(HTML_Template_Record& rec);
std::string HTML_Template_Summary_Start(HTML_Template_Record& rec);
// "[title]": a section line, so key writes for that section land inside the block.
std::string HTML_Template_Summary_Title(HTML_Template_Record& rec, const std::string& title);
std::string HTML_Template_Summary_End(HTML_Template_Record& rec);
// Writes a details block's start, its summary with title, and body; leaves the block open.
// Returns the last text written.
std::string HTML_Template_Details_Summary(HTML_Template_Record& rec, const std::string& title,
                                          const std::string& body);

// The file address of a folder, ending in "/": "file:///" and the folder with every "\"
// turned into "/" (spaces are kept as they are).
std::string File_Address_Of(const std::string& folder);

}  // namespace kdx
