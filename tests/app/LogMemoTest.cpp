// The log control on its own: editing at every place of a small text, selection across lines,
// the clipboard, appending and scrolling, and its text as the log file gets it.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include "LogWindowFixture.h"
#include "app/LogMemo.h"

namespace {

using app::TLogMemo;
using LogMemoInWindow = apptest::TLogWindowTest;
using app::TTextPos;

// Three lines: Cyrillic, an empty one, and one with a character outside the basic plane.
const QString kText = QStringLiteral("ab вг\n\nx\U0001F600y");

class LogMemoTest : public ::testing::Test {
 public:
  void SetUp() override {
    Memo.resize(300, 120);
    Memo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Memo));
  }
  void Load(const QString& text) {
    Memo.clear();
    Memo.appendPlainText(text);
  }
  void Type(const QString& text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, text);
    QApplication::sendEvent(&Memo, &press);
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(&Memo, key, mods); }

  // Every caret place of kText with its offset in the flat text.
  static std::vector<std::pair<TTextPos, qsizetype>> Places() {
    std::vector<std::pair<TTextPos, qsizetype>> places;
    const QStringList lines = kText.split(u'\n');
    qsizetype offset = 0;
    for (qsizetype l = 0; l < lines.size(); ++l) {
      for (qsizetype c = 0; c <= lines[l].size(); ++c) {
        if (c > 0 && c < lines[l].size() && lines[l][c].isLowSurrogate()) continue;
        places.push_back({{l, c}, offset + c});
      }
      offset += lines[l].size() + 1;
    }
    return places;
  }

  TLogMemo Memo;
};

TEST_F(LogMemoTest, EditingAtEveryPlace) {
  struct Edit {
    const char* name;
    std::function<void(LogMemoTest&)> act;
    std::function<QString(qsizetype)> expected;  // from the caret's flat offset
  };
  auto charLength = [](qsizetype at) { return kText[at].isHighSurrogate() ? 2 : 1; };
  const Edit edits[] = {
      {"typed letter", [](LogMemoTest& t) { t.Type(QStringLiteral("Ж")); },
       [](qsizetype at) { return QString(kText).insert(at, QStringLiteral("Ж")); }},
      {"no-break space", [](LogMemoTest& t) { t.Type(QString(QChar(0x00A0))); },
       [](qsizetype at) { return QString(kText).insert(at, QChar(0x00A0)); }},
      {"return", [](LogMemoTest& t) { t.Key(Qt::Key_Return); },
       [](qsizetype at) { return QString(kText).insert(at, u'\n'); }},
      {"backspace", [](LogMemoTest& t) { t.Key(Qt::Key_Backspace); },
       [&](qsizetype at) {
         if (at == 0) return kText;
         const qsizetype n = kText[at - 1].isLowSurrogate() ? 2 : 1;
         return QString(kText).remove(at - n, n);
       }},
      {"delete", [](LogMemoTest& t) { t.Key(Qt::Key_Delete); },
       [&](qsizetype at) { return at == kText.size() ? kText : QString(kText).remove(at, charLength(at)); }},
  };
  for (const Edit& edit : edits) {
    for (const auto& [pos, offset] : Places()) {
      Load(kText);
      Memo.SetCaret(pos);
      edit.act(*this);
      EXPECT_EQ(Memo.toPlainText(), edit.expected(offset))
          << edit.name << " at " << pos.Line << ":" << pos.Column;
    }
  }
}

TEST_F(LogMemoTest, CaretMovesByCharactersLinesAndEnds) {
  Load(kText);
  struct Step {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    TTextPos caret;
  } steps[] = {
      {Qt::Key_End, Qt::NoModifier, {0, 5}},
      {Qt::Key_Right, Qt::NoModifier, {1, 0}},      // over the line break
      {Qt::Key_Down, Qt::NoModifier, {2, 0}},
      {Qt::Key_Right, Qt::NoModifier, {2, 1}},
      {Qt::Key_Right, Qt::NoModifier, {2, 3}},      // a surrogate pair is one character
      {Qt::Key_Left, Qt::NoModifier, {2, 1}},
      {Qt::Key_Up, Qt::NoModifier, {1, 0}},
      {Qt::Key_Left, Qt::NoModifier, {0, 5}},
      {Qt::Key_Home, Qt::NoModifier, {0, 0}},
      {Qt::Key_End, Qt::ControlModifier, {2, 4}},
      {Qt::Key_Home, Qt::ControlModifier, {0, 0}},
  };
  for (const Step& s : steps) {
    Key(s.key, s.mods);
    EXPECT_EQ(Memo.Caret(), s.caret) << QTest::toString(s.key);
  }
}

