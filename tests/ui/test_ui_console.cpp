// The "Debug Console" window: the trace's text in its colours, and the pause that takes its
// key from any window of the program while the windows go on working.
#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <thread>

#include "platform/os/system.h"
#include "tests/ui/ui_fixture.h"
#include "trace/trace.h"

namespace kdx::test {
namespace {

QPlainTextEdit* Console() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle() == QStringLiteral("Debug Console"))
            return qobject_cast<QPlainTextEdit*>(w);
    return nullptr;
}

void Press_Later(QWidget* target, int key, int ms) {
    QTimer::singleShot(ms, target, [target, key] {
        QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    });
}

TEST_F(Ui_Test, TheConsoleWindowShowsTheTraceAndItsPauseTakesKeysFromAnyWindow) {
    Temp_Dir folder;
    std::string here = platform::Current_Directory();
    platform::Set_Current_Directory(folder.path());
    unsetenv("KDX_CONSOLE");
    ASSERT_NE(ErrCheck_Debug(1), 0);
    QPlainTextEdit* console = Console();
    ASSERT_NE(console, nullptr);
    EXPECT_FALSE(console->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(console->palette().color(QPalette::Base), QColor(Qt::black));
    ErrCheck_Comment("%IDM_Terminal");
    QTextCursor c(console->document());
    c.setPosition(console->toPlainText().indexOf(QStringLiteral("%IDM_Terminal")) + 1);
    EXPECT_EQ(c.charFormat().foreground().color(), QColor(0, 128, 0));  // attribute 2

    // On the interface thread: a key pressed in the frame ends the pause; the timer that
    // presses it runs while the pause waits, so the windows are not blocked.
    int32_t unused = 0;
    Mdi_Parent_Create(unused);
    QWidget* frame = Widget(win::Frame_Window);
    Press_Later(frame, Qt::Key_Space, 100);
    ErrCheck_WaitKey();
    int prompts = console->toPlainText().count(QStringLiteral("Press any Key"));
    EXPECT_EQ(prompts, 1);
    // F9 switches auto-debug on: the next pause neither prompts nor waits.
    Press_Later(frame, Qt::Key_F9, 50);
    ErrCheck_WaitKey();
    ErrCheck_WaitKey();
    win::Process_Events(20);
    EXPECT_EQ(console->toPlainText().count(QStringLiteral("Press any Key")), prompts + 1);
    // From another thread the key still comes from the interface thread's windows.
    // With auto-debug on, a pause only looks once: F9 pressed by then switches it off again.
    QCoreApplication::postEvent(frame, new QKeyEvent(QEvent::KeyPress, Qt::Key_F9, Qt::NoModifier));
    ErrCheck_WaitKey();
    std::atomic<bool> returned{false};
    std::thread worker([&returned] {
        ErrCheck_WaitKey();
        returned = true;
    });
    win::Process_Events(100);
    EXPECT_FALSE(returned.load());
    QCoreApplication::postEvent(frame, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier));
    for (int i = 0; i < 100 && !returned.load(); ++i) win::Process_Events(10);
    worker.join();
    EXPECT_TRUE(returned.load());
    ErrCheck_Debug(0);
    win::Process_Events(20);
    EXPECT_EQ(Console(), nullptr);
    platform::Set_Current_Directory(here);
}

}  // namespace
}  // namespace kdx::test
