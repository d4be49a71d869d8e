#include "platform/window/qt_rich_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <cctype>

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
    fixed_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed_.setPointSizeF(font().pointSizeF() > 0 ? font().pointSizeF() + 1 : 9);
}

void Rich_Edit::Set_Background(const QColor& colour) {
    QPalette p = palette();
    p.setColor(QPalette::Base, colour);
    p.setColor(QPalette::Window, colour);
    setPalette(p);
}

void Rich_Edit::Append(std::vector<Rtf_Run> runs) {
    for (auto& r : runs) pending_.push_back(std::move(r));
    if (!flush_scheduled_) {
        flush_scheduled_ = true;
        QTimer::singleShot(0, this, [this] { Flush(); });
    }
}

void Rich_Edit::Flush() {
    flush_scheduled_ = false;
    if (pending_.empty()) return;
    QScrollBar* bar = verticalScrollBar();
    bool follow = bar->value() >= bar->maximum() - 1;
    QTextDocument* doc = document();
    // Text that the limit would drop at once is never laid out: under a flood only the
    // newest limit's worth of what waits is inserted, into an emptied control.
    int64_t waiting = 0;
    for (const auto& run : pending_) waiting += run.Text.size();
    if (waiting >= limit_) {
        int64_t skip = waiting - limit_;
        size_t first = 0;
        while (first < pending_.size() && skip >= pending_[first].Text.size())
            skip -= pending_[first++].Text.size();
        pending_.erase(pending_.begin(), pending_.begin() + int64_t(first));
        if (!pending_.empty()) pending_.front().Text.remove(0, qsizetype(skip));
        doc->clear();
    }
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    QTextCharFormat format;
    for (const auto& run : pending_) {
        format.setForeground(run.Colour.isValid() ? run.Colour : default_colour_);
        format.setFont(run.Fixed ? fixed_ : font());
        cursor.insertText(run.Text, format);
    }
    cursor.endEditBlock();
    pending_.clear();
    // At the limit the oldest text goes, so the newest is always shown.
    int32_t excess = doc->characterCount() - 1 - limit_;
    if (excess > 0) {
        QTextCursor front(doc);
        front.setPosition(excess, QTextCursor::KeepAnchor);
        front.removeSelectedText();
    }
    if (follow) bar->setValue(bar->maximum());
}

QString Rich_Edit::Text() {
    Flush();
    QString text = toPlainText();
    text.replace(QChar('\n'), QStringLiteral("\r\n"));
    return text;
}

void Rich_Edit::Set_Text(const QString& text) {
    pending_.clear();
    clear();
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QChar('\r'), QChar('\n'));
    if (!t.isEmpty()) {
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
