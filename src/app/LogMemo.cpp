#include "app/LogMemo.h"

#include <QAccessible>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGlyphRun>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTextCharFormat>
#include <QtMath>
#include <QScrollBar>
#include <QStyleHints>
#include <algorithm>
#include <limits>

#include "app/LogMemoAccessible.h"

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

qsizetype TLineStore::Length(qsizetype i) const {
  const auto* b = reinterpret_cast<const unsigned char*>(FBytes.constData() + FStarts[static_cast<size_t>(i)]);
  const auto* e = b + FLengths[static_cast<size_t>(i)];
  qsizetype n = 0;
  for (; b != e; ++b) n += (*b & 0xC0) != 0x80 ? (*b >= 0xF0 ? 2 : 1) : 0;
  return n;
}

void TLineStore::Append(const QString& text) {
  FUtf16 += text.size();
  quint64 start = 0;
  quint32 length = 0;
  AppendBytes(text, start, length);
  FStarts.push_back(start);
  FLengths.push_back(length);
}

void TLineStore::SetLine(qsizetype i, const QString& text) {
  const auto k = static_cast<size_t>(i);
  FUtf16 += text.size() - Length(i);
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
    for (size_t k = 0; k < starts.size(); ++k) {
      const QString& line = lines[common + static_cast<qsizetype>(k)];
      FUtf16 += line.size();
      AppendBytes(line, starts[k], lengths[k]);
    }
    FStarts.insert(FStarts.begin() + pos, starts.begin(), starts.end());
    FLengths.insert(FLengths.begin() + pos, lengths.begin(), lengths.end());
  } else if (count > common) {
    const auto end = static_cast<std::ptrdiff_t>(at + count);
    for (auto k = pos; k < end; ++k) {
      FWaste += FLengths[static_cast<size_t>(k)];
      FUtf16 -= Length(k);
    }
    FStarts.erase(FStarts.begin() + pos, FStarts.begin() + end);
    FLengths.erase(FLengths.begin() + pos, FLengths.begin() + end);
    if (FStarts.empty()) Clear();
  }
  CompactIfWasteful();
}

void TLineStore::Clear() {
  // New vectors, not assign(): a million lines' tables are given back, not kept for later.
  FBytes = QByteArray();
  FStarts = std::vector<quint64>(1, 0);
  FLengths = std::vector<quint32>(1, 0);
  FWaste = 0;
  FUtf16 = 0;
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

QString TLineStore::Text(qsizetype first, qsizetype last) const { return QString::fromUtf8(Utf8(first, last)); }

QByteArray TLineStore::Utf8(qsizetype first, qsizetype last) const {
  QByteArray utf8;
  qsizetype size = 0;
  for (qsizetype i = first; i <= last; ++i) size += FLengths[static_cast<size_t>(i)] + 1;
  utf8.reserve(size);
  for (qsizetype i = first; i <= last; ++i) {
    if (i > first) utf8.append('\n');
    utf8.append(FBytes.constData() + FStarts[static_cast<size_t>(i)],
                static_cast<qsizetype>(FLengths[static_cast<size_t>(i)]));
  }
  return utf8;
}

// ---------------------------------------------------------------------------------------
// TLogMemo

namespace {

// Lazily built primary selection: its text is made only when a program asks for it, so that a
// selection of a million lines costs nothing per key until someone pastes it. It is the text of
// the selected range as the log holds it at that moment.
class TPrimarySelection : public QMimeData {
 public:
  TPrimarySelection(const TLogMemo* memo, TTextPos from, TTextPos to) : FMemo(memo), FFrom(from), FTo(to) {}
  QStringList formats() const override { return {QStringLiteral("text/plain")}; }
  bool hasFormat(const QString& mime) const override { return mime == QLatin1String("text/plain"); }

 protected:
  QVariant retrieveData(const QString& mime, QMetaType type) const override {
    if (!FMemo || !hasFormat(mime)) return {};
    const QString text = FMemo->TextBetween(FFrom, FTo);
    if (type.id() == QMetaType::QByteArray) return text.toUtf8();
    return text;
  }

 private:
  QPointer<const TLogMemo> FMemo;
  TTextPos FFrom, FTo;
};

// Lines at least this long are drawn glyph run by glyph run, only the part in view.
constexpr qsizetype kLongLine = 2000;

// Past this many bytes of removed and inserted text, the oldest undo steps are forgotten (the
// newest is always kept, however large).
constexpr qsizetype kUndoBytes = qsizetype{64} << 20;

// The place after `text` (lines joined by '\n') inserted at `from`.
TTextPos EndAfter(TTextPos from, const QByteArray& text) {
  const qsizetype breaks = text.count('\n');
  const qsizetype lastStart = text.lastIndexOf('\n') + 1;
  const qsizetype lastLength = QString::fromUtf8(text.constData() + lastStart, text.size() - lastStart).size();
  if (breaks == 0) return {from.Line, from.Column + lastLength};
  return {from.Line + breaks, lastLength};
}

}  // namespace

TLogMemo::TLogMemo(QWidget* parent) : QAbstractScrollArea(parent) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled);
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  verticalScrollBar()->setSingleStep(1);
  // A scroll the operator makes wins over following the end: the scroll bars first catch up
  // with the appended lines, then take the wheel or the drag.
  verticalScrollBar()->installEventFilter(this);
  horizontalScrollBar()->installEventFilter(this);
  FAdvance.fill(-1);
  UpdateScrollBars();
  TLogMemoAccessible::Install();
}

