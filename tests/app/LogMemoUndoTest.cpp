// Undo and redo of the operator's edits in the log control: against a plain-string model over
// thousands of random edits mixed with the run's appends, and on the real window, where the
// log file is saved from what an undo brought back.
#include <QApplication>
#include <QFile>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>
#include <QTest>
#include <gtest/gtest.h>
#include <map>
#include <random>

#include "LogWindowFixture.h"
#include "app/LogMemo.h"
#include "run/LogFormat.h"

namespace {

using app::TLogMemo;
using LogMemoUndoInWindow = apptest::TLogWindowTest;
using app::TTextPos;

// The text as a flat string, with the undo steps as offsets into it. Appends are not steps;
// appended text never moves an earlier offset.
class TModel {
 public:
  QString Text;
  void Edit(qsizetype at, qsizetype removed, const QString& inserted) {
    FUndo.push_back({at, Text.mid(at, removed), inserted, false});
    FRedo.clear();
    Text.replace(at, removed, inserted);
  }
  void Append(const QString& line) {
    if (Text.isEmpty()) {
      // The run's first line takes the empty control's place; once the operator's text is back,
      // it is a line before it.
      if (!FUndo.empty()) FUndo.back().RunFollows = true;
      Text = line;
    } else {
      Text += u'\n' + line;
    }
  }
  void Undo() {
    if (FUndo.empty()) return;
    Step s = FUndo.back();
    FUndo.pop_back();
    if (s.RunFollows && !s.Removed.isEmpty()) s.Removed += u'\n';
    s.RunFollows = false;
    Text.replace(s.At, s.Inserted.size(), s.Removed);
    FRedo.push_back(s);
  }
  void Redo() {
    if (FRedo.empty()) return;
    const Step s = FRedo.back();
    FRedo.pop_back();
    Text.replace(s.At, s.Removed.size(), s.Inserted);
    FUndo.push_back(s);
  }

 private:
  struct Step {
    qsizetype At;
    QString Removed, Inserted;
    bool RunFollows;
  };
  std::vector<Step> FUndo, FRedo;
};

TEST(LogMemoUndo, RandomEditsUndoRedoAndAppendsMatchAPlainStringModel) {
  TLogMemo memo;
  memo.resize(300, 150);
  TModel model;
  std::mt19937 random(20261211);
  const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  // Pieces of typed and pasted text: line breaks of every kind, a pair of surrogates, a
  // combining mark, a no-break space.
  const QString pieces[] = {QStringLiteral("a"), QStringLiteral("Ж"), QStringLiteral("\r\n"), QStringLiteral("\n"),
                            QStringLiteral("\r"), QStringLiteral("\U0001F600"), QStringLiteral("e\u0301"),
                            QString(QChar(0x00A0)), QStringLiteral("слово "), QStringLiteral("\n\n")};
  // A caret place: never between the halves of a surrogate pair.
  const auto place = [&]() {
    qsizetype at = pick(static_cast<int>(model.Text.size()) + 1);
    if (at > 0 && at < model.Text.size() && model.Text[at].isLowSurrogate()) --at;
    return at;
  };
  int appended = 0;
  for (int step = 0; step < 4000; ++step) {
    const int action = pick(100);
    if (action < 35) {
      QString text;
      for (int k = pick(4) + 1; k > 0; --k) text += pieces[pick(static_cast<int>(std::size(pieces)))];
      const qsizetype at = place();
      memo.SetCaret(memo.PosOfOffset(at));
      memo.insertPlainText(text);
      model.Edit(at, 0, app::SplitLines(text).join(u'\n'));
    } else if (action < 55 || model.Text.size() > 3000) {
      qsizetype a = place(), b = place();
      if (a > b) std::swap(a, b);
      memo.SetCaret(memo.PosOfOffset(a));
      memo.SetCaret(memo.PosOfOffset(b), QTextCursor::KeepAnchor);
      QString text;
      if (pick(2) == 0) text = pieces[pick(static_cast<int>(std::size(pieces)))];
      if (a == b && text.isEmpty()) continue;
      memo.insertPlainText(text);
      model.Edit(a, b - a, app::SplitLines(text).join(u'\n'));
    } else if (action < 72) {
      memo.undo();
      model.Undo();
    } else if (action < 84) {
      memo.redo();
      model.Redo();
    } else if (action < 97) {
      const QString line = QStringLiteral("строка прогона %1").arg(++appended);
      memo.appendPlainText(line);
      model.Append(line);
    } else {
      // Everything selected and erased, as Ctrl+A and Delete do.
      memo.selectAll();
      if (!memo.SelectedText().isEmpty()) {
        model.Edit(0, model.Text.size(), QString());
        memo.insertPlainText(QString());
      }
    }
    ASSERT_EQ(memo.toPlainText(), model.Text) << "step " << step;
    ASSERT_EQ(memo.CharacterCount(), model.Text.size()) << "step " << step;
    const qsizetype at = place();
    ASSERT_EQ(memo.OffsetOf(memo.PosOfOffset(at)), at) << "step " << step;
  }
}

TEST(LogMemoUndo, TypedCharactersAreOneStepAndAppendsAreNone) {
  TLogMemo memo;
  memo.appendPlainText(QStringLiteral("первая"));
  memo.SetCaret({0, 6});
  for (QChar ch : QStringLiteral(" правка")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(&memo, &press);
  }
  memo.appendPlainText(QStringLiteral("вторая"));
  EXPECT_TRUE(memo.isUndoAvailable());
  QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("первая\nвторая"));
  EXPECT_FALSE(memo.isUndoAvailable());  // the appended lines are not steps
  EXPECT_EQ(memo.Caret(), (TTextPos{0, 6}));
  QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("первая правка\nвторая"));
  QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(&memo, Qt::Key_Y, Qt::ControlModifier);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("первая правка\nвторая"));
  // A new edit drops what could be done again.
  QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(&memo, Qt::Key_Backspace);
  EXPECT_FALSE(memo.isRedoAvailable());
  // A read-only control neither undoes nor redoes.
  memo.setReadOnly(true);
  QTest::keyClick(&memo, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("перва\nвторая"));
}

