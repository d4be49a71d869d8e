// The dialogs as built: every control of the Terminal and QuickMove tables with its id, kind,
// caption, position and size in pixels from the dialog font's base units, state, tab stop
// and hint, and the Terminal's state right after it is built.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>

#include "tests/ui/ui_fixture.h"

namespace kdx::test {
namespace {

enum class Kind { Label, Edit, Multi, Push, Radio, Check, Group, Combo, Rich, Graphic };

struct Expected {
    int32_t id;
    Kind kind;
    const char* caption;
    int32_t x, y, w, h;
    bool tab;
    const char* tip = "";
};

Kind Kind_Of(QWidget* w) {
    if (w->property("kdx_rich").toBool()) return Kind::Rich;
    if (qobject_cast<QPlainTextEdit*>(w)) return Kind::Multi;
    if (qobject_cast<QLineEdit*>(w)) return Kind::Edit;
    if (qobject_cast<QRadioButton*>(w)) return Kind::Radio;
    if (qobject_cast<QCheckBox*>(w)) return Kind::Check;
    if (qobject_cast<QPushButton*>(w)) return Kind::Push;
    if (qobject_cast<QGroupBox*>(w)) return Kind::Group;
    if (qobject_cast<QComboBox*>(w)) return Kind::Combo;
    if (qobject_cast<QLabel*>(w)) return Kind::Label;
    return Kind::Graphic;
}

QString Caption(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* e = qobject_cast<QPlainTextEdit*>(w)) return e->toPlainText();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    return QStringLiteral("Graphic");
}

void Check_Table(HWND dialog, const std::vector<Expected>& table) {
    auto controls = Controls(dialog);
    ASSERT_EQ(controls.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        const Expected& e = table[i];
        QWidget* w = controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(e.id));
        EXPECT_EQ(w->property("kdx_id").toInt(), e.id);
        EXPECT_EQ(Kind_Of(w), e.kind);
        if (e.kind != Kind::Combo) {
            EXPECT_EQ(Caption(w).toStdString(), e.caption);
        }
        EXPECT_EQ(w->x(), win::Dlu_To_Px_X(e.x));
        EXPECT_EQ(w->y(), win::Dlu_To_Px_Y(e.y));
        EXPECT_EQ(w->width(), win::Dlu_To_Px_X(e.w));
        // A drop-down list's height is its closed box; the table's includes the list.
        if (e.kind != Kind::Combo) {
            EXPECT_EQ(w->height(), win::Dlu_To_Px_Y(e.h));
        }
        EXPECT_TRUE(w->isEnabled());
        EXPECT_TRUE(w->isVisibleTo(w->window()));
        EXPECT_EQ(w->focusPolicy() == Qt::StrongFocus, e.tab);
        EXPECT_EQ(w->property("kdx_tip").toString().toStdString(), e.tip);
    }
}

const char* const M = "Motor to Move";

