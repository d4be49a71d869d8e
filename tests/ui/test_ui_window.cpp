// The window layer's promises the procedures rely on: messages posted from other threads
// arrive on the user-interface thread in order, and the rich edit keeps the newest traffic.
#include <QBackingStore>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "serial/echo.h"
#include "tests/ui/ui_fixture.h"

namespace kdx::test {
namespace {

std::vector<uint64_t> received;
std::thread::id receiver_thread;
bool wrong_thread = false;

int64_t Recording_Proc(HWND, uint32_t message, WPARAM wparam, LPARAM) {
    if (message != win::WM_USER + 7) return 0;
    received.push_back(wparam);
    if (std::this_thread::get_id() != receiver_thread) wrong_thread = true;
    return 1;
}

TEST_F(Ui_Test, MessagesPostedFromOtherThreadsArriveInOrderOnTheInterfaceThread) {
    HWND dialog = win::Create_Dialog({"Posts", 100, 50}, 0);
    win::Set_Dialog_Proc(dialog, &Recording_Proc);
    received.clear();
    receiver_thread = std::this_thread::get_id();
    constexpr uint64_t Count = 5000;
    std::thread poster([dialog] {
        for (uint64_t i = 0; i < Count; ++i) win::Post_Message(dialog, win::WM_USER + 7, i);
    });
    for (int i = 0; i < 200 && received.size() < Count; ++i) win::Process_Events(10);
    poster.join();
    win::Process_Events(10);
    ASSERT_EQ(received.size(), Count);
    for (uint64_t i = 0; i < Count; ++i) ASSERT_EQ(received[i], i);
    EXPECT_FALSE(wrong_thread);
    // The quit message ends the loop with its code, even posted before the loop runs.
    win::Post_Quit_Message(7);
    EXPECT_EQ(win::Message_Loop(), 7);
    win::Destroy_Window(dialog);
}

int64_t Ticks_Proc(HWND, uint32_t message, WPARAM wparam, LPARAM) {
    if (message == win::WM_TIMER) received.push_back(wparam);
    return 0;
}

// The window's timer: WM_TIMER with its id on this thread, again and again, until killed or
// its window goes; a held pause holds it back like a posted message.
TEST_F(Ui_Test, ATimerTicksItsWindowWithItsIdUntilKilledOrTheWindowGoes) {
    HWND dialog = win::Create_Dialog({"Ticks", 100, 50}, 0);
    win::Set_Dialog_Proc(dialog, &Ticks_Proc);
    received.clear();
    auto wait_for = [](size_t count) {
        for (int i = 0; i < 2000 && received.size() < count; ++i) win::Process_Events(5);
        return received.size() >= count;
    };
    ASSERT_TRUE(win::Set_Timer(dialog, 3, 5));
    ASSERT_TRUE(win::Set_Timer(dialog, 4, 5));
    ASSERT_TRUE(wait_for(6));
    EXPECT_NE(std::count(received.begin(), received.end(), 3u), 0);
    EXPECT_NE(std::count(received.begin(), received.end(), 4u), 0);
    ASSERT_TRUE(win::Kill_Timer(dialog, 3));
    EXPECT_FALSE(win::Kill_Timer(dialog, 3));
    received.clear();
    ASSERT_TRUE(wait_for(3));
    EXPECT_EQ(std::count(received.begin(), received.end(), 3u), 0);
    // Its window destroyed, the other timer goes with it.
    win::Destroy_Window(dialog);
    received.clear();
    win::Process_Events(100);  // twenty periods: no tick comes, however slow the machine
    EXPECT_TRUE(received.empty());
    EXPECT_FALSE(win::Set_Timer(dialog, 5, 5));
}

TEST_F(Ui_Test, AtItsLimitTheRichEditDropsTheOldestTextAndShowsTheNewest) {
    Serial_Terminal_Create();
    HWND edit = win::Get_Dlg_Item(win::Terminal_Dialog, Rich_Edit_Received);
    Widget(win::Terminal_Dialog)->show();
    // 200 lines of 1000 characters: 200 000 characters into a 131 070 character window.
    for (int i = 0; i < 200; ++i) {
        char head[16];
        std::snprintf(head, sizeof head, "L%03d", i);
        Rich_Edit_Send(edit, Echo_Received_Document(head + std::string(995, 'x') + "\r"));
        if (i % 50 == 0) win::Process_Events(1);
    }
    win::Update_Window(win::Terminal_Dialog);
    auto* widget = qobject_cast<QPlainTextEdit*>(Widget(edit));
    QString text = widget->toPlainText();
    EXPECT_EQ(win::Send_Message(edit, win::WM_GETTEXTLENGTH) >= 131000, true);
    EXPECT_LE(text.size(), 131070);
    EXPECT_TRUE(text.contains(QStringLiteral("L199")));   // the newest is there
    EXPECT_FALSE(text.contains(QStringLiteral("L000")));  // the oldest went
    EXPECT_TRUE(text.startsWith(QStringLiteral("L")));    // as whole lines
    // The view follows the newest text.
    EXPECT_EQ(widget->verticalScrollBar()->value(), widget->verticalScrollBar()->maximum());
    // New text still arrives once full.
    Rich_Edit_Send(edit, Echo_Received_Document("LAST\r"));
    win::Update_Window(win::Terminal_Dialog);
    EXPECT_TRUE(widget->toPlainText().endsWith(QStringLiteral("LAST\n")));
}

TEST_F(Ui_Test, EchoesFromAnotherThreadReachTheRichEditsInOrderAndInTheirColours) {
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    win::Terminal_Dialog = Serial_Terminal_Create();
    Echo_Window_Install();
    std::thread poller([] {
        for (int i = 0; i < 300; ++i) Serial_Port_Echo_Received(std::to_string(i) + ",");
    });
    Serial_Port_Echo_Sent("F,\r");
    Serial_Port_Echo_Status("COM5 Open\r");
    poller.join();
    win::Process_Events(50);
    Echo_Window_Remove();
    std::string shown = win::Get_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Received);
    std::string want;
    for (int i = 0; i < 300; ++i) want += std::to_string(i);  // commas separate, unshown
    EXPECT_EQ(shown, want);
    EXPECT_EQ(win::Get_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Sent), "F,\r\nCOM5 Open\r\n");
    auto* sent = qobject_cast<QPlainTextEdit*>(
        Widget(win::Get_Dlg_Item(win::Terminal_Dialog, Rich_Edit_Sent)));
    QTextCursor c(sent->document());
    c.setPosition(1);
    EXPECT_EQ(c.charFormat().foreground().color(), QColor(0, 200, 255));
    c.setPosition(5);
    EXPECT_EQ(c.charFormat().foreground().color(), QColor(0, 128, 0));
}

