// The log control's view against what a desktop text control does: caret places by x and by
// grapheme cluster, right-to-left text, widths after a font change, the mouse's units and its
// drag past the edge, the margins, the wheel against following the end, the input method.
#include <QApplication>
#include <QInputMethodEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <QTextCharFormat>
#include <QTextLayout>
#include <gtest/gtest.h>
#include <functional>
#include <numeric>

#include "app/LogMemo.h"

namespace {

using app::TLogMemo;
using app::TTextPos;

class LogMemoViewTest : public ::testing::Test {
 public:
  void SetUp() override {
    Memo.resize(400, 200);
    Memo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Memo));
  }
  void Load(const QString& text) {
    Memo.clear();
    Memo.appendPlainText(text);
    QCoreApplication::processEvents();
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(&Memo, key, mods); }
  void Mouse(QEvent::Type type, QPoint at, ulong time, Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent e(type, QPointF(at), Memo.viewport()->mapToGlobal(QPointF(at)),
                  type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    e.setTimestamp(time);
    QApplication::sendEvent(Memo.viewport(), &e);
  }
  // Inside the character's cell, a little right of its left edge.
  QPoint At(TTextPos pos) const { return Memo.PointOf(pos) + QPoint(1, Memo.LineHeight() / 2); }

  TLogMemo Memo;
};

// Up and Down keep the x they started from, over a short line and through narrow and wide
// letters.
TEST_F(LogMemoViewTest, VerticalMovesKeepTheX) {
  Load(QStringLiteral("WWWWWWWWWWWWWWWW\nab\niiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiii"));
  Memo.SetCaret({0, 8});
  const int x = Memo.CaretX();
  Key(Qt::Key_Down);
  EXPECT_EQ(Memo.Caret(), (TTextPos{1, 2}));
  Key(Qt::Key_Down);
  EXPECT_GT(Memo.Caret().Column, 8);  // more narrow letters fit under the same x
  EXPECT_LE(std::abs(Memo.CaretX() - x), QFontMetrics(Memo.font()).horizontalAdvance(u'i'));
  Key(Qt::Key_Up);
  Key(Qt::Key_Up);
  EXPECT_EQ(Memo.Caret(), (TTextPos{0, 8}));
  // A move along the line starts a new x.
  Key(Qt::Key_Left);
  Key(Qt::Key_Down);
  Key(Qt::Key_Down);
  EXPECT_LT(std::abs(Memo.CaretX() - (x - QFontMetrics(Memo.font()).horizontalAdvance(u'W'))), 8);
}

// Arrows and Delete take a base letter with its combining mark, a flag, a joined emoji whole.
TEST_F(LogMemoViewTest, ArrowsAndDeleteMoveByGraphemeClusters) {
  const QString e = QStringLiteral("e\u0301"), flag = QStringLiteral("\U0001F1F7\U0001F1FA"),
                family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
  const QString line = e + u'x' + flag + u'y' + family + u'z';
  Load(line);
  const qsizetype stops[] = {0, 2, 3, 7, 8, 16, 17};
  Memo.SetCaret({0, 0});
  for (size_t k = 1; k < std::size(stops); ++k) {
    Key(Qt::Key_Right);
    EXPECT_EQ(Memo.Caret().Column, stops[k]);
  }
  for (size_t k = std::size(stops) - 1; k-- > 0;) {
    Key(Qt::Key_Left);
    EXPECT_EQ(Memo.Caret().Column, stops[k]);
  }
  struct Case {
    qsizetype at;
    QString left;
  } cases[] = {{0, QString(line).remove(0, 2)}, {3, QString(line).remove(3, 4)}, {8, QString(line).remove(8, 8)}};
  for (const Case& c : cases) {
    Load(line);
    Memo.SetCaret({0, c.at});
    Key(Qt::Key_Delete);
    EXPECT_EQ(Memo.toPlainText(), c.left) << c.at;
  }
}

// In a right-to-left line the first character is at the right: the caret, a click and the
// arrows follow the screen.
TEST_F(LogMemoViewTest, RightToLeftTextHasItsCaretOnTheRight) {
  const QString hebrew = QStringLiteral("שלום עולם");
  Load(hebrew);
  Memo.SetCaret({0, 0});
  const int start = Memo.CaretX();
  Memo.SetCaret({0, hebrew.size()});
  const int end = Memo.CaretX();
  EXPECT_GT(start, end + 20);
  // A click left of the text's middle is near its end.
  QTest::mouseClick(Memo.viewport(), Qt::LeftButton, {}, QPoint(end + 2, At({0, 0}).y()));
  EXPECT_GE(Memo.Caret().Column, hebrew.size() - 1);
  // Left goes on through the text.
  Memo.SetCaret({0, 0});
  Key(Qt::Key_Left);
  EXPECT_EQ(Memo.Caret().Column, 1);
  EXPECT_LT(Memo.CaretX(), start);
}

