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

KDX_API const char* Ini_Get_Full_Path(void);
KDX_API const char* Ini_Get_Leading_Path(void);
KDX_API const char* Ini_Get_Name(void);
KDX_API const char* Ini_Get_Extension(void);
KDX_API const char* Ini_Set_Value(const char* section, const char* key, const char* value);
KDX_API const char* Ini_Get_Value(const char* section, const char* key, const char* default_value);
KDX_API int32_t Ini_Write_Key(const char* folder, const char* file, const char* section,
                              const char* key, const char* value);
KDX_API int32_t Ini_Write_Sample_Key(const char* folder, const char* file);
KDX_API const char* Ini_Get_Page_Path(void);
/* Why the last page path on this thread was "": the per-user data folder an installed
 * program keeps its files in could not be made ("cannot create the data folder ...: ...");
 * "" when that was not the reason. */
KDX_API const char* Ini_Data_Folder_Error(void);
KDX_API const char* Ini_Get_Current_Path(void);
KDX_API int32_t Ini_Set_Terminal_Port(const char* name);

KDX_API int32_t HTML_Template_File_Create(KDX_File_Writer* rec);
KDX_API int32_t HTML_Template_File_Close(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Write(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Doc_Type(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Html_Start(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Html_End(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Header(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Body_Start(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Body_End(KDX_File_Writer* rec);
KDX_API int32_t Ini_Template_Details_Summary(KDX_File_Writer* rec);
KDX_API int32_t HTML_Template_Write(KDX_File_Writer* rec);
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
KDX_API const char* HTML_Template_Details_Summary(KDX_File_Writer* rec, const char* title,
                                                  const char* body);

/* The port log. Port_Log_Open returns the open log's file number (0 when it could not be
 * opened); Port_Log_Current gives it later (0 while no log is open), Port_Log_Path its full
 * path ("" while no log is open). */
KDX_API const char* Port_Log_Path(void);
KDX_API int32_t Port_Log_Open(void);
KDX_API int32_t Port_Log_Close(void);
KDX_API int32_t Port_Log_Write_Line(int32_t file, const char* text);
KDX_API int32_t Port_Log_Current(void);
/* What went wrong with the port log since it was last opened ("" while all is well): it
 * could not be opened (a link, pipe or folder at its name, no permission), its header could
 * not be written, or a line could not be written, after which the log has closed itself.
 * The terminal shows it as a message, the window as a status line. */
KDX_API const char* Port_Log_Error(void);
