// The window backend over Qt Widgets: every window is a handle in the platform's handle
// table holding its widget; messages are dispatched on the user-interface thread.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/window/application.h"
#include "platform/window/qt_internal.h"
#include "platform/window/qt_rich_edit.h"

namespace kdx::win::qt {

namespace {

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
    HMENU menu = 0;
    std::string caption;
    bool centred = false;
    bool destroyed = false;
    bool own_disabled = false;  // disabled by a procedure (Enable_Window, WS_DISABLED)
    bool blocked = false;       // kept from the operator while a long exchange runs
};

// A control's widget is usable when neither its procedure nor a long exchange holds it.
void Apply_Enabled(Window_Object& o) {
    if (!o.widget) return;
    bool enable = !o.own_disabled && !o.blocked;
    // A disabled control loses the focus to its dialog, not to the next control (which would
    // hear of a focus it was never given, as the baud list's handler does).
    if (!enable && o.widget->hasFocus() && o.widget->parentWidget())
        o.widget->parentWidget()->setFocus();
    o.widget->setEnabled(enable);
}

struct Menu_Item {
    uint32_t flags = 0;
    uint64_t id = 0;
    HMENU popup = 0;
    std::string text;
    uint32_t state = 0;
    bool grayed = false;
    QPointer<QAction> action;
};

struct Menu_Object final : platform::Handle_Object {
    bool popup = false;
    std::vector<Menu_Item> items;
    QPointer<QMenu> qmenu;
    HWND owner = 0;
    ~Menu_Object() override { delete qmenu.data(); }
};

std::shared_ptr<Window_Object> Find(HWND h) {
    if (h == 0 || h == -1) return nullptr;
    uint32_t keep = platform::Get_Last_Error();
    auto object = platform::Handle_Get_As<Window_Object>(h);
    platform::Set_Last_Error(keep);
    // A window whose widget went with its owner no longer exists either.
    return object && !object->destroyed && object->widget ? object : nullptr;
}

std::shared_ptr<Menu_Object> Find_Menu(HMENU h) {
    if (h == 0 || h == -1) return nullptr;
    uint32_t keep = platform::Get_Last_Error();
    auto object = platform::Handle_Get_As<Menu_Object>(h);
    platform::Set_Last_Error(keep);
    return object;
}

HWND Handle_Of(const QWidget* w) {
    return w ? w->property("kdx_hwnd").toInt() : 0;
}

bool On_Ui_Thread() {
    return qApp && QThread::currentThread() == qApp->thread();
}

Base_Units base_units;
QFont dialog_font;

// The average width of the 52 letters, rounded as Windows rounds it.
int Average_Width(const QFont& font) {
    int width = QFontMetrics(font).horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return (width / 26 + 1) / 2;
}

// The dialog font: the desktop's sans serif at 8 points. A family wider than the 6-pixel
// average of the dialogs' original font is narrowed to it, so the Terminal's 670 dialog units
// fit the 1024-pixel frame as they were laid out to.
void Compute_Base_Units() {
    QFont font = QApplication::font();
    font.setPointSizeF(8);
    constexpr int kOriginal_Width = 6;
    for (int stretch = 100; stretch > 70 && Average_Width(font) > kOriginal_Width; stretch -= 2)
        font.setStretch(stretch - 2);
    dialog_font = font;
    base_units.X = Average_Width(font);
    base_units.Y = QFontMetrics(font).height();
}

// Option and check boxes keep their caption close to the mark, as the original's do, so the
// captions fit the widths of the control tables.
const char* const kTight_Indicator = "spacing: 2px;";

QRect Dlu_Rect(int32_t x, int32_t y, int32_t w, int32_t h) {
    return QRect(Dlu_To_Px_X(x), Dlu_To_Px_Y(y), Dlu_To_Px_X(w), Dlu_To_Px_Y(h));
}

LRESULT Dispatch(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam);
void Notify(HWND control, uint32_t code);

// Widgets that report to their window objects.

// A top-level window (its frame included) within the work area of its screen: made smaller
// where it would not fit, and moved in where it would stand out.
void Fit_To_Work_Area(QWidget* w) {
    // Qt's offscreen platform (tests, screenshots) has a screen of arbitrary size, not a
    // desktop: the frame keeps the size it was given there.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect area = screen->availableGeometry();
    QRect outer = w->frameGeometry();
    QSize decoration = outer.size() - w->size();
    QSize fits = w->size().boundedTo(area.size() - decoration);
    if (fits != w->size()) w->resize(fits);
    outer = w->frameGeometry();
    QPoint at = outer.topLeft();
    at.setX(
        std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - outer.width() + 1)));
    at.setY(
        std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - outer.height() + 1)));
    if (at != outer.topLeft()) w->move(at);
}

class Frame_Widget final : public QMainWindow {
  public:
    HWND hwnd = 0;
    bool painted = false;
    bool closing_for_real = false;

  protected:
    void closeEvent(QCloseEvent* event) override {
        if (closing_for_real) return QMainWindow::closeEvent(event);
        event->ignore();
        Dispatch(hwnd, WM_CLOSE, 0, 0);
    }
    void paintEvent(QPaintEvent* event) override {
        QMainWindow::paintEvent(event);
        if (!painted) {
            painted = true;
            // Now the desktop has given it its decoration: fit again with it.
            QTimer::singleShot(0, this, [this] {
                Fit_To_Work_Area(this);
                Place_Console_Beside(this);
            });
            First_Painted();
        }
    }
};

class Dialog_Widget final : public QWidget {
  public:
    HWND hwnd = 0;
    QSize initial;  // the size of the control table's dialog, with its menu bar
    QSize sizeHint() const override { return initial; }

  protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        Dispatch(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (hwnd)
            Dispatch(hwnd, WM_SIZE, 0,
                     LPARAM(uint32_t(width()) & 0xFFFF) | LPARAM(uint32_t(height()) & 0xFFFF)
                                                              << 16);
    }
};

class Sub_Window final : public QMdiSubWindow {
  public:
    HWND dialog = 0;
    bool filling = false;  // shown maximised: covers the client area and follows its size

    // Filling the client area, but never smaller than the dialog's controls need: on a small
    // screen the client area's scroll bars reach the rest.
    void Fill() {
        QMdiArea* area = mdiArea();
        if (!filling || !area || !widget()) return;
        QSize need = widget()->minimumSizeHint().expandedTo(Content_Size());
        need += size() - widget()->size();
        QSize view = area->viewport()->size();
        QSize s = view.expandedTo(need);
        QPoint at = geometry().topLeft();
        at.setX(std::clamp(at.x(), std::min(0, view.width() - s.width()), 0));
        at.setY(std::clamp(at.y(), std::min(0, view.height() - s.height()), 0));
        setGeometry(QRect(at, s));
    }
    // The extent of the dialog's controls, its menu bar included.
    QSize Content_Size() const {
        auto* client = widget()->findChild<QWidget*>(QStringLiteral("client"));
        if (!client) return QSize();
        QRect r = client->childrenRect();
        QPoint corner = client->mapTo(widget(), r.bottomRight());
        int margin = Dlu_To_Px_X(4);
        return QSize(corner.x() + margin, corner.y() + margin);
    }
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Resize && mdiArea() && object == mdiArea()->viewport()) Fill();
        return QMdiSubWindow::eventFilter(object, event);
    }

  protected:
    void closeEvent(QCloseEvent* event) override {
        if (!Find(dialog)) return QMdiSubWindow::closeEvent(event);
        event->ignore();
        Dispatch(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
};

// An auto radio button stays checked when clicked again. The options of one group (from a
// WS_GROUP to the next) form an exclusive button group, so the arrow keys move the choice
// within it and click the option they reach.
class Radio final : public QRadioButton {
  public:
    using QRadioButton::QRadioButton;

  protected:
    void nextCheckState() override { setChecked(true); }
};

// An option as assistive technology meets it: a radio button whose Press and Toggle actions
// are a click, so choosing it that way runs the same handling as the mouse and keys do
// (the toolkit's own Toggle would check it without a click, leaving the handler unasked).
class Radio_Accessible final : public QAccessibleWidget {
  public:
    explicit Radio_Accessible(QWidget* w) : QAccessibleWidget(w, QAccessible::RadioButton) {}
    QAbstractButton* Button() const { return static_cast<QAbstractButton*>(widget()); }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return QString(Button()->text()).remove(QChar('&'));
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = Button()->isChecked();
        return s;
    }
    QStringList actionNames() const override {
        QStringList names;
        if (widget()->isEnabled()) names << pressAction() << toggleAction();
        return names + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (name == pressAction() || name == toggleAction()) {
            if (widget()->isEnabled()) Button()->click();
            return;
        }
        QAccessibleWidget::doAction(name);
    }
};

