#include "api/api_util.h"
#include "files/html_template.h"
#include "files/ini.h"
#include "files/port_log.h"
#include "platform/os/system.h"

namespace {

using kdx::api::Bounded;
using kdx::api::Guard;
using kdx::api::Keep;
using kdx::api::Text;

kdx::HTML_Template_Record From_C(const KDX_File_Writer& c) {
    kdx::HTML_Template_Record r;
    r.Path = Bounded(c.Path, sizeof c.Path);
    r.Stamp = Bounded(c.Stamp, sizeof c.Stamp);
    r.Handle = c.Handle;
    if (c.Access) r.Access = uint32_t(c.Access);
    if (c.Share) r.Share = uint32_t(c.Share);
    for (int i = 0; i < 3; ++i) r.Security[i] = uint32_t(c.Security[i]);
    if (c.Disposition) r.Disposition = uint32_t(c.Disposition);
    r.Flags = uint32_t(c.Flags);
    r.Template = uint32_t(c.Template);
    r.Text = Bounded(c.Text, sizeof c.Text);
    r.Written = uint32_t(c.Written);
    r.Position.Internal = uint32_t(c.Position[0]);
    r.Position.Internal_High = uint32_t(c.Position[1]);
    r.Position.Offset = uint32_t(c.Position[2]);
    r.Position.Offset_High = uint32_t(c.Position[3]);
    r.Position.Event = c.Position[4];
    return r;
}

void To_C(const kdx::HTML_Template_Record& r, KDX_File_Writer& c) {
    kdx::api::Copy_Out(c.Path, sizeof c.Path, r.Path);
    kdx::api::Copy_Out(c.Stamp, sizeof c.Stamp, r.Stamp);
    c.Handle = r.Handle;
    c.Access = int32_t(r.Access);
    c.Share = int32_t(r.Share);
    c.Disposition = int32_t(r.Disposition);
    kdx::api::Copy_Out(c.Text, sizeof c.Text, r.Text);
    c.Written = int32_t(r.Written);
    c.Position[0] = int32_t(r.Position.Internal);
    c.Position[1] = int32_t(r.Position.Internal_High);
    c.Position[2] = int32_t(r.Position.Offset);
    c.Position[3] = int32_t(r.Position.Offset_High);
    c.Position[4] = r.Position.Event;
}

// Runs a writer on the C record: copied in, run, copied back.
template <class F>
auto With_Record(KDX_File_Writer* c, F&& f) {
    kdx::HTML_Template_Record r = From_C(*c);
    auto result = f(r);
    To_C(r, *c);
    return result;
}

}  // namespace

KDX_API const char* Ini_Get_Full_Path(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Ini_Get_Full_Path()); });
}
KDX_API const char* Ini_Get_Leading_Path(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Ini_Get_Leading_Path()); });
}
KDX_API const char* Ini_Get_Name(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Ini_Get_Name()); });
}
KDX_API const char* Ini_Get_Extension(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Ini_Get_Extension()); });
}
KDX_API const char* Ini_Set_Value(const char* section, const char* key, const char* value) {
    static thread_local std::string slot;
    return Guard<const char*>(
        "", [&] { return Keep(slot, kdx::Ini_Set_Value(Text(section), Text(key), Text(value))); });
}
KDX_API const char* Ini_Get_Value(const char* section, const char* key, const char* default_value) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        return Keep(slot, kdx::Ini_Get_Value(Text(section), Text(key), Text(default_value)));
    });
}
KDX_API int32_t Ini_Write_Key(const char* folder, const char* file, const char* section,
                              const char* key, const char* value) {
    return Guard<int32_t>(0, [&] {
        return kdx::Ini_Write_Key(Text(folder), Text(file), Text(section), Text(key), Text(value));
    });
}
KDX_API int32_t Ini_Write_Sample_Key(const char* folder, const char* file) {
    return Guard<int32_t>(0, [&] { return kdx::Ini_Write_Sample_Key(Text(folder), Text(file)); });
}
KDX_API const char* Ini_Get_Page_Path(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Ini_Get_Page_Path()); });
}
KDX_API const char* Ini_Data_Folder_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>(
        "", [&] { return Keep(slot, kdx::platform::Module_Data_Folder_Error()); });
}
KDX_API const char* Ini_Get_Current_Path(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Ini_Get_Current_Path()); });
}
KDX_API int32_t Ini_Set_Terminal_Port(const char* name) {
    return Guard<int32_t>(0, [&] { return kdx::Ini_Set_Terminal_Port(Text(name)); });
}

