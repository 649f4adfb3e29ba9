#include "app/LogMemo.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <algorithm>
#include <limits>

namespace app {

namespace {

// The blank around the text inside the viewport, as a text document's margin.
constexpr int kMargin = 4;

bool IsWordChar(QChar c) { return c.isLetterOrNumber() || c == u'_'; }

}  // namespace

QStringList SplitLines(const QString& text) {
  QStringList parts;
  qsizetype from = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c != u'\n' && c != u'\r' && c != QChar::ParagraphSeparator) continue;
    parts.append(text.mid(from, i - from));
    if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    from = i + 1;
  }
  parts.append(text.mid(from));
  return parts;
}

// ---------------------------------------------------------------------------------------
// TLineStore

QString TLineStore::Line(qsizetype i) const {
  return QString::fromUtf8(FBytes.constData() + FStarts[static_cast<size_t>(i)],
                           static_cast<qsizetype>(FLengths[static_cast<size_t>(i)]));
}

void TLineStore::AppendBytes(const QString& text, quint64& start, quint32& length) {
  const QByteArray utf8 = text.toUtf8();
  start = static_cast<quint64>(FBytes.size());
  length = static_cast<quint32>(utf8.size());
  FBytes.append(utf8);
}

void TLineStore::Append(const QString& text) {
  quint64 start = 0;
  quint32 length = 0;
  AppendBytes(text, start, length);
  FStarts.push_back(start);
  FLengths.push_back(length);
}

void TLineStore::SetLine(qsizetype i, const QString& text) {
  const auto k = static_cast<size_t>(i);
  if (FStarts[k] + FLengths[k] == static_cast<quint64>(FBytes.size())) {
    // The last run in the buffer (typing at the end of the log): rewritten in place.
    FBytes.truncate(static_cast<qsizetype>(FStarts[k]));
  } else {
    FWaste += FLengths[k];
  }
  AppendBytes(text, FStarts[k], FLengths[k]);
  CompactIfWasteful();
}

void TLineStore::Replace(qsizetype at, qsizetype count, const QStringList& lines) {
  const qsizetype common = std::min(count, lines.size());
  for (qsizetype k = 0; k < common; ++k) SetLine(at + k, lines[k]);
  const auto pos = static_cast<std::ptrdiff_t>(at + common);
  if (lines.size() > count) {
    std::vector<quint64> starts(static_cast<size_t>(lines.size() - count));
    std::vector<quint32> lengths(starts.size());
    for (size_t k = 0; k < starts.size(); ++k)
      AppendBytes(lines[common + static_cast<qsizetype>(k)], starts[k], lengths[k]);
    FStarts.insert(FStarts.begin() + pos, starts.begin(), starts.end());
    FLengths.insert(FLengths.begin() + pos, lengths.begin(), lengths.end());
  } else if (count > common) {
    const auto end = static_cast<std::ptrdiff_t>(at + count);
    for (auto k = pos; k < end; ++k) FWaste += FLengths[static_cast<size_t>(k)];
    FStarts.erase(FStarts.begin() + pos, FStarts.begin() + end);
    FLengths.erase(FLengths.begin() + pos, FLengths.begin() + end);
    if (FStarts.empty()) Clear();
  }
  CompactIfWasteful();
}

void TLineStore::Clear() {
  FBytes = QByteArray();
  FStarts.assign(1, 0);
  FLengths.assign(1, 0);
  FWaste = 0;
}

void TLineStore::CompactIfWasteful() {
  if (FWaste < (qsizetype{1} << 20) || FWaste < FBytes.size() / 2) return;
  QByteArray bytes;
  bytes.reserve(FBytes.size() - FWaste);
  for (size_t k = 0; k < FStarts.size(); ++k) {
    const quint64 start = static_cast<quint64>(bytes.size());
    bytes.append(FBytes.constData() + FStarts[k], static_cast<qsizetype>(FLengths[k]));
    FStarts[k] = start;
  }
  FBytes = std::move(bytes);
  FWaste = 0;
}

