#include "platform/window/qt_rich_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyleOptionSlider>
#include <QTextBlock>
#include <QTextCursor>
#include <QWindow>
#include <algorithm>
#include <cctype>
#include <cmath>

namespace kdx::win::qt {

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct Group {
    int colour = 0;
    bool fixed = false;
    enum class Table { None, Colours, Fonts } table = Table::None;
};

// A scroll bar that tells where its handle is drawn.
class Bar final : public QScrollBar {
  public:
    using QScrollBar::QScrollBar;
    QRect Handle() const {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider,
                                       this);
    }
};

}  // namespace

std::vector<Rtf_Run> Parse_Rtf(std::string_view rtf) {
    std::vector<Rtf_Run> runs;
    std::vector<QColor> colours{QColor()};  // entry 0: the default colour
    int red = 0, green = 0, blue = 0;
    bool fonts_fixed = false;  // the font table names a fixed-pitch font
    std::vector<Group> stack{Group{}};
    QByteArray text;
    auto flush = [&] {
        if (text.isEmpty()) return;
        const Group& g = stack.back();
        QColor colour =
            g.colour >= 0 && size_t(g.colour) < colours.size() ? colours[g.colour] : QColor();
        QString s = QString::fromLatin1(text);
        if (!runs.empty() && runs.back().Colour == colour && runs.back().Fixed == g.fixed)
            runs.back().Text += s;
        else
            runs.push_back(Rtf_Run{s, colour, g.fixed});
        text.clear();
    };
    auto put = [&](char c) {
        if (stack.back().table == Group::Table::None) text += c;
    };
    bool first_colour_entry = true;
    for (size_t i = 0; i < rtf.size(); ++i) {
        char c = rtf[i];
        if (c == '{') {
            flush();
            stack.push_back(stack.back());
            continue;
        }
        if (c == '}') {
            flush();
            if (stack.size() > 1) stack.pop_back();
            continue;
        }
        if (c == '\r' || c == '\n') continue;
        if (c != '\\') {
            if (stack.back().table == Group::Table::Colours && c == ';') {
                // The first entry (before the first ';') is the "auto" colour.
                if (first_colour_entry)
                    first_colour_entry = false;
                else
                    colours.push_back(QColor(red, green, blue));
                red = green = blue = 0;
                continue;
            }
            put(c);
            continue;
        }
        if (i + 1 >= rtf.size()) break;
        char n = rtf[i + 1];
        if (n == '\\' || n == '{' || n == '}') {
            put(n);
            ++i;
            continue;
        }
        if (n == '\'') {
            if (i + 3 < rtf.size() && Hex(rtf[i + 2]) >= 0 && Hex(rtf[i + 3]) >= 0)
                put(char(Hex(rtf[i + 2]) * 16 + Hex(rtf[i + 3])));
            i += 3;
            continue;
        }
        size_t j = i + 1;
        while (j < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[j]))) ++j;
        std::string_view word = rtf.substr(i + 1, j - i - 1);
        int value = 0;
        bool has_value = false;
        if (j < rtf.size() && (rtf[j] == '-' || std::isdigit(static_cast<unsigned char>(rtf[j])))) {
            bool negative = rtf[j] == '-';
            if (negative) ++j;
            while (j < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[j]))) {
                value = value * 10 + (rtf[j] - '0');
                ++j;
                has_value = true;
            }
            if (negative) value = -value;
        }
        if (j < rtf.size() && rtf[j] == ' ') ++j;
        i = j - 1;
        Group& g = stack.back();
        if (word == "colortbl") {
            g.table = Group::Table::Colours;
            first_colour_entry = true;
        } else if (word == "fonttbl") {
            g.table = Group::Table::Fonts;
        } else if (word == "fmodern" || word == "fprq") {
            if (word == "fmodern" || (has_value && value == 1)) fonts_fixed = true;
        } else if (word == "red") {
            red = value;
        } else if (word == "green") {
            green = value;
        } else if (word == "blue") {
            blue = value;
        } else if (word == "cf") {
            flush();
            g.colour = value;
        } else if (word == "f" && g.table == Group::Table::None) {
            flush();
            g.fixed = fonts_fixed;
        } else if ((word == "line" || word == "par") && g.table == Group::Table::None) {
            text += '\n';
        }
    }
    flush();
    // A document with a fixed-pitch font table shows its text in it (font 0 is the default).
    if (fonts_fixed)
        for (auto& r : runs) r.Fixed = true;
    return runs;
}

