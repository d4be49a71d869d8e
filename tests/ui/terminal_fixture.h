// The program as WinMain builds it (frame, Terminal inside it, echo into the rich edits, the
// wait pump and progress display), against simulated controllers on real pseudo-terminals
// listed by a hive file, and the ways the tests operate it: clicks, key presses, menu
// commands.
#pragma once
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "platform/console/console.h"
#include "platform/os/system.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "sim/sim.h"
#include "tests/test_serial_fixture.h"
#include "tests/ui/ui_fixture.h"
#include "trace/trace.h"

namespace kdx::test {

class Terminal_Test : public ::testing::Test {
  public:
    void SetUp() override {
        setenv("KDX_PORTS", ports.path().c_str(), 1);
        setenv("KDX_CONSOLE", "capture", 1);
        Serial_Port_State = Serial_Port_State_Record{};
        QuickMove_Motor = 0;
    }
    void TearDown() override {
        Serial_Port_Close(Serial_Port_State.Handle);
        Serial_Port_State = Serial_Port_State_Record{};
        Long_Operations_Remove();
        Echo_Window_Remove();
        Close_Program_Windows();
        ErrCheck_Debug(0);
        sims.clear();
        unsetenv("KDX_PORTS");
        unsetenv("KDX_CONSOLE");
    }

    // A simulated controller registered as COM<number>.
    sim::Simulator& Sim(int32_t number, sim::Sim_Config config = {}) {
        config.number = number;
        auto& s = sims[number];
        s = std::make_unique<sim::Simulator>(config);
        EXPECT_TRUE(s->Start());
        return *s;
    }
    // The machine's port list: exactly these entries.
    void List_Ports(const std::vector<std::string>& names) {
        std::string hive = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
        int k = 0;
        for (const auto& n : names)
            hive += "\"\\\\Device\\\\VCP" + std::to_string(k++) + "\"=\"" + n + "\"\n";
        machine.Use_Hive(hive);
    }
    // The program's windows as start-up makes them, the Terminal shown in the frame.
    void Build() {
        Main_Windows_Create();
        win::Process_Events(30);
    }

    // Runs the event loop until the condition holds (at most timeout_ms, only not to hang).
    static bool Until(const std::function<bool()>& condition, int timeout_ms = 8000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            win::Process_Events(5);
        }
        return true;
    }
    // Waits until the controller has received want after the first `from` bytes.
    static std::string Wire(sim::Simulator& s, size_t from, size_t want) {
        Until([&] { return s.Received().size() >= from + want; });
        return s.Received().substr(std::min(from, s.Received().size()));
    }

    HWND Item(int32_t id) const { return win::Get_Dlg_Item(win::Terminal_Dialog, id); }
    QWidget* Control(int32_t id) const { return Widget(Item(id)); }
    std::string Text(int32_t id) const { return win::Get_Dlg_Item_Text(win::Terminal_Dialog, id); }
    void Set_Text(int32_t id, const std::string& t) {
        win::Set_Dlg_Item_Text(win::Terminal_Dialog, id, t);
    }
    // A click as the operator makes it (on the widget).
    void Click(int32_t id) {
        auto* b = qobject_cast<QAbstractButton*>(Control(id));
        ASSERT_NE(b, nullptr) << id;
        b->click();
    }
    void Menu(HWND window, int32_t id) {
        win::Send_Message(window, win::WM_COMMAND, win::MAKEWPARAM(uint16_t(id), 0), 0);
    }
    // A key pressed in a control (text: what the keyboard layer gives the key).
    void Key(int32_t id, int key, Qt::KeyboardModifiers mods = Qt::NoModifier,
             const QString& text = QString()) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(Control(id), &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods, text);
        QApplication::sendEvent(Control(id), &release);
    }
    // Colour of the rich edit's text at the last occurrence of what.
    QColor Colour_Of(int32_t id, const std::string& what) {
        win::Update_Window(win::Terminal_Dialog);
        auto* edit = qobject_cast<QPlainTextEdit*>(Control(id));
        QString text = edit->document()->toPlainText();
        int at = text.lastIndexOf(QString::fromLatin1(what.c_str()));
        if (at < 0) return QColor();
        QTextCursor cursor(edit->document());
        cursor.setPosition(at + 1);
        return cursor.charFormat().foreground().color();
    }
    std::string Trace() const { return platform::Capture_Text(); }
    // The text of the frame's status strip.
    static std::string Status_Strip() {
        QWidget* frame = Widget(win::Frame_Window);
        auto* label = frame ? frame->findChild<QLabel*>(QStringLiteral("status_text")) : nullptr;
        return label ? label->text().toStdString() : std::string();
    }

    Temp_Dir ports;
    Registry_Machine machine;
    std::map<int32_t, std::unique_ptr<sim::Simulator>> sims;
};

}  // namespace kdx::test
