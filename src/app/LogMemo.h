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
#include <QTextLayout>
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
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
  // The same in UTF-8, as held.
  QByteArray Utf8(qsizetype first, qsizetype last) const;
  // Length of line i in UTF-16 code units.
  qsizetype Length(qsizetype i) const;
  // UTF-16 code units of all lines, the line breaks not counted.
  qsizetype Utf16Size() const { return FUtf16; }

 private:
  void AppendBytes(const QString& text, quint64& start, quint32& length);
  void CompactIfWasteful();

  QByteArray FBytes;               // UTF-8 of every line, in no particular order once edited
  std::vector<quint64> FStarts;    // line i starts at FBytes[FStarts[i]]
  std::vector<quint32> FLengths;   // and is FLengths[i] bytes long
  qsizetype FWaste = 0;            // bytes of FBytes no line points at any more
  qsizetype FUtf16 = 0;            // UTF-16 length of all lines
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
  ~TLogMemo() override;

  // Adds the text as a new line (or lines, at its line breaks) at the end. The caret stays; a
  // view that showed the last line moves on to show the new one. Not an undo step.
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
  // The operator's edits (typing, deleting, pasting, cutting) undone and done again.
  void undo();
  void redo();
  bool isUndoAvailable() const { return !FUndo.empty(); }
  bool isRedoAvailable() const { return !FRedo.empty(); }
  QString SelectedText() const;
  // The text between two places, lines joined by '\n'.
  QString TextBetween(TTextPos from, TTextPos to) const;
  // Replaces the text between two offsets as an edit of the operator (one undo step); nothing
  // in a read-only control.
  void EditText(qsizetype from, qsizetype to, const QString& text);

  void moveCursor(QTextCursor::MoveOperation op,
                  QTextCursor::MoveMode mode = QTextCursor::MoveAnchor);
  TTextPos Caret() const { return FCaret; }
  TTextPos Anchor() const { return FAnchor; }
  // Places the caret, clamped into the text; KeepAnchor extends the selection.
  void SetCaret(TTextPos pos, QTextCursor::MoveMode mode = QTextCursor::MoveAnchor);
  // The place in the flat text (lines joined by '\n') and back.
  qsizetype OffsetOf(TTextPos pos) const;
  TTextPos PosOfOffset(qsizetype offset) const;
  qsizetype CharacterCount() const;

  qsizetype LineCount() const { return FLines.Count(); }
  QString Line(qsizetype i) const { return FLines.Line(i); }
  // The first line in view.
  qsizetype FirstVisibleLine() const;
  int VisibleLines() const;
  int LineHeight() const;
  // Where the character at `pos` is painted, in viewport coordinates (its top-left corner).
  QPoint PointOf(TTextPos pos) const;
  // The caret place nearest to a viewport point; a point above or below the lines is on the
  // nearest line in view.
  TTextPos PosAt(QPoint viewportPoint) const;

  bool isReadOnly() const { return FReadOnly; }
  void setReadOnly(bool readOnly) { FReadOnly = readOnly; }
  LineWrapMode lineWrapMode() const { return NoWrap; }
  int maximumBlockCount() const { return 0; }  // no limit
  // The widest line's width as the horizontal scroll range counts it, in pixels.
  int WidestLine() const { return FWidest; }
  // The caret's x in the viewport (where it is painted, after the composition's caret).
  int CaretX() const;
  // The input method's composition shown at the caret.
  const QString& PreeditText() const { return FPreedit; }
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void changeEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class TLogMemoAccessible;
  // One operator edit: at From, Removed gave way to Inserted (both UTF-8, lines joined by '\n',
  // so that a million erased lines are held once, as compactly as the store holds them).
  struct TEdit {
    TTextPos From;
    QByteArray Removed, Inserted;
    TTextPos CaretBefore, AnchorBefore;
    bool Typing = false;
    // Run lines were appended right after this edit had left the control empty: they took the
    // empty line, and the operator's text, once back, is a line of its own before them.
    bool RunFollows = false;
  };
  enum class TUnit { Character, Word, Line };

  bool HasSelection() const { return FCaret != FAnchor; }
  TTextPos SelectionStart() const { return std::min(FCaret, FAnchor); }
  TTextPos SelectionEnd() const { return std::max(FCaret, FAnchor); }
  TTextPos EndPos() const;
  TTextPos Clamp(TTextPos pos) const;
  TTextPos Moved(TTextPos from, QTextCursor::MoveOperation op) const;
  // The place `lines` lines up or down at the remembered x.
  TTextPos Vertical(TTextPos from, qsizetype lines, int x) const;
  void MoveVertically(qsizetype lines, QTextCursor::MoveMode mode);
  // Replaces the text between the two places with `text`; the caret ends after it. An
  // operator edit is recorded for undo unless `record` is false.
  void ReplaceRange(TTextPos from, TTextPos to, const QString& text, bool record = true,
                    bool typing = false);
  void Record(TEdit edit);
  bool DeleteSelection();
  // The line laid out in the control's font, its direction taken from its text; kept while the
  // line is in view (or holds the caret), so that painting, clicks and caret moves on a long
  // line do not shape it again.
  std::shared_ptr<const QTextLayout> Layout(qsizetype line) const;
  void DropLayouts();
  void DropLayout(qsizetype line) { FLayouts.erase(line); }
  // x of a caret place within its line's layout (0 at the text's left edge).
  qreal XInLine(TTextPos pos) const;
  // The line's width from the widths of its characters (a bound for the scroll range only).
  int EstimatedWidth(const QString& line);
  void NoteWidth(const QString& line);
  // Every line measured again (after a font or style change).
  void MeasureAllLines();
  void UpdateScrollBars();
  // True if the view shows the last line (or will, once the scroll bars catch up).
  bool FollowsEnd() const;
  // Brings the scroll bars up to the appended lines; appends defer it to the event loop, since
  // every change of a scroll bar's range costs a queued call of its own.
  void SyncScrollBars();
  void EnsureCaretVisible();
  void CaretMoved();
  void SelectionToX11();
  // Extends a mouse selection to `pos` by the unit the press chose.
  void ExtendSelection(TTextPos pos);
  void AutoScroll();

  TLineStore FLines;
  TTextPos FCaret, FAnchor;
  mutable int FWidest = 0;  // widest line seen since the last clear, in pixels
  mutable bool FWidthPending = false;  // a laid-out line was wider; the range follows queued
  std::array<float, 0x500> FAdvance;  // widths of Latin and Cyrillic characters; -1 not yet known
  mutable std::unordered_map<qsizetype, std::shared_ptr<const QTextLayout>> FLayouts;
  int FTargetX = -1;  // the x that Up, Down, PgUp and PgDn keep; -1: the caret's own
  QString FPreedit;  // the input method's composition, shown at the caret
  int FPreeditCursor = 0;
  QList<QTextLayout::FormatRange> FPreeditFormats;  // from the composition's start
  std::vector<TEdit> FUndo, FRedo;
  qsizetype FUndoBytes = 0;
  bool FSyncPending = false;
  bool FFollow = true;  // while a sync is pending: the view is to show the last line
  bool FReadOnly = false;
  bool FCaretOn = false;
  bool FSelecting = false;
  TUnit FUnit = TUnit::Character;
  TTextPos FOriginStart, FOriginEnd;  // the word or line a selection grows from
  ulong FDoubleClickTime = 0;
  QPoint FDoubleClickAt;
  QPoint FDragPoint;
  QBasicTimer FBlink, FAutoScroll;
};

// Splits text at its line breaks (CR LF, LF, CR, the paragraph separator); always one part at
// least.
QStringList SplitLines(const QString& text);

}  // namespace app
