// The "Debug Console" window: the trace console as a window of the program. Text may come
// from any thread; it is shown on the user-interface thread in the order written. A pause
// takes its keys from every window of the program.
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/console/console.h"
#include "platform/window/qt_internal.h"

namespace kdx::win::qt {

namespace {

// The 16 colours of a console's text attributes.
const QColor Palette[16] = {
    QColor(0, 0, 0),       QColor(0, 0, 128),   QColor(0, 128, 0),   QColor(0, 128, 128),
    QColor(128, 0, 0),     QColor(128, 0, 128), QColor(128, 128, 0), QColor(192, 192, 192),
    QColor(128, 128, 128), QColor(0, 0, 255),   QColor(0, 255, 0),   QColor(0, 255, 255),
    QColor(255, 0, 0),     QColor(255, 0, 255), QColor(255, 255, 0), QColor(255, 255, 255),
};

// Scroll-back: the screen buffer's rows, but never more than this.
constexpr int Max_Rows = 20000;

class Console_Widget final : public QPlainTextEdit {
  public:
    Console_Widget() {
        setReadOnly(true);
        setUndoRedoEnabled(false);
        setLineWrapMode(QPlainTextEdit::NoWrap);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(9);
        setFont(font);
        QPalette p = palette();
        p.setColor(QPalette::Base, Qt::black);
        p.setColor(QPalette::Text, Palette[7]);
        setPalette(p);
        setMaximumBlockCount(Max_Rows);
        setWindowTitle(QStringLiteral("Debug Console"));
        resize(QFontMetrics(font).horizontalAdvance(QChar('M')) * 100 + 30,
               QFontMetrics(font).lineSpacing() * 30 + 10);
    }
    bool closable = true;

