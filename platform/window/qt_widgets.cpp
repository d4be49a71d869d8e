// The controls of the dialogs: labels, edits, buttons, options, lists, rich edits and
// pictures made from their templates, the default handling of their messages, their texts,
// and Tab among them.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/os/file.h"
#include "platform/window/qt_backend.h"
#include "platform/window/qt_rich_edit.h"

namespace kdx::win::qt {

namespace {

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

// Option and check boxes keep their caption close to the mark, as the original's do, so the
// captions fit the widths of the control tables.
const char* const Tight_Indicator = "spacing: 2px;";

QRect Dlu_Rect(int32_t x, int32_t y, int32_t w, int32_t h) {
    return QRect(Dlu_To_Px_X(x), Dlu_To_Px_Y(y), Dlu_To_Px_X(w), Dlu_To_Px_Y(h));
}

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
// option). A black window (rich edit) sends every key to the controller, Tab too: Ctrl+Tab
// and Ctrl+Shift+Tab leave it. An ordinary multi-line box is left with Tab like any control,
// and Ctrl+Tab types a tab into it.
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
        const bool ctrl = mods & Qt::ControlModifier;
        if (dynamic_cast<Rich_Edit*>(control->widget.data()) && !ctrl) return false;
        auto* box = dynamic_cast<QPlainTextEdit*>(control->widget.data());
        const bool types_tab = box && !box->isReadOnly() && ctrl && key->key() == Qt::Key_Tab &&
                               !(mods & Qt::ShiftModifier) && !dynamic_cast<Rich_Edit*>(box);
        event->accept();  // an override: no shortcut takes the key
        if (event->type() != QEvent::KeyPress) return true;
        if (types_tab)
            box->insertPlainText(QStringLiteral("\t"));
        else
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

}  // namespace

QAccessibleInterface* Accessible_Factory(const QString&, QObject* object) {
    if (auto* r = qobject_cast<QRadioButton*>(object)) return new Radio_Accessible(r);
    return nullptr;
}

void Install_Tab_Navigator() {
    if (!tab_navigator) tab_navigator = new Tab_Navigator(qApp);
    qApp->installEventFilter(tab_navigator);
}

LRESULT Text_Out(const std::string& text, WPARAM size, LPARAM lparam) {
    if (!lparam || size == 0) return 0;
    char* out = reinterpret_cast<char*>(lparam);
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return LRESULT(n);
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
    if (auto* l = dynamic_cast<QLineEdit*>(w)) {
        // Its start shows, as an edit's text set by the program does.
        l->setText(t);
        return l->setCursorPosition(0);
    }
    if (auto* l = dynamic_cast<QLabel*>(w)) {
        l->setText(t);
        bool cut = !l->wordWrap() && l->fontMetrics().horizontalAdvance(t) > l->width();
        return l->setToolTip(cut ? t.toHtmlEscaped() : QString());
    }
    if (auto* b = dynamic_cast<QAbstractButton*>(w)) return b->setText(t);
    if (auto* g = dynamic_cast<QGroupBox*>(w)) return g->setTitle(t);
}

namespace {

// Each phase below answers the messages of one kind of control, and nothing for the others.
using Answer = std::optional<LRESULT>;

// The text and painting messages every control takes.
Answer Text_Default(Window_Object& o, uint32_t message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SETTEXT:
            Set_Widget_Text(o, lparam ? reinterpret_cast<const char*>(lparam) : "");
            return 1;
        case WM_GETTEXT:
            return Text_Out(Widget_Text(o), wparam, lparam);
        case WM_GETTEXTLENGTH:
            return LRESULT(Widget_Text(o).size());
        case WM_PAINT:
            o.widget->update();
            return 0;
        default:
            return std::nullopt;
    }
}

Answer Button_Default(Window_Object& o, QAbstractButton* b, HWND h, uint32_t message,
                      WPARAM wparam) {
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
    return std::nullopt;
}

Answer Combo_Default(QComboBox* c, uint32_t message, WPARAM wparam, LPARAM lparam) {
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
    return std::nullopt;
}

// EM_SETSEL (from, to) and EM_EXSETSEL (a CHARRANGE): a negative or too large end is the end
// of the text, a negative start the end given.
void Select_Range(Rich_Edit* r, uint32_t message, WPARAM wparam, LPARAM lparam) {
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
}

// EM_STREAMIN: reads the caller's RTF through its callback and appends its runs; answers the
// characters appended.
LRESULT Stream_In(Rich_Edit* r, LPARAM lparam) {
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

Answer Rich_Edit_Default(Rich_Edit* r, uint32_t message, WPARAM wparam, LPARAM lparam) {
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
        case EM_EXSETSEL:
            Select_Range(r, message, wparam, lparam);
            return 0;
        case EM_SETCHARFORMAT: {
            auto* format = reinterpret_cast<const CHARFORMAT*>(lparam);
            if (format && (format->dwMask & CFM_COLOR)) {
                uint32_t c = format->crTextColor;
                r->Set_Default_Colour(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
            }
            return 1;
        }
        case EM_STREAMIN:
            return Stream_In(r, lparam);
        case WM_CHAR: {
            char c = char(wparam & 0xFF);
            r->Append({Rtf_Run{c == '\r' ? QStringLiteral("\n") : QString(QChar::fromLatin1(c)),
                               QColor(), false}});
            return 0;
        }
    }
    return std::nullopt;
}

LRESULT Line_Edit_Default(QLineEdit* l, uint32_t message, WPARAM wparam, LPARAM lparam) {
    if (message == EM_LIMITTEXT) l->setMaxLength(wparam ? int(wparam) : 32767);
    if (message == EM_SETSEL) l->setSelection(int(wparam), int(lparam) - int(wparam));
    return 0;
}

}  // namespace

// Default handling of a control's messages: what its class does.
LRESULT Control_Default(Window_Object& o, HWND h, uint32_t message, WPARAM wparam, LPARAM lparam) {
    QWidget* w = o.widget;
    if (!w) return 0;
    if (Answer a = Text_Default(o, message, wparam, lparam)) return *a;
    if (auto* b = dynamic_cast<QAbstractButton*>(w))
        if (Answer a = Button_Default(o, b, h, message, wparam)) return *a;
    if (auto* c = dynamic_cast<QComboBox*>(w))
        if (Answer a = Combo_Default(c, message, wparam, lparam)) return *a;
    if (auto* r = dynamic_cast<Rich_Edit*>(w))
        if (Answer a = Rich_Edit_Default(r, message, wparam, lparam)) return *a;
    if (auto* l = dynamic_cast<QLineEdit*>(w)) return Line_Edit_Default(l, message, wparam, lparam);
    return 0;
}

bool Qt_Backend::Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) {
    HWND c = Get_Dlg_Item(dialog, id);
    if (!c) return false;
    Send_Message(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return true;
}

std::string Qt_Backend::Get_Dlg_Item_Text(HWND dialog, int32_t id) {
    HWND c = Get_Dlg_Item(dialog, id);
    if (!c) return std::string();
    LRESULT n = Send_Message(c, WM_GETTEXTLENGTH, 0, 0);
    std::string text(size_t(std::max<LRESULT>(n, 0)) + 1, '\0');
    LRESULT got = Send_Message(c, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(std::max<LRESULT>(got, 0)));
    return text;
}

namespace {

// The phases of making a control from its template, in the order Create_Control runs them.

QWidget* Make_Edit(const Control_Template& t, const QString& caption, QWidget* parent) {
    if (t.Style & ES_MULTILINE) {
        auto* e = new QPlainTextEdit(parent);
        e->setPlainText(caption);
        e->setTabChangesFocus(false);
        if (!(t.Ex_Style & WS_EX_CLIENTEDGE)) e->setFrameShape(QFrame::NoFrame);
        e->setVerticalScrollBarPolicy((t.Style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                             : Qt::ScrollBarAlwaysOff);
        e->setLineWrapMode((t.Style & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                      : QPlainTextEdit::WidgetWidth);
        return e;
    }
    auto* e = new QLineEdit(caption, parent);
    e->setFrame(t.Ex_Style & WS_EX_CLIENTEDGE);
    e->setTextMargins(1, 0, 1, 0);
    e->setContentsMargins(0, 0, 0, 0);
    if (t.Style & ES_CENTER) e->setAlignment(Qt::AlignCenter);
    return e;
}

QWidget* Make_Button(const Control_Template& t, const QString& caption, QWidget* parent) {
    uint32_t type = t.Style & 0xF;
    if (type == BS_GROUPBOX) {
        auto* g = new QGroupBox(caption, parent);
        g->setAttribute(Qt::WA_TransparentForMouseEvents);
        return g;
    }
    if (type == BS_AUTORADIOBUTTON) {
        auto* r = new Radio(caption, parent);
        r->setStyleSheet(Tight_Indicator);
        return r;
    }
    if (type == BS_AUTOCHECKBOX) {
        QWidget* w = new QCheckBox(caption, parent);
        w->setStyleSheet(Tight_Indicator);
        return w;
    }
    auto* b = new QPushButton(caption, parent);
    b->setAutoDefault(false);
    b->setDefault(type == BS_DEFPUSHBUTTON);
    return b;
}

// The widget of the template's kind, with what its style asks of it.
QWidget* Make_Control_Widget(const Control_Template& t, QWidget* parent) {
    QString caption = QString::fromLatin1(t.Caption.c_str());
    switch (t.Kind) {
        case Control_Kind::Label: {
            auto* l = new QLabel(caption, parent);
            // A static wraps its words; one a line high would only draw the rest over the
            // row below, so it keeps to its line (its whole text as a tooltip).
            l->setWordWrap(t.Height >= 2 * 8);
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return l;
        }
        case Control_Kind::Edit:
            return Make_Edit(t, caption, parent);
        case Control_Kind::Button:
            return Make_Button(t, caption, parent);
        case Control_Kind::Combo: {
            auto* c = new Combo(parent);
            c->setMaxVisibleItems(std::max(1, Dlu_To_Px_Y(t.Height) / std::max(1, base_units.Y)));
            return c;
        }
        case Control_Kind::Rich_Edit: {
            auto* r = new Rich_Edit(parent);
            r->setProperty("kdx_rich", true);
            r->setVerticalScrollBarPolicy((t.Style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                 : Qt::ScrollBarAsNeeded);
            r->setHorizontalScrollBarPolicy((t.Style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                   : Qt::ScrollBarAsNeeded);
            if (!(t.Ex_Style & WS_EX_CLIENTEDGE)) r->setFrameShape(QFrame::NoFrame);
            return r;
        }
        case Control_Kind::Graphic: {
            auto* g = new Graphic(parent);
            if (t.Style & SS_SUNKEN) {
                g->setFrameShape(QFrame::Panel);
                g->setFrameShadow(QFrame::Sunken);
            }
            return g;
        }
    }
    return nullptr;
}

// The control's window object, as the last child of its dialog and, an option, in its group.
std::shared_ptr<Window_Object> Register_Control(Window_Object& d, HWND dialog,
                                                const Control_Template& t, QWidget* w) {
    auto o = New_Window(Type::Control, w);
    HWND h = Handle_Of(w);
    o->dialog = dialog;
    o->id = t.Id;
    o->kind = t.Kind;
    o->style = t.Style;
    o->callback = t.Callback;
    o->caption = t.Caption;
    if (t.Style & WS_GROUP) ++d.next_group;
    o->group = d.next_group;
    d.children.push_back(h);
    if (auto* r = dynamic_cast<Radio*>(w)) {
        QPointer<QButtonGroup>& group = d.option_groups[o->group];
        if (!group) group = new QButtonGroup(d.widget);
        group->addButton(r);
    }
    return o;
}

// Its names for tests and tools, its place in dialog units, its focus and whether it is enabled.
void Place_Control(Window_Object& d, Window_Object& o, const Control_Template& t, QWidget* w) {
    w->setObjectName(QStringLiteral("id%1").arg(t.Id));
    w->setProperty("kdx_id", t.Id);
    w->setProperty("kdx_order", qlonglong(d.children.size()));
    QRect r = Dlu_Rect(t.X, t.Y, t.Width, t.Height);
    if (t.Kind == Control_Kind::Combo)  // the height given includes the drop-down list
        r.setHeight(std::max(w->sizeHint().height(), Dlu_To_Px_Y(12)));
    w->setGeometry(r);
    w->setFocusPolicy((t.Style & WS_TABSTOP)
                          ? Qt::StrongFocus
                          : (t.Kind == Control_Kind::Label || t.Kind == Control_Kind::Graphic
                                 ? Qt::NoFocus
                                 : Qt::ClickFocus));
    o.own_disabled = (t.Style & WS_DISABLED) != 0;
    w->setEnabled(!o.own_disabled);
}

// Tab order follows creation order among the tab stops.
void Follow_In_Tab_Order(Window_Object& d, QWidget* w) {
    for (auto it = d.children.rbegin() + 1; it != d.children.rend(); ++it) {
        auto prev = Find(*it);
        if (prev && (prev->style & WS_TABSTOP) && prev->widget) {
            QWidget::setTabOrder(prev->widget, w);
            break;
        }
    }
}

// What the operator does to the control reaches its dialog as a notification.
void Connect_Control(QWidget* w, HWND h) {
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
}

}  // namespace

HWND Qt_Backend::Create_Control(HWND dialog, const Control_Template& t) {
    auto d = Find(dialog);
    if (!d || !d->client) return 0;
    QWidget* w = Make_Control_Widget(t, d->client);
    auto o = Register_Control(*d, dialog, t, w);
    HWND h = Handle_Of(w);
    Place_Control(*d, *o, t, w);
    if (t.Style & WS_TABSTOP) Follow_In_Tab_Order(*d, w);
    Connect_Control(w, h);
    if (dynamic_cast<QGroupBox*>(w)) w->lower();
    w->setVisible(true);
    return h;
}

HWND Qt_Backend::Get_Dlg_Item(HWND dialog, int32_t id) {
    auto d = Find(dialog);
    if (!d) return 0;
    for (HWND c : d->children) {
        auto o = Find(c);
        if (o && o->id == id) return c;
    }
    return 0;
}

Window_Proc Qt_Backend::Set_Window_Proc(HWND control, Window_Proc proc) {
    auto o = Find(control);
    if (!o) return nullptr;
    Window_Proc before = o->proc ? o->proc : &win::Def_Window_Proc;
    o->proc = proc;
    return before;
}

bool Qt_Backend::Enable_Window(HWND window, bool enable) {
    auto o = Find(window);
    if (!o || !o->widget) return false;
    bool was_disabled = o->own_disabled;
    o->own_disabled = !enable;
    Apply_Enabled(*o);
    return was_disabled;
}

bool Qt_Backend::Block_Input(HWND window, bool block) {
    auto o = Find(window);
    if (!o || !o->widget) return false;
    o->blocked = block;
    Apply_Enabled(*o);
    return true;
}

bool Qt_Backend::Load_Picture(HWND graphic, const std::string& path) {
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

}  // namespace kdx::win::qt