TLogMemo::~TLogMemo() = default;

int TLogMemo::LineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

int TLogMemo::VisibleLines() const {
  return std::max(1, (viewport()->height() - 2 * kMargin) / LineHeight());
}

std::shared_ptr<const QTextLayout> TLogMemo::Layout(qsizetype i) const {
  if (auto it = FLayouts.find(i); it != FLayouts.end()) return it->second;
  // Lines out of view are let go once there are many (painting keeps only the visible ones).
  if (FLayouts.size() > static_cast<size_t>(4 * VisibleLines() + 64)) {
    const qsizetype first = FirstVisibleLine(), last = first + VisibleLines();
    std::erase_if(FLayouts, [&](const auto& kv) {
      return (kv.first < first || kv.first > last) && kv.first != FCaret.Line;
    });
  }
  auto layout = std::make_shared<QTextLayout>(FLines.Line(i), font(), viewport());
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  option.setFlags(QTextOption::IncludeTrailingSpaces);
  option.setTextDirection(layout->text().isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
  layout->setTextOption(option);
  layout->setCacheEnabled(true);
  if (i == FCaret.Line && !FPreedit.isEmpty()) {
    const int at = static_cast<int>(FCaret.Column);
    layout->setPreeditArea(at, FPreedit);
    QList<QTextLayout::FormatRange> formats = FPreeditFormats;
    for (QTextLayout::FormatRange& f : formats) f.start += at;
    layout->setFormats(formats);
  }
  layout->beginLayout();
  layout->createLine();  // one line, as wide as its text
  layout->endLayout();
  const int width = qCeil(layout->lineAt(0).naturalTextWidth());
  if (width > FWidest) {
    // Wider than estimated: the scroll range follows once the current event is done.
    FWidest = width;
    if (!FWidthPending) {
      FWidthPending = true;
      QMetaObject::invokeMethod(const_cast<TLogMemo*>(this), [this] {
        FWidthPending = false;
        if (!FSyncPending) const_cast<TLogMemo*>(this)->UpdateScrollBars();
      }, Qt::QueuedConnection);
    }
  }
  FLayouts.emplace(i, layout);
  return layout;
}

void TLogMemo::DropLayouts() { FLayouts.clear(); }

qreal TLogMemo::XInLine(TTextPos pos) const {
  qsizetype column = pos.Column;
  if (!FPreedit.isEmpty() && pos.Line == FCaret.Line && column > FCaret.Column) column += FPreedit.size();
  return Layout(pos.Line)->lineAt(0).cursorToX(static_cast<int>(column));
}

int TLogMemo::CaretX() const {
  const int column = static_cast<int>(FCaret.Column) + (FPreedit.isEmpty() ? 0 : FPreeditCursor);
  return kMargin - horizontalScrollBar()->value() + qFloor(Layout(FCaret.Line)->lineAt(0).cursorToX(column));
}

int TLogMemo::EstimatedWidth(const QString& line) {
  qreal width = 0;
  for (const QChar c : line) {
    const char16_t u = c.unicode();
    // Shaping of other scripts: measure the line as a whole.
    if (u >= FAdvance.size()) return qCeil(QFontMetricsF(font()).horizontalAdvance(line));
    float& advance = FAdvance[u];
    if (advance < 0) advance = static_cast<float>(QFontMetricsF(font()).horizontalAdvance(c));
    width += advance;
  }
  return qCeil(width);
}

void TLogMemo::NoteWidth(const QString& line) { FWidest = std::max(FWidest, EstimatedWidth(line)); }

void TLogMemo::MeasureAllLines() {
  FAdvance.fill(-1);
  FWidest = 0;
  for (qsizetype i = 0; i < LineCount(); ++i) NoteWidth(FLines.Line(i));
}

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
  // A reader is told of the new text alone: its offset is the old length, known at once.
  const bool tell = QAccessible::isActive();
  const qsizetype at = CharacterCount();
  qsizetype k = 0;
  const bool took = LineCount() == 1 && at == 0;
  if (took) {
    // An empty control takes the first line in place of its empty one.
    FLines.SetLine(0, parts[0]);
    DropLayout(0);
    NoteWidth(parts[0]);
    if (!FUndo.empty()) FUndo.back().RunFollows = true;
    k = 1;
  }
  for (; k < parts.size(); ++k) {
    FLines.Append(parts[k]);
    NoteWidth(parts[k]);
  }
  if (tell) {
    const QString inserted = (took ? QString() : QStringLiteral("\n")) + parts.join(u'\n');
    QAccessibleTextInsertEvent event(this, static_cast<int>(at), inserted);
    QAccessible::updateAccessibility(&event);
  }
  FFollow = atBottom;
  if (!FSyncPending) {
    FSyncPending = true;
    QMetaObject::invokeMethod(this, [this] { SyncScrollBars(); }, Qt::QueuedConnection);
  }
  viewport()->update();
}