QString TLineStore::Text() const { return Text(0, Count() - 1); }

QString TLineStore::Text(qsizetype first, qsizetype last) const {
  QByteArray utf8;
  qsizetype size = 0;
  for (qsizetype i = first; i <= last; ++i) size += FLengths[static_cast<size_t>(i)] + 1;
  utf8.reserve(size);
  for (qsizetype i = first; i <= last; ++i) {
    if (i > first) utf8.append('\n');
    utf8.append(FBytes.constData() + FStarts[static_cast<size_t>(i)],
                static_cast<qsizetype>(FLengths[static_cast<size_t>(i)]));
  }
  return QString::fromUtf8(utf8);
}

// ---------------------------------------------------------------------------------------
// TLogMemo

TLogMemo::TLogMemo(QWidget* parent) : QAbstractScrollArea(parent) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled);
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  verticalScrollBar()->setSingleStep(1);
  FAdvance.fill(-1);
  UpdateScrollBars();
}

int TLogMemo::LineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

int TLogMemo::VisibleLines() const {
  return std::max(1, (viewport()->height() - 2 * kMargin) / LineHeight());
}

int TLogMemo::TextWidth(const QString& line) const { return fontMetrics().horizontalAdvance(line); }

int TLogMemo::EstimatedWidth(const QString& line) {
  int width = 0;
  for (const QChar c : line) {
    const char16_t u = c.unicode();
    if (u >= FAdvance.size()) return TextWidth(line);  // shaping of other scripts: measure it all
    int& advance = FAdvance[u];
    if (advance < 0) advance = fontMetrics().horizontalAdvance(c);
    width += advance;
  }
  return width;
}

void TLogMemo::NoteWidth(const QString& line) { FWidest = std::max(FWidest, EstimatedWidth(line)); }