// Every option of the program is a Radio; it is asked for while the QRadioButton part is
// being made (setting its text announces it), so it is known by that class.
QAccessibleInterface* Accessible_Factory(const QString&, QObject* object) {
    if (auto* r = qobject_cast<QRadioButton*>(object)) return new Radio_Accessible(r);
    return nullptr;
}

// Alt alone moves to the menu bar and Alt with an underlined letter opens its menu, on every
// desktop style (not all of them offer the first).
class Menu_Key_Style final : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_MenuBar_AltKeyNavigation) return 1;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

class Combo final : public QComboBox {
  public:
    HWND hwnd = 0;
    using QComboBox::QComboBox;
    void showPopup() override {
        Notify(hwnd, CBN_DROPDOWN);
        QComboBox::showPopup();
    }
    void hidePopup() override {
        QComboBox::hidePopup();
        Notify(hwnd, CBN_CLOSEUP);
    }

  protected:
    void focusInEvent(QFocusEvent* e) override {
        QComboBox::focusInEvent(e);
        Notify(hwnd, CBN_SETFOCUS);
    }
    void focusOutEvent(QFocusEvent* e) override {
        QComboBox::focusOutEvent(e);
        Notify(hwnd, CBN_KILLFOCUS);
    }
};

class Graphic final : public QFrame {
  public:
    QPixmap picture;
    using QFrame::QFrame;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QFrame::paintEvent(event);
        if (picture.isNull()) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(contentsRect(), picture);
    }
};

// Posted messages, in order, for the user-interface thread.
struct Posted {
    HWND window;
    uint32_t message;
    WPARAM wparam;
    LPARAM lparam;
};
std::mutex post_lock;
std::deque<Posted> posted;
std::atomic<bool> drain_scheduled{false};
std::atomic<int> hold_posted{0};
std::atomic<bool> quit_pending{false};
std::atomic<int32_t> quit_code{0};
void (*first_paint)() = nullptr;

void Drain_Posted();

void Schedule_Drain() {
    if (!qApp || drain_scheduled.exchange(true)) return;
    QMetaObject::invokeMethod(
        qApp, [] { Drain_Posted(); }, Qt::QueuedConnection);
}

// Delivers the messages posted before it began; those posted meanwhile (a handler that posts
// itself again for the rest of its work, a thread that keeps posting) have scheduled the next
// drain, after Qt's own events: the loop keeps turning under any stream of posts.
void Drain_Posted() {
    drain_scheduled.store(false);
    if (hold_posted.load() > 0) return;  // a pause on this thread: delivered when it ends
    size_t due;
    {
        std::lock_guard<std::mutex> g(post_lock);
        due = posted.size();
    }
    for (; due > 0; --due) {
        Posted m;
        {
            std::lock_guard<std::mutex> g(post_lock);
            if (posted.empty()) return;
            m = posted.front();
            posted.pop_front();
        }
        Dispatch(m.window, m.message, m.wparam, m.lparam);
        if (hold_posted.load() > 0) return;
    }
}

std::shared_ptr<Window_Object> New_Window(Type type, QWidget* widget) {
    auto object = std::make_shared<Window_Object>();
    object->type = type;
    object->widget = widget;
    HWND h = platform::Handle_Insert(object);
    widget->setProperty("kdx_hwnd", h);
    return object;
}

void Destroy(HWND h);

LRESULT Text_Out(const std::string& text, WPARAM size, LPARAM lparam) {
    if (!lparam || size == 0) return 0;
    char* out = reinterpret_cast<char*>(lparam);
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return LRESULT(n);
}

std::string Latin1(const QString& s) {
    QByteArray b = s.toLatin1();
    return std::string(b.constData(), size_t(b.size()));
}

QString From_Bytes(const char* p) {
    return QString::fromLatin1(p ? p : "");
}

std::string Widget_Text(Window_Object& o) {
    QWidget* w = o.widget;
    if (!w) return std::string();
    if (o.type == Type::Dialog || o.type == Type::Frame) return o.caption;
    if (auto* r = dynamic_cast<Rich_Edit*>(w)) return Latin1(r->Text());
    if (auto* e = dynamic_cast<QPlainTextEdit*>(w)) {
        QString t = e->toPlainText();
        t.replace(QChar('\n'), QStringLiteral("\r\n"));
        return Latin1(t);
    }
    if (auto* l = dynamic_cast<QLineEdit*>(w)) return Latin1(l->text());
    if (auto* l = dynamic_cast<QLabel*>(w)) return Latin1(l->text());
    if (auto* b = dynamic_cast<QAbstractButton*>(w)) return Latin1(b->text());
    if (auto* g = dynamic_cast<QGroupBox*>(w)) return Latin1(g->title());
    if (auto* c = dynamic_cast<QComboBox*>(w)) return Latin1(c->currentText());
    return o.caption;
}

void Set_Widget_Text(Window_Object& o, const std::string& text) {
    QWidget* w = o.widget;
    QString t = QString::fromLatin1(text.data(), qsizetype(text.size()));
    o.caption = text;
    if (!w) return;
    if (o.type == Type::Dialog || o.type == Type::Frame) {
        w->setWindowTitle(t);
        if (o.sub) o.sub->setWindowTitle(t);
        return;
    }
    if (auto* r = dynamic_cast<Rich_Edit*>(w)) return r->Set_Text(t);
    if (auto* e = dynamic_cast<QPlainTextEdit*>(w)) {
        t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        return e->setPlainText(t);
    }
    if (auto* l = dynamic_cast<QLineEdit*>(w)) return l->setText(t);
    if (auto* l = dynamic_cast<QLabel*>(w)) return l->setText(t);
    if (auto* b = dynamic_cast<QAbstractButton*>(w)) return b->setText(t);
    if (auto* g = dynamic_cast<QGroupBox*>(w)) return g->setTitle(t);
}

