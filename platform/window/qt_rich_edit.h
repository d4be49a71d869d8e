// The rich edit over Qt: plain-text widget with coloured runs, fed with the echo's RTF
// subset, trimmed from the front at its text limit, following the newest text.
#pragma once
#include <QColor>
#include <QPlainTextEdit>
#include <QString>
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
    // Queues runs for the end of the text; they are inserted together on the next pass of
    // the event loop, or at once by Flush (a read, a repaint).
    void Append(std::vector<Rtf_Run> runs);
    void Flush();
    // Text as the control gives it: line breaks as CR LF.
    QString Text();
    void Set_Text(const QString& text);
    int32_t Length();
    // Where typed characters go (the control's window procedure chain).
    std::function<void(uint32_t)> On_Char;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    int32_t limit_ = 32767;
    QColor default_colour_ = Qt::black;
    QFont fixed_;
    std::vector<Rtf_Run> pending_;
    bool flush_scheduled_ = false;
};

}  // namespace kdx::win::qt