// A stream's pieces are taken once a tick, and the first after a quiet tick goes at once:
// whatever the gaps between pieces (within a tick, across one, long enough for the tick to
// stop), every piece reaches the screen, in order, with nothing else to bring it.
TEST_F(Ui_Test, EveryPieceOfAStreamShowsWhateverTheGapsBetweenThem) {
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    win::Terminal_Dialog = Serial_Terminal_Create();
    Widget(win::Terminal_Dialog)->show();
    auto* view = qobject_cast<QPlainTextEdit*>(
        Widget(win::Get_Dlg_Item(win::Terminal_Dialog, Rich_Edit_Received)));
    Echo_Window_Install();
    const std::vector<int> gaps_ms = {0, 0, 1, 45, 0, 90, 3, 0, 41, 120, 0, 2, 39, 80, 0, 0};
    std::atomic<int> shown{-1};
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        for (int i = 0; i < int(gaps_ms.size()) * 3 && !stop; ++i) {
            while (shown.load() < i - 1 && !stop) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(gaps_ms[i % gaps_ms.size()]));
            Serial_Port_Echo_Received("p" + std::to_string(i) + ",");
        }
    });
    QString want;
    for (int i = 0; i < int(gaps_ms.size()) * 3; ++i) {
        want += QStringLiteral("p%1").arg(i);
        // The document itself, not the control's text (reading that would insert what waits).
        for (int t = 0; t < 10000 && view->document()->toPlainText() != want; ++t)
            win::Process_Events(1);
        if (view->document()->toPlainText() != want) {
            stop = true;
            ADD_FAILURE() << "piece " << i << " never showed; the view holds "
                          << view->document()->toPlainText().toStdString();
            break;
        }
        shown.store(i);
    }
    poller.join();
    Echo_Window_Remove();
}