// Default handling of a control's messages: what its class does.
LRESULT Control_Default(Window_Object& o, HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    QWidget* w = o.widget;
    if (!w) return 0;
    switch (message) {
        case WM_SETTEXT:
            Set_Widget_Text(o, lparam ? reinterpret_cast<const char*>(lparam) : "");
            return 1;
        case WM_GETTEXT:
            return Text_Out(Widget_Text(o), wparam, lparam);
        case WM_GETTEXTLENGTH:
            return LRESULT(Widget_Text(o).size());
        case WM_PAINT:
            w->update();
            return 0;
        default:
            break;
    }
    if (auto* b = dynamic_cast<QAbstractButton*>(w)) {
        switch (message) {
            case BM_CLICK: {
                // A click by message works while only the operator is kept away.
                if (o.own_disabled) return 0;
                if (o.blocked) b->setEnabled(true);
                b->click();
                if (auto again = Find(h)) Apply_Enabled(*again);
                return 0;
            }
            case BM_GETCHECK:
                return b->isChecked() ? BST_CHECKED : BST_UNCHECKED;
            case BM_SETCHECK: {
                // A procedure may clear every option of a group, as it can in a dialog.
                QButtonGroup* group = b->group();
                bool clearing = group && group->exclusive() && wparam != BST_CHECKED;
                if (clearing) group->setExclusive(false);
                b->setChecked(wparam == BST_CHECKED);
                if (clearing) group->setExclusive(true);
                return 0;
            }
        }
    }
    if (auto* c = dynamic_cast<QComboBox*>(w)) {
        switch (message) {
            case CB_RESETCONTENT:
                c->clear();
                return 0;
            case CB_ADDSTRING: {
                // Adding an item selects nothing (the toolkit would select the first).
                int before = c->currentIndex();
                c->addItem(From_Bytes(reinterpret_cast<const char*>(lparam)));
                if (before < 0) c->setCurrentIndex(-1);
                return c->count() - 1;
            }
            case CB_SETCURSEL:
                if (int64_t(int32_t(wparam)) >= c->count()) {
                    c->setCurrentIndex(-1);
                    return LRESULT(int32_t(CB_ERR));
                }
                c->setCurrentIndex(int32_t(wparam));
                return int32_t(wparam);
            case CB_GETCURSEL:
                return c->currentIndex() < 0 ? LRESULT(int32_t(CB_ERR)) : c->currentIndex();
            case CB_GETCOUNT:
                return c->count();
            case CB_GETLBTEXTLEN:
                if (int32_t(wparam) < 0 || int32_t(wparam) >= c->count())
                    return LRESULT(int32_t(CB_ERR));
                return c->itemText(int32_t(wparam)).size();
            case CB_GETLBTEXT: {
                if (int32_t(wparam) < 0 || int32_t(wparam) >= c->count() || !lparam)
                    return LRESULT(int32_t(CB_ERR));
                std::string t = Latin1(c->itemText(int32_t(wparam)));
                std::memcpy(reinterpret_cast<char*>(lparam), t.c_str(), t.size() + 1);
                return LRESULT(t.size());
            }
        }
    }
    if (auto* r = dynamic_cast<Rich_Edit*>(w)) {
        switch (message) {
            case EM_LIMITTEXT:
                r->Set_Limit(int32_t(wparam));
                return 0;
            case EM_GETLIMITTEXT:
                return r->Limit();
            case EM_SETBKGNDCOLOR: {
                uint32_t c = uint32_t(lparam);
                r->Set_Background(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
                return 0;
            }
            case EM_SETSEL:
            case EM_EXSETSEL: {
                int32_t from = 0, to = 0;
                if (message == EM_SETSEL) {
                    from = int32_t(wparam);
                    to = int32_t(lparam);
                } else if (lparam) {
                    auto* range = reinterpret_cast<const CHARRANGE*>(lparam);
                    from = range->cpMin;
                    to = range->cpMax;
                }
                int32_t length = r->Length();
                if (to < 0 || to > length) to = length;
                if (from < 0) from = to;
                QTextCursor cursor = r->textCursor();
                cursor.setPosition(std::min(from, length));
                cursor.setPosition(to, QTextCursor::KeepAnchor);
                r->setTextCursor(cursor);
                return 0;
            }
            case EM_SETCHARFORMAT: {
                auto* format = reinterpret_cast<const CHARFORMAT*>(lparam);
                if (format && (format->dwMask & CFM_COLOR)) {
                    uint32_t c = format->crTextColor;
                    r->Set_Default_Colour(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
                }
                return 1;
            }
            case EM_STREAMIN: {
                auto* stream = reinterpret_cast<EDITSTREAM*>(lparam);
                if (!stream || !stream->pfnCallback) return 0;
                std::string rtf;
                uint8_t buffer[4096];
                for (;;) {
                    int32_t got = 0;
                    stream->dwError =
                        stream->pfnCallback(stream->dwCookie, buffer, int32_t(sizeof buffer), &got);
                    if (stream->dwError != 0 || got <= 0) break;
                    rtf.append(reinterpret_cast<const char*>(buffer), size_t(got));
                }
                auto runs = Parse_Rtf(rtf);
                LRESULT count = 0;
                for (const auto& run : runs) count += run.Text.size();
                r->Append(std::move(runs));
                return count;
            }
            case WM_CHAR: {
                char c = char(wparam & 0xFF);
                r->Append({Rtf_Run{c == '\r' ? QStringLiteral("\n") : QString(QChar::fromLatin1(c)),
                                   QColor(), false}});
                return 0;
            }
        }
    }
    if (auto* l = dynamic_cast<QLineEdit*>(w)) {
        if (message == EM_LIMITTEXT) l->setMaxLength(wparam ? int(wparam) : 32767);
        if (message == EM_SETSEL) l->setSelection(int(wparam), int(lparam) - int(wparam));
        return 0;
    }
    (void)h;
    return 0;
}

// Default handling of a frame's or a dialog's messages. The close box of a dialog asks
// WM_SYSCOMMAND SC_CLOSE, which becomes WM_CLOSE; a window whose procedure leaves WM_CLOSE
// alone is destroyed (the frame then gets WM_DESTROY).
LRESULT Top_Default(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    auto o = Find(h);
    if (!o) return 0;
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wparam & 0xFFF0) == SC_CLOSE) Dispatch(h, WM_CLOSE, 0, 0);
            return 0;
        case WM_CLOSE:
            Destroy(h);
            return 0;
        case WM_SETTEXT:
            Set_Widget_Text(*o, lparam ? reinterpret_cast<const char*>(lparam) : "");
            return 1;
        case WM_GETTEXT:
            return Text_Out(o->caption, wparam, lparam);
        case WM_PAINT:
            if (o->widget) o->widget->update();
            return 0;
    }
    return 0;
}

LRESULT Def_Proc(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    auto o = Find(h);
    if (!o) return 0;
    switch (o->type) {
        case Type::Control:
            return Control_Default(*o, h, message, wparam, lparam);
        case Type::Dialog:
            return Top_Default(h, message, wparam, lparam);
        case Type::Frame:
            return Top_Default(h, message, wparam, lparam);
        default:
            return 0;
    }
}

LRESULT Dispatch_Here(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    auto o = Find(h);
    if (!o) return 0;
    switch (o->type) {
        case Type::Frame:
            return o->proc ? o->proc(h, message, wparam, lparam)
                           : Top_Default(h, message, wparam, lparam);
        case Type::Dialog: {
            int64_t r = o->dialog_proc ? o->dialog_proc(h, message, wparam, lparam) : 0;
            return r ? r : Top_Default(h, message, wparam, lparam);
        }
        case Type::Control:
            return o->proc ? o->proc(h, message, wparam, lparam)
                           : Control_Default(*o, h, message, wparam, lparam);
        case Type::Mdi_Client:
            return 0;  // no MDI documents: WM_MDIGETACTIVE has none to report
        case Type::Tooltip: {
            if (message == TTM_SETMAXTIPWIDTH) {
                o->widget->setProperty("kdx_tip_width", qlonglong(lparam));
                return 0;
            }
            if (message == TTM_SETDELAYTIME) {
                if (wparam == TTDT_AUTOPOP) o->widget->setProperty("kdx_tip_ms", qlonglong(lparam));
                return 0;
            }
            auto* info = reinterpret_cast<const TOOLINFO*>(lparam);
            if (!info) return 0;
            auto tool = Find((info->uFlags & TTF_IDISHWND) ? info->uId : info->hwnd);
            if (!tool || !tool->widget) return 0;
            QWidget* t = tool->widget;
            if (message == TTM_GETTOOLINFOA) return t->property("kdx_tip_owner").toInt() == h;
            if (message == TTM_DELTOOLA) {
                t->setToolTip(QString());
                t->setProperty("kdx_tip", QVariant());
                t->setProperty("kdx_tip_owner", QVariant());
                return 0;
            }
            if (message == TTM_ADDTOOLA) {
                QString text =
                    QString::fromLatin1(info->lpszText.data(), qsizetype(info->lpszText.size()));
                int wrap = o->widget->property("kdx_tip_width").toInt();
                t->setProperty("kdx_tip", text);
                t->setProperty("kdx_tip_owner", h);
                // Long hints wrap at the tooltip's width.
                if (wrap > 0 && t->fontMetrics().horizontalAdvance(text) > wrap)
                    t->setToolTip(QStringLiteral("<table width=%1><tr><td>%2</td></tr></table>")
                                      .arg(wrap)
                                      .arg(text.toHtmlEscaped()));
                else
                    t->setToolTip(text);
                int ms = o->widget->property("kdx_tip_ms").toInt();
                if (ms > 0) t->setToolTipDuration(ms);
                return 1;
            }
            return 0;
        }
    }
    return 0;
}

