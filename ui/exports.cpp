// The user interface's procedures exported by name from the program, with C linkage, like
// the rest of its procedures in libkdx. No exception crosses this boundary.
#include <cstdint>

#include "api/api_util.h"
#include "ui/ui.h"

#define KDX_UI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
using kdx::api::Guard;

int32_t By_Ref(int32_t* p) {
    return p ? *p : 0;
}
}  // namespace

KDX_UI_EXPORT int32_t WinMain(int32_t instance, int32_t previous, const char* arguments,
                              int32_t show) {
    return Guard(
        0, [&] { return kdx::WinMain(instance, previous, arguments ? arguments : "", show); });
}
KDX_UI_EXPORT int32_t Main_Message_Loop() {
    return Guard(0, [] { return kdx::Main_Message_Loop(); });
}
KDX_UI_EXPORT int32_t Mdi_Parent_Create(int32_t* unused) {
    return Guard(0, [&] {
        int32_t v = By_Ref(unused);
        return kdx::Mdi_Parent_Create(v);
    });
}
KDX_UI_EXPORT int32_t Menu_Bar_Create(int32_t* frame) {
    return Guard(0, [&] {
        int32_t v = By_Ref(frame);
        return kdx::Menu_Bar_Create(v);
    });
}
KDX_UI_EXPORT int32_t Mdi_Client_Create(int32_t* frame) {
    return Guard(0, [&] {
        int32_t v = By_Ref(frame);
        return kdx::Mdi_Client_Create(v);
    });
}
KDX_UI_EXPORT int64_t Frame_Window_Proc(int32_t window, uint32_t message, uint64_t wparam,
                                        int64_t lparam) {
    return Guard(int64_t(0),
                 [&] { return kdx::Frame_Window_Proc(window, message, wparam, lparam); });
}
KDX_UI_EXPORT int32_t Serial_Terminal_Create(int32_t* parent) {
    return Guard(0, [&] { return kdx::Serial_Terminal_Create(parent); });
}
#define KDX_UI_DIALOG_OP(Name)                    \
    KDX_UI_EXPORT int32_t Name(int32_t* dialog) { \
        return Guard(0, [&] {                     \
            int32_t v = By_Ref(dialog);           \
            int32_t r = kdx::Name(v);             \
            if (dialog) *dialog = v;              \
            return r;                             \
        });                                       \
    }
KDX_UI_DIALOG_OP(Serial_Terminal_Show)
KDX_UI_DIALOG_OP(Serial_Terminal_Show_Modeless)
KDX_UI_DIALOG_OP(Serial_Terminal_Hide)
KDX_UI_DIALOG_OP(Serial_Terminal_Destroy)
KDX_UI_DIALOG_OP(Serial_Terminal_Port_Label)
KDX_UI_DIALOG_OP(Serial_Terminal_Port_Combo)
KDX_UI_EXPORT int64_t Serial_Terminal_Proc(int32_t window, uint32_t message, uint64_t wparam,
                                           int64_t lparam) {
    return Guard(int64_t(0),
                 [&] { return kdx::Serial_Terminal_Proc(window, message, wparam, lparam); });
}
KDX_UI_EXPORT int64_t Serial_Terminal_Edit_Callback(int32_t window, uint32_t message,
                                                    uint64_t wparam, int64_t lparam) {
    return Guard(int64_t(1), [&] {
        return kdx::Serial_Terminal_Edit_Callback(window, message, wparam, lparam);
    });
}
KDX_UI_EXPORT int64_t Serial_Terminal_Edit_Subclass(int32_t window, uint32_t message,
                                                    uint64_t wparam, int64_t lparam) {
    return Guard(int64_t(0), [&] {
        return kdx::Serial_Terminal_Edit_Subclass(window, message, wparam, lparam);
    });
}
KDX_UI_EXPORT int32_t CreateQuickMoveSingle(int32_t* parent) {
    return Guard(0, [&] { return kdx::CreateQuickMoveSingle(parent); });
}
KDX_UI_EXPORT int32_t ShowQuickMoveSingle() {
    return Guard(0, [] { return kdx::ShowQuickMoveSingle(); });
}
KDX_UI_EXPORT int32_t HideQuickMoveSingle() {
    return Guard(0, [] { return kdx::HideQuickMoveSingle(); });
}
KDX_UI_EXPORT int32_t IsOpenQuickMoveSingle() {
    return Guard(0, [] { return kdx::IsOpenQuickMoveSingle(); });
}
KDX_UI_EXPORT int64_t QuickMoveSingleProc(int32_t window, uint32_t message, uint64_t wparam,
                                          int64_t lparam) {
    return Guard(int64_t(0),
                 [&] { return kdx::QuickMoveSingleProc(window, message, wparam, lparam); });
}
KDX_UI_EXPORT int64_t Tooltip_Add(int32_t dialog, int32_t id, const char* text) {
    return Guard(int64_t(0), [&] { return kdx::Tooltip_Add(dialog, id, text ? text : ""); });
}