Rich_Edit::Rich_Edit(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBar(new Bar(Qt::Vertical, this));
    fixed_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed_.setPointSizeF(font().pointSizeF() > 0 ? font().pointSizeF() + 1 : 9);
    // Traffic is plain Latin-1: no shaping to do, and shaping each new line was a large part
    // of a frame under a fast stream.
    fixed_.setStyleStrategy(QFont::PreferNoShaping);
    frame_.setSingleShot(true);
    frame_.setTimerType(Qt::PreciseTimer);
    connect(&frame_, &QTimer::timeout, this, [this] { Frame(); });
}

void Rich_Edit::Set_Background(const QColor& colour) {
    QPalette p = palette();
    p.setColor(QPalette::Base, colour);
    p.setColor(QPalette::Window, colour);
    setPalette(p);
}

void Rich_Edit::Append(std::vector<Rtf_Run> runs) {
    for (auto& r : runs) {
        waiting_ += r.Text.size();
        pending_.push_back(std::move(r));
    }
    // Text that the limit would drop at once is not kept, let alone laid out: under a flood
    // only the newest limit's worth waits, and goes into an emptied control.
    if (waiting_ > limit_) {
        int64_t skip = waiting_ - limit_;
        // Whole lines, as at the control's front, when the next one starts near the cut.
        int64_t seen = 0;
        for (const Rtf_Run& r : pending_) {
            const qsizetype at =
                r.Text.indexOf(QChar('\n'), qsizetype(std::max<int64_t>(skip - seen, 0)));
            if (at >= 0) {
                const int64_t line = seen + at + 1;
                if (line - skip <= Cut_Slack() && line < waiting_) skip = line;
                break;
            }
            seen += r.Text.size();
            if (seen - skip > Cut_Slack()) break;
        }
        waiting_ -= skip;
        while (!pending_.empty() && skip >= pending_.front().Text.size()) {
            skip -= pending_.front().Text.size();
            pending_.pop_front();
        }
        if (!pending_.empty() && skip > 0) pending_.front().Text.remove(0, qsizetype(skip));
        replace_ = true;
    }
    Schedule();
}

void Rich_Edit::Schedule() {
    if (frame_.isActive()) return;
    // A frame at the screen's rate, at most 60 a second: each repaint of a following view
    // redraws the whole of it, so one per frame shows everything an eye could see.
    qreal hz = screen() ? screen()->refreshRate() : 60;
    double frame_ms = 1000 / std::clamp<qreal>(hz, 1, 60);
    // Text after a quiet frame goes in on the loop's next pass, so it shows at once; so does
    // text a frame's tick brings (it comes a frame after the last), rather than waking the loop
    // again a fraction of a millisecond later.
    double since = since_flush_.isValid() ? since_flush_.nsecsElapsed() / 1e6 : frame_ms;
    frame_.start(int(std::max(0.0, frame_ms - since) + 0.5));
}

// Whether anyone can see the control: shown, in a window that is on screen and not covered
// (the platform then says it is not exposed).
bool Rich_Edit::Seen() const {
    if (!isVisible()) return false;
    QWindow* top = window()->windowHandle();
    return top && top->isExposed();
}

void Rich_Edit::Frame() {
    // Unseen, the text waits (at most the limit) for the window to show again.
    if (!pending_.empty() && Seen()) Flush(Frame_Chars);
}

void Rich_Edit::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    QWindow* top = window()->windowHandle();
    if (top && top != watched_) {
        if (watched_) watched_->removeEventFilter(this);
        watched_ = top;
        top->installEventFilter(this);
    }
    if (!pending_.empty()) Schedule();
}

bool Rich_Edit::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watched_ && event->type() == QEvent::Expose && !pending_.empty()) Schedule();
    return QPlainTextEdit::eventFilter(watched, event);
}

