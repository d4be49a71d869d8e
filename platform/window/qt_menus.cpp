// The menus: the frame's and the dialogs' menu bars, their items' checks and grey, and the
// command an item sends its owner.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QProxyStyle>
#include <QVBoxLayout>

#include "platform/os/error.h"
#include "platform/window/qt_backend.h"

namespace kdx::win::qt {

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

namespace {

std::shared_ptr<Menu_Object> Find_Menu(HMENU h) {
    if (h == 0 || h == -1) return nullptr;
    uint32_t keep = platform::Get_Last_Error();
    auto object = platform::Handle_Get_As<Menu_Object>(h);
    platform::Set_Last_Error(keep);
    return object;
}

class Menu_Key_Style final : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_MenuBar_AltKeyNavigation) return 1;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

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

void Set_Owner(HMENU h, HWND owner) {
    auto m = Find_Menu(h);
    if (!m) return;
    m->owner = owner;
    for (auto& i : m->items)
        if (i.flags & MF_POPUP) Set_Owner(i.popup, owner);
}

}  // namespace

void Install_Menu_Key_Style() {
    if (!dynamic_cast<Menu_Key_Style*>(QApplication::style()))
        QApplication::setStyle(new Menu_Key_Style(QApplication::style()->name()));
}

HMENU Qt_Backend::Create_Menu(bool popup) {
    auto m = std::make_shared<Menu_Object>();
    m->popup = popup;
    if (popup) m->qmenu = new QMenu;
    return platform::Handle_Insert(m);
}

bool Qt_Backend::Append_Menu(HMENU menu, uint32_t flags, uint64_t id_or_popup,
                             const std::string& text) {
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

bool Qt_Backend::Set_Menu(HWND window, HMENU menu) {
    auto o = Find(window);
    auto m = Find_Menu(menu);
    if (!o || !m || !o->widget) return false;
    o->menu = menu;
    Set_Owner(menu, window);
    auto* bar = new QMenuBar;
    for (auto& item : m->items) {
        if (item.flags & MF_POPUP) {
            auto sub = Find_Menu(item.popup);
            if (sub && sub->qmenu) {
                // A title without "&" has no letter: Alt and the arrow keys reach it.
                sub->qmenu->setTitle(QString::fromLatin1(item.text.c_str()));
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

Menu_Item* Qt_Backend::Find_Item(HMENU menu, uint32_t id) {
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

int32_t Qt_Backend::Get_Menu_State(HMENU menu, uint32_t id) {
    Menu_Item* item = Find_Item(menu, id);
    return item ? int32_t(item->state) : -1;
}

bool Qt_Backend::Set_Menu_State(HMENU menu, uint32_t id, uint32_t state) {
    Menu_Item* item = Find_Item(menu, id);
    if (!item) return false;
    item->state = state;
    if (item->action) Show_Check(item->action, state & MFS_CHECKED);
    return true;
}

bool Qt_Backend::Enable_Menu_Item(HMENU menu, uint32_t id, bool enable) {
    Menu_Item* item = Find_Item(menu, id);
    if (!item) return false;
    item->grayed = !enable;
    if (item->action) item->action->setEnabled(enable);
    return true;
}

}  // namespace kdx::win::qt