// The horizontal range covers the widest line, exactly as painted, even after a font change
// with that line out of view.
TEST_F(LogMemoViewTest, TheWidestLineCanBeScrolledToAfterAFontChange) {
  const QString wide = QString(300, u'ш') + QStringLiteral("AVAWATa.,;il1fi");
  Memo.clear();
  Memo.appendPlainText(wide);
  for (int i = 0; i < 300; ++i) Memo.appendPlainText(QStringLiteral("строка %1").arg(i));
  QCoreApplication::processEvents();
  ASSERT_GT(Memo.FirstVisibleLine(), 0);
  QFont font = Memo.font();
  font.setPointSizeF(font.pointSizeF() * 1.7);
  Memo.setFont(font);
  QCoreApplication::processEvents();
  QTextLayout layout(wide, font, Memo.viewport());
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  const qreal painted = layout.lineAt(0).naturalTextWidth();
  EXPECT_GE(Memo.WidestLine(), painted);
  EXPECT_LE(Memo.WidestLine(), painted * 1.01 + 2);  // a bound, not far above
  EXPECT_GE(Memo.horizontalScrollBar()->maximum() + Memo.viewport()->width(), painted);
}

TEST_F(LogMemoViewTest, TripleClickSelectsTheLineAndDoubleClickDragGoesByWords) {
  Load(QStringLiteral("alpha beta gamma delta\nвторая строка\nтретья"));
  const QPoint beta = At({0, 7});
  Mouse(QEvent::MouseButtonPress, beta, 1000);
  Mouse(QEvent::MouseButtonRelease, beta, 1010, Qt::NoButton);
  Mouse(QEvent::MouseButtonDblClick, beta, 1020);
  Mouse(QEvent::MouseButtonRelease, beta, 1030, Qt::NoButton);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("beta"));
  Mouse(QEvent::MouseButtonPress, beta, 1100);
  Mouse(QEvent::MouseButtonRelease, beta, 1110, Qt::NoButton);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("alpha beta gamma delta\n"));

  // Double-click, then drag: whole words on either side of the first one.
  Mouse(QEvent::MouseButtonPress, beta, 5000);
  Mouse(QEvent::MouseButtonRelease, beta, 5010, Qt::NoButton);
  Mouse(QEvent::MouseButtonDblClick, beta, 5020);
  Mouse(QEvent::MouseMove, At({0, 13}), 5030);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("beta gamma"));
  Mouse(QEvent::MouseMove, At({0, 2}), 5040);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("alpha beta"));
  Mouse(QEvent::MouseMove, At({1, 9}), 5050);
  EXPECT_EQ(Memo.SelectedText(), QStringLiteral("beta gamma delta\nвторая строка"));
  Mouse(QEvent::MouseButtonRelease, At({1, 9}), 5060, Qt::NoButton);
}

// Held below the view, a drag goes on scrolling and selecting.
TEST_F(LogMemoViewTest, DragPastTheEdgeScrolls) {
  QStringList lines;
  for (int i = 0; i < 300; ++i) lines << QStringLiteral("строка %1").arg(i);
  Load(lines.join(u'\n'));
  Memo.verticalScrollBar()->setValue(0);
  QCoreApplication::processEvents();
  Mouse(QEvent::MouseButtonPress, At({1, 0}), 100);
  const QPoint below(20, Memo.viewport()->height() + 30);
  Mouse(QEvent::MouseMove, below, 110);
  const qsizetype reached = Memo.Caret().Line;
  QTest::qWait(400);
  EXPECT_GT(Memo.FirstVisibleLine(), 0);
  EXPECT_GT(Memo.Caret().Line, reached);
  EXPECT_EQ(Memo.Anchor(), (TTextPos{1, 0}));
  Mouse(QEvent::MouseButtonRelease, below, 600, Qt::NoButton);
  const qsizetype stopped = Memo.FirstVisibleLine();
  QTest::qWait(200);
  EXPECT_EQ(Memo.FirstVisibleLine(), stopped);
}