void TLogMemo::clear() {
  if (QAccessible::isActive() && CharacterCount() > 0) {
    QAccessibleTextRemoveEvent event(this, 0, toPlainText());
    QAccessible::updateAccessibility(&event);
  }
  FSyncPending = false;
  FLines.Clear();
  DropLayouts();
  FUndo = {};
  FRedo = {};
  FUndoBytes = 0;
  FCaret = FAnchor = {};
  FTargetX = -1;
  FWidest = 0;
  UpdateScrollBars();
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  viewport()->update();
}

QString TLogMemo::toPlainText() const { return FLines.Text(); }

qsizetype TLogMemo::CharacterCount() const { return FLines.Utf16Size() + LineCount() - 1; }

qsizetype TLogMemo::OffsetOf(TTextPos pos) const {
  pos = Clamp(pos);
  qsizetype offset = pos.Column;
  // From the nearer end of the text.
  if (pos.Line < LineCount() / 2) {
    for (qsizetype i = 0; i < pos.Line; ++i) offset += FLines.Length(i) + 1;
    return offset;
  }
  offset = CharacterCount() - FLines.Length(pos.Line) + pos.Column;
  for (qsizetype i = LineCount() - 1; i > pos.Line; --i) offset -= FLines.Length(i) + 1;
  return offset;
}

TTextPos TLogMemo::PosOfOffset(qsizetype offset) const {
  offset = std::clamp<qsizetype>(offset, 0, CharacterCount());
  if (offset * 2 < CharacterCount()) {
    qsizetype line = 0;
    for (qsizetype length; offset > (length = FLines.Length(line)); ++line) offset -= length + 1;
    return Clamp({line, offset});
  }
  qsizetype line = LineCount() - 1;
  qsizetype fromEnd = CharacterCount() - offset;
  for (qsizetype length; fromEnd > (length = FLines.Length(line)); --line) fromEnd -= length + 1;
  return Clamp({line, FLines.Length(line) - fromEnd});
}

TTextPos TLogMemo::EndPos() const {
  const qsizetype last = LineCount() - 1;
  return {last, FLines.Length(last)};
}

TTextPos TLogMemo::Clamp(TTextPos pos) const {
  pos.Line = std::clamp<qsizetype>(pos.Line, 0, LineCount() - 1);
  const qsizetype length = FLines.Length(pos.Line);
  pos.Column = std::clamp<qsizetype>(pos.Column, 0, length);
  if (pos.Column > 0 && pos.Column < length) {
    // Never between the two halves of a surrogate pair (the text of a line in view is at hand).
    const auto laidOut = FLayouts.find(pos.Line);
    const QString line = laidOut != FLayouts.end() ? laidOut->second->text() : FLines.Line(pos.Line);
    if (line[pos.Column].isLowSurrogate() && line[pos.Column - 1].isHighSurrogate()) --pos.Column;
  }
  return pos;
}

TTextPos TLogMemo::Moved(TTextPos from, QTextCursor::MoveOperation op) const {
  TTextPos p = from;
  const qsizetype length = FLines.Length(p.Line);
  const auto column = [](int c) { return static_cast<qsizetype>(c); };
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
      return {p.Line, length};
    case QTextCursor::PreviousCharacter:
      // By grapheme clusters: a base and its combining marks, a flag, a joined emoji.
      if (p.Column > 0) return {p.Line, column(Layout(p.Line)->previousCursorPosition(static_cast<int>(p.Column)))};
      if (p.Line > 0) return {p.Line - 1, FLines.Length(p.Line - 1)};
      return p;
    case QTextCursor::NextCharacter:
      if (p.Column < length) return {p.Line, column(Layout(p.Line)->nextCursorPosition(static_cast<int>(p.Column)))};
      if (p.Line + 1 < LineCount()) return {p.Line + 1, 0};
      return p;
    case QTextCursor::Left:
    case QTextCursor::Right: {
      // On the screen: in right-to-left text, Left goes on through the text.
      const auto layout = Layout(p.Line);
      const int at = static_cast<int>(p.Column);
      const int to = op == QTextCursor::Left ? layout->leftCursorPosition(at) : layout->rightCursorPosition(at);
      if (to != at) return {p.Line, column(to)};
      const bool rtl = layout->textOption().textDirection() == Qt::RightToLeft;
      if ((op == QTextCursor::Right) != rtl) return p.Line + 1 < LineCount() ? TTextPos{p.Line + 1, 0} : p;
      return p.Line > 0 ? TTextPos{p.Line - 1, FLines.Length(p.Line - 1)} : p;
    }
    case QTextCursor::WordLeft:
    case QTextCursor::PreviousWord: {
      if (p.Column == 0) return Moved(p, QTextCursor::PreviousCharacter);
      const QString line = FLines.Line(p.Line);
      while (p.Column > 0 && !IsWordChar(line[p.Column - 1])) --p.Column;
      while (p.Column > 0 && IsWordChar(line[p.Column - 1])) --p.Column;
      return p;
    }
    case QTextCursor::WordRight:
    case QTextCursor::NextWord: {
      if (p.Column == length) return Moved(p, QTextCursor::NextCharacter);
      const QString line = FLines.Line(p.Line);
      while (p.Column < line.size() && IsWordChar(line[p.Column])) ++p.Column;
      while (p.Column < line.size() && !IsWordChar(line[p.Column])) ++p.Column;
      return p;
    }
    case QTextCursor::StartOfWord: {
      const QString line = FLines.Line(p.Line);
      while (p.Column > 0 && IsWordChar(line[p.Column - 1])) --p.Column;
      return p;
    }
    case QTextCursor::EndOfWord: {
      const QString line = FLines.Line(p.Line);
      while (p.Column < line.size() && IsWordChar(line[p.Column])) ++p.Column;
      return p;
    }
    case QTextCursor::Up:
    case QTextCursor::PreviousBlock:
    case QTextCursor::PreviousRow:
      return Vertical(p, -1, qRound(XInLine(p)));
    case QTextCursor::Down:
    case QTextCursor::NextBlock:
    case QTextCursor::NextRow:
      return Vertical(p, 1, qRound(XInLine(p)));
    default:
      return p;
  }
}