// Unseen, the rich edit does no work for the traffic: the text waits (and reads back) but is
// not laid out until the control shows; shown, text after a quiet frame goes in on the next
// pass of the event loop.
TEST_F(Ui_Test, AHiddenRichEditLaysOutNothingUntilItShows) {
    HWND dialog = Serial_Terminal_Create();
    HWND edit = win::Get_Dlg_Item(dialog, Rich_Edit_Received);
    auto* widget = qobject_cast<QPlainTextEdit*>(Widget(edit));
    int changes = 0;
    QObject::connect(widget->document(), &QTextDocument::contentsChange,
                     [&](int, int, int added) { changes += added > 0; });
    Rich_Edit_Send(edit, Echo_Received_Document("first\r"));
    Rich_Edit_Send(edit, Echo_Received_Document("second\r"));
    win::Process_Events(100);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(widget->document()->isEmpty());
    Widget(dialog)->show();
    for (int i = 0; i < 500 && changes == 0; ++i) win::Process_Events(1);
    EXPECT_EQ(changes, 1);  // both in one insertion
    EXPECT_EQ(widget->toPlainText(), QStringLiteral("first\nsecond\n"));
    win::Destroy_Window(dialog);
}

// What a following rich edit shows after frames of traffic (its old pixels moved, only the
// new lines painted, the oldest text cut at the limit) is what a full paint of the same text
// shows: nothing stale, shifted or cut off.
TEST_F(Ui_Test, AFollowingRichEditShowsWhatAFullPaintOfItsTextShows) {
    Serial_Terminal_Create();
    HWND edit = win::Get_Dlg_Item(win::Terminal_Dialog, Rich_Edit_Received);
    win::Send_Message(edit, win::EM_LIMITTEXT, 1500, 0);
    Widget(win::Terminal_Dialog)->show();
    auto* widget = qobject_cast<QPlainTextEdit*>(Widget(edit));
    QWidget* view = widget->viewport();
    // The whole view on the screen (the dialog's own size cuts its bottom off here).
    QWidget* top = view->window();
    top->resize(top->width(), view->mapTo(top, QPoint()).y() + view->height() + 10);
    QString sent;
    auto frame = [&](const std::string& text) {
        Rich_Edit_Send(edit, Echo_Received_Document(text));
        sent += QString::fromLatin1(text.c_str()).replace(QChar('\r'), QChar('\n'));
        QString want = sent.right(40);
        for (int i = 0; i < 500 && !widget->document()->toPlainText().endsWith(want); ++i)
            win::Process_Events(1);
        ASSERT_TRUE(widget->document()->toPlainText().endsWith(want));
        // The paint follows at the window's next update: wait for the screen to match, which
        // stale or misplaced pixels never do (nothing else repaints the view here).
        auto* screen = dynamic_cast<QImage*>(view->window()->backingStore()->paintDevice());
        ASSERT_NE(screen, nullptr);
        const QRect area(view->mapTo(view->window(), QPoint()), view->size());
        ASSERT_TRUE(screen->rect().contains(area));
        auto shown = [&] { return screen->copy(area).convertToFormat(QImage::Format_RGB32); };
        const QImage fresh = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
        for (int i = 0; i < 200 && shown() != fresh; ++i) win::Process_Events(5);
        EXPECT_TRUE(shown() == fresh) << "after " << text;
    };
    std::string lines;
    for (int i = 0; i < 40; ++i) lines += "line " + std::to_string(i) + " of the first screen\r";
    frame(lines);
    ASSERT_GT(widget->verticalScrollBar()->maximum(), 0);
    // Pieces that end a line, go on with the last one, bring several lines, and reach the
    // limit (the oldest lines go while the newest come).
    for (const std::string& piece : std::vector<std::string>{
             "abc", "def\r", "ghi", "jkl\rmno\rpqr", "\r", "stu vwx yz\r0123456789", "\r\r\r",
             std::string(120, 'w') + "\r", "tail", " end\r"})
        frame(piece);
    EXPECT_LT(widget->document()->characterCount(), 1502);
}

}  // namespace
}  // namespace kdx::test