// A click in the margin above the first line in view stays on that line.
TEST_F(LogMemoViewTest, AClickInTheMarginIsOnTheNearestLine) {
  QStringList lines;
  for (int i = 0; i < 100; ++i) lines << QStringLiteral("строка %1").arg(i);
  Load(lines.join(u'\n'));
  Memo.verticalScrollBar()->setValue(10);
  QTest::mouseClick(Memo.viewport(), Qt::LeftButton, {}, QPoint(30, 1));
  EXPECT_EQ(Memo.Caret().Line, 10);
  QTest::mouseClick(Memo.viewport(), Qt::LeftButton, {}, QPoint(30, Memo.viewport()->height() - 1));
  EXPECT_LE(Memo.Caret().Line, 10 + Memo.VisibleLines());
}

// A wheel turned while an append's scroll-bar update is still queued is not undone by it.
TEST_F(LogMemoViewTest, AWheelScrollWinsOverFollowingTheEnd) {
  Memo.clear();
  for (int i = 0; i < 300; ++i) Memo.appendPlainText(QStringLiteral("строка %1").arg(i));
  QCoreApplication::processEvents();
  Memo.appendPlainText(QStringLiteral("ещё одна"));  // its scroll-bar update is queued
  const QPoint at(20, 20);
  QWheelEvent wheel(QPointF(at), Memo.viewport()->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, 120),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(Memo.viewport(), &wheel);
  QCoreApplication::processEvents();
  QScrollBar* v = Memo.verticalScrollBar();
  EXPECT_LT(v->value(), v->maximum());
  EXPECT_EQ(v->maximum(), 301 - v->pageStep());
  Memo.appendPlainText(QStringLiteral("и ещё"));
  QCoreApplication::processEvents();
  EXPECT_LT(v->value(), v->maximum());
}

TEST_F(LogMemoViewTest, InputMethodCompositionIsPaintedAndReplaces) {
  Load(QStringLiteral("abcdef"));
  Memo.setFocus();
  Memo.SetCaret({0, 3});
  const int before = Memo.CaretX();
  const QImage plain = Memo.viewport()->grab().toImage();
  QTextCharFormat underline;
  underline.setUnderlineStyle(QTextCharFormat::SingleUnderline);
  QInputMethodEvent compose(QStringLiteral("ЖЖЖ"), {{QInputMethodEvent::TextFormat, 0, 3, underline},
                                                     {QInputMethodEvent::Cursor, 3, 1, {}}});
  QApplication::sendEvent(&Memo, &compose);
  EXPECT_EQ(Memo.PreeditText(), QStringLiteral("ЖЖЖ"));
  EXPECT_EQ(Memo.toPlainText(), QStringLiteral("abcdef"));  // not text yet
  EXPECT_GT(Memo.CaretX(), before + QFontMetrics(Memo.font()).horizontalAdvance(QStringLiteral("ЖЖ")));
  EXPECT_NE(Memo.viewport()->grab().toImage(), plain);
  const QRect rect = Memo.inputMethodQuery(Qt::ImCursorRectangle).toRect();
  EXPECT_EQ(rect.x(), Memo.CaretX() + Memo.viewport()->x());

  // Committed with a replacement range: "bc" before the caret gives way.
  QInputMethodEvent commit;
  commit.setCommitString(QStringLiteral("X"), -2, 2);
  QApplication::sendEvent(&Memo, &commit);
  EXPECT_EQ(Memo.toPlainText(), QStringLiteral("aXdef"));
  EXPECT_EQ(Memo.PreeditText(), QString());
  EXPECT_EQ(Memo.Caret(), (TTextPos{0, 2}));

  // The queries an input method asks, within the caret's line.
  Load(QStringLiteral("первая\nвторая строка"));
  Memo.SetCaret({1, 2});
  Memo.SetCaret({1, 6}, QTextCursor::KeepAnchor);
  EXPECT_EQ(Memo.inputMethodQuery(Qt::ImAnchorPosition).toInt(), 2);
  EXPECT_EQ(Memo.inputMethodQuery(Qt::ImCursorPosition).toInt(), 6);
  EXPECT_EQ(Memo.inputMethodQuery(Qt::ImSurroundingText).toString(), QStringLiteral("вторая строка"));
  EXPECT_EQ(Memo.inputMethodQuery(Qt::ImCurrentSelection).toString(), QStringLiteral("орая"));
}

}  // namespace