TTextPos TLogMemo::Vertical(TTextPos from, qsizetype lines, int x) const {
  const qsizetype target = from.Line + lines;
  if (target < 0) return {0, 0};
  if (target >= LineCount()) return EndPos();
  return Clamp({target, Layout(target)->lineAt(0).xToCursor(x)});
}

void TLogMemo::MoveVertically(qsizetype lines, QTextCursor::MoveMode mode) {
  // The x the first of a run of vertical moves started from, not the column: a short line on
  // the way does not pull the caret to the left for good.
  const int x = FTargetX >= 0 ? FTargetX : qRound(XInLine(FCaret));
  SetCaret(Vertical(FCaret, lines, x), mode);
  FTargetX = x;
}

void TLogMemo::SetCaret(TTextPos pos, QTextCursor::MoveMode mode) {
  FCaret = Clamp(pos);
  if (mode == QTextCursor::MoveAnchor) FAnchor = FCaret;
  FTargetX = -1;
  CaretMoved();
}

void TLogMemo::moveCursor(QTextCursor::MoveOperation op, QTextCursor::MoveMode mode) {
  switch (op) {
    case QTextCursor::Up:
    case QTextCursor::PreviousRow:
      return MoveVertically(-1, mode);
    case QTextCursor::Down:
    case QTextCursor::NextRow:
      return MoveVertically(1, mode);
    default:
      SetCaret(Moved(FCaret, op), mode);
  }
}

void TLogMemo::CaretMoved() {
  FCaretOn = true;
  if (FBlink.isActive()) FBlink.start(std::max(100, QApplication::cursorFlashTime() / 2), this);
  EnsureCaretVisible();
  viewport()->update();
  updateMicroFocus();
  if (QAccessible::isActive()) {
    QAccessibleTextCursorEvent cursor(this, static_cast<int>(OffsetOf(FCaret)));
    QAccessible::updateAccessibility(&cursor);
    if (HasSelection()) {
      QAccessibleTextSelectionEvent selection(this, static_cast<int>(OffsetOf(SelectionStart())),
                                              static_cast<int>(OffsetOf(SelectionEnd())));
      QAccessible::updateAccessibility(&selection);
    }
  }
}

void TLogMemo::EnsureCaretVisible() {
  SyncScrollBars();
  QScrollBar* v = verticalScrollBar();
  const qsizetype first = v->value();
  const int visible = VisibleLines();
  if (FCaret.Line < first) v->setValue(static_cast<int>(FCaret.Line));
  else if (FCaret.Line >= first + visible) v->setValue(static_cast<int>(FCaret.Line - visible + 1));
  QScrollBar* h = horizontalScrollBar();
  const int x = CaretX() - kMargin + h->value();
  const int width = viewport()->width() - 2 * kMargin;
  if (x < h->value()) h->setValue(x);
  else if (x > h->value() + width) h->setValue(x - width + 1);
}

QPoint TLogMemo::PointOf(TTextPos pos) const {
  pos = Clamp(pos);
  const int x = kMargin - horizontalScrollBar()->value() + qFloor(XInLine(pos));
  const auto y = kMargin + (pos.Line - FirstVisibleLine()) * LineHeight();
  return {x, static_cast<int>(y)};
}

TTextPos TLogMemo::PosAt(QPoint point) const {
  // The margins belong to the nearest line in view.
  const int rows = std::max(1, std::min<int>(VisibleLines() + 1, static_cast<int>(LineCount() - FirstVisibleLine())));
  const qsizetype row = std::clamp((point.y() - kMargin) / LineHeight(), 0, rows - 1);
  const qsizetype lineNo = std::clamp<qsizetype>(FirstVisibleLine() + (point.y() < kMargin ? 0 : row), 0, LineCount() - 1);
  const int x = point.x() - kMargin + horizontalScrollBar()->value();
  qsizetype column = Layout(lineNo)->lineAt(0).xToCursor(x);
  if (!FPreedit.isEmpty() && lineNo == FCaret.Line && column > FCaret.Column)
    column = std::max(FCaret.Column, column - FPreedit.size());
  return Clamp({lineNo, column});
}