bool TLogMemo::FollowsEnd() const {
  if (FSyncPending) return FFollow;
  return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void TLogMemo::SyncScrollBars() {
  if (!FSyncPending) return;
  FSyncPending = false;
  UpdateScrollBars();
  if (FFollow) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TLogMemo::UpdateScrollBars() {
  QScrollBar* v = verticalScrollBar();
  const int visible = VisibleLines();
  const qsizetype maxFirst = std::max<qsizetype>(0, LineCount() - visible);
  v->setRange(0, static_cast<int>(std::min<qsizetype>(maxFirst, std::numeric_limits<int>::max())));
  v->setPageStep(visible);
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, std::max(0, FWidest + 2 * kMargin + 1 - viewport()->width()));
  h->setPageStep(std::max(1, viewport()->width()));
  h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
}

qsizetype TLogMemo::FirstVisibleLine() const {
  if (FSyncPending && FFollow) return std::max<qsizetype>(0, LineCount() - VisibleLines());
  return verticalScrollBar()->value();
}

void TLogMemo::appendPlainText(const QString& text) {
  const bool atBottom = FollowsEnd();
  const QStringList parts = SplitLines(text);
  qsizetype k = 0;
  if (LineCount() == 1 && FLines.Line(0).isEmpty()) {
    // An empty control takes the first line in place of its empty one.
    FLines.SetLine(0, parts[0]);
    NoteWidth(parts[0]);
    k = 1;
  }
  for (; k < parts.size(); ++k) {
    FLines.Append(parts[k]);
    NoteWidth(parts[k]);
  }
  FFollow = atBottom;
  if (!FSyncPending) {
    FSyncPending = true;
    QMetaObject::invokeMethod(this, [this] { SyncScrollBars(); }, Qt::QueuedConnection);
  }
  viewport()->update();
}

void TLogMemo::clear() {
  FSyncPending = false;
  FLines.Clear();
  FCaret = FAnchor = {};
  FWidest = 0;
  UpdateScrollBars();
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  viewport()->update();
}

QString TLogMemo::toPlainText() const { return FLines.Text(); }

TTextPos TLogMemo::EndPos() const {
  const qsizetype last = LineCount() - 1;
  return {last, FLines.Line(last).size()};
}

TTextPos TLogMemo::Clamp(TTextPos pos) const {
  pos.Line = std::clamp<qsizetype>(pos.Line, 0, LineCount() - 1);
  const QString line = FLines.Line(pos.Line);
  pos.Column = std::clamp<qsizetype>(pos.Column, 0, line.size());
  // Never between the two halves of a surrogate pair.
  if (pos.Column > 0 && pos.Column < line.size() && line[pos.Column].isLowSurrogate() &&
      line[pos.Column - 1].isHighSurrogate())
    --pos.Column;
  return pos;
}

TTextPos TLogMemo::Moved(TTextPos from, QTextCursor::MoveOperation op) const {
  TTextPos p = from;
  const QString line = FLines.Line(p.Line);
  switch (op) {
    case QTextCursor::Start:
      return {};
    case QTextCursor::End:
      return EndPos();
    case QTextCursor::StartOfLine:
    case QTextCursor::StartOfBlock:
      return {p.Line, 0};
    case QTextCursor::EndOfLine:
    case QTextCursor::EndOfBlock:
      return {p.Line, line.size()};
    case QTextCursor::Left:
    case QTextCursor::PreviousCharacter:
      if (p.Column > 0) {
        --p.Column;
        if (p.Column > 0 && line[p.Column].isLowSurrogate() && line[p.Column - 1].isHighSurrogate())
          --p.Column;
      } else if (p.Line > 0) {
        --p.Line;
        p.Column = FLines.Line(p.Line).size();
      }
      return p;
    case QTextCursor::Right:
    case QTextCursor::NextCharacter:
      if (p.Column < line.size()) {
        ++p.Column;
        if (p.Column < line.size() && line[p.Column].isLowSurrogate() && line[p.Column - 1].isHighSurrogate())
          ++p.Column;
      } else if (p.Line + 1 < LineCount()) {
        ++p.Line;
        p.Column = 0;
      }
      return p;
    case QTextCursor::WordLeft:
    case QTextCursor::PreviousWord:
      if (p.Column == 0) return Moved(p, QTextCursor::Left);
      while (p.Column > 0 && !IsWordChar(line[p.Column - 1])) --p.Column;
      while (p.Column > 0 && IsWordChar(line[p.Column - 1])) --p.Column;
      return p;
    case QTextCursor::WordRight:
    case QTextCursor::NextWord:
      if (p.Column == line.size()) return Moved(p, QTextCursor::Right);
      while (p.Column < line.size() && IsWordChar(line[p.Column])) ++p.Column;
      while (p.Column < line.size() && !IsWordChar(line[p.Column])) ++p.Column;
      return p;
    case QTextCursor::StartOfWord:
      while (p.Column > 0 && IsWordChar(line[p.Column - 1])) --p.Column;
      return p;
    case QTextCursor::EndOfWord:
      while (p.Column < line.size() && IsWordChar(line[p.Column])) ++p.Column;
      return p;
    case QTextCursor::Up:
    case QTextCursor::PreviousBlock:
    case QTextCursor::PreviousRow:
      if (p.Line == 0) return {0, 0};
      return Clamp({p.Line - 1, p.Column});
    case QTextCursor::Down:
    case QTextCursor::NextBlock:
    case QTextCursor::NextRow:
      if (p.Line + 1 >= LineCount()) return EndPos();
      return Clamp({p.Line + 1, p.Column});
    default:
      return p;
  }
}

void TLogMemo::SetCaret(TTextPos pos, QTextCursor::MoveMode mode) {
  FCaret = Clamp(pos);
  if (mode == QTextCursor::MoveAnchor) FAnchor = FCaret;
  CaretMoved();
}

void TLogMemo::moveCursor(QTextCursor::MoveOperation op, QTextCursor::MoveMode mode) {
  SetCaret(Moved(FCaret, op), mode);
}

void TLogMemo::CaretMoved() {
  FCaretOn = true;
  if (FBlink.isActive()) FBlink.start(std::max(100, QApplication::cursorFlashTime() / 2), this);
  EnsureCaretVisible();
  viewport()->update();
}

void TLogMemo::EnsureCaretVisible() {
  SyncScrollBars();
  QScrollBar* v = verticalScrollBar();
  const qsizetype first = v->value();
  const int visible = VisibleLines();
  if (FCaret.Line < first) v->setValue(static_cast<int>(FCaret.Line));
  else if (FCaret.Line >= first + visible) v->setValue(static_cast<int>(FCaret.Line - visible + 1));
  QScrollBar* h = horizontalScrollBar();
  const int x = TextWidth(FLines.Line(FCaret.Line).left(FCaret.Column));
  const int width = viewport()->width() - 2 * kMargin;
  if (x < h->value()) h->setValue(x);
  else if (x > h->value() + width) h->setValue(x - width + 1);
}

QPoint TLogMemo::PointOf(TTextPos pos) const {
  pos = Clamp(pos);
  const int x = kMargin - horizontalScrollBar()->value() + TextWidth(FLines.Line(pos.Line).left(pos.Column));
  const auto y = kMargin + (pos.Line - FirstVisibleLine()) * LineHeight();
  return {x, static_cast<int>(y)};
}

TTextPos TLogMemo::PosAt(QPoint point) const {
  const qsizetype row = point.y() < kMargin ? -1 : (point.y() - kMargin) / LineHeight();
  const qsizetype lineNo = std::clamp<qsizetype>(FirstVisibleLine() + row, 0, LineCount() - 1);
  const QString line = FLines.Line(lineNo);
  const int x = point.x() - kMargin + horizontalScrollBar()->value();
  // The last column whose left edge is at or before x, then the nearer of it and the next.
  qsizetype lo = 0, hi = line.size();
  while (lo < hi) {
    const qsizetype mid = (lo + hi + 1) / 2;
    if (TextWidth(line.left(mid)) <= x) lo = mid;
    else hi = mid - 1;
  }
  if (lo < line.size() && x - TextWidth(line.left(lo)) > TextWidth(line.left(lo + 1)) - x) ++lo;
  return Clamp({lineNo, lo});
}

void TLogMemo::ReplaceRange(TTextPos from, TTextPos to, const QString& text) {
  from = Clamp(from);
  to = Clamp(to);
  if (to < from) std::swap(from, to);
  const QString head = FLines.Line(from.Line).left(from.Column);
  const QString tail = FLines.Line(to.Line).mid(to.Column);
  QStringList parts = SplitLines(text);
  const qsizetype lastLength = parts.last().size();
  parts.first().prepend(head);
  parts.last().append(tail);
  FLines.Replace(from.Line, to.Line - from.Line + 1, parts);
  for (const QString& p : parts) NoteWidth(p);
  SyncScrollBars();
  UpdateScrollBars();
  const qsizetype caretLine = from.Line + parts.size() - 1;
  const qsizetype caretColumn = (parts.size() == 1 ? head.size() : 0) + lastLength;
  SetCaret({caretLine, caretColumn});
}

bool TLogMemo::DeleteSelection() {
  if (!HasSelection()) return false;
  ReplaceRange(SelectionStart(), SelectionEnd(), QString());
  return true;
}

void TLogMemo::insertPlainText(const QString& text) { ReplaceRange(SelectionStart(), SelectionEnd(), text); }

void TLogMemo::selectAll() {
  FAnchor = {};
  FCaret = EndPos();
  CaretMoved();
  SelectionToX11();
}

QString TLogMemo::SelectedText() const {
  if (!HasSelection()) return {};
  const TTextPos s = SelectionStart(), e = SelectionEnd();
  if (s.Line == e.Line) return FLines.Line(s.Line).mid(s.Column, e.Column - s.Column);
  QString text = FLines.Line(s.Line).mid(s.Column);
  text += u'\n';
  if (e.Line > s.Line + 1) {
    text += FLines.Text(s.Line + 1, e.Line - 1);
    text += u'\n';
  }
  text += FLines.Line(e.Line).left(e.Column);
  return text;
}

void TLogMemo::copy() const {
  if (HasSelection()) QApplication::clipboard()->setText(SelectedText());
}

void TLogMemo::cut() {
  if (FReadOnly || !HasSelection()) return;
  copy();
  DeleteSelection();
}

void TLogMemo::paste() {
  if (FReadOnly) return;
  const QMimeData* data = QApplication::clipboard()->mimeData();
  if (data && data->hasText()) insertPlainText(data->text());
}

void TLogMemo::SelectionToX11() {
  QClipboard* clipboard = QApplication::clipboard();
  if (HasSelection() && clipboard->supportsSelection())
    clipboard->setText(SelectedText(), QClipboard::Selection);
}

// ---------------------------------------------------------------------------------------
// Events

void TLogMemo::keyPressEvent(QKeyEvent* e) {
  SyncScrollBars();
  struct Motion {
    QKeySequence::StandardKey move, select;
    QTextCursor::MoveOperation op;
  };
  static const Motion motions[] = {
      {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, QTextCursor::Right},
      {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, QTextCursor::Left},
      {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, QTextCursor::WordRight},
      {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, QTextCursor::WordLeft},
      {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, QTextCursor::Down},
      {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, QTextCursor::Up},
      {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, QTextCursor::StartOfLine},
      {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, QTextCursor::EndOfLine},
      {QKeySequence::MoveToStartOfBlock, QKeySequence::SelectStartOfBlock, QTextCursor::StartOfLine},
      {QKeySequence::MoveToEndOfBlock, QKeySequence::SelectEndOfBlock, QTextCursor::EndOfLine},
      {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, QTextCursor::Start},
      {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, QTextCursor::End},
  };
  for (const Motion& m : motions) {
    if (e->matches(m.move) || e->matches(m.select)) {
      moveCursor(m.op, e->matches(m.select) ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
      if (e->matches(m.select)) SelectionToX11();
      return;
    }
  }
  const bool pageDown = e->matches(QKeySequence::MoveToNextPage) || e->matches(QKeySequence::SelectNextPage);
  if (pageDown || e->matches(QKeySequence::MoveToPreviousPage) ||
      e->matches(QKeySequence::SelectPreviousPage)) {
    const bool select = e->matches(QKeySequence::SelectNextPage) || e->matches(QKeySequence::SelectPreviousPage);
    const int page = VisibleLines();
    QScrollBar* v = verticalScrollBar();
    v->setValue(v->value() + (pageDown ? page : -page));
    SetCaret({FCaret.Line + (pageDown ? page : -page), FCaret.Column},
             select ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
    return;
  }
  if (e == QKeySequence::SelectAll) return selectAll();
  if (e == QKeySequence::Copy) return copy();
  if (FReadOnly) return e->ignore();
  if (e == QKeySequence::Cut) return cut();
  if (e == QKeySequence::Paste) return paste();
  if (e == QKeySequence::InsertParagraphSeparator || e == QKeySequence::InsertLineSeparator)
    return insertPlainText(QStringLiteral("\n"));
  if (e->key() == Qt::Key_Backspace && !(e->modifiers() & ~Qt::ShiftModifier)) {
    if (!DeleteSelection()) ReplaceRange(Moved(FCaret, QTextCursor::Left), FCaret, QString());
    return;
  }
  if (e == QKeySequence::Delete) {
    if (!DeleteSelection()) ReplaceRange(FCaret, Moved(FCaret, QTextCursor::Right), QString());
    return;
  }
  if (e == QKeySequence::DeleteStartOfWord) {
    if (!DeleteSelection()) ReplaceRange(Moved(FCaret, QTextCursor::WordLeft), FCaret, QString());
    return;
  }
  if (e == QKeySequence::DeleteEndOfWord) {
    if (!DeleteSelection()) ReplaceRange(FCaret, Moved(FCaret, QTextCursor::WordRight), QString());
    return;
  }
  const QString text = e->text();
  // Ctrl or Alt alone make shortcuts, not text; both together are AltGr on some keyboards.
  const Qt::KeyboardModifiers mods = e->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
  const bool shortcut = mods == Qt::ControlModifier || mods == Qt::AltModifier;
  const bool printable = !text.isEmpty() && std::none_of(text.begin(), text.end(), [](QChar c) {
    return c.category() == QChar::Other_Control;
  });
  if (printable && !shortcut) return insertPlainText(text);
  e->ignore();
}

void TLogMemo::mousePressEvent(QMouseEvent* e) {
  SyncScrollBars();
  if (e->button() == Qt::LeftButton) {
    SetCaret(PosAt(e->position().toPoint()),
             (e->modifiers() & Qt::ShiftModifier) ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
    FSelecting = true;
    return;
  }
  if (e->button() == Qt::MiddleButton && !FReadOnly && QApplication::clipboard()->supportsSelection()) {
    const QString text = QApplication::clipboard()->text(QClipboard::Selection);
    SetCaret(PosAt(e->position().toPoint()));
    if (!text.isEmpty()) insertPlainText(text);
    return;
  }
  QAbstractScrollArea::mousePressEvent(e);
}

void TLogMemo::mouseMoveEvent(QMouseEvent* e) {
  if (FSelecting && (e->buttons() & Qt::LeftButton)) {
    SetCaret(PosAt(e->position().toPoint()), QTextCursor::KeepAnchor);
    return;
  }
  QAbstractScrollArea::mouseMoveEvent(e);
}

void TLogMemo::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && FSelecting) {
    FSelecting = false;
    SelectionToX11();
    return;
  }
  QAbstractScrollArea::mouseReleaseEvent(e);
}

void TLogMemo::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(e);
  const TTextPos at = PosAt(e->position().toPoint());
  FAnchor = Moved(at, QTextCursor::StartOfWord);
  FCaret = Moved(at, QTextCursor::EndOfWord);
  CaretMoved();
  SelectionToX11();
}

void TLogMemo::contextMenuEvent(QContextMenuEvent* e) {
  // The same entries and texts as the toolkit's own text controls.
  QMenu menu(this);
  auto tr = [](const char* text) { return QCoreApplication::translate("QWidgetTextControl", text); };
  const bool editable = !FReadOnly;
  const bool pasteable = QApplication::clipboard()->mimeData() &&
                         QApplication::clipboard()->mimeData()->hasText();
  menu.addAction(tr("Cu&t"), QKeySequence::Cut, this, &TLogMemo::cut)->setEnabled(editable && HasSelection());
  menu.addAction(tr("&Copy"), QKeySequence::Copy, this, &TLogMemo::copy)->setEnabled(HasSelection());
  menu.addAction(tr("&Paste"), QKeySequence::Paste, this, &TLogMemo::paste)->setEnabled(editable && pasteable);
  menu.addAction(tr("Delete"), this, [this] { DeleteSelection(); })->setEnabled(editable && HasSelection());
  menu.addSeparator();
  menu.addAction(tr("Select All"), QKeySequence::SelectAll, this, &TLogMemo::selectAll);
  menu.exec(e->globalPos());
}

void TLogMemo::focusInEvent(QFocusEvent* e) {
  FCaretOn = true;
  if (QApplication::cursorFlashTime() > 0) FBlink.start(std::max(100, QApplication::cursorFlashTime() / 2), this);
  viewport()->update();
  QAbstractScrollArea::focusInEvent(e);
}

void TLogMemo::focusOutEvent(QFocusEvent* e) {
  FBlink.stop();
  FCaretOn = false;
  viewport()->update();
  QAbstractScrollArea::focusOutEvent(e);
}

void TLogMemo::timerEvent(QTimerEvent* e) {
  if (e->timerId() != FBlink.timerId()) return QAbstractScrollArea::timerEvent(e);
  FCaretOn = !FCaretOn;
  const QPoint at = PointOf(FCaret);
  viewport()->update(QRect(at.x() - 1, at.y(), 3, LineHeight()));
}

void TLogMemo::changeEvent(QEvent* e) {
  if (e->type() == QEvent::FontChange) {
    // Widths measured in the old font no longer hold.
    SyncScrollBars();
    FAdvance.fill(-1);
    FWidest = 0;
    const qsizetype first = FirstVisibleLine();
    for (qsizetype i = first; i < std::min(LineCount(), first + VisibleLines()); ++i) NoteWidth(Line(i));
    UpdateScrollBars();
  }
  QAbstractScrollArea::changeEvent(e);
}

void TLogMemo::resizeEvent(QResizeEvent* e) {
  SyncScrollBars();
  QScrollBar* v = verticalScrollBar();
  const bool atBottom = v->value() >= v->maximum() && v->maximum() > 0;
  QAbstractScrollArea::resizeEvent(e);
  UpdateScrollBars();
  if (atBottom) v->setValue(v->maximum());
}

void TLogMemo::inputMethodEvent(QInputMethodEvent* e) {
  if (!FReadOnly && !e->commitString().isEmpty()) insertPlainText(e->commitString());
  e->accept();
}

QVariant TLogMemo::inputMethodQuery(Qt::InputMethodQuery query) const {
  switch (query) {
    case Qt::ImEnabled:
      return !FReadOnly;
    case Qt::ImCursorRectangle: {
      const QPoint at = PointOf(FCaret) + viewport()->pos();
      return QRect(at, QSize(1, LineHeight()));
    }
    case Qt::ImFont:
      return font();
    case Qt::ImCursorPosition:
      return static_cast<int>(FCaret.Column);
    case Qt::ImSurroundingText:
      return FLines.Line(FCaret.Line);
    case Qt::ImCurrentSelection:
      return SelectedText();
    default:
      return QAbstractScrollArea::inputMethodQuery(query);
  }
}

void TLogMemo::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  const QPalette& pal = palette();
  const int lh = LineHeight();
  const int ascent = fontMetrics().ascent();
  const int x0 = kMargin - horizontalScrollBar()->value();
  const QRect area = event->rect();
  const qsizetype first = FirstVisibleLine();
  const TTextPos s = SelectionStart(), e = SelectionEnd();
  const bool selection = HasSelection();
  const int breakWidth = fontMetrics().horizontalAdvance(u' ');
  p.setPen(pal.color(QPalette::Text));
  int y = kMargin;
  for (qsizetype i = first; i < LineCount() && y < viewport()->height(); ++i, y += lh) {
    if (y + lh < area.top()) continue;
    if (y > area.bottom()) break;
    const QString line = FLines.Line(i);
    p.drawText(x0, y + ascent, line);
    if (selection && i >= s.Line && i <= e.Line) {
      const qsizetype a = i == s.Line ? s.Column : 0;
      const qsizetype b = i == e.Line ? e.Column : line.size();
      const int xa = x0 + TextWidth(line.left(a));
      int xb = x0 + TextWidth(line.left(b));
      if (i < e.Line) xb += breakWidth;  // the line break is selected too
      const QRect band(xa, y, xb - xa, lh);
      p.fillRect(band, pal.color(QPalette::Highlight));
      p.save();
      p.setClipRect(band);
      p.setPen(pal.color(QPalette::HighlightedText));
      p.drawText(x0, y + ascent, line);
      p.restore();
    }
    if (FCaretOn && hasFocus() && i == FCaret.Line)
      p.fillRect(QRect(x0 + TextWidth(line.left(FCaret.Column)), y, 1, lh), pal.color(QPalette::Text));
  }
}

}  // namespace app
