#pragma once
// The run's log control: a multi-line, editable plain-text control that holds millions of lines.
//
// A text document spends several hundred bytes on every paragraph; a harvest writes two lines
// per card. This control keeps its lines as UTF-8 runs in one buffer with a table of offsets
// (TLineStore) and paints only the lines in view. Editing, selection, the clipboard, the keyboard
// and the mouse are its own.
#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTextCursor>
#include <array>
#include <cstdint>
#include <vector>

#include "run/LogFile.h"

namespace app {

// Lines of text, never fewer than one. A line holds no line break.
class TLineStore : public run::TLogLineSource {
 public:
  TLineStore() { Clear(); }

  qsizetype Count() const override { return static_cast<qsizetype>(FStarts.size()); }
  QString Line(qsizetype i) const override;
  // Replaces `count` lines from `at` on with `lines` (which may be more or fewer).
  void Replace(qsizetype at, qsizetype count, const QStringList& lines);
  void SetLine(qsizetype i, const QString& text);
  void Append(const QString& text);
  // Back to one empty line.
  void Clear();
  // The lines joined by '\n'.
  QString Text() const;
  // Lines i..j (inclusive) joined by '\n'.
  QString Text(qsizetype first, qsizetype last) const;

 private:
  void AppendBytes(const QString& text, quint64& start, quint32& length);
  void CompactIfWasteful();

  QByteArray FBytes;               // UTF-8 of every line, in no particular order once edited
  std::vector<quint64> FStarts;    // line i starts at FBytes[FStarts[i]]
  std::vector<quint32> FLengths;   // and is FLengths[i] bytes long
  qsizetype FWaste = 0;            // bytes of FBytes no line points at any more
};

// A place in the text: line and UTF-16 column, both from 0.
struct TTextPos {
  qsizetype Line = 0;
  qsizetype Column = 0;
  friend bool operator==(const TTextPos&, const TTextPos&) = default;
  friend auto operator<=>(const TTextPos&, const TTextPos&) = default;
};

class TLogMemo : public QAbstractScrollArea {
  Q_OBJECT
 public:
  enum LineWrapMode { NoWrap };

  explicit TLogMemo(QWidget* parent = nullptr);

  // Adds the text as a new line (or lines, at its line breaks) at the end. The caret stays; a
  // view that showed the last line moves on to show the new one.
  void appendPlainText(const QString& text);
  void clear();
  // Every line, joined by '\n', exactly as held: typed, pasted and appended text alike.
  QString toPlainText() const;
  // The lines one by one, for saving the log without a copy of the whole text.
  const run::TLogLineSource& Lines() const { return FLines; }

  // Replaces the selection (or inserts at the caret) as if typed; line breaks split lines.
  void insertPlainText(const QString& text);
  void selectAll();
  void copy() const;
  void cut();
  void paste();
  QString SelectedText() const;

  void moveCursor(QTextCursor::MoveOperation op,
                  QTextCursor::MoveMode mode = QTextCursor::MoveAnchor);
  TTextPos Caret() const { return FCaret; }
  TTextPos Anchor() const { return FAnchor; }
  // Places the caret, clamped into the text; KeepAnchor extends the selection.
  void SetCaret(TTextPos pos, QTextCursor::MoveMode mode = QTextCursor::MoveAnchor);

  qsizetype LineCount() const { return FLines.Count(); }
  QString Line(qsizetype i) const { return FLines.Line(i); }
  // The first line in view.
  qsizetype FirstVisibleLine() const;
  // Where the character at `pos` is painted, in viewport coordinates (its top-left corner).
  QPoint PointOf(TTextPos pos) const;

  bool isReadOnly() const { return FReadOnly; }
  void setReadOnly(bool readOnly) { FReadOnly = readOnly; }
  LineWrapMode lineWrapMode() const { return NoWrap; }
  int maximumBlockCount() const { return 0; }  // no limit

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void changeEvent(QEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

 private:
  bool HasSelection() const { return FCaret != FAnchor; }
  TTextPos SelectionStart() const { return std::min(FCaret, FAnchor); }
  TTextPos SelectionEnd() const { return std::max(FCaret, FAnchor); }
  TTextPos EndPos() const;
  TTextPos Clamp(TTextPos pos) const;
  TTextPos Moved(TTextPos from, QTextCursor::MoveOperation op) const;
  // Replaces the text between the two places with `text`; the caret ends after it.
  void ReplaceRange(TTextPos from, TTextPos to, const QString& text);
  bool DeleteSelection();
  TTextPos PosAt(QPoint viewportPoint) const;
  int LineHeight() const;
  int VisibleLines() const;
  int TextWidth(const QString& line) const;
  // The line's width from the widths of its characters (a bound for the scroll range only).
  int EstimatedWidth(const QString& line);
  void NoteWidth(const QString& line);
  void UpdateScrollBars();
  // True if the view shows the last line (or will, once the scroll bars catch up).
  bool FollowsEnd() const;
  // Brings the scroll bars up to the appended lines; appends defer it to the event loop, since
  // every change of a scroll bar's range costs a queued call of its own.
  void SyncScrollBars();
  void EnsureCaretVisible();
  void CaretMoved();
  void SelectionToX11();

  TLineStore FLines;
  TTextPos FCaret, FAnchor;
  int FWidest = 0;  // widest line seen since the last clear, in pixels
  std::array<int, 0x500> FAdvance;  // widths of Latin and Cyrillic characters; -1 not yet known
  bool FSyncPending = false;
  bool FFollow = true;  // while a sync is pending: the view is to show the last line
  bool FReadOnly = false;
  bool FCaretOn = false;
  bool FSelecting = false;
  QBasicTimer FBlink;
};

// Splits text at its line breaks (CR LF, LF, CR, the paragraph separator); always one part at
// least.
QStringList SplitLines(const QString& text);

}  // namespace app