Rich_Edit::Bar_Look Rich_Edit::Look() const {
    auto* bar = dynamic_cast<Bar*>(verticalScrollBar());
    if (!bar || !bar->isVisible()) return Bar_Look{};
    return Bar_Look{bar->Handle(), bar->value() <= bar->minimum(), bar->value() >= bar->maximum()};
}

Rich_Edit::Bar_Look Rich_Edit::Look_Now() {
    QScrollBar* bar = verticalScrollBar();
    Bar_State state{bar->minimum(),  bar->maximum(), bar->value(),
                    bar->pageStep(), bar->size(),    bar->isVisible()};
    if (state != bar_state_) {
        bar_state_ = state;
        bar_look_ = Look();
    }
    return bar_look_;
}

void Rich_Edit::Flush(int64_t most) {
    if (pending_.empty()) return;
    since_flush_.start();
    QScrollBar* bar = verticalScrollBar();
    bool follow = bar->value() >= bar->maximum() - 1;
    QTextDocument* doc = document();
    QWidget* view = viewport();
    // Text added at the bottom of a view that follows it moves what is shown up and adds
    // lines below: the view scrolls its pixels (a copy) and paints only from the last old
    // line down, and the scroll bar repaints only if its picture changed. Qt's own path
    // repaints the whole view at every insertion, and the bar's range change (queued to the
    // scroll area, which lays out its bars again) repaints both bars and the corner; at the
    // screen's rate that was most of the window's cost under traffic.
    const bool partial = follow && !replace_ && view->isVisible() && updatesEnabled() &&
                         view->updatesEnabled() && bar->updatesEnabled() && !doc->isEmpty();
    const int anchor_number = doc->blockCount() - 1;  // the last old line
    const int blocks_before = doc->blockCount();
    const QSize view_size = view->size();
    const int offset_x = contentOffset().toPoint().x();
    const bool had_range = bar->maximum() > bar->minimum();
    qreal anchor_top = 0;
    Bar_Look look;
    bool bar_blocked = false;
    if (partial) {
        anchor_top = blockBoundingGeometry(doc->lastBlock()).translated(contentOffset()).top();
        look = Look_Now();
        // Bypassed (Qt drops updates while they are off) and done below where it counts.
        for (QWidget* w : {static_cast<QWidget*>(this), view, static_cast<QWidget*>(bar)})
            w->setAttribute(Qt::WA_UpdatesDisabled);
        bar_blocked = bar->blockSignals(true);
    }
    if (replace_) doc->clear();
    replace_ = false;
    QTextCursor cursor(doc);
    // Inside the edit block the cursor does not lay out the last line to learn its x.
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    QFont plain = font();
    plain.setStyleStrategy(QFont::PreferNoShaping);
    QTextCharFormat formats[2];
    formats[0].setFont(plain);
    formats[1].setFont(fixed_);
    // Oldest first, so what a frame leaves still goes in after it.
    int64_t left = most < 0 ? waiting_ : std::min(most, waiting_);
    while (left > 0 && !pending_.empty()) {
        Rtf_Run& run = pending_.front();
        QTextCharFormat& format = formats[run.Fixed ? 1 : 0];
        format.setForeground(run.Colour.isValid() ? run.Colour : default_colour_);
        if (run.Text.size() > left) {
            cursor.insertText(run.Text.left(qsizetype(left)), format);
            run.Text.remove(0, qsizetype(left));
            waiting_ -= left;
            break;
        }
        left -= run.Text.size();
        waiting_ -= run.Text.size();
        cursor.insertText(run.Text, format);
        pending_.pop_front();
    }
    cursor.endEditBlock();
    // At the limit the oldest text goes, so the newest is always shown.
    int32_t excess = doc->characterCount() - 1 - limit_;
    const int blocks_added = doc->blockCount() - blocks_before;
    if (excess > 0) {
        // Whole lines go when the next one starts near the cut: the first line left is then
        // untouched and keeps its layout, where a cut inside it laid it out again each frame.
        const QTextBlock cut = doc->findBlock(excess);
        if (cut.position() < excess && cut.next().isValid() &&
            cut.next().position() - excess <= Cut_Slack())
            excess = cut.next().position();
        QTextCursor front(doc);
        front.setPosition(excess, QTextCursor::KeepAnchor);
        front.removeSelectedText();
    }
    if (follow) bar->setValue(bar->maximum());
    if (!partial) {
        if (!pending_.empty()) Schedule();
        return;
    }
    // The view's first line follows the bar's value (its signals were held back); with the
    // view's updates still off this moves no pixels (the copy below does, once).
    scrollContentsBy(0, 0);
    bar->blockSignals(bar_blocked);
    for (QWidget* w : {static_cast<QWidget*>(this), view, static_cast<QWidget*>(bar)})
        w->setAttribute(Qt::WA_UpdatesDisabled, false);
    // The scroll area hears of a range that appears or goes (it shows or hides the bar).
    if ((bar->maximum() > bar->minimum()) != had_range)
        emit bar->rangeChanged(bar->minimum(), bar->maximum());
    if (Look_Now() != look) bar->update();
    // The last old line, unless the cut at the front reached it.
    const int dropped = blocks_before + blocks_added - doc->blockCount();
    const QTextBlock anchor = doc->findBlockByNumber(anchor_number - dropped);
    const qreal top =
        anchor.isValid() ? blockBoundingGeometry(anchor).translated(contentOffset()).top() : 0;
    const int dy = qRound(top - anchor_top);
    // Whether the cut line shows (asked last: it lays that line out).
    auto cut_shows = [&] {
        return excess > 0 &&
               blockBoundingGeometry(doc->firstBlock()).translated(contentOffset()).bottom() > 0;
    };
    if (dropped > anchor_number || !anchor.isValid() || view->size() != view_size ||
        contentOffset().toPoint().x() != offset_x || std::abs(top - anchor_top - dy) > 0.01 ||
        cut_shows()) {
        // The old pixels are no use: the view changed size or moved sideways, the cut first
        // line shows, or the lines moved by a fraction of a pixel.
        view->update();
    } else {
        if (dy != 0) view->scroll(0, dy);
        const int from = int(std::floor(top));
        view->update(QRect(0, from, view->width(), view->height() - from));
    }
    if (!pending_.empty()) Schedule();
}

