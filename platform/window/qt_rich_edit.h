// The rich edit over Qt: plain-text widget with coloured runs, fed with the echo's RTF
// subset, trimmed from the front at its text limit, following the newest text, updated at
// most once a frame and not at all while nobody can see it.
#pragma once
#include <QColor>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <functional>
#include <string_view>
#include <vector>

namespace kdx::win::qt {

struct Rtf_Run {
    QString Text;
    QColor Colour;  // invalid: the control's current default colour
    bool Fixed = false;
};
// The runs of an RTF document of the echo's subset: colour table, font table, \cfN, \fN,
// \line and \par, escapes \\ \{ \} and \'hh (bytes in the Windows code page).
std::vector<Rtf_Run> Parse_Rtf(std::string_view rtf);

class Rich_Edit final : public QPlainTextEdit {
  public:
    explicit Rich_Edit(QWidget* parent);
    void Set_Limit(int32_t limit) { limit_ = limit > 0 ? limit : 0x7FFFFFFE; }
    int32_t Limit() const { return limit_; }
    void Set_Background(const QColor& colour);
    void Set_Default_Colour(const QColor& colour) { default_colour_ = colour; }
    // Queues runs for the end of the text. What waits goes in together, at the screen's rate:
    // on the next pass of the event loop after a quiet frame, else at the next frame, at most
    // Frame_Chars a frame (the rest at the next); while the control is hidden or its window
    // covered, when it shows again; all at once by Flush (a read, an UpdateWindow). Only the
    // newest limit's worth of what waits is kept.
    void Append(std::vector<Rtf_Run> runs);
    void Flush(int64_t most = -1);
    // Characters one frame inserts at most: laying out the whole limit at once would hold the
    // event loop for tens of milliseconds under a flood.
    static constexpr int64_t Frame_Chars = 32768;
    // How far past the limit's cut the front may go to drop whole lines: 4 KB, and at most a
    // quarter of a small limit.
    int32_t Cut_Slack() const { return std::min(4096, limit_ / 4); }
    // Characters waiting to go in (at most the limit).
    int64_t Waiting() const { return waiting_; }
    // Text as the control gives it: line breaks as CR LF.
    QString Text();
    void Set_Text(const QString& text);
    int32_t Length();
    // Where typed characters go (the control's window procedure chain).
    std::function<void(uint32_t)> On_Char;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Tab is a key for the controller here, never a move to the next control.
    bool focusNextPrevChild(bool) override { return false; }
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void Frame();
    void Schedule();
    bool Seen() const;
    // The state of the vertical scroll bar's picture: it repaints only when this changes.
    struct Bar_Look {
        QRect handle;
        bool at_top = false, at_bottom = false;
        bool operator==(const Bar_Look&) const = default;
    };
    Bar_Look Look() const;
    // The look for the bar's current range, value, page and size: worked out again (a style
    // query) only when one of them changed since the last time.
    Bar_Look Look_Now();
    struct Bar_State {
        int minimum = 0, maximum = -1, value = 0, page = 0;
        QSize size;
        bool visible = false;
        bool operator==(const Bar_State&) const = default;
    };
    Bar_State bar_state_;
    Bar_Look bar_look_;

    int32_t limit_ = 32767;
    QColor default_colour_ = Qt::black;
    QFont fixed_;
    std::deque<Rtf_Run> pending_;
    int64_t waiting_ = 0;   // characters in pending_
    bool replace_ = false;  // pending_ fills the control: its old text goes
    QTimer frame_;
    QElapsedTimer since_flush_;
    QPointer<QWindow> watched_;  // the top-level window whose exposure is watched
};

}  // namespace kdx::win::qt