void TLogMemo::ReplaceRange(TTextPos from, TTextPos to, const QString& text, bool record, bool typing) {
  from = Clamp(from);
  to = Clamp(to);
  if (to < from) std::swap(from, to);
  if (from == to && text.isEmpty()) return;
  const QString head = FLines.Line(from.Line).left(from.Column);
  const QString tail = FLines.Line(to.Line).mid(to.Column);
  QStringList parts = SplitLines(text);
  const qsizetype offset = QAccessible::isActive() ? OffsetOf(from) : -1;
  TEdit edit{from, {}, parts.join(u'\n').toUtf8(), FCaret, FAnchor, typing, false};
  if (record || offset >= 0) {
    if (from.Line == to.Line) {
      edit.Removed = FLines.Line(from.Line).mid(from.Column, to.Column - from.Column).toUtf8();
    } else {
      edit.Removed = FLines.Line(from.Line).mid(from.Column).toUtf8() + '\n';
      if (to.Line > from.Line + 1) edit.Removed += FLines.Utf8(from.Line + 1, to.Line - 1) + '\n';
      edit.Removed += FLines.Line(to.Line).left(to.Column).toUtf8();
    }
  }
  const QString removedText = offset >= 0 ? QString::fromUtf8(edit.Removed) : QString();
  const QString insertedText = offset >= 0 ? parts.join(u'\n') : QString();
  const qsizetype lastLength = parts.last().size();
  parts.first().prepend(head);
  parts.last().append(tail);
  const bool sameLineCount = parts.size() == to.Line - from.Line + 1;
  FLines.Replace(from.Line, to.Line - from.Line + 1, parts);
  if (sameLineCount) {
    for (qsizetype i = from.Line; i <= to.Line; ++i) DropLayout(i);
  } else {
    DropLayouts();  // the lines below moved
  }
  for (const QString& p : parts) NoteWidth(p);
  if (record) Record(std::move(edit));
  SyncScrollBars();
  UpdateScrollBars();
  if (offset >= 0) {
    const int at = static_cast<int>(offset);
    if (removedText.isEmpty()) {
      QAccessibleTextInsertEvent event(this, at, insertedText);
      QAccessible::updateAccessibility(&event);
    } else if (insertedText.isEmpty()) {
      QAccessibleTextRemoveEvent event(this, at, removedText);
      QAccessible::updateAccessibility(&event);
    } else {
      QAccessibleTextUpdateEvent event(this, at, removedText, insertedText);
      QAccessible::updateAccessibility(&event);
    }
  }
  const qsizetype caretLine = from.Line + parts.size() - 1;
  const qsizetype caretColumn = (parts.size() == 1 ? head.size() : 0) + lastLength;
  SetCaret({caretLine, caretColumn});
}

void TLogMemo::Record(TEdit edit) {
  FRedo = {};
  if (!FUndo.empty() && edit.Typing && FUndo.back().Typing && edit.Removed.isEmpty() &&
      !edit.Inserted.contains('\n') && EndAfter(FUndo.back().From, FUndo.back().Inserted) == edit.From &&
      !FUndo.back().RunFollows) {
    // Typed characters in a row are one step, as in other text controls.
    FUndo.back().Inserted += edit.Inserted;
    FUndoBytes += edit.Inserted.size();
  } else {
    FUndoBytes += edit.Removed.size() + edit.Inserted.size();
    FUndo.push_back(std::move(edit));
  }
  while (FUndo.size() > 1 && FUndoBytes > kUndoBytes) {
    FUndoBytes -= FUndo.front().Removed.size() + FUndo.front().Inserted.size();
    FUndo.erase(FUndo.begin());
  }
}

void TLogMemo::undo() {
  if (FUndo.empty() || FReadOnly) return;
  TEdit edit = std::move(FUndo.back());
  FUndo.pop_back();
  QString back = QString::fromUtf8(edit.Removed);
  // The run's lines took the place of the empty control: what comes back is a line before them.
  const bool lineBreak = edit.RunFollows && !back.isEmpty();
  if (lineBreak) back += u'\n';
  ReplaceRange(edit.From, EndAfter(edit.From, edit.Inserted), back, false);
  FAnchor = Clamp(edit.AnchorBefore);
  FCaret = Clamp(edit.CaretBefore);
  CaretMoved();
  if (lineBreak) edit.Removed += '\n';
  edit.RunFollows = false;
  FRedo.push_back(std::move(edit));
}

void TLogMemo::redo() {
  if (FRedo.empty() || FReadOnly) return;
  TEdit edit = std::move(FRedo.back());
  FRedo.pop_back();
  ReplaceRange(edit.From, EndAfter(edit.From, edit.Removed), QString::fromUtf8(edit.Inserted), false);
  FUndo.push_back(std::move(edit));
}

bool TLogMemo::DeleteSelection() {
  if (!HasSelection()) return false;
  ReplaceRange(SelectionStart(), SelectionEnd(), QString());
  return true;
}

void TLogMemo::EditText(qsizetype from, qsizetype to, const QString& text) {
  if (FReadOnly) return;
  ReplaceRange(PosOfOffset(from), PosOfOffset(to), text);
}

void TLogMemo::insertPlainText(const QString& text) { ReplaceRange(SelectionStart(), SelectionEnd(), text); }

void TLogMemo::selectAll() {
  FAnchor = {};
  FCaret = EndPos();
  CaretMoved();
  SelectionToX11();
}