LRESULT Dispatch(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    if (!qApp) return 0;
    if (On_Ui_Thread()) return Dispatch_Here(h, message, wparam, lparam);
    LRESULT result = 0;
    QMetaObject::invokeMethod(
        qApp, [&] { result = Dispatch_Here(h, message, wparam, lparam); },
        Qt::BlockingQueuedConnection);
    return result;
}

// Set while a frame goes away: its windows are hidden on the way (focus moves among them),
// and no procedure hears of that.
bool frame_closing = false;

void Notify(HWND control, uint32_t code) {
    if (frame_closing) return;
    auto o = Find(control);
    if (!o || o->dialog == 0) return;
    WPARAM wparam = MAKEWPARAM(uint16_t(o->id), uint16_t(code));
    int64_t r = o->callback ? o->callback(o->dialog, WM_COMMAND, wparam, control) : 0;
    if (r == 0) {
        auto d = Find(o->dialog);
        if (d && d->dialog_proc) d->dialog_proc(o->dialog, WM_COMMAND, wparam, control);
    }
}

// Unchecks the other auto radio buttons of a clicked one's group.
void Radio_Clicked(HWND control) {
    auto o = Find(control);
    if (!o) return;
    auto d = Find(o->dialog);
    if (!d) return;
    for (HWND c : d->children) {
        auto other = Find(c);
        if (!other || c == control || other->group != o->group) continue;
        if (auto* r = dynamic_cast<Radio*>(other->widget.data())) r->setChecked(false);
    }
}

std::vector<HWND> dialogs;                     // every dialog made, to find those a frame holds
std::vector<QPointer<QDialog>> modal_dialogs;  // asking now, the innermost last

// The dialog control a widget is, or is part of (a combo box's list, an edit's viewport).
std::shared_ptr<Window_Object> Control_Of(QWidget* w) {
    for (; w; w = w->parentWidget()) {
        if (HWND h = Handle_Of(w)) {
            auto o = Find(h);
            return o && o->type == Type::Control ? o : nullptr;
        }
    }
    return nullptr;
}

// Tab and Shift+Tab as a dialog has them: through the controls that carry a tab stop, in
// the order the control table made them, each group of options being one stop (its checked
// option). A multi-line box keeps Tab for itself (the black windows send it to the
// controller); Ctrl+Tab and Ctrl+Shift+Tab leave it.
class Tab_Navigator final : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab) return false;
        auto* w = qobject_cast<QWidget*>(object);
        if (!w || w != QApplication::focusWidget()) return false;
        Qt::KeyboardModifiers mods = key->modifiers();
        if (mods & (Qt::AltModifier | Qt::MetaModifier)) return false;
        auto control = Control_Of(w);
        auto dialog = control ? Find(control->dialog) : nullptr;
        if (!dialog) return false;
        bool keeps_tab = dynamic_cast<QPlainTextEdit*>(control->widget.data()) != nullptr;
        if (keeps_tab && !(mods & Qt::ControlModifier)) return false;
        event->accept();  // an override: no shortcut takes the key
        if (event->type() == QEvent::KeyPress)
            Move(*dialog, *control, key->key() == Qt::Key_Tab && !(mods & Qt::ShiftModifier));
        return true;
    }

  private:
    static void Move(Window_Object& dialog, Window_Object& from, bool forward) {
        struct Stop {
            size_t at;
            QWidget* widget;
        };
        std::vector<Stop> stops;
        std::vector<int32_t> groups_done;
        size_t current = 0;
        for (size_t i = 0; i < dialog.children.size(); ++i) {
            auto o = Find(dialog.children[i]);
            if (!o || !o->widget) continue;
            if (o.get() == &from) current = i;
            QWidget* w = o->widget;
            if (!w->isVisible() || !w->isEnabled()) continue;
            if (auto* r = dynamic_cast<Radio*>(w)) {
                if (std::find(groups_done.begin(), groups_done.end(), o->group) !=
                    groups_done.end())
                    continue;
                groups_done.push_back(o->group);
                QAbstractButton* checked = r->group() ? r->group()->checkedButton() : nullptr;
                stops.push_back({i, checked && checked->isEnabled() ? checked : w});
                continue;
            }
            if (o->style & WS_TABSTOP) stops.push_back({i, w});
        }
        if (stops.empty()) return;
        // The option that has the focus stands where its group's stop stands.
        for (const auto& stop : stops)
            if (stop.widget == from.widget) current = stop.at;
        const Stop* next = nullptr;
        if (forward) {
            for (const auto& stop : stops)
                if (stop.at > current) {
                    next = &stop;
                    break;
                }
            if (!next) next = &stops.front();
        } else {
            for (auto it = stops.rbegin(); it != stops.rend(); ++it)
                if (it->at < current) {
                    next = &*it;
                    break;
                }
            if (!next) next = &stops.back();
        }
        next->widget->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    }
};

QPointer<Tab_Navigator> tab_navigator;

void Destroy(HWND h) {
    auto o = Find(h);
    if (!o) return;
    if (o->type == Type::Frame) {
        // The dialogs placed in its client area go with it, each told so first.
        std::vector<HWND> held;
        for (HWND d : dialogs) {
            auto dialog = Find(d);
            if (dialog && dialog->widget && o->widget && dialog->widget->window() == o->widget)
                held.push_back(d);
        }
        for (HWND d : held) Destroy(d);
    }
    std::erase(dialogs, h);
    if (o->type == Type::Dialog && o->dialog_proc) o->dialog_proc(h, WM_DESTROY, 0, 0);
    if (o->type == Type::Frame && o->proc) o->proc(h, WM_DESTROY, 0, 0);
    o->destroyed = true;
    for (HWND c : o->children) {
        if (auto child = Find(c)) child->destroyed = true;
        platform::Close_Handle(c);
    }
    if (o->type == Type::Frame)
        if (auto* f = dynamic_cast<Frame_Widget*>(o->widget.data())) f->closing_for_real = true;
    QWidget* w = o->sub ? static_cast<QWidget*>(o->sub.data()) : o->widget.data();
    if (w) {
        frame_closing = true;
        w->hide();
        frame_closing = false;
        w->deleteLater();
    }
    platform::Close_Handle(h);
}

// A menu item shows a check mark only while it is checked: an item that is never checked
// shows no empty box either.
void Show_Check(QAction* action, bool checked) {
    action->setCheckable(checked);
    action->setChecked(checked);
}

QAction* Make_Action(QWidget* parent_menu, Menu_Item& item, HMENU menu) {
    (void)menu;
    QAction* action = new QAction(QString::fromLatin1(item.text.c_str()), parent_menu);
    Show_Check(action, item.state & MFS_CHECKED);
    action->setEnabled(!item.grayed);
    action->setData(qulonglong(item.id));
    uint64_t id = item.id;
    QObject::connect(action, &QAction::triggered, action, [action, id, menu] {
        auto m = Find_Menu(menu);
        if (!m) return;
        for (auto& i : m->items)
            if (i.id == id && !(i.flags & (MF_POPUP | MF_SEPARATOR)))
                Show_Check(action, i.state & MFS_CHECKED);
        Dispatch(m->owner, WM_COMMAND, MAKEWPARAM(uint16_t(id), 0), 0);
    });
    return action;
}

