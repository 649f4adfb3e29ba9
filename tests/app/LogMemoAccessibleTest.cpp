// What a screen reader gets from the window's log control: an editable text object with its
// text, caret, lines, words and character places. (The events reach a reader only through a
// platform's accessibility bridge; the AT-SPI check under Xvfb sees them.)
#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <gtest/gtest.h>

#include "LogWindowFixture.h"
#include "app/LogMemo.h"

namespace {

using app::TLogMemo;
using LogMemoAccessible = apptest::TLogWindowTest;

TEST_F(LogMemoAccessible, TheWindowsLogIsAnEditableTextObject) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(Memo);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::EditableText);
  EXPECT_TRUE(iface->state().editable);
  EXPECT_TRUE(iface->state().multiLine);
  QAccessibleTextInterface* text = iface->textInterface();
  QAccessibleEditableTextInterface* editable = iface->editableTextInterface();
  ASSERT_NE(text, nullptr);
  ASSERT_NE(editable, nullptr);
  EXPECT_EQ(text->text(0, text->characterCount()), Memo->toPlainText());

  // Typed at the end, on a line of its own.
  Memo->setFocus();
  Memo->moveCursor(QTextCursor::End);
  QTest::keyClick(Memo, Qt::Key_Return);
  for (QChar ch : QStringLiteral("заметка оператора")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(Memo, &press);
  }
  const QString typed = QStringLiteral("заметка оператора");
  const int count = text->characterCount();
  EXPECT_EQ(count, Memo->toPlainText().size());
  EXPECT_EQ(text->cursorPosition(), count);
  int start = 0, end = 0;
  EXPECT_EQ(text->textAtOffset(count - 3, QAccessible::LineBoundary, &start, &end), typed);
  EXPECT_EQ(end, count);
  EXPECT_EQ(text->textAtOffset(count - 3, QAccessible::WordBoundary, &start, &end), QStringLiteral("оператора"));
  EXPECT_EQ(text->textAtOffset(count - 1, QAccessible::CharBoundary, &start, &end), QStringLiteral("а"));
  EXPECT_EQ(text->textBeforeOffset(count - 3, QAccessible::LineBoundary, &start, &end), Memo->Line(Memo->LineCount() - 2) + u'\n');
  const QRect cell = text->characterRect(count - 1);
  EXPECT_TRUE(Memo->viewport()->rect().contains(Memo->viewport()->mapFromGlobal(cell.center())));
  EXPECT_EQ(text->offsetAtPoint(cell.center()), count - 1);

  // Appended by the run.
  Form.AppendLog(QStringLiteral("карточка 1"));
  const QString appended = QStringLiteral("09.12.2024 9:05:07: карточка 1");
  EXPECT_EQ(text->characterCount(), count + 1 + appended.size());
  EXPECT_EQ(text->textAtOffset(text->characterCount() - 1, QAccessible::LineBoundary, &start, &end), appended);
  EXPECT_EQ(text->cursorPosition(), count);  // the caret stays where the operator left it

  // Edited through the interface: an undoable edit like any other.
  editable->replaceText(count - 9, count, QStringLiteral("читателя"));
  EXPECT_EQ(text->textAtOffset(count - 3, QAccessible::LineBoundary, &start, &end), QStringLiteral("заметка читателя\n"));
  Memo->undo();
  EXPECT_EQ(text->textAtOffset(count - 3, QAccessible::LineBoundary, &start, &end), typed + u'\n');
  text->setSelection(0, count - 9, count);
  EXPECT_EQ(Memo->SelectedText(), QStringLiteral("оператора"));
}

}  // namespace