QString TLogMemo::TextBetween(TTextPos from, TTextPos to) const {
  TTextPos s = Clamp(std::min(from, to)), e = Clamp(std::max(from, to));
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

QString TLogMemo::SelectedText() const { return HasSelection() ? TextBetween(FAnchor, FCaret) : QString(); }

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
    clipboard->setMimeData(new TPrimarySelection(this, FAnchor, FCaret), QClipboard::Selection);
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
    MoveVertically(pageDown ? page : -page, select ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
    if (select) SelectionToX11();
    return;
  }
  if (e == QKeySequence::SelectAll) return selectAll();
  if (e == QKeySequence::Copy) return copy();
  if (FReadOnly) return e->ignore();
  if (e == QKeySequence::Undo) return undo();
  if (e == QKeySequence::Redo) return redo();
  if (e == QKeySequence::Cut) return cut();
  if (e == QKeySequence::Paste) return paste();
  if (e == QKeySequence::InsertParagraphSeparator || e == QKeySequence::InsertLineSeparator)
    return insertPlainText(QStringLiteral("\n"));
  if (e->key() == Qt::Key_Backspace && !(e->modifiers() & ~Qt::ShiftModifier)) {
    // Back by one character, not by a cluster: a wrongly typed accent goes alone.
    if (DeleteSelection()) return;
    TTextPos from = FCaret;
    if (from.Column > 0) {
      --from.Column;
      from = Clamp(from);
    } else {
      from = Moved(FCaret, QTextCursor::PreviousCharacter);
    }
    ReplaceRange(from, FCaret, QString());
    return;
  }
  if (e == QKeySequence::Delete) {
    if (!DeleteSelection()) ReplaceRange(FCaret, Moved(FCaret, QTextCursor::NextCharacter), QString());
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
  if (printable && !shortcut) return ReplaceRange(SelectionStart(), SelectionEnd(), text, true, !HasSelection());
  e->ignore();
}

void TLogMemo::mousePressEvent(QMouseEvent* e) {
  SyncScrollBars();
  if (!FPreedit.isEmpty()) QGuiApplication::inputMethod()->commit();
  const QPoint at = e->position().toPoint();
  if (e->button() == Qt::LeftButton) {
    const bool triple = FUnit == TUnit::Word &&
                        e->timestamp() - FDoubleClickTime < static_cast<ulong>(QGuiApplication::styleHints()->mouseDoubleClickInterval()) &&
                        (at - FDoubleClickAt).manhattanLength() < QGuiApplication::styleHints()->startDragDistance();
    FSelecting = true;
    FDragPoint = at;
    if (triple) {
      // The line with its line break, as other text controls select it.
      const qsizetype line = PosAt(at).Line;
      FUnit = TUnit::Line;
      FOriginStart = {line, 0};
      FOriginEnd = line + 1 < LineCount() ? TTextPos{line + 1, 0} : TTextPos{line, FLines.Length(line)};
      FAnchor = FOriginStart;
      SetCaret(FOriginEnd, QTextCursor::KeepAnchor);
      return;
    }
    FUnit = TUnit::Character;
    SetCaret(PosAt(at), (e->modifiers() & Qt::ShiftModifier) ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
    return;
  }
  if (e->button() == Qt::MiddleButton && !FReadOnly && QApplication::clipboard()->supportsSelection()) {
    const QString text = QApplication::clipboard()->text(QClipboard::Selection);
    SetCaret(PosAt(at));
    if (!text.isEmpty()) insertPlainText(text);
    return;
  }
  QAbstractScrollArea::mousePressEvent(e);
}

void TLogMemo::ExtendSelection(TTextPos pos) {
  switch (FUnit) {
    case TUnit::Character:
      SetCaret(pos, QTextCursor::KeepAnchor);
      return;
    case TUnit::Word:
      if (pos < FOriginStart) {
        FAnchor = FOriginEnd;
        SetCaret(Moved(pos, QTextCursor::StartOfWord), QTextCursor::KeepAnchor);
      } else {
        FAnchor = FOriginStart;
        SetCaret(std::max(FOriginEnd, Moved(pos, QTextCursor::EndOfWord)), QTextCursor::KeepAnchor);
      }
      return;
    case TUnit::Line:
      if (pos < FOriginStart) {
        FAnchor = FOriginEnd;
        SetCaret({pos.Line, 0}, QTextCursor::KeepAnchor);
      } else {
        FAnchor = FOriginStart;
        SetCaret(pos.Line + 1 < LineCount() ? TTextPos{pos.Line + 1, 0} : EndPos(), QTextCursor::KeepAnchor);
      }
      return;
  }
}

void TLogMemo::mouseMoveEvent(QMouseEvent* e) {
  if (FSelecting && (e->buttons() & Qt::LeftButton)) {
    FDragPoint = e->position().toPoint();
    // Outside the view, a timer goes on scrolling while the button is held.
    if (viewport()->rect().contains(FDragPoint)) FAutoScroll.stop();
    else if (!FAutoScroll.isActive()) FAutoScroll.start(50, this);
    ExtendSelection(PosAt(FDragPoint));
    return;
  }
  QAbstractScrollArea::mouseMoveEvent(e);
}

void TLogMemo::AutoScroll() {
  if (!FSelecting) {
    FAutoScroll.stop();
    return;
  }
  const QRect r = viewport()->rect();
  QScrollBar* v = verticalScrollBar();
  QScrollBar* h = horizontalScrollBar();
  // Faster the farther out the pointer is.
  const auto step = [](int outside, int unit) { return std::max(1, outside / unit + 1); };
  if (FDragPoint.y() < r.top()) v->setValue(v->value() - step(r.top() - FDragPoint.y(), LineHeight()));
  else if (FDragPoint.y() > r.bottom()) v->setValue(v->value() + step(FDragPoint.y() - r.bottom(), LineHeight()));
  const int hStep = h->singleStep();
  if (FDragPoint.x() < r.left()) h->setValue(h->value() - hStep);
  else if (FDragPoint.x() > r.right()) h->setValue(h->value() + hStep);
  const TTextPos caret = FCaret;
  ExtendSelection(PosAt(FDragPoint));
  if (FCaret == caret) viewport()->update();
}

void TLogMemo::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && FSelecting) {
    FSelecting = false;
    FAutoScroll.stop();
    SelectionToX11();
    return;
  }
  QAbstractScrollArea::mouseReleaseEvent(e);
}