TEST_F(Ui_Test, TerminalControlsFollowTheirTable) {
    Serial_Terminal_Create();
    Check_Table(
        win::Terminal_Dialog,
        {
            {108, Kind::Radio, "Enable Port", 295, 5, 50, 10, false},
            {109, Kind::Radio, "Change Port", 295, 15, 55, 10, false},
            {104, Kind::Label, "Serial Port:", 65, 5, 40, 10, false},
            {105, Kind::Combo, "", 105, 2, 65, 75, true},
            {106, Kind::Label, "BaudRate:", 185, 5, 40, 10, false},
            {107, Kind::Combo, "", 225, 2, 50, 75, true},
            {-1, Kind::Label, "Serial Num:", 465, 5, 70, 10, false},
            {1501, Kind::Label, "XXXX-xx", 505, 5, 60, 10, false},
            {-1, Kind::Label, "Order Num:", 465, 15, 70, 10, false},
            {1502, Kind::Label, "XXXXXXX", 505, 15, 60, 10, false},
            {-1, Kind::Label, "Version:", 570, 5, 30, 10, false},
            {1503, Kind::Label, "X.xx", 605, 5, 60, 10, false},
            {-1, Kind::Label, "Revision:", 570, 15, 30, 10, false},
            {1504, Kind::Label, "XX-XX-XX", 605, 15, 60, 10, false},
            {-1, Kind::Label, "Axis Mode:", 465, 25, 70, 10, false},
            {1511, Kind::Label, "X,x,x,x", 505, 25, 60, 10, false},
            {-1, Kind::Label, "Detected:", 570, 25, 70, 10, false},
            {1512, Kind::Label, "X,x,x,x", 605, 25, 60, 10, false},
            {-1, Kind::Label, "Immediate Send", 65, 30, 70, 15, false},
            {100, Kind::Rich, "", 65, 40, 395, 75, true},
            {-1, Kind::Label, "Response", 65, 180, 50, 15, false},
            {101, Kind::Rich, "", 65, 195, 395, 195, true},
            {1144, Kind::Label, "Buffered Send", 65, 140, 70, 10, false},
            {103, Kind::Push, "Send", 470, 150, 75, 20, true},
            {102, Kind::Multi, "", 65, 150, 395, 25, true},
            {120, Kind::Push, "Clear Window", 9, 45, 55, 20, true},
            {500, Kind::Graphic, "Graphic", 10, 70, 50, 50, false},
            {121, Kind::Push, "Clear Window", 9, 245, 55, 20, true},
            {501, Kind::Graphic, "Graphic", 10, 300, 50, 50, false},
            {2001, Kind::Label, "Axis 1 ID:", 465, 38, 35, 10, false},
            {2002, Kind::Label, "Axis 2 ID:", 465, 59, 35, 10, false},
            {2003, Kind::Label, "Axis 3 ID:", 465, 80, 35, 10, false},
            {2004, Kind::Label, "Axis 4 ID:", 465, 100, 35, 10, false},
            {2005, Kind::Edit, "", 505, 38, 60, 10, true},
            {2006, Kind::Edit, "", 505, 59, 60, 10, true},
            {2007, Kind::Edit, "", 505, 80, 60, 10, true},
            {2008, Kind::Edit, "", 505, 100, 60, 10, true},
            {2009, Kind::Push, "Set ID", 570, 35, 30, 15, true},
            {2010, Kind::Push, "Set ID", 570, 55, 30, 16, true},
            {2011, Kind::Push, "Set ID", 570, 76, 30, 16, true},
            {2012, Kind::Push, "Set ID", 570, 97, 30, 16, true},
            {2013, Kind::Push, "Flash Online LED", 605, 35, 60, 16, true},
            {2014, Kind::Push, "Flash Online LED", 605, 55, 60, 16, true},
            {2015, Kind::Push, "Flash Online LED", 605, 76, 60, 16, true},
            {2016, Kind::Push, "Flash Online LED", 605, 97, 60, 16, true},
            {2020, Kind::Push, "Refresh ID List", 505, 118, 100, 16, true},
            {1124, Kind::Group, "QuickMove", 460, 280, 210, 105, false},
            {1137, Kind::Group, "Motor", 465, 295, 30, 75, false},
            {1133, Kind::Radio, "1", 470, 305, 20, 15, true, M},
            {1127, Kind::Label, "Distance", 500, 305, 30, 10, false},
            {1128, Kind::Edit, "400", 535, 305, 45, 10, true,
             "Enter Distance (Enter zero (0) to locate home)"},
            {1131, Kind::Label, "Steps", 585, 305, 40, 10, false},
            {1134, Kind::Radio, "2", 470, 320, 20, 15, true, M},
            {1129, Kind::Label, "Velocity", 500, 320, 30, 10, false},
            {1130, Kind::Edit, "2000", 535, 320, 45, 10, true,
             "Enter Velocity (Enter (-) for reduced power, Enter (+) for over power"},
            {1132, Kind::Label, "Steps per Second", 585, 320, 80, 10, false},
            {1135, Kind::Radio, "3", 470, 335, 20, 15, true, M},
            {1136, Kind::Radio, "4", 470, 350, 20, 15, true, M},
            // The move buttons carry a tab stop: the keyboard must reach them.
            {1125, Kind::Push, "Negative", 505, 340, 55, 15, true, "Press to Move Towards Motor"},
            {1126, Kind::Push, "Positive", 570, 340, 55, 15, true, "Press to Move Away from Motor"},
            {1138, Kind::Check, "AutoReverse", 500, 365, 55, 15, true,
             "Check to return after move"},
            {-1, Kind::Label, "Repeat", 570, 370, 30, 15, false},
            {1139, Kind::Edit, "", 600, 370, 20, 10, false,
             "Enter Number of Times to Repeat Motion"},
            {-1, Kind::Label, "Times", 625, 370, 20, 15, false},
        });
}

