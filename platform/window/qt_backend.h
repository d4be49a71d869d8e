// Shared between the Qt files of the window backend (window, widgets, messages, menus): the
// window objects, the widgets of the frame and the dialogs, the backend's class and the
// procedures more than one of the files calls.
#pragma once
#include <QButtonGroup>
#include <QMainWindow>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/handles.h"
#include "platform/window/application.h"
#include "platform/window/window.h"

class QAccessibleInterface;
class QLabel;

namespace kdx::win::qt {

enum class Type { Frame, Mdi_Client, Dialog, Control, Tooltip };

struct Window_Object final : platform::Handle_Object {
    Type type = Type::Control;
    QPointer<QWidget> widget;
    Window_Proc proc = nullptr;  // frame procedure; a control's current window procedure
    Dialog_Proc dialog_proc = nullptr;
    Dialog_Proc callback = nullptr;
    HWND dialog = 0;  // a control's dialog
    int32_t id = 0;
    Control_Kind kind = Control_Kind::Label;
    uint32_t style = 0;
    int32_t group = 0;               // radio groups: a new one starts at every WS_GROUP
    QPointer<QWidget> client;        // a dialog's control area (below its menu bar)
    QPointer<class Sub_Window> sub;  // a dialog placed in the MDI client
    std::vector<HWND> children;
    int32_t next_group = 0;
    std::map<int32_t, QPointer<QButtonGroup>> option_groups;  // a dialog's options by group
    std::map<uint64_t, QPointer<QTimer>> timers;  // by id; children of the widget, gone with it
    HMENU menu = 0;
    std::string caption;
    bool centred = false;
    bool destroyed = false;
    bool own_disabled = false;  // disabled by a procedure (Enable_Window, WS_DISABLED)
    bool blocked = false;       // kept from the operator while a long exchange runs
};

std::shared_ptr<Window_Object> Find(HWND h);
HWND Handle_Of(const QWidget* w);
bool On_Ui_Thread();
std::shared_ptr<Window_Object> New_Window(Type type, QWidget* widget);
void Destroy(HWND h);

extern Base_Units base_units;

// Messages and their dispatch (qt_messages.cpp).
LRESULT Dispatch(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam);
void Notify(HWND control, uint32_t code);
// Default handling of a frame's or a dialog's messages. The close box of a dialog asks
// WM_SYSCOMMAND SC_CLOSE, which becomes WM_CLOSE; a window whose procedure leaves WM_CLOSE
// alone is destroyed (the frame then gets WM_DESTROY).
LRESULT Top_Default(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam);
LRESULT Def_Proc(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam);
// Set while a frame goes away: its windows are hidden on the way (focus moves among them),
// and no procedure hears of that.
extern bool frame_closing;
// Forgets every posted message not delivered yet (the windows are going).
void Drop_Posted();

// The controls (qt_widgets.cpp).
// Default handling of a control's messages: what its class does.
LRESULT Control_Default(Window_Object& o, HWND h, uint32_t message, WPARAM wparam, LPARAM lparam);
// Copies text into a caller's buffer of size bytes, cut to fit with its terminating zero.
LRESULT Text_Out(const std::string& text, WPARAM size, LPARAM lparam);
void Set_Widget_Text(Window_Object& o, const std::string& text);
// Every option of the program is a Radio; it is asked for while the QRadioButton part is
// being made (setting its text announces it), so it is known by that class.
QAccessibleInterface* Accessible_Factory(const QString&, QObject* object);
// Tab and Shift+Tab among a dialog's controls, as a dialog has them.
void Install_Tab_Navigator();

// The menus (qt_menus.cpp).
// Alt alone moves to the menu bar and Alt with an underlined letter opens its menu, on every
// desktop style (not all of them offer the first).
void Install_Menu_Key_Style();

// The frame, the dialogs and their places in the MDI client (qt_window.cpp).

class Frame_Widget final : public QMainWindow {
  public:
    HWND hwnd = 0;
    bool painted = false;
    bool closing_for_real = false;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

class Dialog_Widget final : public QWidget {
  public:
    HWND hwnd = 0;
    QSize initial;  // the size of the control table's dialog, with its menu bar
    QSize sizeHint() const override { return initial; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

class Sub_Window final : public QMdiSubWindow {
  public:
    HWND dialog = 0;
    bool filling = false;  // shown maximised: covers the client area and follows its size

    // Filling the client area, but never smaller than the dialog's controls need: on a small
    // screen the client area's scroll bars reach the rest.
    void Fill();
    // The extent of the dialog's controls, its menu bar included.
    QSize Content_Size() const;
    bool eventFilter(QObject* object, QEvent* event) override;

  protected:
    void closeEvent(QCloseEvent* event) override;
};

struct Menu_Item;

// The backend: its procedures live in the files of their seams.
class Qt_Backend final : public Backend {
  public:
    bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) override;
    std::string Get_Dlg_Item_Text(HWND dialog, int32_t id) override;
    int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) override;
    bool Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) override;
    bool Invalidate_Rect(HWND window, bool) override;
    bool Update_Window(HWND window) override;
    bool Set_Timer(HWND window, uint64_t id, uint32_t ms) override;
    bool Kill_Timer(HWND window, uint64_t id) override;