void TLogMemo::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(e);
  const TTextPos at = PosAt(e->position().toPoint());
  FUnit = TUnit::Word;
  FDoubleClickTime = e->timestamp();
  FDoubleClickAt = e->position().toPoint();
  FOriginStart = Moved(at, QTextCursor::StartOfWord);
  FOriginEnd = Moved(at, QTextCursor::EndOfWord);
  FSelecting = true;
  FAnchor = FOriginStart;
  SetCaret(FOriginEnd, QTextCursor::KeepAnchor);
  SelectionToX11();
}

void TLogMemo::wheelEvent(QWheelEvent* e) {
  SyncScrollBars();
  QAbstractScrollArea::wheelEvent(e);
}

bool TLogMemo::eventFilter(QObject* watched, QEvent* event) {
  if (watched == verticalScrollBar() || watched == horizontalScrollBar()) {
    switch (event->type()) {
      case QEvent::Wheel:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress:
        SyncScrollBars();
        break;
      default:
        break;
    }
  }
  return QAbstractScrollArea::eventFilter(watched, event);
}

void TLogMemo::scrollContentsBy(int, int) {
  // The vertical bar counts lines, not pixels: everything in view is painted afresh.
  viewport()->update();
  updateMicroFocus();
}

void TLogMemo::contextMenuEvent(QContextMenuEvent* e) {
  // The same entries and texts as the toolkit's own text controls.
  QMenu menu(this);
  auto tr = [](const char* text) { return QCoreApplication::translate("QWidgetTextControl", text); };
  const bool editable = !FReadOnly;
  const bool pasteable = QApplication::clipboard()->mimeData() &&
                         QApplication::clipboard()->mimeData()->hasText();
  menu.addAction(tr("&Undo"), QKeySequence::Undo, this, &TLogMemo::undo)->setEnabled(editable && isUndoAvailable());
  menu.addAction(tr("&Redo"), QKeySequence::Redo, this, &TLogMemo::redo)->setEnabled(editable && isRedoAvailable());
  menu.addSeparator();
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
  if (e->timerId() == FAutoScroll.timerId()) return AutoScroll();
  if (e->timerId() != FBlink.timerId()) return QAbstractScrollArea::timerEvent(e);
  FCaretOn = !FCaretOn;
  const QPoint at(CaretX(), PointOf({FCaret.Line, 0}).y());
  viewport()->update(QRect(at.x() - 1, at.y(), 3, LineHeight()));
}

void TLogMemo::changeEvent(QEvent* e) {
  if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) {
    // Widths measured in the old font no longer hold: every line is measured again, so that
    // the widest can still be scrolled to.
    SyncScrollBars();
    DropLayouts();
    MeasureAllLines();
    UpdateScrollBars();
    viewport()->update();
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
  if (FReadOnly) return e->ignore();
  const bool input = !e->commitString().isEmpty() || !e->preeditString().isEmpty() || e->replacementLength() > 0;
  if (input && HasSelection()) DeleteSelection();
  DropLayout(FCaret.Line);
  FPreedit.clear();
  if (!e->commitString().isEmpty() || e->replacementLength() > 0) {
    // The replacement range is counted from the caret, within its line.
    const qsizetype length = FLines.Length(FCaret.Line);
    const qsizetype from = std::clamp<qsizetype>(FCaret.Column + e->replacementStart(), 0, length);
    const qsizetype to = std::clamp<qsizetype>(from + e->replacementLength(), from, length);
    ReplaceRange({FCaret.Line, from}, {FCaret.Line, to}, e->commitString());
  }
  FPreedit = e->preeditString();
  FPreeditCursor = static_cast<int>(FPreedit.size());
  FPreeditFormats.clear();
  for (const QInputMethodEvent::Attribute& a : e->attributes()) {
    if (a.type == QInputMethodEvent::Cursor) {
      FPreeditCursor = a.start;
    } else if (a.type == QInputMethodEvent::TextFormat) {
      const QTextCharFormat format = qvariant_cast<QTextFormat>(a.value).toCharFormat();
      if (format.isValid()) FPreeditFormats.append({a.start, a.length, format});
    }
  }
  DropLayout(FCaret.Line);
  EnsureCaretVisible();
  viewport()->update();
  updateMicroFocus();
  e->accept();
}