  protected:
    void closeEvent(QCloseEvent* event) override {
        if (!closable) event->ignore();
    }
};

int32_t Virtual_Key(const QKeyEvent* e) {
    int k = e->key();
    switch (k) {
        case Qt::Key_Backspace:
            return platform::VK_BACK;
        case Qt::Key_Tab:
            return platform::VK_TAB;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return platform::VK_RETURN;
        case Qt::Key_Escape:
            return platform::VK_ESCAPE;
        case Qt::Key_Space:
            return platform::VK_SPACE;
        case Qt::Key_End:
            return platform::VK_END;
        case Qt::Key_Home:
            return platform::VK_HOME;
        case Qt::Key_Left:
            return platform::VK_LEFT;
        case Qt::Key_Up:
            return platform::VK_UP;
        case Qt::Key_Right:
            return platform::VK_RIGHT;
        case Qt::Key_Down:
            return platform::VK_DOWN;
        case Qt::Key_Insert:
            return platform::VK_INSERT;
        case Qt::Key_Delete:
            return platform::VK_DELETE;
        default:
            break;
    }
    if (k >= Qt::Key_F1 && k <= Qt::Key_F24) return platform::VK_F1 + (k - Qt::Key_F1);
    if ((k >= Qt::Key_0 && k <= Qt::Key_9) || (k >= Qt::Key_A && k <= Qt::Key_Z)) return k;
    return platform::VK_OTHER;
}

// Keys during a pause, from whichever window has the focus.
struct Keys {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<int32_t> queue;
    int pausing = 0;
    QPointer<QEventLoop> loop;
};
Keys& The_Keys() {
    static Keys keys;
    return keys;
}

class Key_Filter final : public QObject {
  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        Keys& k = The_Keys();
        {
            std::lock_guard<std::mutex> g(k.lock);
            if (k.pausing == 0) return QObject::eventFilter(object, event);
        }
        switch (event->type()) {
            case QEvent::KeyPress: {
                auto* key = static_cast<QKeyEvent*>(event);
                if (key->isAutoRepeat()) return true;
                int32_t vk = Virtual_Key(key);
                if (vk == 0 || key->key() == Qt::Key_Shift || key->key() == Qt::Key_Control ||
                    key->key() == Qt::Key_Alt || key->key() == Qt::Key_Meta)
                    return true;
                {
                    std::lock_guard<std::mutex> g(k.lock);
                    k.queue.push_back(vk);
                }
                k.arrived.notify_all();
                if (k.loop) k.loop->quit();
                return true;
            }
            // Nothing else reaches the windows during a pause: no procedure may run in it.
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
                return true;
            default:
                return QObject::eventFilter(object, event);
        }
    }
};
Key_Filter* key_filter = nullptr;

bool On_Ui() {
    return qApp && QThread::currentThread() == qApp->thread();
}

// Runs f on the user-interface thread (now when called there).
template <class F>
void On_Ui_Thread(F&& f, bool wait) {
    if (On_Ui()) return f();
    if (!qApp) return;
    QMetaObject::invokeMethod(qApp, std::forward<F>(f),
                              wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

// What a write queues for the window; shared with the queued flushes, which may run after
// the device is gone.
struct Console_State {
    std::mutex lock;
    std::deque<std::pair<std::string, int32_t>> pending;
    bool flush_scheduled = false;
    QPointer<Console_Widget> widget;
};

void Flush_State(Console_State& s) {
    std::deque<std::pair<std::string, int32_t>> pieces;
    {
        std::lock_guard<std::mutex> g(s.lock);
        pieces.swap(s.pending);
        s.flush_scheduled = false;
    }
    Console_Widget* w = s.widget;
    if (!w || pieces.empty()) return;
    QScrollBar* bar = w->verticalScrollBar();
    bool follow = bar->value() >= bar->maximum() - 1;
    QTextCursor cursor(w->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (auto& [text, attribute] : pieces) {
        QTextCharFormat format;
        format.setForeground(Palette[attribute & 0xF]);
        if (attribute & 0xF0) format.setBackground(Palette[(attribute >> 4) & 0xF]);
        QString t = QString::fromLatin1(text.data(), qsizetype(text.size()));
        t.remove(QChar('\r'));
        cursor.insertText(t, format);
    }
    cursor.endEditBlock();
    if (follow) bar->setValue(bar->maximum());
}

class Window_Console final : public platform::Console_Device {
  public:
    Window_Console() {
        On_Ui_Thread(
            [this] {
                widget_ = new Console_Widget;
                widget_->setObjectName(QStringLiteral("kdx_debug_console"));
                widget_->show();
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (qobject_cast<QMainWindow*>(w) && w->isVisible()) Place_Console_Beside(w);
            },
            true);
    }
    ~Window_Console() override {
        QPointer<Console_Widget> w = widget_;
        On_Ui_Thread(
            [w] {
                if (w) {
                    w->hide();
                    w->deleteLater();
                }
            },
            false);
    }
    void Write(std::string_view text, int32_t attribute) override {
        bool schedule;
        {
            std::lock_guard<std::mutex> g(state_->lock);
            state_->pending.push_back({std::string(text), attribute});
            schedule = !state_->flush_scheduled;
            state_->flush_scheduled = true;
        }
        if (On_Ui()) return Flush();
        if (schedule) {
            auto state = state_;
            QMetaObject::invokeMethod(
                qApp, [state] { Flush_State(*state); }, Qt::QueuedConnection);
        }
    }
    void Set_Title(const std::string& title) override {
        QPointer<Console_Widget> w = widget_;
        QString t = QString::fromLatin1(title.c_str());
        On_Ui_Thread(
            [w, t] {
                if (w) w->setWindowTitle(t);
            },
            false);
    }
    void Size_Buffer() override {
        QPointer<Console_Widget> w = widget_;
        On_Ui_Thread(
            [w] {
                if (!w) return;
                QScreen* s = QGuiApplication::primaryScreen();
                int rows = s ? s->geometry().height() - 1 : Max_Rows;
                w->setMaximumBlockCount(std::clamp(rows, 100, Max_Rows));
            },
            false);
    }
    void Disable_Close() override {
        QPointer<Console_Widget> w = widget_;
        On_Ui_Thread(
            [w] {
                if (!w) return;
                w->closable = false;
                w->setWindowFlags((w->windowFlags() | Qt::CustomizeWindowHint |
                                   Qt::WindowTitleHint | Qt::WindowMinMaxButtonsHint) &
                                  ~Qt::WindowCloseButtonHint);
                w->show();
            },
            false);
    }
    bool Has_Keyboard() override { return qApp != nullptr; }
    bool Begin_Keys() override {
        Keys& k = The_Keys();
        std::lock_guard<std::mutex> g(k.lock);
        if (k.pausing++ == 0) k.queue.clear();
        if (On_Ui()) Hold_Posted(true);
        return true;
    }
    bool End_Keys() override {
        Keys& k = The_Keys();
        {
            std::lock_guard<std::mutex> g(k.lock);
            if (k.pausing > 0) --k.pausing;
        }
        if (On_Ui()) Hold_Posted(false);
        return true;
    }
    int32_t Poll_Key(uint32_t timeout_ms) override {
        Keys& k = The_Keys();
        auto take = [&k]() -> int32_t {
            if (k.queue.empty()) return 0;
            int32_t key = k.queue.front();
            k.queue.pop_front();
            return key;
        };
        if (On_Ui()) {
            {
                std::lock_guard<std::mutex> g(k.lock);
                if (int32_t key = take()) return key;
            }
            Flush();
            // The windows go on painting while the pause waits for a key.
            QEventLoop loop;
            if (timeout_ms > 0) {
                k.loop = &loop;
                QTimer::singleShot(int(timeout_ms), &loop, &QEventLoop::quit);
                loop.exec();
                k.loop = nullptr;
            } else {
                QCoreApplication::processEvents();
            }
            std::lock_guard<std::mutex> g(k.lock);
            return take();
        }
        std::unique_lock<std::mutex> g(k.lock);
        k.arrived.wait_for(g, std::chrono::milliseconds(timeout_ms),
                           [&k] { return !k.queue.empty(); });
        return take();
    }

    void Flush() { Flush_State(*state_); }

  private:
    std::shared_ptr<Console_State> state_ = std::make_shared<Console_State>();
    QPointer<Console_Widget>& widget_ = state_->widget;
};

}  // namespace

void Place_Console_Beside(QWidget* frame) {
    QWidget* console = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("kdx_debug_console") && w->isVisible()) console = w;
    if (!console || !frame) return;
    QScreen* screen = frame->screen() ? frame->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect area = screen->availableGeometry();
    QRect outer = frame->frameGeometry();
    QSize decoration = console->frameGeometry().size() - console->size();
    QSize size = console->frameGeometry().size();
    QPoint at;
    if (area.right() - outer.right() >= size.width()) {
        at = QPoint(outer.right() + 1, outer.top());  // beside it, on the right
    } else if (outer.left() - area.left() >= size.width()) {
        at = QPoint(outer.left() - size.width(), outer.top());  // on the left
    } else {
        // Over its lower right, below the menu bar, so every menu stays in reach.
        auto* main = qobject_cast<QMainWindow*>(frame);
        int below = outer.top() + (frame->geometry().top() - outer.top());
        if (main && main->menuWidget())
            below = main->menuWidget()->mapToGlobal(QPoint(0, main->menuWidget()->height())).y();
        int room = area.bottom() + 1 - below;
        if (size.height() > room && room > decoration.height() + 60)
            console->resize(console->width(), room - decoration.height());
        size = console->size() + decoration;
        at = QPoint(std::max(area.left(), area.right() + 1 - size.width()),
                    std::max(below, area.bottom() + 1 - size.height()));
    }
    console->move(at);
    console->raise();
}

void Register_Window_Console() {
    if (!key_filter) {
        key_filter = new Key_Filter;
        qApp->installEventFilter(key_filter);
    }
    platform::Register_Console_Device("window", [] { return std::make_unique<Window_Console>(); });
}

void Unregister_Window_Console() {
    platform::Register_Console_Device("window", nullptr);
    if (key_filter && qApp) qApp->removeEventFilter(key_filter);
    delete key_filter;
    key_filter = nullptr;
}

}  // namespace kdx::win::qt