    HWND Create_Frame(const std::string& caption, int32_t width, int32_t height,
                      Window_Proc proc) override;
    HWND Create_Mdi_Client(HWND frame) override;
    LRESULT Def_Frame_Proc(HWND frame, HWND, uint32_t message, WPARAM wparam,
                           LPARAM lparam) override;
    LRESULT Def_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) override;
    HWND Create_Dialog(const Dialog_Template& t, HWND parent) override;
    HWND Create_Control(HWND dialog, const Control_Template& t) override;
    HWND Get_Dlg_Item(HWND dialog, int32_t id) override;
    bool Set_Dialog_Proc(HWND dialog, Dialog_Proc proc) override;
    Window_Proc Set_Window_Proc(HWND control, Window_Proc proc) override;
    HMENU Create_Menu(bool popup) override;
    bool Append_Menu(HMENU menu, uint32_t flags, uint64_t id_or_popup,
                     const std::string& text) override;
    bool Set_Menu(HWND window, HMENU menu) override;
    static Menu_Item* Find_Item(HMENU menu, uint32_t id);
    int32_t Get_Menu_State(HMENU menu, uint32_t id) override;
    bool Set_Menu_State(HMENU menu, uint32_t id, uint32_t state) override;
    bool Set_Parent(HWND child, HWND parent) override;
    bool Show_Window(HWND window, int32_t command) override;
    bool Enable_Window(HWND window, bool enable) override;
    bool Block_Input(HWND window, bool block) override;
    bool Enable_Menu_Item(HMENU menu, uint32_t id, bool enable) override;
    bool Set_Status(HWND frame, const std::string& text, int64_t done, int64_t total) override;
    static void Tone(QLabel* label, Status_Tone tone);
    static QLabel* Status_Label(HWND frame, const char* name);
    bool Set_Status_Tone(HWND frame, Status_Tone tone) override;
    bool Set_Status_Port(HWND frame, const std::string& text) override;
    bool Get_Open_File_Name(OPENFILENAME& record) override;
    bool End_Modal_Dialogs() override;
    void Pump_Messages(uint32_t ms) override;
    bool Is_Window(HWND window) override;
    bool Is_Window_Visible(HWND window) override;
    bool Is_Window_Enabled(HWND window) override;
    bool Set_Focus(HWND window) override;
    bool Destroy_Window(HWND window) override;
    bool Load_Picture(HWND graphic, const std::string& path) override;
    HWND Create_Tooltip(HWND parent, uint32_t) override;
    void Post_Quit_Message(int32_t code) override;
    int32_t Message_Loop() override;
};

}  // namespace kdx::win::qt
