// The Terminal and QuickMove dialogs built on a machine described by a hive file, and the
// ways the tests look at the widgets behind the window handles.
#pragma once
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/window/application.h"
#include "tests/support/registry_fixture.h"
#include "ui/ui.h"

namespace kdx::test {

// The widgets of a dialog's controls, in creation order.
inline std::vector<QWidget*> Controls(HWND dialog) {
    std::vector<QWidget*> out;
    for (QWidget* w : QApplication::allWidgets())
        if (w->property("kdx_hwnd").toInt() == dialog) {
            QWidget* client = w->findChild<QWidget*>(QStringLiteral("client"));
            for (QObject* o : client->children()) {
                auto* c = qobject_cast<QWidget*>(o);
                if (c && c->property("kdx_id").isValid()) out.push_back(c);
            }
        }
    std::sort(out.begin(), out.end(), [](QWidget* a, QWidget* b) {
        return a->property("kdx_order").toInt() < b->property("kdx_order").toInt();
    });
    return out;
}

inline QWidget* Widget(HWND window) {
    for (QWidget* w : QApplication::allWidgets())
        if (w->property("kdx_hwnd").toInt() == window) return w;
    return nullptr;
}

const char* const Two_Ports =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
    "\"\\\\Device\\\\VCP0\"=\"COM3\"\n"
    "\"\\\\Device\\\\BthModem0\"=\"COM7\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices]\n"
    "\"COM3\"=\"usb-FTDI_KDX-if00-port0\"\n";

// Closes the Terminal, the QuickMove dialog and the frame, as at the program's end.
inline void Close_Program_Windows() {
    if (win::Terminal_Dialog) Serial_Terminal_Destroy(win::Terminal_Dialog);
    win::Destroy_Window(QuickMove_Dialog);
    QuickMove_Dialog = 0;
    // Closing the frame posts the quit message: the loop takes it, as at the program's end.
    if (win::Frame_Window && win::Destroy_Window(win::Frame_Window)) win::Message_Loop();
    win::Frame_Window = win::Menu_Bar = win::Mdi_Client = 0;
    win::Process_Events(20);
}

class Ui_Test : public ::testing::Test {
  protected:
    void SetUp() override { machine.Use_Hive(Two_Ports); }
    void TearDown() override { Close_Program_Windows(); }
    Registry_Machine machine;
};

}  // namespace kdx::test