namespace {

// A long line is drawn only where it is in view; it looks as the whole line drawn would, with
// its selection where it belongs.
TEST_F(LogMemoViewTest, ALongLineLooksAsIfDrawnWhole) {
  QString line;
  while (line.size() < 6000) line += QStringLiteral("Загружаем карточку %1; ").arg(line.size());
  Load(line);
  Memo.horizontalScrollBar()->setValue(Memo.horizontalScrollBar()->maximum() / 2);
  QCoreApplication::processEvents();
  const auto render = [&](bool select) {
    QImage image(Memo.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Memo.palette().color(QPalette::Base));
    QPainter p(&image);
    QTextLayout layout(line, Memo.font(), Memo.viewport());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    layout.setTextOption(option);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    p.setPen(Memo.palette().color(QPalette::Text));
    QList<QTextLayout::FormatRange> selections;
    if (select) {
      QTextLayout::FormatRange r;
      r.start = 3000;
      r.length = 40;
      r.format.setBackground(Memo.palette().brush(QPalette::Highlight));
      r.format.setForeground(Memo.palette().brush(QPalette::HighlightedText));
      selections.append(r);
    }
    layout.draw(&p, QPointF(4 - Memo.horizontalScrollBar()->value(), 4), selections);
    return image;
  };
  const auto shown = [&] {
    QImage image(Memo.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    Memo.viewport()->render(&image);
    return image;
  };
  // Where the text is, row by row: the pixels of the text's colour in view.
  const auto textPixels = [&](const QImage& image, QRgb color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) n += image.pixel(x, y) == color;
    return n;
  };
  const QRgb text = Memo.palette().color(QPalette::Text).rgb();
  const QImage plain = shown();
  EXPECT_GT(textPixels(plain, text), 0);
  const QImage whole = render(false);
  EXPECT_NEAR(textPixels(plain, text), textPixels(whole, text), textPixels(whole, text) / 20);
  // Ink in the same columns, to the pixel.
  const auto inked = [&](const QImage& image) {
    std::vector<bool> columns(static_cast<size_t>(image.width()));
    const QRgb base = Memo.palette().color(QPalette::Base).rgb();
    for (int x = 0; x < image.width(); ++x)
      for (int y = 0; y < image.height(); ++y)
        if (image.pixel(x, y) != base) columns[static_cast<size_t>(x)] = true;
    return columns;
  };
  const std::vector<bool> a = inked(plain), b = inked(whole);
  EXPECT_LE(std::inner_product(a.begin(), a.end(), b.begin(), 0, std::plus<>(), std::not_equal_to<>()), 4);
  Memo.SetCaret({0, 3000});
  Memo.SetCaret({0, 3040}, QTextCursor::KeepAnchor);
  Memo.horizontalScrollBar()->setValue(Memo.PointOf({0, 3020}).x() + Memo.horizontalScrollBar()->value() - 100);
  QCoreApplication::processEvents();
  const QRgb highlight = Memo.palette().color(QPalette::Highlight).rgb();
  const QImage selected = shown();
  const QImage reference = render(true);
  EXPECT_GT(textPixels(selected, highlight), 0);
  EXPECT_NEAR(textPixels(selected, highlight), textPixels(reference, highlight), textPixels(reference, highlight) / 20);
  const std::vector<bool> c = inked(selected), d = inked(reference);
  EXPECT_LE(std::inner_product(c.begin(), c.end(), d.begin(), 0, std::plus<>(), std::not_equal_to<>()), 4);
}

}  // namespace

namespace {

// The input method hears of every caret move, edit and scroll, so its candidate window follows.
TEST_F(LogMemoViewTest, TheInputMethodFollowsTheCaret) {
  QStringList lines;
  for (int i = 0; i < 100; ++i) lines << QStringLiteral("строка %1").arg(i);
  Load(lines.join(u'\n'));
  Memo.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Memo));
  Memo.setFocus();
  Memo.SetCaret({0, 0});
  int moves = 0;
  QObject::connect(QGuiApplication::inputMethod(), &QInputMethod::cursorRectangleChanged, &Memo, [&] { ++moves; });
  Key(Qt::Key_Right);
  EXPECT_EQ(moves, 1);
  QTest::keyClick(&Memo, Qt::Key_A);
  EXPECT_EQ(moves, 2);
  Memo.verticalScrollBar()->setValue(5);  // the caret's line went up out of view
  EXPECT_EQ(moves, 3);
}

}  // namespace