// The context menu offers undo and redo, with the toolkit's texts, when there is something to
// undo or redo.
TEST(LogMemoUndo, TheContextMenuHasUndoAndRedo) {
  TLogMemo memo;
  memo.resize(300, 150);
  memo.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&memo));
  const auto entries = [&] {
    std::map<QString, bool> seen;
    QTimer::singleShot(0, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      for (QAction* a : menu->actions())
        if (!a->isSeparator()) seen[a->text()] = a->isEnabled();
      menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), memo.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(memo.viewport(), &event);
    return seen;
  };
  const QString undo = QCoreApplication::translate("QWidgetTextControl", "&Undo");
  const QString redo = QCoreApplication::translate("QWidgetTextControl", "&Redo");
  auto seen = entries();
  ASSERT_TRUE(seen.count(undo) && seen.count(redo));
  EXPECT_FALSE(seen[undo]);
  EXPECT_FALSE(seen[redo]);
  memo.insertPlainText(QStringLiteral("правка"));
  seen = entries();
  EXPECT_TRUE(seen[undo]);
  EXPECT_FALSE(seen[redo]);
  memo.undo();
  seen = entries();
  EXPECT_FALSE(seen[undo]);
  EXPECT_TRUE(seen[redo]);
}

// On the window: a note typed into the log, everything erased by Ctrl+A and one key while the
// run goes on, Ctrl+Z: the log file holds the run's lines and the note.
TEST_F(LogMemoUndoInWindow, UndoOnTheWindowBringsTheLogBackBeforeItIsSaved) {
  Form.StartButtonClick();
  Form.UpdateRunState(true);
  Form.AppendLog(QStringLiteral("найдено 2 карточки"));
  Memo->setFocus();
  Memo->moveCursor(QTextCursor::End);
  QTest::keyClick(Memo, Qt::Key_Return);
  for (QChar ch : QStringLiteral("заметка")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(Memo, &press);
  }
  QTest::keyClick(Memo, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(Memo, Qt::Key_X);
  EXPECT_EQ(Memo->toPlainText(), QStringLiteral("x"));
  Form.AppendLog(QStringLiteral("карточка 1"));
  QTest::keyClick(Memo, Qt::Key_Z, Qt::ControlModifier);
  Form.AppendLog(QStringLiteral("карточка 2"));
  Form.UpdateRunState(false);

  const QString path = LogPath();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString stamp = QStringLiteral("09.12.2024 9:05:07");
  const QString expected = stamp + QStringLiteral(": Начинаем работу по выгрузке\r\n") + stamp +
                           QStringLiteral(": найдено 2 карточки\r\nзаметка\r\n") + stamp +
                           QStringLiteral(": карточка 1\r\n") + stamp + QStringLiteral(": карточка 2\r\n") + stamp +
                           QStringLiteral(": Работа завершена, лог записан в ") + path + QStringLiteral("\r\n");
  EXPECT_EQ(file.readAll().toHex().toStdString(), run::EncodeLogText(expected, "CP1251").toHex().toStdString());
}

}  // namespace