TEST_F(LogMemoTest, SelectionAcrossLinesByKeyboardAndMouse) {
  Load(QStringLiteral("первая строка\nвторая\nтретья строка"));
  // Keyboard: from inside the first line to inside the third.
  Memo.SetCaret({0, 7});
  Key(Qt::Key_Down, Qt::ShiftModifier);
  Key(Qt::Key_Down, Qt::ShiftModifier);
  Key(Qt::Key_End, Qt::ShiftModifier);
  Key(Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("строка\nвторая\nтретья строк"));
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("строка\nвторая\nтретья строк"));
  // Typing replaces the selection, across its line breaks.
  Type(QStringLiteral("Ё"));
  EXPECT_EQ(Memo.toPlainText(), QStringLiteral("первая Ёа"));
  EXPECT_EQ(Memo.Caret(), (TTextPos{0, 8}));

  // Mouse: press on the second line, drag to the third.
  Load(QStringLiteral("первая строка\nвторая\nтретья строка"));
  const QPoint from = Memo.PointOf({1, 2}) + QPoint(1, 2);
  const QPoint to = Memo.PointOf({2, 3}) + QPoint(1, 2);
  QTest::mousePress(Memo.viewport(), Qt::LeftButton, {}, from);
  QMouseEvent move(QEvent::MouseMove, QPointF(to), Memo.viewport()->mapToGlobal(QPointF(to)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Memo.viewport(), &move);
  QTest::mouseRelease(Memo.viewport(), Qt::LeftButton, {}, to);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("орая\nтре"));
  // Shift+click extends the same selection.
  QTest::mouseClick(Memo.viewport(), Qt::LeftButton, Qt::ShiftModifier, Memo.PointOf({2, 6}) + QPoint(1, 2));
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("орая\nтретья"));

  // Select all, then delete: one empty line is left.
  Key(Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(Memo.SelectedText(), Memo.toPlainText());
  Key(Qt::Key_Delete);
  EXPECT_EQ(Memo.toPlainText(), QString());
  EXPECT_EQ(Memo.LineCount(), 1);
}

TEST_F(LogMemoTest, PasteOfManyLinesAndCut) {
  Load(QStringLiteral("начало|конец"));
  QStringList pasted;
  for (int i = 0; i < 5000; ++i) pasted << QStringLiteral("вставка %1").arg(i);
  // Line breaks of every kind end up as line breaks.
  QApplication::clipboard()->setText(QStringLiteral("A\r\nB\rC\n") + pasted.join(u'\n'));
  Memo.SetCaret({0, 7});
  Key(Qt::Key_V, Qt::ControlModifier);
  const QString expected = QStringLiteral("начало|A\nB\nC\n") + pasted.join(u'\n') + QStringLiteral("конец");
  EXPECT_EQ(Memo.toPlainText(), expected);
  EXPECT_EQ(Memo.LineCount(), 5003);
  EXPECT_EQ(Memo.Caret(), (TTextPos{5002, 12}));  // right after the pasted text

  // Cut the pasted block back out.
  Memo.SetCaret({0, 7});
  Memo.SetCaret({5002, 12}, QTextCursor::KeepAnchor);
  Key(Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(Memo.toPlainText(), QStringLiteral("начало|конец"));
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("A\nB\nC\n") + pasted.join(u'\n'));
}

TEST_F(LogMemoTest, AppendingAddsLinesAndFollowsTheEnd) {
  // The first line takes the empty control's place; breaks inside a text split it.
  Memo.clear();
  Memo.appendPlainText(QStringLiteral("один"));
  Memo.appendPlainText(QStringLiteral("два\r\nтри"));
  Memo.appendPlainText(QString());
  EXPECT_EQ(Memo.toPlainText(), QStringLiteral("один\nдва\nтри\n"));

  // A view at the end keeps showing the newest line; the caret stays where the operator left it.
  Memo.clear();
  Memo.SetCaret({0, 0});
  for (int i = 0; i < 500; ++i) Memo.appendPlainText(QStringLiteral("строка %1").arg(i));
  EXPECT_GE(Memo.FirstVisibleLine() + Memo.verticalScrollBar()->pageStep(), 500);
  QCoreApplication::processEvents();  // the scroll bars catch up on the event loop
  QScrollBar* v = Memo.verticalScrollBar();
  EXPECT_EQ(v->value(), v->maximum());
  EXPECT_GT(v->maximum(), 0);
  EXPECT_GE(Memo.FirstVisibleLine() + v->pageStep(), 500);
  EXPECT_EQ(Memo.Caret(), (TTextPos{0, 0}));
  // A view the operator scrolled back stays there.
  v->setValue(10);
  Memo.appendPlainText(QStringLiteral("ещё"));
  QCoreApplication::processEvents();
  EXPECT_EQ(Memo.FirstVisibleLine(), 10);
  // The widest line can be scrolled to.
  Memo.appendPlainText(QString(400, u'ш'));
  QCoreApplication::processEvents();
  EXPECT_GT(Memo.horizontalScrollBar()->maximum(), 0);
}

