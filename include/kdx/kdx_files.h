/* Settings file and path rules, the HTML writers and the daily port log. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

/* The file writer record of the HTML writers, with the capacities of its texts. The caller
 * fills Path and the creation fields (or zeroes them all: zero creation fields mean read and
 * write access, shared for reading, writing and deleting, created anew) and creates the file
 * with HTML_Template_File_Create. Position holds the overlapped-write words: Internal,
 * Internal_High, Offset, Offset_High, Event. */
typedef struct KDX_File_Writer {
    char Path[260];
    char Stamp[260];
    int32_t Handle;
    int32_t Access;
    int32_t Share;
    int32_t Security[3];
    int32_t Disposition;
    int32_t Flags;
    int32_t Template;
    char Text[2080];
    int32_t Written;
    int32_t Position[5];
} KDX_File_Writer;

/* The path the settings page and the port log are named after: the executable's own, or the
 * same name in the per-user data folder for an installed program or one in a folder it may
 * not write. "" when longer than 259 bytes (last error 206) or not known. */
KDX_API const char* Ini_Get_Full_Path(void);
/* Its folder, ending in "/" ("" as above); its base name without extension ("kdx"); and the
 * settings page's extension, ".html". */
KDX_API const char* Ini_Get_Leading_Path(void);
KDX_API const char* Ini_Get_Name(void);
KDX_API const char* Ini_Get_Extension(void);
/* Sets key = value in section of the settings page (folder, name and ".html"); returns "".
 * The last error is the write's (0 done, 87 a key or value that cannot be read back, 206 a
 * path over 259 bytes, 5 no permission) or 3 when the folder is not known. */
KDX_API const char* Ini_Set_Value(const char* section, const char* key, const char* value);
/* The value of key in section of the settings page, at most 259 bytes; default_value (cut the
 * same way) when the page, section or key is missing. Last error 2 no page, 3 no folder. */
KDX_API const char* Ini_Get_Value(const char* section, const char* key, const char* default_value);
/* Sets key = value in section of the file folder + file (folder ends in its separator); 1 done,
 * 0 not, with the last error 87, 206 or the file's own code as for Ini_Set_Value. */
KDX_API int32_t Ini_Write_Key(const char* folder, const char* file, const char* section,
                              const char* key, const char* value);
/* Writes the sample keys of the settings page (COM6, COM7, COM1) into folder + file; returns
 * the result of its COM6 "Baud:" write (1 or 0) as Ini_Write_Key does. */
KDX_API int32_t Ini_Write_Sample_Key(const char* folder, const char* file);
/* The settings page's full path: the folder and executable name with ".html"; "" when longer
 * than 259 bytes (last error 206) or the folder is not known. */
KDX_API const char* Ini_Get_Page_Path(void);
/* Why the last page path on this thread was "": the per-user data folder an installed
 * program keeps its files in could not be made ("cannot create the data folder ...: ...");
 * "" when that was not the reason. */
KDX_API const char* Ini_Data_Folder_Error(void);
/* Writes the settings page anew: a new file (an old page of the user's own is replaced,
 * never a link) with its blocks and sample keys; a page it could not write whole is removed.
 * Returns "" always; the last error says what failed (3, 5, 80, 112, 206, ...). */
KDX_API const char* Ini_Get_Current_Path(void);
/* Records the Terminal's port: "Port:" = name + "<br/>" in the page's Port Info section; 1 done,
 * 0 not (last error as for Ini_Set_Value). */
KDX_API int32_t Ini_Set_Terminal_Port(const char* name);

/* The writers work on *rec: its texts are read within their fields' capacities and written
 * back cut to them (capacity - 1 bytes, terminated), with Handle, Written and Position as the
 * call left them. A NULL rec does nothing and returns 0 or "". Lines end in CR.
 *
 * Creates (or opens, as the creation fields say) the file Path; returns the handle, also put
 * into Handle (-1 when it failed: last error 2, 3, 5 (also a link or pipe refused), 80, ...).
 * Close closes Handle and zeroes it; 1 closed, 0 not (last error 6 for a handle not open). */
KDX_API int32_t HTML_Template_File_Create(KDX_File_Writer* rec);
KDX_API int32_t HTML_Template_File_Close(KDX_File_Writer* rec);
/* The settings page's writers: each sets Text to its fragment (Ini_Template_Write keeps the
 * caller's Text, cut to 2079 bytes) and writes it at the end of the file Handle. 1 written, 0
 * not, with the last error of the write (6 no open handle, 112 disk full, ...). */
KDX_API int32_t Ini_Template_Write(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Doc_Type(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Html_Start(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Html_End(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Header(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Body_Start(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Body_End(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Details_Summary(KDX_File_Writer* rec);
/* Writes Text (cut to 2079 bytes) at the end of the file Handle; returns Handle whether or not
 * the write succeeded (the last error tells: 0 written, 6 no open handle, 112 disk full). */
KDX_API int32_t HTML_Template_Write(KDX_File_Writer* rec);
/* The document's fragments: each sets Text to its piece of HTML and returns it, writing
 * nothing (HTML_Template_Write writes it). Head_Refs bases the document's links on the current
 * directory; Summary_Title gives "[" + title + "]". */
KDX_API const char* HTML_Template_DocType(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Html_Start(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Html_End(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Head_Start(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Head_End(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Head_Refs(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Body_Start(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Content(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Body_End(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Details_Start(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Details_End(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Summary_Start(KDX_File_Writer* rec);
KDX_API const char* HTML_Template_Summary_Title(KDX_File_Writer* rec, const char* title);
KDX_API const char* HTML_Template_Summary_End(KDX_File_Writer* rec);
/* Writes a whole details block: its start, the summary with title, and body, each through
 * HTML_Template_Write; returns the last fragment written (body and CR). */
KDX_API const char* HTML_Template_Details_Summary(KDX_File_Writer* rec, const char* title,
                                                  const char* body);

/* The port log, "KDX Port Log MM-DD-YYYY.html" beside the settings page, one a day, appended.
 * Port_Log_Open returns the open log's file number (the one already open, or 0 when it could
 * not be opened: Port_Log_Error says why); Port_Log_Current gives it later (0 while no log is
 * open), Port_Log_Path its full path ("" while no log is open). Its failures show in the trace
 * as the file error of the step (52 to 76), with the last error 0. */
KDX_API const char* Port_Log_Path(void);
KDX_API int32_t Port_Log_Open(void);
/* Ends the document and closes the log; 1 closed, 0 when none was open or the close failed. */
KDX_API int32_t Port_Log_Close(void);
/* Appends text and CR LF in one write to the open log; 1 written, 0 when file is not the
 * open log's number or the write failed, after which the log has closed itself. */
KDX_API int32_t Port_Log_Write_Line(int32_t file, const char* text);
KDX_API int32_t Port_Log_Current(void);
/* What went wrong with the port log since it was last opened ("" while all is well): it
 * could not be opened (a link, pipe or folder at its name, no permission), its header could
 * not be written, or a line could not be written, after which the log has closed itself.
 * The terminal shows it as a message, the window as a status line. */
KDX_API const char* Port_Log_Error(void);