QString Rich_Edit::Text() {
    Flush();
    QString text = toPlainText();
    text.replace(QChar('\n'), QStringLiteral("\r\n"));
    return text;
}

void Rich_Edit::Set_Text(const QString& text) {
    pending_.clear();
    waiting_ = 0;
    replace_ = false;
    clear();
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QChar('\r'), QChar('\n'));
    if (!t.isEmpty()) {
        waiting_ = t.size();
        pending_.push_back(Rtf_Run{t, QColor(), false});
        Flush();
    }
}

int32_t Rich_Edit::Length() {
    Flush();
    return document()->characterCount() - 1;
}

void Rich_Edit::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
            QPlainTextEdit::keyPressEvent(event);
            return;
        default:
            break;
    }
    // Ctrl+letter is its control code (Ctrl+C alone copies), whatever text the keyboard
    // layer gives the key.
    Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier) && event->key() >= Qt::Key_A &&
        event->key() <= Qt::Key_Z) {
        if (On_Char) On_Char(uint8_t(event->key() - Qt::Key_A + 1));
        return;
    }
    QByteArray bytes = event->text().toLatin1();
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) bytes = "\t";
    if (bytes.isEmpty() && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter))
        bytes = "\r";
    if (bytes.isEmpty() && event->key() == Qt::Key_Backspace) bytes = "\b";
    if (bytes.isEmpty()) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    for (char c : bytes)
        if (On_Char) On_Char(uint8_t(c));
}

// Copy and Select All, offered without a shortcut the window would send instead: Ctrl+A
// here is ^A to the controller (Ctrl+C alone copies, so Copy names it).
void Rich_Edit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy_action = menu.addAction(QStringLiteral("&Copy"), this, &QPlainTextEdit::copy);
    copy_action->setShortcut(QKeySequence::Copy);
    copy_action->setShortcutContext(Qt::WidgetShortcut);
    copy_action->setEnabled(textCursor().hasSelection());
    menu.addAction(QStringLiteral("Select &All"), this, &QPlainTextEdit::selectAll);
    menu.exec(event->globalPos());
}

}  // namespace kdx::win::qt
