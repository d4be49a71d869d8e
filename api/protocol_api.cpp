// The protocol procedures under their own names with C linkage.
#include "api/api_util.h"
#include "protocol/kdx.h"

using kdx::api::Bounded;
using kdx::api::Copy_Out;
using kdx::api::Guard;
using kdx::api::Keep;
using kdx::api::Ref;
using kdx::api::Text;

#define KDX_TEXT_BY_HANDLE(Name)                   \
    KDX_API const char* Name(int32_t* handle) {    \
        static thread_local std::string slot;      \
        return Guard<const char*>("", [&] {        \
            Ref h(handle);                         \
            return Keep(slot, kdx::Name(h.value)); \
        });                                        \
    }

#define KDX_TEXT_BY_HANDLE_AXIS(Name)                          \
    KDX_API const char* Name(int32_t* handle, int32_t* axis) { \
        static thread_local std::string slot;                  \
        return Guard<const char*>("", [&] {                    \
            Ref h(handle);                                     \
            Ref a(axis);                                       \
            return Keep(slot, kdx::Name(h.value, a.value));    \
        });                                                    \
    }

KDX_TEXT_BY_HANDLE(KDX_Verify_Status)
KDX_TEXT_BY_HANDLE(KDX_Online_Echo_Off)
KDX_TEXT_BY_HANDLE(KDX_Online_Echo_On)
KDX_TEXT_BY_HANDLE(KDX_Offline)
KDX_TEXT_BY_HANDLE(KDX_Diagnostic)
KDX_TEXT_BY_HANDLE(KDX_Serial_Number_Get)
KDX_TEXT_BY_HANDLE(KDX_Order_Number_Get)
KDX_TEXT_BY_HANDLE(KDX_Firmware_Version_Get)
KDX_TEXT_BY_HANDLE(KDX_Firmware_Revision_Get)
KDX_TEXT_BY_HANDLE(KDX_Axis_Set)
KDX_TEXT_BY_HANDLE(KDX_Axis_Found)
KDX_TEXT_BY_HANDLE(KDX_ID_Axis_1)
KDX_TEXT_BY_HANDLE(KDX_ID_Axis_2)
KDX_TEXT_BY_HANDLE(KDX_ID_Axis_3)
KDX_TEXT_BY_HANDLE(KDX_ID_Axis_4)
KDX_TEXT_BY_HANDLE(KDX_Tester_USB_Commo)
KDX_TEXT_BY_HANDLE_AXIS(KDX_Axis_Motor_Get)
KDX_TEXT_BY_HANDLE_AXIS(KDX_Axis_Limit_Get)
KDX_TEXT_BY_HANDLE_AXIS(KDX_Axis_Home_Switch_Get)
KDX_TEXT_BY_HANDLE_AXIS(KDX_Tester_Commo_Fill_Memory)

KDX_API const char* KDX_Identify(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::KDX_Identify()); });
}

KDX_API const char* KDX_Detect_57600(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::KDX_Detect_57600()); });
}

KDX_API const char* KDX_Detect(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::KDX_Detect()); });
}

KDX_API const char* KDX_Serial_Number_Set(int32_t* handle, const char* serial, const char* order) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        std::string s = Text(serial);
        std::string o = Text(order);
        return Keep(slot, kdx::KDX_Serial_Number_Set(h.value, s, o));
    });
}

KDX_API const char* KDX_Parse_Motor_ID(char* text, int32_t capacity) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string t = Bounded(text, capacity);
        std::string id = kdx::KDX_Parse_Motor_ID(t);
        Copy_Out(text, capacity, t);
        return Keep(slot, id);
    });
}

KDX_API const char* KDX_Parse_Limit_ID(char* text, int32_t capacity) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string t = Bounded(text, capacity);
        std::string id = kdx::KDX_Parse_Limit_ID(t);
        Copy_Out(text, capacity, t);
        return Keep(slot, id);
    });
}

KDX_API const char* KDX_Tester_Commo_Fill_Memory_Compare_Strings(char* sent, int32_t sent_capacity,
                                                                 char* listing,
                                                                 int32_t listing_capacity) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string s = Bounded(sent, sent_capacity);
        std::string l = Bounded(listing, listing_capacity);
        std::string r = kdx::KDX_Tester_Commo_Fill_Memory_Compare_Strings(s, l);
        Copy_Out(sent, sent_capacity, s);
        Copy_Out(listing, listing_capacity, l);
        return Keep(slot, r);
    });
}

KDX_API int32_t KDX_Config_Create(int32_t* argument) {
    return Guard<int32_t>(0, [&] {
        Ref a(argument);
        return kdx::KDX_Config_Create(a.value);
    });
}

KDX_API int32_t KDX_Tester_Passed(void) {
    return Guard<int32_t>(0, [] { return kdx::KDX_Tester_Passed(); });
}

KDX_API int32_t KDX_Tester_Memory_Difference(char* sent, int32_t sent_capacity, char* listed,
                                             int32_t listed_capacity, char* missing,
                                             int32_t missing_capacity) {
    return Guard<int32_t>(0, [&] {
        const kdx::Listing_Comparison& c = kdx::KDX_Tester_Last_Comparison();
        std::string gone;
        for (const auto& step : c.missing) gone += (gone.empty() ? "" : ",") + step;
        kdx::api::Copy_Out(sent, sent_capacity, c.first_sent);
        kdx::api::Copy_Out(listed, listed_capacity, c.first_listed);
        kdx::api::Copy_Out(missing, missing_capacity, gone);
        return int32_t(c.first_step);
    });
}

KDX_API const char* KDX_Status_Meaning(const char* reply) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::KDX_Status_Meaning(Text(reply))); });
}

KDX_API int32_t KDX_Answer_Clean(const char* field, int32_t digits_only) {
    return Guard<int32_t>(0, [&] { return kdx::KDX_Answer_Clean(Text(field), digits_only != 0); });
}

KDX_API const char* KDX_Limit_Description(const char* code) {
    static thread_local std::string slot;
    return Guard<const char*>("",
                              [&] { return Keep(slot, kdx::KDX_Limit_Description(Text(code))); });
}
