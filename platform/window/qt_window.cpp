// The window backend over Qt Widgets: every window is a handle in the platform's handle
// table holding its widget; messages are dispatched on the user-interface thread. This file
// holds the windows themselves: the frame with its status strip, the dialogs and their places
// in the MDI client, showing, focus and the application's start and end.
#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/window/application.h"
#include "platform/window/qt_backend.h"
#include "platform/window/qt_internal.h"
#include "platform/window/qt_rich_edit.h"

namespace kdx::win::qt {

namespace {

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
    constexpr int Original_Width = 6;
    for (int stretch = 100; stretch > 70 && Average_Width(font) > Original_Width; stretch -= 2)
        font.setStretch(stretch - 2);
    dialog_font = font;
    base_units.X = Average_Width(font);
    base_units.Y = QFontMetrics(font).height();
}

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

void (*first_paint)() = nullptr;

std::vector<HWND> dialogs;                     // every dialog made, to find those a frame holds
std::vector<QPointer<QDialog>> modal_dialogs;  // asking now, the innermost last

Qt_Backend* backend = nullptr;
QApplication* own_app = nullptr;

}  // namespace

Base_Units base_units;

std::shared_ptr<Window_Object> Find(HWND h) {
    if (h == 0 || h == -1) return nullptr;
    uint32_t keep = platform::Get_Last_Error();
    auto object = platform::Handle_Get_As<Window_Object>(h);
    platform::Set_Last_Error(keep);
    // A window whose widget went with its owner no longer exists either.
    return object && !object->destroyed && object->widget ? object : nullptr;
}

HWND Handle_Of(const QWidget* w) {
    return w ? w->property("kdx_hwnd").toInt() : 0;
}

bool On_Ui_Thread() {
    return qApp && QThread::currentThread() == qApp->thread();
}

std::shared_ptr<Window_Object> New_Window(Type type, QWidget* widget) {
    auto object = std::make_shared<Window_Object>();
    object->type = type;
    object->widget = widget;
    HWND h = platform::Handle_Insert(object);
    widget->setProperty("kdx_hwnd", h);
    return object;
}

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

void Frame_Widget::closeEvent(QCloseEvent* event) {
    if (closing_for_real) return QMainWindow::closeEvent(event);
    event->ignore();
    Dispatch(hwnd, WM_CLOSE, 0, 0);
}

