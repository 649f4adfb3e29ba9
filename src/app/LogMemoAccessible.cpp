#include "app/LogMemoAccessible.h"

#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <algorithm>

#include "app/LogMemo.h"

namespace app {

namespace {

QAccessibleInterface* Factory(const QString& key, QObject* object) {
  auto* memo = qobject_cast<TLogMemo*>(object);
  if (memo && key == QLatin1String(TLogMemo::staticMetaObject.className())) return new TLogMemoAccessible(memo);
  return nullptr;
}

}  // namespace

TLogMemoAccessible::TLogMemoAccessible(TLogMemo* memo) : QAccessibleWidget(memo, QAccessible::EditableText) {}

void TLogMemoAccessible::Install() {
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

TLogMemo* TLogMemoAccessible::Memo() const { return static_cast<TLogMemo*>(widget()); }

void* TLogMemoAccessible::interface_cast(QAccessible::InterfaceType type) {
  if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
  if (type == QAccessible::EditableTextInterface) return static_cast<QAccessibleEditableTextInterface*>(this);
  return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TLogMemoAccessible::state() const {
  QAccessible::State s = QAccessibleWidget::state();
  s.editable = !Memo()->isReadOnly();
  s.readOnly = Memo()->isReadOnly();
  s.multiLine = true;
  s.selectableText = true;
  s.focusable = true;
  return s;
}

QString TLogMemoAccessible::text(QAccessible::Text type) const {
  if (type == QAccessible::Value) return Memo()->toPlainText();
  return QAccessibleWidget::text(type);
}

void TLogMemoAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
  *startOffset = *endOffset = 0;
  if (selectionIndex != 0 || Memo()->Caret() == Memo()->Anchor()) return;
  const TTextPos a = std::min(Memo()->Caret(), Memo()->Anchor()), b = std::max(Memo()->Caret(), Memo()->Anchor());
  *startOffset = static_cast<int>(Memo()->OffsetOf(a));
  *endOffset = static_cast<int>(Memo()->OffsetOf(b));
}

int TLogMemoAccessible::selectionCount() const { return Memo()->Caret() == Memo()->Anchor() ? 0 : 1; }

void TLogMemoAccessible::addSelection(int startOffset, int endOffset) { setSelection(0, startOffset, endOffset); }

void TLogMemoAccessible::removeSelection(int selectionIndex) {
  if (selectionIndex == 0) Memo()->SetCaret(Memo()->Caret());
}

void TLogMemoAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
  if (selectionIndex != 0) return;
  Memo()->SetCaret(Memo()->PosOfOffset(startOffset));
  Memo()->SetCaret(Memo()->PosOfOffset(endOffset), QTextCursor::KeepAnchor);
}

int TLogMemoAccessible::cursorPosition() const { return static_cast<int>(Memo()->OffsetOf(Memo()->Caret())); }

void TLogMemoAccessible::setCursorPosition(int position) { Memo()->SetCaret(Memo()->PosOfOffset(position)); }

QString TLogMemoAccessible::text(int startOffset, int endOffset) const {
  const qsizetype count = Memo()->CharacterCount();
  if (endOffset < 0 || endOffset > count) endOffset = static_cast<int>(count);
  if (startOffset < 0 || startOffset >= endOffset) return {};
  return Memo()->TextBetween(Memo()->PosOfOffset(startOffset), Memo()->PosOfOffset(endOffset));
}

void TLogMemoAccessible::Unit(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const {
  TLogMemo* memo = Memo();
  const int count = static_cast<int>(memo->CharacterCount());
  offset = std::clamp(offset, 0, count);
  if (type == QAccessible::NoBoundary) {
    *start = 0;
    *end = count;
    return;
  }
  const TTextPos pos = memo->PosOfOffset(offset);
  const QString line = memo->Line(pos.Line);
  const int lineStart = offset - static_cast<int>(pos.Column);
  const bool lastLine = pos.Line + 1 == memo->LineCount();
  if (type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary) {
    // The line with its line break.
    *start = lineStart;
    *end = lineStart + static_cast<int>(line.size()) + (lastLine ? 0 : 1);
    return;
  }
  if (pos.Column >= line.size()) {
    // The line break, or nothing at the very end.
    *start = offset;
    *end = std::min(count, offset + 1);
    return;
  }
  if (type == QAccessible::CharBoundary) {
    const bool pair = line[pos.Column].isHighSurrogate() && pos.Column + 1 < line.size();
    *start = offset;
    *end = offset + (pair ? 2 : 1);
    return;
  }
  QTextBoundaryFinder finder(type == QAccessible::SentenceBoundary ? QTextBoundaryFinder::Sentence
                                                                   : QTextBoundaryFinder::Word,
                             line);
  finder.setPosition(pos.Column);
  const qsizetype from = finder.isAtBoundary() ? pos.Column : finder.toPreviousBoundary();
  finder.setPosition(pos.Column);
  qsizetype to = finder.toNextBoundary();
  if (to < 0) to = line.size();
  *start = lineStart + static_cast<int>(std::max<qsizetype>(0, from));
  *end = lineStart + static_cast<int>(to);
}

QString TLogMemoAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                                         int* endOffset) const {
  Unit(offset, type, startOffset, endOffset);
  return text(*startOffset, *endOffset);
}

QString TLogMemoAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                                             int* endOffset) const {
  int start = 0, end = 0;
  Unit(offset, type, &start, &end);
  if (start <= 0) {
    *startOffset = *endOffset = 0;
    return {};
  }
  Unit(start - 1, type, startOffset, endOffset);
  return text(*startOffset, *endOffset);
}