// Writers that return a number.
#define KDX_RECORD_NUMBER(Name)                                                         \
    KDX_API int32_t Name(KDX_File_Writer* rec) {                                        \
        if (!rec) return 0;                                                             \
        return Guard<int32_t>(                                                          \
            0, [&] { return With_Record(rec, [](auto& r) { return kdx::Name(r); }); }); \
    }
// Writers that return their fragment.
#define KDX_RECORD_TEXT(Name)                                                          \
    KDX_API const char* Name(KDX_File_Writer* rec) {                                   \
        static thread_local std::string slot;                                          \
        if (!rec) return "";                                                           \
        return Guard<const char*>("", [&] {                                            \
            return Keep(slot, With_Record(rec, [](auto& r) { return kdx::Name(r); })); \
        });                                                                            \
    }

KDX_RECORD_NUMBER(HTML_Template_File_Create)
KDX_RECORD_NUMBER(HTML_Template_File_Close)
KDX_RECORD_NUMBER(Ini_Template_Write)
KDX_RECORD_NUMBER(Ini_Template_Doc_Type)
KDX_RECORD_NUMBER(Ini_Template_Html_Start)
KDX_RECORD_NUMBER(Ini_Template_Html_End)
KDX_RECORD_NUMBER(Ini_Template_Header)
KDX_RECORD_NUMBER(Ini_Template_Body_Start)
KDX_RECORD_NUMBER(Ini_Template_Body_End)
KDX_RECORD_NUMBER(Ini_Template_Details_Summary)
KDX_RECORD_NUMBER(HTML_Template_Write)
KDX_RECORD_TEXT(HTML_Template_DocType)
KDX_RECORD_TEXT(HTML_Template_Html_Start)
KDX_RECORD_TEXT(HTML_Template_Html_End)
KDX_RECORD_TEXT(HTML_Template_Head_Start)
KDX_RECORD_TEXT(HTML_Template_Head_End)
KDX_RECORD_TEXT(HTML_Template_Head_Refs)
KDX_RECORD_TEXT(HTML_Template_Body_Start)
KDX_RECORD_TEXT(HTML_Template_Content)
KDX_RECORD_TEXT(HTML_Template_Body_End)
KDX_RECORD_TEXT(HTML_Template_Details_Start)
KDX_RECORD_TEXT(HTML_Template_Details_End)
KDX_RECORD_TEXT(HTML_Template_Summary_Start)
KDX_RECORD_TEXT(HTML_Template_Summary_End)

#undef KDX_RECORD_NUMBER
#undef KDX_RECORD_TEXT

KDX_API const char* HTML_Template_Summary_Title(KDX_File_Writer* rec, const char* title) {
    static thread_local std::string slot;
    if (!rec) return "";
    return Guard<const char*>("", [&] {
        return Keep(slot, With_Record(rec, [&](auto& r) {
                        return kdx::HTML_Template_Summary_Title(r, Text(title));
                    }));
    });
}
KDX_API const char* HTML_Template_Details_Summary(KDX_File_Writer* rec, const char* title,
                                                  const char* body) {
    static thread_local std::string slot;
    if (!rec) return "";
    return Guard<const char*>("", [&] {
        return Keep(slot, With_Record(rec, [&](auto& r) {
                        return kdx::HTML_Template_Details_Summary(r, Text(title), Text(body));
                    }));
    });
}

KDX_API const char* Port_Log_Path(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Port_Log_Current_Path()); });
}
KDX_API int32_t Port_Log_Open(void) {
    return Guard<int32_t>(0, [&] { return kdx::Port_Log_Open(); });
}
KDX_API int32_t Port_Log_Close(void) {
    return Guard<int32_t>(0, [&] { return kdx::Port_Log_Close(); });
}
KDX_API int32_t Port_Log_Write_Line(int32_t file, const char* text) {
    return Guard<int32_t>(0, [&] { return kdx::Port_Log_Write_Line(file, Text(text)); });
}
KDX_API int32_t Port_Log_Current(void) {
    return Guard<int32_t>(0, [&] { return kdx::Port_Log_File.load(); });
}

KDX_API const char* Port_Log_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Port_Log_Failure()); });
}