// A bar title without an underlined letter gets its first letter no other title has, so
// every menu opens with Alt and a letter (the item's own text stays as given).
QString Bar_Title(QString text, QString& used) {
    if (text.contains(QChar('&'))) return text;
    for (int i = 0; i < text.size(); ++i) {
        QChar c = text.at(i).toLower();
        if (!c.isLetter() || used.contains(c)) continue;
        used += c;
        return text.insert(i, QChar('&'));
    }
    return text;
}

void Set_Owner(HMENU h, HWND owner) {
    auto m = Find_Menu(h);
    if (!m) return;
    m->owner = owner;
    for (auto& i : m->items)
        if (i.flags & MF_POPUP) Set_Owner(i.popup, owner);
}

class Qt_Backend final : public Backend {
  public:
    bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) override {
        HWND c = Get_Dlg_Item(dialog, id);
        if (!c) return false;
        Send_Message(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return true;
    }
    std::string Get_Dlg_Item_Text(HWND dialog, int32_t id) override {
        HWND c = Get_Dlg_Item(dialog, id);
        if (!c) return std::string();
        LRESULT n = Send_Message(c, WM_GETTEXTLENGTH, 0, 0);
        std::string text(size_t(std::max<LRESULT>(n, 0)) + 1, '\0');
        LRESULT got =
            Send_Message(c, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
        text.resize(size_t(std::max<LRESULT>(got, 0)));
        return text;
    }
    int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) override {
        return Dispatch(window, message, wparam, lparam);
    }
    bool Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) override {
        {
            std::lock_guard<std::mutex> g(post_lock);
            posted.push_back(Posted{window, message, wparam, lparam});
        }
        Schedule_Drain();
        return true;
    }
    bool Invalidate_Rect(HWND window, bool) override {
        auto o = Find(window);
        if (!o || !o->widget) return false;
        o->widget->update();
        return true;
    }
    bool Update_Window(HWND window) override {
        auto o = Find(window);
        if (!o || !o->widget || !On_Ui_Thread()) return false;
        for (auto* e : o->widget->findChildren<QPlainTextEdit*>())
            if (auto* r = dynamic_cast<Rich_Edit*>(e)) r->Flush();
        if (o->widget->isVisible()) o->widget->repaint();
        return true;
    }

    HWND Create_Frame(const std::string& caption, int32_t width, int32_t height,
                      Window_Proc proc) override {
        auto* w = new Frame_Widget;
        auto o = New_Window(Type::Frame, w);
        w->hwnd = Handle_Of(w);
        o->proc = proc;
        o->caption = caption;
        w->setWindowTitle(QString::fromLatin1(caption.c_str()));
        // The status strip: what a long exchange is doing and how far it is.
        auto* label = new QLabel(w);
        label->setObjectName(QStringLiteral("status_text"));
        auto* bar = new QProgressBar(w);
        bar->setObjectName(QStringLiteral("status_bar"));
        bar->setMaximumWidth(240);
        bar->setTextVisible(true);
        bar->hide();
        // Its permanent part names the open port and its rate.
        auto* port = new QLabel(QStringLiteral("No port open"), w);
        port->setObjectName(QStringLiteral("status_port"));
        port->setFrameShape(QFrame::StyledPanel);
        w->statusBar()->addWidget(label, 1);
        w->statusBar()->addPermanentWidget(bar);
        w->statusBar()->addPermanentWidget(port);
        w->statusBar()->setSizeGripEnabled(false);
        w->statusBar()->setAccessibleName(QStringLiteral("Status"));
        w->resize(width, height);
        if (proc) {
            proc(w->hwnd, WM_CREATE, 0, 0);
        }
        return w->hwnd;
    }
    HWND Create_Mdi_Client(HWND frame) override {
        auto f = Find(frame);
        auto* main = f ? dynamic_cast<QMainWindow*>(f->widget.data()) : nullptr;
        if (!main) return 0;
        auto* area = new QMdiArea;
        area->setFrameShape(QFrame::StyledPanel);
        area->setFrameShadow(QFrame::Sunken);
        area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        main->setCentralWidget(area);
        auto o = New_Window(Type::Mdi_Client, area);
        f->children.push_back(Handle_Of(area));
        return Handle_Of(area);
    }
    LRESULT Def_Frame_Proc(HWND frame, HWND, uint32_t message, WPARAM wparam,
                           LPARAM lparam) override {
        return Top_Default(frame, message, wparam, lparam);
    }
    LRESULT Def_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) override {
        return Def_Proc(window, message, wparam, lparam);
    }

    HWND Create_Dialog(const Dialog_Template& t, HWND parent) override {
        auto p = Find(parent);
        QWidget* parent_widget = p ? p->widget.data() : nullptr;
        auto* w = new Dialog_Widget;
        if (parent_widget) {
            w->setParent(parent_widget->window(), Qt::Window);
        }
        Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint;
        if (t.Style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (t.Style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
        if (t.Style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
        w->setWindowFlags(flags);
        w->setFont(dialog_font);
        w->setAutoFillBackground(true);
        auto* layout = new QVBoxLayout(w);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        auto* client = new QWidget(w);
        client->setObjectName(QStringLiteral("client"));
        layout->addWidget(client, 1);
        auto o = New_Window(Type::Dialog, w);
        dialogs.push_back(Handle_Of(w));
        // Ahead of every other filter (the MDI area's Ctrl+Tab among its windows).
        if (!tab_navigator) tab_navigator = new Tab_Navigator(qApp);
        qApp->installEventFilter(tab_navigator);
        o->client = client;
        o->style = t.Style;
        o->caption = t.Caption;
        o->centred = true;  // no position given: centred, as DS_CENTER and the default do
        w->hwnd = Handle_Of(w);
        w->setWindowTitle(QString::fromLatin1(t.Caption.c_str()));
        w->resize(Dlu_To_Px_X(t.Width), Dlu_To_Px_Y(t.Height));
        w->initial = w->size();
        w->hide();
        return w->hwnd;
    }

    HWND Create_Control(HWND dialog, const Control_Template& t) override {
        auto d = Find(dialog);
        if (!d || !d->client) return 0;
        QWidget* parent = d->client;
        QWidget* w = nullptr;
        QString caption = QString::fromLatin1(t.Caption.c_str());
        bool tab = t.Style & WS_TABSTOP;
        switch (t.Kind) {
            case Control_Kind::Label: {
                auto* l = new QLabel(caption, parent);
                l->setWordWrap(true);
                l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                w = l;
                break;
            }
            case Control_Kind::Edit: {
                if (t.Style & ES_MULTILINE) {
                    auto* e = new QPlainTextEdit(parent);
                    e->setPlainText(caption);
                    e->setTabChangesFocus(false);
                    if (!(t.Ex_Style & WS_EX_CLIENTEDGE)) e->setFrameShape(QFrame::NoFrame);
                    e->setVerticalScrollBarPolicy((t.Style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                         : Qt::ScrollBarAlwaysOff);
                    e->setLineWrapMode((t.Style & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                                  : QPlainTextEdit::WidgetWidth);
                    w = e;
                } else {
                    auto* e = new QLineEdit(caption, parent);
                    e->setFrame(t.Ex_Style & WS_EX_CLIENTEDGE);
                    e->setTextMargins(1, 0, 1, 0);
                    e->setContentsMargins(0, 0, 0, 0);
                    if (t.Style & ES_CENTER) e->setAlignment(Qt::AlignCenter);
                    w = e;
                }
                break;
            }
            case Control_Kind::Button: {
                uint32_t type = t.Style & 0xF;
                if (type == BS_GROUPBOX) {
                    auto* g = new QGroupBox(caption, parent);
                    g->setAttribute(Qt::WA_TransparentForMouseEvents);
                    w = g;
                } else if (type == BS_AUTORADIOBUTTON) {
                    auto* r = new Radio(caption, parent);
                    r->setStyleSheet(kTight_Indicator);
                    w = r;
                } else if (type == BS_AUTOCHECKBOX) {
                    w = new QCheckBox(caption, parent);
                    w->setStyleSheet(kTight_Indicator);
                } else {
                    auto* b = new QPushButton(caption, parent);
                    b->setAutoDefault(false);
                    b->setDefault(type == BS_DEFPUSHBUTTON);
                    w = b;
                }
                break;
            }
            case Control_Kind::Combo: {
                auto* c = new Combo(parent);
                c->setMaxVisibleItems(
                    std::max(1, Dlu_To_Px_Y(t.Height) / std::max(1, base_units.Y)));
                w = c;
                break;
            }
            case Control_Kind::Rich_Edit: {
                auto* r = new Rich_Edit(parent);
                r->setProperty("kdx_rich", true);
                r->setVerticalScrollBarPolicy((t.Style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                     : Qt::ScrollBarAsNeeded);
                r->setHorizontalScrollBarPolicy((t.Style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                       : Qt::ScrollBarAsNeeded);
                if (!(t.Ex_Style & WS_EX_CLIENTEDGE)) r->setFrameShape(QFrame::NoFrame);
                w = r;
                break;
            }
            case Control_Kind::Graphic: {
                auto* g = new Graphic(parent);
                if (t.Style & SS_SUNKEN) {
                    g->setFrameShape(QFrame::Panel);
                    g->setFrameShadow(QFrame::Sunken);
                }
                w = g;
                break;
            }
        }
        auto o = New_Window(Type::Control, w);
        HWND h = Handle_Of(w);
        o->dialog = dialog;
        o->id = t.Id;
        o->kind = t.Kind;
        o->style = t.Style;
        o->callback = t.Callback;
        o->caption = t.Caption;
        if (t.Style & WS_GROUP) ++d->next_group;
        o->group = d->next_group;
        d->children.push_back(h);
        if (auto* r = dynamic_cast<Radio*>(w)) {
            QPointer<QButtonGroup>& group = d->option_groups[o->group];
            if (!group) group = new QButtonGroup(d->widget);
            group->addButton(r);
        }
        w->setObjectName(QStringLiteral("id%1").arg(t.Id));
        w->setProperty("kdx_id", t.Id);
        w->setProperty("kdx_order", qlonglong(d->children.size()));
        QRect r = Dlu_Rect(t.X, t.Y, t.Width, t.Height);
        if (t.Kind == Control_Kind::Combo)  // the height given includes the drop-down list
            r.setHeight(std::max(w->sizeHint().height(), Dlu_To_Px_Y(12)));
        w->setGeometry(r);
        w->setFocusPolicy(tab ? Qt::StrongFocus
                              : (t.Kind == Control_Kind::Label || t.Kind == Control_Kind::Graphic
                                     ? Qt::NoFocus
                                     : Qt::ClickFocus));
        o->own_disabled = (t.Style & WS_DISABLED) != 0;
        w->setEnabled(!o->own_disabled);
        // Tab order follows creation order among the tab stops.
        if (tab) {
            for (auto it = d->children.rbegin() + 1; it != d->children.rend(); ++it) {
                auto prev = Find(*it);
                if (prev && (prev->style & WS_TABSTOP) && prev->widget) {
                    QWidget::setTabOrder(prev->widget, w);
                    break;
                }
            }
        }
        if (auto* b = dynamic_cast<QAbstractButton*>(w)) {
            bool radio = dynamic_cast<Radio*>(w) != nullptr;
            QObject::connect(b, &QAbstractButton::clicked, b, [h, radio] {
                if (radio) Radio_Clicked(h);
                Notify(h, BN_CLICKED);
            });
        } else if (auto* c = dynamic_cast<Combo*>(w)) {
            c->hwnd = h;
            QObject::connect(c, qOverload<int>(&QComboBox::activated), c, [h](int) {
                Notify(h, CBN_SELCHANGE);
                Notify(h, CBN_SELENDOK);
            });
        } else if (auto* r = dynamic_cast<Rich_Edit*>(w)) {
            r->On_Char = [h](uint32_t c) { Dispatch(h, WM_CHAR, c, 1); };
        } else if (auto* e = dynamic_cast<QLineEdit*>(w)) {
            QObject::connect(e, &QLineEdit::textChanged, e, [h] { Notify(h, EN_CHANGE); });
        } else if (auto* e = dynamic_cast<QPlainTextEdit*>(w)) {
            QObject::connect(e, &QPlainTextEdit::textChanged, e, [h] { Notify(h, EN_CHANGE); });
        }
        if (dynamic_cast<QGroupBox*>(w)) w->lower();
        w->setVisible(true);
        if (!(t.Style & WS_VISIBLE) && t.Style != 0 && false) w->hide();
        return h;
    }
    HWND Get_Dlg_Item(HWND dialog, int32_t id) override {
        auto d = Find(dialog);
        if (!d) return 0;
        for (HWND c : d->children) {
            auto o = Find(c);
            if (o && o->id == id) return c;
        }
        return 0;
    }
    bool Set_Dialog_Proc(HWND dialog, Dialog_Proc proc) override {
        auto d = Find(dialog);
        if (!d) return false;
        bool first = d->dialog_proc == nullptr;
        d->dialog_proc = proc;
        if (first && proc) proc(dialog, WM_INITDIALOG, 0, 0);
        return true;
    }
    Window_Proc Set_Window_Proc(HWND control, Window_Proc proc) override {
        auto o = Find(control);
        if (!o) return nullptr;
        Window_Proc before = o->proc ? o->proc : &win::Def_Window_Proc;
        o->proc = proc;
        return before;
    }
    HMENU Create_Menu(bool popup) override {
        auto m = std::make_shared<Menu_Object>();
        m->popup = popup;
        if (popup) m->qmenu = new QMenu;
        return platform::Handle_Insert(m);
    }
    bool Append_Menu(HMENU menu, uint32_t flags, uint64_t id_or_popup,
                     const std::string& text) override {
        auto m = Find_Menu(menu);
        if (!m) return false;
        Menu_Item item;
        item.flags = flags;
        item.text = text;
        if (flags & MF_POPUP)
            item.popup = HMENU(id_or_popup);
        else
            item.id = id_or_popup;
        if (m->qmenu) {
            if (flags & MF_SEPARATOR) {
                item.action = m->qmenu->addSeparator();
            } else if (flags & MF_POPUP) {
                auto sub = Find_Menu(item.popup);
                if (sub && sub->qmenu) {
                    sub->qmenu->setTitle(QString::fromLatin1(text.c_str()));
                    item.action = m->qmenu->addMenu(sub->qmenu);
                }
            } else {
                item.action = Make_Action(m->qmenu, item, menu);
                m->qmenu->addAction(item.action);
            }
        }
        m->items.push_back(item);
        return true;
    }
    bool Set_Menu(HWND window, HMENU menu) override {
        auto o = Find(window);
        auto m = Find_Menu(menu);
        if (!o || !m || !o->widget) return false;
        o->menu = menu;
        Set_Owner(menu, window);
        auto* bar = new QMenuBar;
        QString used;  // the underlined letters of the bar
        for (auto& item : m->items) {
            QString text = QString::fromLatin1(item.text.c_str());
            int amp = text.indexOf(QChar('&'));
            if (amp >= 0 && amp + 1 < text.size()) used += text.at(amp + 1).toLower();
        }
        for (auto& item : m->items) {
            if (item.flags & MF_POPUP) {
                auto sub = Find_Menu(item.popup);
                if (sub && sub->qmenu) {
                    sub->qmenu->setTitle(Bar_Title(QString::fromLatin1(item.text.c_str()), used));
                    bar->addMenu(sub->qmenu);
                }
            } else if (!(item.flags & MF_SEPARATOR)) {
                item.action = Make_Action(bar, item, menu);
                bar->addAction(item.action);
            }
        }
        if (auto* main = dynamic_cast<QMainWindow*>(o->widget.data())) {
            main->setMenuBar(bar);
        } else if (auto* layout = qobject_cast<QVBoxLayout*>(o->widget->layout())) {
            bar->setParent(o->widget);
            layout->setMenuBar(bar);
            auto* dw = dynamic_cast<Dialog_Widget*>(o->widget.data());
            if (dw) {
                dw->initial.rheight() += bar->sizeHint().height();
                dw->resize(dw->initial);
            }
        }
        return true;
    }
    static Menu_Item* Find_Item(HMENU menu, uint32_t id) {
        auto m = Find_Menu(menu);
        if (!m) return nullptr;
        for (auto& item : m->items) {
            if (item.flags & MF_POPUP) {
                if (auto* found = Find_Item(item.popup, id)) return found;
            } else if (!(item.flags & MF_SEPARATOR) && item.id == id) {
                return &item;
            }
        }
        return nullptr;
    }
    int32_t Get_Menu_State(HMENU menu, uint32_t id) override {
        Menu_Item* item = Find_Item(menu, id);
        return item ? int32_t(item->state) : -1;
    }
    bool Set_Menu_State(HMENU menu, uint32_t id, uint32_t state) override {
        Menu_Item* item = Find_Item(menu, id);
        if (!item) return false;
        item->state = state;
        if (item->action) Show_Check(item->action, state & MFS_CHECKED);
        return true;
    }
    bool Set_Parent(HWND child, HWND parent) override {
        auto c = Find(child);
        auto p = Find(parent);
        if (!c || !c->widget) return false;
        if (p && p->type == Type::Mdi_Client) {
            auto* area = dynamic_cast<QMdiArea*>(p->widget.data());
            if (!area) return false;
            if (c->sub) return true;
            bool visible = c->widget->isVisible();
            auto* sub = new Sub_Window;
            sub->dialog = child;
            sub->setAttribute(Qt::WA_DeleteOnClose, false);
            c->widget->setWindowFlags(Qt::Widget);
            sub->setWidget(c->widget);
            sub->setWindowTitle(QString::fromLatin1(c->caption.c_str()));
            Qt::WindowFlags flags = Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
            if (c->style & WS_SYSMENU)
                flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
            if (c->style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
            if (c->style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
            area->addSubWindow(sub, flags);
            area->viewport()->installEventFilter(sub);
            sub->adjustSize();
            c->sub = sub;
            c->centred = true;
            sub->setVisible(visible);
            return true;
        }
        if (p && p->widget) {
            c->widget->setParent(p->widget);
            return true;
        }
        c->widget->setParent(nullptr, Qt::Window);
        return true;
    }
    bool Show_Window(HWND window, int32_t command) override {
        auto o = Find(window);
        if (!o || !o->widget) return false;
        bool was = o->widget->isVisible();
        QWidget* w = o->sub ? static_cast<QWidget*>(o->sub.data()) : o->widget.data();
        switch (command) {
            case SW_HIDE:
                w->hide();
                break;
            case SW_MAXIMIZE:
                if (o->sub) {
                    o->widget->show();
                    o->sub->filling = true;
                    o->sub->Fill();
                    o->sub->show();
                    o->sub->raise();
                } else {
                    w->showMaximized();
                }
                break;
            default:
                if (o->sub) {
                    o->widget->show();
                    if (o->sub->filling) {
                        o->sub->filling = false;
                        o->sub->adjustSize();
                    }
                    o->sub->show();
                    // The first showing centres it in the client area (no position given).
                    if (o->centred && o->sub->mdiArea()) {
                        o->centred = false;
                        QRect area = o->sub->mdiArea()->viewport()->rect();
                        o->sub->move(std::max(0, area.center().x() - o->sub->width() / 2),
                                     std::max(0, area.center().y() - o->sub->height() / 2));
                    }
                    o->sub->raise();
                    break;
                }
                if (o->centred && !o->sub && w->isWindow() && !w->isVisible()) {
                    QScreen* screen = QGuiApplication::primaryScreen();
                    QWidget* owner = w->parentWidget();
                    QRect area = owner ? owner->frameGeometry()
                                       : (screen ? screen->availableGeometry() : QRect());
                    if (!area.isEmpty()) w->move(area.center() - w->rect().center());
                }
                if (o->type == Type::Frame && !w->isVisible()) Fit_To_Work_Area(w);
                if (o->type == Type::Control)
                    w->show();
                else
                    w->showNormal();
                if (o->type == Type::Frame) Place_Console_Beside(w);
                break;
        }
        return was;
    }
    bool Enable_Window(HWND window, bool enable) override {
        auto o = Find(window);
        if (!o || !o->widget) return false;
        bool was_disabled = o->own_disabled;
        o->own_disabled = !enable;
        Apply_Enabled(*o);
        return was_disabled;
    }
    bool Block_Input(HWND window, bool block) override {
        auto o = Find(window);
        if (!o || !o->widget) return false;
        o->blocked = block;
        Apply_Enabled(*o);
        return true;
    }
    bool Enable_Menu_Item(HMENU menu, uint32_t id, bool enable) override {
        Menu_Item* item = Find_Item(menu, id);
        if (!item) return false;
        item->grayed = !enable;
        if (item->action) item->action->setEnabled(enable);
        return true;
    }
    bool Set_Status(HWND frame, const std::string& text, int64_t done, int64_t total) override {
        auto o = Find(frame);
        auto* main = o ? dynamic_cast<QMainWindow*>(o->widget.data()) : nullptr;
        if (!main) return false;
        auto* label = main->findChild<QLabel*>(QStringLiteral("status_text"));
        auto* bar = main->findChild<QProgressBar*>(QStringLiteral("status_bar"));
        if (!label || !bar) return false;
        label->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
        Tone(label, Status_Tone::Plain);
        bar->setVisible(total > 0);
        if (total > 0) {
            // The bar counts in int: large totals are scaled down together.
            int shift = 0;
            while ((total >> shift) > INT32_MAX / 2) ++shift;
            bar->setRange(0, int(total >> shift));
            bar->setValue(int(std::clamp<int64_t>(done, 0, total) >> shift));
        }
        return true;
    }
    static void Tone(QLabel* label, Status_Tone tone) {
        // Dark text on a light ground, well above 4.5:1 either way, whatever the desktop's
        // colours are.
        switch (tone) {
            case Status_Tone::Plain:
                label->setStyleSheet(QString());
                break;
            case Status_Tone::Passed:
                label->setStyleSheet(QStringLiteral(
                    "QLabel { color: #0b5d1e; background: #e8f5e9; font-weight: bold; }"));
                break;
            case Status_Tone::Failed:
                label->setStyleSheet(QStringLiteral(
                    "QLabel { color: #a00018; background: #fdecea; font-weight: bold; }"));
                break;
        }
        label->setProperty("kdx_tone", int(tone));
    }
    static QLabel* Status_Label(HWND frame, const char* name) {
        auto o = Find(frame);
        auto* main = o ? dynamic_cast<QMainWindow*>(o->widget.data()) : nullptr;
        return main ? main->findChild<QLabel*>(QLatin1String(name)) : nullptr;
    }
    bool Set_Status_Tone(HWND frame, Status_Tone tone) override {
        QLabel* label = Status_Label(frame, "status_text");
        if (!label) return false;
        Tone(label, tone);
        return true;
    }
    bool Set_Status_Port(HWND frame, const std::string& text) override {
        QLabel* label = Status_Label(frame, "status_port");
        if (!label) return false;
        QString t = QString::fromLatin1(text.data(), qsizetype(text.size()));
        if (label->text() != t) label->setText(t);
        return true;
    }
    bool Get_Open_File_Name(OPENFILENAME& record) override {
        if (!On_Ui_Thread()) return false;
        auto owner = Find(record.Owner);
        QWidget* parent = owner && owner->widget ? owner->widget->window() : nullptr;
        // On the heap and watched: should its owner go while it asks, it goes with it and its
        // loop returns as cancelled, instead of a dialog on this stack being freed.
        QPointer<QFileDialog> dialog =
            new QFileDialog(parent, QString::fromLatin1(record.Title.c_str()),
                            QString::fromLocal8Bit(record.Initial_Dir.c_str()));
        // Qt's own dialog: the same on every desktop, and one that tests can operate.
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->setFileMode(QFileDialog::ExistingFile);
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        // "*.*" means every file, with or without a dot in its name.
        QString filter = QString::fromLatin1(record.Filter.c_str());
        if (filter.isEmpty() || filter == QStringLiteral("*.*")) filter = QStringLiteral("*");
        dialog->setNameFilter(QStringLiteral("All files (%1)").arg(filter));
        std::string ext = record.Default_Ext;
        if (ext.rfind("*.", 0) == 0) ext.erase(0, 2);
        if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
        dialog->setDefaultSuffix(QString::fromLatin1(ext.c_str()));
        dialog->setObjectName(QStringLiteral("kdx_open_file"));
        modal_dialogs.push_back(dialog.data());
        bool chosen = dialog->exec() == QDialog::Accepted;
        std::erase_if(modal_dialogs, [&](const QPointer<QDialog>& d) {
            return d.isNull() || d.data() == dialog.data();
        });
        if (!dialog) return false;
        QStringList files = dialog->selectedFiles();
        delete dialog.data();
        if (!chosen || files.isEmpty()) return false;
        QByteArray path = files.front().toLocal8Bit();
        record.File.assign(path.constData(), size_t(path.size()));
        return true;
    }
    bool End_Modal_Dialogs() override {
        bool any = false;
        for (auto& d : modal_dialogs)
            if (d) {
                d->reject();
                any = true;
            }
        return any;
    }
    void Pump_Messages(uint32_t ms) override {
        if (!On_Ui_Thread()) return;
        if (ms == 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            return;
        }
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
    bool Is_Window(HWND window) override { return Find(window) != nullptr; }
    bool Is_Window_Visible(HWND window) override {
        auto o = Find(window);
        return o && o->widget && o->widget->isVisible();
    }
    bool Is_Window_Enabled(HWND window) override {
        auto o = Find(window);
        return o && o->widget && !o->own_disabled;
    }
    bool Set_Focus(HWND window) override {
        auto o = Find(window);
        if (!o || !o->widget) return false;
        if (o->type == Type::Dialog) {
            QWidget* w = o->sub ? static_cast<QWidget*>(o->sub.data()) : o->widget.data();
            w->activateWindow();
            if (o->sub) {
                if (auto* area = o->sub->mdiArea()) area->setActiveSubWindow(o->sub);
            }
        }
        o->widget->setFocus();
        return true;
    }
    bool Destroy_Window(HWND window) override {
        if (!Find(window)) return false;
        Destroy(window);
        return true;
    }
    bool Load_Picture(HWND graphic, const std::string& path) override {
        auto o = Find(graphic);
        auto* g = o ? dynamic_cast<Graphic*>(o->widget.data()) : nullptr;
        if (!g) return false;
        // Read by our own file call, which refuses a pipe or device at the name: Qt's own
        // open would wait on a pipe before the window ever appears.
        std::string bytes;
        if (!platform::Read_Whole_File(path, bytes)) return false;
        QPixmap picture;
        if (!picture.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), uint(bytes.size())))
            return false;
        g->picture = picture;
        g->update();
        return true;
    }
    HWND Create_Tooltip(HWND parent, uint32_t) override {
        auto p = Find(parent);
        auto* w = new QWidget(p ? p->widget.data() : nullptr);
        w->hide();
        auto o = New_Window(Type::Tooltip, w);
        return Handle_Of(w);
    }
    void Post_Quit_Message(int32_t code) override {
        quit_code.store(code);
        quit_pending.store(true);
        if (qApp)
            QMetaObject::invokeMethod(
                qApp,
                [code] {
                    // A quit the loop has already taken (posted before it ran) must not end
                    // a later loop, a modal dialog's for one.
                    if (quit_pending.load()) QCoreApplication::exit(code);
                },
                Qt::QueuedConnection);
    }
    int32_t Message_Loop() override {
        if (!qApp) return 0;
        if (quit_pending.exchange(false)) return quit_code.load();
        int code = QApplication::exec();
        quit_pending.store(false);
        return code;
    }
};

Qt_Backend* backend = nullptr;
QApplication* own_app = nullptr;

}  // namespace

void Hold_Posted(bool hold) {
    if (hold) {
        hold_posted.fetch_add(1);
    } else if (hold_posted.fetch_sub(1) == 1) {
        drain_scheduled.store(false);
        Schedule_Drain();
    }
}

void First_Painted() {
    if (first_paint) {
        auto f = first_paint;
        first_paint = nullptr;
        f();
    }
}

}  // namespace kdx::win::qt

namespace kdx::win {

bool Application_Start(int& argc, char** argv) {
    if (qt::backend) return true;
    if (!qApp) qt::own_app = new QApplication(argc, argv);
    qt::Compute_Base_Units();
    qt::backend = new qt::Qt_Backend;
    Set_Backend(qt::backend);
    QAccessible::installFactory(qt::Accessible_Factory);
    if (!dynamic_cast<qt::Menu_Key_Style*>(QApplication::style()))
        QApplication::setStyle(new qt::Menu_Key_Style(QApplication::style()->name()));
    qt::Register_Window_Console();
    return true;
}

void Application_Stop() {
    if (!qt::backend) return;
    qt::frame_closing = true;  // the windows go now: no procedure hears of it
    qt::Unregister_Window_Console();
    Set_Backend(nullptr);
    QAccessible::removeFactory(qt::Accessible_Factory);
    delete qt::backend;
    qt::backend = nullptr;
    {
        std::lock_guard<std::mutex> g(qt::post_lock);
        qt::posted.clear();
    }
    // Owned windows go with their owners: delete each only while it is still there.
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* w : QApplication::topLevelWidgets()) windows.emplace_back(w);
    for (auto& w : windows) delete w.data();
    delete qt::own_app;
    qt::own_app = nullptr;
    qt::frame_closing = false;
}

Base_Units Dialog_Base_Units() {
    return qt::base_units;
}

int32_t Dlu_To_Px_X(int32_t dlu) {
    int64_t v = int64_t(dlu) * qt::base_units.X;
    return int32_t(v >= 0 ? (v + 2) / 4 : -((-v + 2) / 4));
}

int32_t Dlu_To_Px_Y(int32_t dlu) {
    int64_t v = int64_t(dlu) * qt::base_units.Y;
    return int32_t(v >= 0 ? (v + 4) / 8 : -((-v + 4) / 8));
}

void Process_Events(int32_t ms) {
    if (!qApp) return;
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    } while (t.elapsed() < ms);
}

void On_First_Paint(void (*f)()) {
    qt::first_paint = f;
}

bool Save_Window_Picture(HWND window, const std::string& path) {
    auto o = qt::Find(window);
    if (!o || !o->widget) return false;
    QWidget* w = o->sub ? static_cast<QWidget*>(o->sub.data()) : o->widget.data();
    if (o->type == qt::Type::Control || o->type == qt::Type::Mdi_Client) w = o->widget->window();
    return w->grab().save(QString::fromLocal8Bit(path.c_str()), "PNG");
}

bool Save_Titled_Window_Picture(const std::string& title, const std::string& path) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle() == QString::fromLatin1(title.c_str()))
            return w->grab().save(QString::fromLocal8Bit(path.c_str()), "PNG");
    return false;
}

}  // namespace kdx::win