QString TLogMemoAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* startOffset,
                                            int* endOffset) const {
  int start = 0, end = 0;
  Unit(offset, type, &start, &end);
  const int count = characterCount();
  if (end >= count) {
    *startOffset = *endOffset = count;
    return {};
  }
  Unit(end, type, startOffset, endOffset);
  return text(*startOffset, *endOffset);
}

int TLogMemoAccessible::characterCount() const { return static_cast<int>(Memo()->CharacterCount()); }

QRect TLogMemoAccessible::characterRect(int offset) const {
  TLogMemo* memo = Memo();
  const TTextPos pos = memo->PosOfOffset(offset);
  const QPoint at = memo->PointOf(pos);
  const QPoint next = memo->PointOf({pos.Line, pos.Column + 1});
  const int width = std::max(1, std::abs(next.x() - at.x()));
  const QRect local(std::min(at.x(), next.x()), at.y(), width, memo->LineHeight());
  return QRect(memo->viewport()->mapToGlobal(local.topLeft()), local.size());
}

int TLogMemoAccessible::offsetAtPoint(const QPoint& point) const {
  TLogMemo* memo = Memo();
  const QPoint local = memo->viewport()->mapFromGlobal(point);
  if (!memo->viewport()->rect().contains(local)) return -1;
  return static_cast<int>(memo->OffsetOf(memo->PosAt(local)));
}

void TLogMemoAccessible::scrollToSubstring(int startIndex, int) {
  TLogMemo* memo = Memo();
  const qsizetype line = memo->PosOfOffset(startIndex).Line;
  QScrollBar* v = memo->verticalScrollBar();
  if (line < memo->FirstVisibleLine() || line >= memo->FirstVisibleLine() + memo->VisibleLines())
    v->setValue(static_cast<int>(std::max<qsizetype>(0, line - memo->VisibleLines() / 2)));
}

QString TLogMemoAccessible::attributes(int offset, int* startOffset, int* endOffset) const {
  *startOffset = *endOffset = offset;
  return {};
}

void TLogMemoAccessible::deleteText(int startOffset, int endOffset) { replaceText(startOffset, endOffset, {}); }

void TLogMemoAccessible::insertText(int offset, const QString& text) { replaceText(offset, offset, text); }

void TLogMemoAccessible::replaceText(int startOffset, int endOffset, const QString& text) {
  Memo()->EditText(startOffset, endOffset, text);
}

}  // namespace app