TEST_F(Ui_Test, QuickMoveControlsFollowTheirTable) {
    CreateQuickMoveSingle();
    Check_Table(
        QuickMove_Dialog,
        {
            {1127, Kind::Label, "Distance", 37, 5, 30, 10, false},
            {1128, Kind::Edit, "400", 68, 5, 45, 10, true, "Enter Distance"},
            {1129, Kind::Label, "Velocity", 38, 19, 30, 10, false},
            {1130, Kind::Edit, "2000", 68, 20, 45, 10, true, "Enter Velocity"},
            {1131, Kind::Label, "Steps", 114, 5, 40, 10, false},
            {1132, Kind::Label, "Steps per Second", 114, 20, 80, 10, false},
            {1125, Kind::Push, "Negative", 40, 35, 55, 15, true, "Press to Move Towards Motor"},
            {1126, Kind::Push, "Positive", 100, 35, 55, 15, true, "Press to Move Away from Motor"},
            {1138, Kind::Check, "AutoReverse", 40, 60, 55, 15, true, "Check to return after move"},
            {-1, Kind::Label, "Repeat", 125, 65, 30, 15, false},
            {1139, Kind::Edit, "", 150, 65, 20, 10, true, "Enter Number of Times to Repeat Motion"},
            {-1, Kind::Label, "Times", 175, 65, 20, 15, false},
            {1133, Kind::Radio, "1", 10, 15, 20, 15, true, M},
            {1134, Kind::Radio, "2", 10, 30, 20, 15, true, M},
            {1135, Kind::Radio, "3", 10, 45, 20, 15, true, M},
            {1136, Kind::Radio, "4", 10, 60, 20, 15, true, M},
            {1137, Kind::Group, "Motor", 5, 5, 30, 75, false},
        });
    EXPECT_EQ(Widget(QuickMove_Dialog)->windowTitle().toStdString(), "QuickMove Single Axis");
}

TEST_F(Ui_Test, TerminalStartsClosedAt57600WithPlaceholdersAndRedOnBlack) {
    Serial_Terminal_Create();
    HWND d = win::Terminal_Dialog;
    auto item = [d](int32_t id) { return win::Get_Dlg_Item(d, id); };
    EXPECT_EQ(win::Get_Dlg_Item_Text(d, CmbBaudRate), "57600");
    EXPECT_EQ(win::Send_Message(item(OptPortClosed), win::BM_GETCHECK), win::BST_CHECKED);
    EXPECT_EQ(win::Send_Message(item(OptPortOpen), win::BM_GETCHECK), win::BST_UNCHECKED);
    EXPECT_TRUE(win::Is_Window_Enabled(item(OptPortOpen)));
    EXPECT_TRUE(win::Is_Window_Enabled(item(Port_List)));
    EXPECT_EQ(win::Send_Message(item(Port_List), win::CB_GETCOUNT), 2);
    EXPECT_EQ(win::Get_Dlg_Item_Text(d, Port_List), "COM3");
    EXPECT_EQ(win::Send_Message(item(QuickMove_Motor1), win::BM_GETCHECK), win::BST_CHECKED);
    EXPECT_EQ(win::Send_Message(item(Rich_Edit_Sent), win::EM_GETLIMITTEXT), 131070);
    for (int32_t id : {Rich_Edit_Sent, Rich_Edit_Received}) {
        auto* edit = qobject_cast<QPlainTextEdit*>(Widget(item(id)));
        EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(Qt::black));
        win::Set_Dlg_Item_Text(d, id, "A");
        edit->selectAll();
        EXPECT_EQ(edit->textCursor().charFormat().foreground().color(), QColor(255, 0, 0));
    }
    EXPECT_EQ(Widget(d)->windowTitle().toStdString(), "Terminal");
    // Both pictures are drawn (found beside the program or in the build folder).
    EXPECT_TRUE(std::filesystem::exists(Picture_Path("Data Dir Arrow To BB.bmp")));
    EXPECT_TRUE(std::filesystem::exists(Picture_Path("Data Dir Arrow From BB.bmp")));
}

}  // namespace
}  // namespace kdx::test