void Frame_Widget::paintEvent(QPaintEvent* event) {
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

void Dialog_Widget::closeEvent(QCloseEvent* event) {
    event->ignore();
    Dispatch(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void Dialog_Widget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (hwnd)
        Dispatch(hwnd, WM_SIZE, 0,
                 LPARAM(uint32_t(width()) & 0xFFFF) | LPARAM(uint32_t(height()) & 0xFFFF) << 16);
}

void Sub_Window::Fill() {
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

QSize Sub_Window::Content_Size() const {
    auto* client = widget()->findChild<QWidget*>(QStringLiteral("client"));
    if (!client) return QSize();
    QRect r = client->childrenRect();
    QPoint corner = client->mapTo(widget(), r.bottomRight());
    int margin = Dlu_To_Px_X(4);
    return QSize(corner.x() + margin, corner.y() + margin);
}

bool Sub_Window::eventFilter(QObject* object, QEvent* event) {
    if (event->type() == QEvent::Resize && mdiArea() && object == mdiArea()->viewport()) Fill();
    return QMdiSubWindow::eventFilter(object, event);
}

void Sub_Window::closeEvent(QCloseEvent* event) {
    if (!Find(dialog)) return QMdiSubWindow::closeEvent(event);
    event->ignore();
    Dispatch(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool Qt_Backend::Invalidate_Rect(HWND window, bool) {
    auto o = Find(window);
    if (!o || !o->widget) return false;
    o->widget->update();
    return true;
}

bool Qt_Backend::Update_Window(HWND window) {
    auto o = Find(window);
    if (!o || !o->widget || !On_Ui_Thread()) return false;
    for (auto* e : o->widget->findChildren<QPlainTextEdit*>())
        if (auto* r = dynamic_cast<Rich_Edit*>(e)) r->Flush();
    if (o->widget->isVisible()) o->widget->repaint();
    return true;
}

HWND Qt_Backend::Create_Frame(const std::string& caption, int32_t width, int32_t height,
                              Window_Proc proc) {
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

namespace {

// Scrolls the area so that w (a control inside it) is within its view, with a little room.
void Show_In_Area(QMdiArea* area, QWidget* w) {
    QWidget* view = area->viewport();
    if (!w || !view->isAncestorOf(w)) return;
    const QRect r(w->mapTo(view, QPoint(0, 0)), w->size());
    const QRect shown = view->rect();
    constexpr int Room = 6;
    auto follow = [](QScrollBar* bar, int lo, int hi, int shown_lo, int shown_hi) {
        if (!bar) return;
        int by = 0;
        if (lo < shown_lo || hi - lo > shown_hi - shown_lo)
            by = lo - shown_lo - Room;  // too big to show whole: its start
        else if (hi > shown_hi)
            by = hi - shown_hi + Room;
        if (by != 0) bar->setValue(bar->value() + by);
    };
    follow(area->verticalScrollBar(), r.top(), r.bottom(), shown.top(), shown.bottom());
    follow(area->horizontalScrollBar(), r.left(), r.right(), shown.left(), shown.right());
}

}  // namespace

HWND Qt_Backend::Create_Mdi_Client(HWND frame) {
    auto f = Find(frame);
    auto* main = f ? dynamic_cast<QMainWindow*>(f->widget.data()) : nullptr;
    if (!main) return 0;
    auto* area = new QMdiArea;
    area->setFrameShape(QFrame::StyledPanel);
    area->setFrameShadow(QFrame::Sunken);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    main->setCentralWidget(area);
    // On a small screen the area scrolls: the control that takes the focus (Tab, a mnemonic)
    // is brought into view, as a dialog never leaves its focus off the screen.
    QObject::connect(qApp, &QApplication::focusChanged, area,
                     [area](QWidget*, QWidget* now) { Show_In_Area(area, now); });
    auto o = New_Window(Type::Mdi_Client, area);
    f->children.push_back(Handle_Of(area));
    return Handle_Of(area);
}

HWND Qt_Backend::Create_Dialog(const Dialog_Template& t, HWND parent) {
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
    Install_Tab_Navigator();
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

bool Qt_Backend::Set_Dialog_Proc(HWND dialog, Dialog_Proc proc) {
    auto d = Find(dialog);
    if (!d) return false;
    bool first = d->dialog_proc == nullptr;
    d->dialog_proc = proc;
    if (first && proc) proc(dialog, WM_INITDIALOG, 0, 0);
    return true;
}

bool Qt_Backend::Set_Parent(HWND child, HWND parent) {
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
        if (c->style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
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

bool Qt_Backend::Show_Window(HWND window, int32_t command) {
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

bool Qt_Backend::Set_Status(HWND frame, const std::string& text, int64_t done, int64_t total) {
    auto o = Find(frame);
    auto* main = o ? dynamic_cast<QMainWindow*>(o->widget.data()) : nullptr;
    if (!main) return false;
    auto* label = main->findChild<QLabel*>(QStringLiteral("status_text"));
    auto* bar = main->findChild<QProgressBar*>(QStringLiteral("status_bar"));
    if (!label || !bar) return false;
    label->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
    // Whole beside the pointer too, should a narrow frame cut it.
    label->setToolTip(label->text().toHtmlEscaped());
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

void Qt_Backend::Tone(QLabel* label, Status_Tone tone) {
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

QLabel* Qt_Backend::Status_Label(HWND frame, const char* name) {
    auto o = Find(frame);
    auto* main = o ? dynamic_cast<QMainWindow*>(o->widget.data()) : nullptr;
    return main ? main->findChild<QLabel*>(QLatin1String(name)) : nullptr;
}

bool Qt_Backend::Set_Status_Tone(HWND frame, Status_Tone tone) {
    QLabel* label = Status_Label(frame, "status_text");
    if (!label) return false;
    Tone(label, tone);
    return true;
}

bool Qt_Backend::Set_Status_Port(HWND frame, const std::string& text) {
    QLabel* label = Status_Label(frame, "status_port");
    if (!label) return false;
    QString t = QString::fromLatin1(text.data(), qsizetype(text.size()));
    if (label->text() != t) label->setText(t);
    return true;
}

bool Qt_Backend::Get_Open_File_Name(OPENFILENAME& record) {
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
    // Named filters ("Program files (*.kdx *.KDX);;All files (*)") as given, the first one
    // chosen; a bare pattern is every file's ("*.*": with or without a dot in the name).
    QString filter = QString::fromLatin1(record.Filter.c_str());
    if (filter.contains(QChar('('))) {
        dialog->setNameFilters(filter.split(QStringLiteral(";;"), Qt::SkipEmptyParts));
    } else {
        if (filter.isEmpty() || filter == QStringLiteral("*.*")) filter = QStringLiteral("*");
        dialog->setNameFilter(QStringLiteral("All files (%1)").arg(filter));
    }
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

bool Qt_Backend::End_Modal_Dialogs() {
    bool any = false;
    for (auto& d : modal_dialogs)
        if (d) {
            d->reject();
            any = true;
        }
    return any;
}

bool Qt_Backend::Is_Window(HWND window) {
    return Find(window) != nullptr;
}

bool Qt_Backend::Is_Window_Visible(HWND window) {
    auto o = Find(window);
    return o && o->widget && o->widget->isVisible();
}

bool Qt_Backend::Is_Window_Enabled(HWND window) {
    auto o = Find(window);
    return o && o->widget && !o->own_disabled;
}

bool Qt_Backend::Set_Focus(HWND window) {
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

bool Qt_Backend::Destroy_Window(HWND window) {
    if (!Find(window)) return false;
    Destroy(window);
    return true;
}

HWND Qt_Backend::Create_Tooltip(HWND parent, uint32_t) {
    auto p = Find(parent);
    auto* w = new QWidget(p ? p->widget.data() : nullptr);
    w->hide();
    auto o = New_Window(Type::Tooltip, w);
    return Handle_Of(w);
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
    qt::Install_Menu_Key_Style();
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
    qt::Drop_Posted();
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