QVariant TLogMemo::inputMethodQuery(Qt::InputMethodQuery query) const {
  // Positions are within the caret's line, which is the surrounding text: a selection of a
  // million lines is not copied out for every query.
  const auto inLine = [&](TTextPos p) {
    if (p.Line < FCaret.Line) return qsizetype{0};
    if (p.Line > FCaret.Line) return FLines.Length(FCaret.Line);
    return p.Column;
  };
  switch (query) {
    case Qt::ImEnabled:
      return !FReadOnly;
    case Qt::ImHints:
      return static_cast<int>(Qt::ImhMultiLine);
    case Qt::ImCursorRectangle:
      return QRect(QPoint(CaretX(), PointOf({FCaret.Line, 0}).y()) + viewport()->pos(), QSize(1, LineHeight()));
    case Qt::ImAnchorRectangle:
      return QRect(PointOf(FAnchor) + viewport()->pos(), QSize(1, LineHeight()));
    case Qt::ImFont:
      return font();
    case Qt::ImCursorPosition:
      return static_cast<int>(FCaret.Column);
    case Qt::ImAnchorPosition:
      return static_cast<int>(inLine(FAnchor));
    case Qt::ImSurroundingText:
      return FLines.Line(FCaret.Line);
    case Qt::ImCurrentSelection: {
      const qsizetype a = inLine(SelectionStart()), b = inLine(SelectionEnd());
      return FLines.Line(FCaret.Line).mid(a, b - a);
    }
    case Qt::ImTextBeforeCursor:
      return FLines.Line(FCaret.Line).left(FCaret.Column);
    case Qt::ImTextAfterCursor:
      return FLines.Line(FCaret.Line).mid(FCaret.Column);
    case Qt::ImMaximumTextLength:
      return QVariant();
    default:
      return QAbstractScrollArea::inputMethodQuery(query);
  }
}

void TLogMemo::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  const QPalette& pal = palette();
  const int lh = LineHeight();
  const int x0 = kMargin - horizontalScrollBar()->value();
  const QRect area = event->rect();
  const qsizetype first = FirstVisibleLine();
  const qsizetype last = std::min(LineCount() - 1, first + VisibleLines());
  // Only the lines in view (and the caret's) keep their layouts.
  std::erase_if(FLayouts, [&](const auto& kv) {
    return (kv.first < first || kv.first > last) && kv.first != FCaret.Line;
  });
  const TTextPos s = SelectionStart(), e = SelectionEnd();
  const bool selection = HasSelection();
  const int breakWidth = fontMetrics().horizontalAdvance(u' ');
  p.setPen(pal.color(QPalette::Text));
  int y = kMargin;
  for (qsizetype i = first; i <= last && y < viewport()->height(); ++i, y += lh) {
    if (y + lh < area.top()) continue;
    if (y > area.bottom()) break;
    const auto layout = Layout(i);
    QList<QTextLayout::FormatRange> selections;
    if (selection && i >= s.Line && i <= e.Line) {
      const qsizetype a = i == s.Line ? s.Column : 0;
      const qsizetype b = i == e.Line ? e.Column : FLines.Length(i);
      QTextLayout::FormatRange range;
      range.start = static_cast<int>(a);
      range.length = static_cast<int>(b - a);
      range.format.setBackground(pal.brush(QPalette::Highlight));
      range.format.setForeground(pal.brush(QPalette::HighlightedText));
      selections.append(range);
      if (i < e.Line) {
        // The line break is selected too.
        const qreal end = layout->lineAt(0).naturalTextWidth();
        p.fillRect(QRectF(x0 + end, y, breakWidth, lh), pal.color(QPalette::Highlight));
      }
    }
    const QTextLine tl = layout->lineAt(0);
    const bool rtl = layout->textOption().textDirection() == Qt::RightToLeft;
    if (layout->text().size() < kLongLine || rtl || (i == FCaret.Line && !FPreedit.isEmpty())) {
      layout->draw(&p, QPointF(x0, y), selections);
    } else {
      // A long line: only the glyphs in view are drawn, the selected ones over their band.
      const int c0 = std::max(0, tl.xToCursor(area.left() - x0 - breakWidth) - 1);
      const int c1 = std::min(static_cast<int>(layout->text().size()), tl.xToCursor(area.right() - x0 + breakWidth) + 1);
      const int a = selections.isEmpty() ? c1 : std::clamp(selections[0].start, c0, c1);
      const int b = selections.isEmpty() ? c1 : std::clamp(selections[0].start + selections[0].length, c0, c1);
      const auto draw = [&](int from, int to, const QColor& color) {
        if (from >= to) return;
        p.setPen(color);
        for (const QGlyphRun& run : tl.glyphRuns(from, to - from)) p.drawGlyphRun(QPointF(x0, y), run);
      };
      if (a < b) p.fillRect(QRectF(x0 + tl.cursorToX(a), y, tl.cursorToX(b) - tl.cursorToX(a), lh), pal.color(QPalette::Highlight));
      draw(c0, a, pal.color(QPalette::Text));
      draw(a, b, pal.color(QPalette::HighlightedText));
      draw(b, c1, pal.color(QPalette::Text));
      p.setPen(pal.color(QPalette::Text));
    }
    if (FCaretOn && hasFocus() && i == FCaret.Line && (FPreedit.isEmpty() || FPreeditCursor >= 0))
      p.fillRect(QRect(CaretX(), y, 1, lh), pal.color(QPalette::Text));
  }
}

}  // namespace app