TEST_F(LogMemoTest, TabLeavesTheControl) {
  // Tab never types; focus moves on in either direction.
  QWidget window;
  auto* before = new QWidget(&window);
  before->setFocusPolicy(Qt::StrongFocus);
  auto* memo = new TLogMemo(&window);
  auto* after = new QWidget(&window);
  after->setFocusPolicy(Qt::StrongFocus);
  QWidget::setTabOrder(before, memo);
  QWidget::setTabOrder(memo, after);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  memo->appendPlainText(QStringLiteral("строка"));
  struct Case {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    QWidget* next;
  } cases[] = {{Qt::Key_Tab, Qt::NoModifier, after},
               {Qt::Key_Backtab, Qt::ShiftModifier, before},
               {Qt::Key_Tab, Qt::ShiftModifier, before}};
  for (const Case& c : cases) {
    memo->setFocus();
    ASSERT_TRUE(memo->hasFocus());
    QTest::keyClick(memo, c.key, c.mods);
    EXPECT_EQ(QApplication::focusWidget(), c.next) << QTest::toString(c.key);
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("строка"));
  }
}

// In the window: whatever the control holds, typed, pasted or appended, is the log file.
TEST_F(LogMemoInWindow, LogFileHoldsTypedPastedAndAppendedTextExactly) {
  Form.StartButtonClick();
  Form.UpdateRunState(true);
  const QChar nbsp(0x00A0);
  Form.AppendLog(QStringLiteral("найдено 1") + nbsp + QStringLiteral("000 карточек"));
  // The operator types a note on a line of its own, pastes two lines, and edits an earlier line.
  Memo->moveCursor(QTextCursor::End);
  QTest::keyClick(Memo, Qt::Key_Return);
  for (QChar ch : QStringLiteral("заметка") + nbsp + QStringLiteral("оператора")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(Memo, &press);
  }
  QApplication::clipboard()->setText(QStringLiteral("\r\nвставка 1\r\nвставка") + nbsp + u'2');
  QTest::keyClick(Memo, Qt::Key_V, Qt::ControlModifier);
  Memo->SetCaret({0, 0});
  QKeyEvent exclam(QEvent::KeyPress, Qt::Key_Exclam, Qt::NoModifier, QStringLiteral("!"));
  QApplication::sendEvent(Memo, &exclam);
  Form.AppendLog(QStringLiteral("после правки"));
  Form.UpdateRunState(false);

  const QString path = LogPath();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString stamp = QStringLiteral("09.12.2024 9:05:07");
  const QString expected = QStringLiteral("!") + stamp + QStringLiteral(": Начинаем работу по выгрузке\r\n") +
                           stamp + QStringLiteral(": найдено 1") + nbsp + QStringLiteral("000 карточек\r\n") +
                           QStringLiteral("заметка") + nbsp + QStringLiteral("оператора\r\n") +
                           QStringLiteral("вставка 1\r\nвставка") + nbsp + QStringLiteral("2\r\n") + stamp +
                           QStringLiteral(": после правки\r\n") + stamp +
                           QStringLiteral(": Работа завершена, лог записан в ") + path + QStringLiteral("\r\n");
  const QByteArray bytes = file.readAll();
  EXPECT_EQ(bytes.toHex().toStdString(), run::EncodeLogText(expected, "CP1251").toHex().toStdString());
  // The no-break space is the code page's own byte, not a plain space.
  EXPECT_TRUE(bytes.contains("1\xA0" "000"));
  EXPECT_EQ(Memo->toPlainText() + QStringLiteral("\n"), QString(expected).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

// The window's tab order runs through the log: Tab and Shift+Tab leave it without typing.
TEST_F(LogMemoInWindow, TabOrderWalksThroughTheLog) {
  Form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
  const QString intro = Memo->toPlainText();
  Memo->setFocus();
  QTest::keyClick(Memo, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), apptest::Find<QWidget>(Form, "CheckBox1"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), Memo);
  QTest::keyClick(Memo, Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget(), apptest::Find<QWidget>(Form, "StopButton"));
  EXPECT_EQ(Memo->toPlainText(), intro);
}

}  // namespace
