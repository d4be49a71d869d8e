// Messages and their dispatch: sent messages run the window's procedure (on the user-interface
// thread, waited for from any other), posted ones wait in order for that thread; the default
// handling of frames and dialogs; the notifications of the controls to their dialogs.
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <mutex>

#include "platform/os/error.h"
#include "platform/window/qt_backend.h"
#include "platform/window/qt_internal.h"

namespace kdx::win::qt {

namespace {

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

// Runs a window procedure (or a dialog's notification) for the toolkit: what escapes it is
// reported and the message answers 0, so Qt's event loop never meets an exception and the
// program carries on.
template <class Call>
LRESULT Guarded(Call&& call) {
    try {
        return call();
    } catch (const std::exception& e) {
        platform::Report_Caught_Error("the window dispatch", e);
    } catch (...) {
        platform::Report_Caught_Error("the window dispatch");
    }
    return 0;
}

}  // namespace

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

LRESULT Dispatch(HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    if (!qApp) return 0;
    auto here = [&] { return Dispatch_Here(h, message, wparam, lparam); };
    if (On_Ui_Thread()) return Guarded(here);
    LRESULT result = 0;
    QMetaObject::invokeMethod(
        qApp, [&] { result = Guarded(here); }, Qt::BlockingQueuedConnection);
    return result;
}

bool frame_closing = false;

void Notify(HWND control, uint32_t code) {
    if (frame_closing) return;
    auto o = Find(control);
    if (!o || o->dialog == 0) return;
    WPARAM wparam = MAKEWPARAM(uint16_t(o->id), uint16_t(code));
    Guarded([&] {
        int64_t r = o->callback ? o->callback(o->dialog, WM_COMMAND, wparam, control) : 0;
        if (r == 0) {
            auto d = Find(o->dialog);
            if (d && d->dialog_proc) d->dialog_proc(o->dialog, WM_COMMAND, wparam, control);
        }
        return LRESULT(0);
    });
}

void Drop_Posted() {
    std::lock_guard<std::mutex> g(post_lock);
    posted.clear();
}

void Hold_Posted(bool hold) {
    if (hold) {
        hold_posted.fetch_add(1);
    } else if (hold_posted.fetch_sub(1) == 1) {
        drain_scheduled.store(false);
        Schedule_Drain();
    }
}

int64_t Qt_Backend::Send_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) {
    return Dispatch(window, message, wparam, lparam);
}

bool Qt_Backend::Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) {
    {
        std::lock_guard<std::mutex> g(post_lock);
        posted.push_back(Posted{window, message, wparam, lparam});
    }
    Schedule_Drain();
    return true;
}

bool Qt_Backend::Set_Timer(HWND window, uint64_t id, uint32_t ms) {
    if (!qApp || !On_Ui_Thread()) return false;
    auto o = Find(window);
    if (!o || !o->widget) return false;
    QPointer<QTimer>& timer = o->timers[id];
    if (!timer) {
        timer = new QTimer(o->widget);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [window, id] {
            // A pause on this thread holds the tick back, as it holds posted messages.
            if (hold_posted.load() == 0) Dispatch(window, WM_TIMER, id, 0);
        });
    }
    timer->start(int(std::min<uint32_t>(ms, INT32_MAX)));
    return true;
}

bool Qt_Backend::Kill_Timer(HWND window, uint64_t id) {
    if (!On_Ui_Thread()) return false;
    auto o = Find(window);
    if (!o) return false;
    auto it = o->timers.find(id);
    if (it == o->timers.end()) return false;
    QPointer<QTimer> timer = it->second;
    o->timers.erase(it);
    if (!timer) return false;
    timer->stop();
    // The timer may be the one whose tick is running now.
    timer->deleteLater();
    return true;
}

LRESULT Qt_Backend::Def_Frame_Proc(HWND frame, HWND, uint32_t message, WPARAM wparam,
                                   LPARAM lparam) {
    return Top_Default(frame, message, wparam, lparam);
}

LRESULT Qt_Backend::Def_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    return Def_Proc(window, message, wparam, lparam);
}

void Qt_Backend::Pump_Messages(uint32_t ms) {
    if (!On_Ui_Thread()) return;
    if (ms == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void Qt_Backend::Post_Quit_Message(int32_t code) {
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

int32_t Qt_Backend::Message_Loop() {
    if (!qApp) return 0;
    if (quit_pending.exchange(false)) return quit_code.load();
    int code = QApplication::exec();
    quit_pending.store(false);
    return code;
}

}  // namespace kdx::win::qt
