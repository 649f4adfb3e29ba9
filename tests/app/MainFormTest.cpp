// The main window driven through its real widgets: initial states, layout, the mode fix-ups,
// the run control state table with a fake driver, the run's window operations and the log file.
#include <QCheckBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "TimerPrecision.h"
#include "app/ProgressBar.h"
#include "app/WindowBridge.h"

namespace {

using namespace apptest;

const QString kStamp = QStringLiteral("09.12.2024 9:05:07");

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = std::make_unique<app::TMainForm>(TestSettings(Seams, Dir.Path()));
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }

  template <class T>
  T* W(const char* name) {
    T* w = Find<T>(*Form, name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void Click(const char* name) {
    QAbstractButton* b = W<QAbstractButton>(name);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
  }
  QStringList Lines() { return LogLines(*Form); }
  QString Text() { return W<app::TLogMemo>("LogsMemo")->toPlainText(); }
  app::TProgressBar* Bar() { return W<app::TProgressBar>("ProgressBar"); }
  QTimer* Timer() { return W<QTimer>("ResumeTimer"); }
  TFakeDriver& Driver() { return *Seams.Drivers.back(); }

  // A start click and the driver's first call.
  void StartRun() {
    Click("StartButton");
    ASSERT_FALSE(Seams.Drivers.empty());
    Form->UpdateRunState(true);
  }
  bool ModeControlsEnabled(bool enabled) {
    for (const char* n : {"CheckBox1", "RadioButton1", "RadioButton2", "ActiveCheckBox", "InactiveCheckBox"})
      if (W<QWidget>(n)->isEnabled() != enabled) return false;
    return true;
  }

  TProgramDir Dir;
  TSeams Seams;
  std::unique_ptr<app::TMainForm> Form;
};

TEST_F(MainFormTest, InitialState) {
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Парсер реестра участников госзакупок localhost"));
  EXPECT_EQ(Form->size(), QSize(634, 424));
  EXPECT_EQ(Form->font().pixelSize(), 11);

  struct Control {
    const char* name;
    const char* caption;
    QRect geometry;
  } controls[] = {
      {"StartButton", "СТАРТ", {8, 4, 169, 37}},
      {"PauseButton", "пауза", {8, 47, 75, 25}},
      {"StopButton", "стоп", {102, 47, 75, 25}},
      {"CheckBox1", "Тестовая выгрузка", {183, 8, 125, 17}},
      {"RadioButton1", "Выгружать всех подряд", {322, 8, 147, 17}},
      {"RadioButton2", "Выгружать отдельно:", {322, 31, 139, 17}},
      {"ActiveCheckBox", "Активных", {344, 50, 125, 17}},
      {"InactiveCheckBox", "Неактивных", {344, 73, 125, 17}},
  };
  for (const Control& c : controls) {
    auto* b = W<QAbstractButton>(c.name);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->text(), QString::fromUtf8(c.caption)) << c.name;
    EXPECT_EQ(b->geometry(), c.geometry) << c.name;
    EXPECT_TRUE(b->isEnabled()) << c.name;  // pause and stop too, with no run
  }
  EXPECT_EQ(W<QPushButton>("StartButton")->font().pixelSize(), 19);
  EXPECT_EQ(W<QLabel>("Label2")->text(), QStringLiteral("Логи"));
  EXPECT_EQ(W<QLabel>("Label2")->geometry(), QRect(8, 77, 24, 13));

  EXPECT_TRUE(W<QRadioButton>("RadioButton1")->isChecked());
  EXPECT_FALSE(W<QRadioButton>("RadioButton2")->isChecked());
  for (const char* n : {"CheckBox1", "ActiveCheckBox", "InactiveCheckBox"})
    EXPECT_FALSE(W<QCheckBox>(n)->isChecked()) << n;

  auto* memo = W<app::TLogMemo>("LogsMemo");
  EXPECT_EQ(memo->geometry(), QRect(8, 96, 618, 305));
  EXPECT_FALSE(memo->isReadOnly());
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  // No wrapping: a line wider than the log stays one line and scrolls sideways.
  const qsizetype lines = memo->LineCount();
  memo->appendPlainText(QString(200, u'ш'));
  QCoreApplication::processEvents();
  EXPECT_EQ(memo->LineCount(), lines + 1);
  EXPECT_EQ(memo->PointOf({lines, 150}).y(), memo->PointOf({lines, 0}).y());
  EXPECT_GT(memo->horizontalScrollBar()->maximum(), 0);
  // No line limit: the first line is still there after many more.
  const QString first = memo->Line(0);
  for (int i = 0; i < 20000; ++i) memo->appendPlainText(QStringLiteral("строка"));
  EXPECT_EQ(memo->LineCount(), lines + 20001);
  EXPECT_EQ(memo->Line(0), first);

  EXPECT_EQ(Bar()->geometry(), QRect(0, 407, 634, 17));
  EXPECT_EQ(Bar()->Minimum(), 0);
  EXPECT_EQ(Bar()->Maximum(), 100);
  EXPECT_EQ(Bar()->Position(), 0);
  EXPECT_TRUE(Bar()->Hint().isEmpty());
  EXPECT_FALSE(Bar()->ShowHint());
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(Form->CurrentScraper(), nullptr);
}

TEST_F(MainFormTest, TabOrderAndRadioTabStop) {
  const char* order[] = {"StartButton", "PauseButton", "StopButton", "LogsMemo", "CheckBox1",
                         "RadioButton1", "RadioButton2", "ActiveCheckBox", "InactiveCheckBox"};
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    QWidget* next = W<QWidget>(order[i])->nextInFocusChain();
    while (next && next->focusPolicy() == Qt::NoFocus && next != Form.get()) next = next->nextInFocusChain();
    EXPECT_EQ(next, W<QWidget>(order[i + 1])) << order[i];
  }
  // Only the selected radio button is reached by Tab.
  EXPECT_TRUE(W<QRadioButton>("RadioButton1")->focusPolicy() & Qt::TabFocus);
  EXPECT_FALSE(W<QRadioButton>("RadioButton2")->focusPolicy() & Qt::TabFocus);
  Click("RadioButton2");
  EXPECT_FALSE(W<QRadioButton>("RadioButton1")->focusPolicy() & Qt::TabFocus);
  EXPECT_TRUE(W<QRadioButton>("RadioButton2")->focusPolicy() & Qt::TabFocus);
}

TEST_F(MainFormTest, ResizingMovesOnlyTheLogAndTheBar) {
  Form->resize(900, 600);
  EXPECT_EQ(W<QWidget>("LogsMemo")->geometry(), QRect(8, 96, 884, 481));
  EXPECT_EQ(Bar()->geometry(), QRect(0, 583, 900, 17));
  EXPECT_EQ(W<QWidget>("InactiveCheckBox")->geometry(), QRect(344, 73, 125, 17));
  Form->resize(400, 300);
  EXPECT_EQ(W<QWidget>("LogsMemo")->geometry(), QRect(8, 96, 384, 181));
  EXPECT_EQ(Bar()->geometry(), QRect(0, 283, 400, 17));
}

TEST_F(MainFormTest, TickingASubOptionSelectsSeparateMode) {
  struct Step {
    const char* click;
    bool radio2, active, inactive;
  } steps[] = {
      {"ActiveCheckBox", true, true, false},     // ticking selects "Выгружать отдельно:"
      {"RadioButton1", false, true, false},      // selecting the first mode keeps the boxes
      {"ActiveCheckBox", false, false, false},   // unticking changes nothing else
      {"InactiveCheckBox", true, false, true},
      {"RadioButton1", false, false, true},
      {"InactiveCheckBox", false, false, false},
  };
  for (const Step& s : steps) {
    Click(s.click);
    SCOPED_TRACE(s.click);
    EXPECT_EQ(W<QRadioButton>("RadioButton2")->isChecked(), s.radio2);
    EXPECT_EQ(W<QRadioButton>("RadioButton1")->isChecked(), !s.radio2);
    EXPECT_EQ(W<QCheckBox>("ActiveCheckBox")->isChecked(), s.active);
    EXPECT_EQ(W<QCheckBox>("InactiveCheckBox")->isChecked(), s.inactive);
  }
}

TEST_F(MainFormTest, StartFixesUpTheModeAndHandsTheOptions) {
  struct Case {
    bool test, separate, active, inactive;
    bool expectSeparate;
  } cases[] = {
      {false, true, false, false, false},  // separate with no box ticked: back to all in a row
      {true, true, true, false, true},
      {false, true, false, true, true},
      {false, true, true, true, true},
      {true, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.separate << c.active << c.inactive);
    W<QCheckBox>("CheckBox1")->setChecked(c.test);
    W<QCheckBox>("ActiveCheckBox")->setChecked(c.active);
    W<QCheckBox>("InactiveCheckBox")->setChecked(c.inactive);
    (c.separate ? W<QRadioButton>("RadioButton2") : W<QRadioButton>("RadioButton1"))->setChecked(true);
    Click("StartButton");
    const engine::TRunOptions& o = Seams.Options.back();
    EXPECT_EQ(o.TestExport, c.test);
    EXPECT_EQ(o.Separate, c.expectSeparate);
    EXPECT_EQ(o.AllInARow, !c.expectSeparate);
    EXPECT_EQ(o.Active, c.active);
    EXPECT_EQ(o.Inactive, c.inactive);
    EXPECT_EQ(W<QRadioButton>("RadioButton2")->isChecked(), c.expectSeparate);
    EXPECT_EQ(Seams.Configs.back().ProgramDir + u'/', Dir.Path());
    EXPECT_EQ(Seams.Configs.back().PortalOrigin, QStringLiteral("https://localhost:8443"));
    EXPECT_TRUE(Seams.Configs.back().OpenDocument);
    // The driver's first and last calls.
    Form->UpdateRunState(true);
    Form->UpdateRunState(false);
    Driver().SetFinished();
  }
}

TEST_F(MainFormTest, StartClickAndTheRunningLook) {
  const QString intro = Text();
  Click("StartButton");
  ASSERT_EQ(Seams.Drivers.size(), 1u);
  EXPECT_EQ(Driver().Starts.load(), 1);
  EXPECT_EQ(Form->CurrentScraper().get(), &Driver());
  // The click only disables the test box and writes nothing.
  EXPECT_FALSE(W<QCheckBox>("CheckBox1")->isEnabled());
  EXPECT_TRUE(W<QPushButton>("StartButton")->isEnabled());
  EXPECT_TRUE(W<QRadioButton>("RadioButton1")->isEnabled());
  EXPECT_EQ(Text(), intro);

  // A second click before the driver's first call makes no second driver.
  Click("StartButton");
  EXPECT_EQ(Seams.Drivers.size(), 1u);

  Form->UpdateRunState(true);
  EXPECT_EQ(Lines(), QStringList{kStamp + QStringLiteral(": Начинаем работу по выгрузке")});
  EXPECT_FALSE(W<QPushButton>("StartButton")->isEnabled());
  EXPECT_TRUE(ModeControlsEnabled(false));
  EXPECT_TRUE(W<QPushButton>("PauseButton")->isEnabled());
  EXPECT_TRUE(W<QPushButton>("StopButton")->isEnabled());

  Form->UpdateRunState(false);
  EXPECT_TRUE(W<QPushButton>("StartButton")->isEnabled());
  EXPECT_TRUE(ModeControlsEnabled(true));
  Driver().SetFinished();

  // The next start replaces the driver.
  Click("StartButton");
  ASSERT_EQ(Seams.Drivers.size(), 2u);
  EXPECT_EQ(Form->CurrentScraper().get(), Seams.Drivers[1].get());
}

TEST_F(MainFormTest, StartWithoutADriverLeavesTheWindowUsable) {
  Seams.FailCreate = true;
  Click("StartButton");
  ASSERT_EQ(Seams.Messages.size(), 1u);
  EXPECT_EQ(Seams.Messages[0].first, Form->windowTitle());
  EXPECT_EQ(Seams.Messages[0].second, QStringLiteral("no driver today"));
  EXPECT_TRUE(W<QCheckBox>("CheckBox1")->isEnabled());
  EXPECT_FALSE(Form->RunActive());
  Seams.FailCreate = false;
  Click("StartButton");
  EXPECT_EQ(Seams.Drivers.size(), 1u);
}

// A driver whose thread never started is not current: pause and stop find no run and log
// nothing, and the next start makes a new driver.
TEST_F(MainFormTest, DriverThatFailedToStartTakesNoPauseOrStop) {
  Seams.FailStart = true;
  Click("StartButton");
  ASSERT_EQ(Seams.Drivers.size(), 1u);
  ASSERT_EQ(Seams.Messages.size(), 1u);
  EXPECT_TRUE(W<QCheckBox>("CheckBox1")->isEnabled());
  EXPECT_FALSE(Form->RunActive());
  EXPECT_EQ(Form->CurrentScraper(), nullptr);
  const QString before = Text();
  Click("PauseButton");
  Click("StopButton");
  Form->ResumeTimerTimer();
  EXPECT_EQ(Text(), before);
  const TFakeDriver& failed = *Seams.Drivers[0];
  EXPECT_EQ(failed.Pauses.load() + failed.Resumes.load() + failed.Terminates.load(), 0);

  Seams.FailStart = false;
  Click("StartButton");
  ASSERT_EQ(Seams.Drivers.size(), 2u);
  EXPECT_EQ(Form->CurrentScraper().get(), Seams.Drivers[1].get());
}

TEST_F(MainFormTest, NoRunMeansPauseStopAndTimerDoNothing) {
  const QString before = Text();
  Click("PauseButton");
  Click("StopButton");
  Form->ResumeTimerTimer();
  EXPECT_EQ(Text(), before);
  EXPECT_FALSE(Timer()->isActive());

  // The same once the run has ended: clicks queued while the log file was saved come after the
  // line naming it, also while the driver's thread is still tidying up (not yet finished).
  for (const bool threadFinished : {false, true}) {
    SCOPED_TRACE(threadFinished);
    StartRun();
    Form->UpdateRunState(false);
    if (threadFinished) Driver().SetFinished();
    const QString finished = Text();
    Form->ArmResumeTimer();
    Click("PauseButton");
    Click("StopButton");
    Form->ResumeTimerTimer();
    EXPECT_EQ(Text(), finished);
    EXPECT_EQ(Driver().Pauses.load() + Driver().Resumes.load() + Driver().Terminates.load(), 0);
    EXPECT_FALSE(Timer()->isActive());
    Driver().SetFinished();
  }
}

TEST_F(MainFormTest, PauseButtonToggles) {
  StartRun();
  Click("PauseButton");
  EXPECT_TRUE(Driver().Paused());
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Включаем паузу"));
  Click("PauseButton");
  EXPECT_FALSE(Driver().Paused());
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Отключаем паузу, продолжаем работу"));
  EXPECT_EQ(Lines().size(), 3);
}

TEST_F(MainFormTest, ErrorOutcomePausesUntilTheTimer) {
  StartRun();
  Form->ReportOutcome(Driver(), QStringLiteral("ERROR_Connection refused"));
  EXPECT_EQ(Lines().mid(1), (QStringList{kStamp + QStringLiteral(": Ошибка: Connection refused"),
                                         kStamp + QStringLiteral(": Включаем паузу на 30 секунд")}));
  EXPECT_TRUE(Driver().Paused());
  EXPECT_TRUE(Timer()->isActive());
  EXPECT_EQ(Timer()->interval(), 30000);
  // To the millisecond: armed in the middle of a second, a coarse timer would be off by 300 ms.
  const int remaining = testsupport::RemainingRightAfterArming(*Timer(), [&] { Form->ArmResumeTimer(); });
  EXPECT_EQ(Timer()->timerType(), Qt::PreciseTimer);
  EXPECT_GE(remaining, 29800);  // a coarse timer: below 29700 or above 30350
  EXPECT_LE(remaining, 30000);
  Form->ResumeTimerTimer();  // the expiry
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_FALSE(Driver().Paused());
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Отключаем паузу, продолжаем работу"));
}

TEST_F(MainFormTest, PauseClickDuringAutomaticPause) {
  StartRun();
  Form->ReportOutcome(Driver(), QStringLiteral("ERROR_x"));
  Click("PauseButton");  // resumes at once, the timer stays armed
  EXPECT_FALSE(Driver().Paused());
  EXPECT_TRUE(Timer()->isActive());
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Отключаем паузу, продолжаем работу"));
  const int lines = Lines().size();
  Form->ResumeTimerTimer();  // finds the driver running: only disables itself
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(Lines().size(), lines);
  EXPECT_EQ(Driver().Resumes.load(), 1);

  // Armed again, then paused by hand: the pause cancels the timer, only the operator resumes.
  Form->ReportOutcome(Driver(), QStringLiteral("ERROR_y"));
  Click("PauseButton");
  Click("PauseButton");
  EXPECT_TRUE(Driver().Paused());
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Включаем паузу"));
}

TEST_F(MainFormTest, StopReleasesAPauseAndEmptiesTheBar) {
  for (bool paused : {false, true}) {
    SCOPED_TRACE(paused);
    StartRun();
    Form->UpdateProgress(40, 80);
    if (paused) Click("PauseButton");
    Click("StopButton");
    EXPECT_FALSE(Driver().Paused());
    EXPECT_EQ(Driver().Terminates.load(), 1);
    EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Останавливаем работу"));
    EXPECT_EQ(Bar()->Position(), 0);
    EXPECT_EQ(Bar()->Maximum(), 80);
    EXPECT_EQ(Bar()->Hint(), QStringLiteral("40 из 80, осталось 40"));  // left as it was
    // While stopping, pause still toggles and stop may be asked again.
    Click("PauseButton");
    EXPECT_TRUE(Driver().Paused());
    Click("StopButton");
    EXPECT_FALSE(Driver().Paused());
    EXPECT_EQ(Driver().Terminates.load(), 2);
    Form->UpdateRunState(false);
    EXPECT_TRUE(W<QPushButton>("StartButton")->isEnabled());
    Driver().SetFinished();
  }
}

TEST_F(MainFormTest, OkOutcomeLogsCompletionWithoutPause) {
  StartRun();
  Form->ReportOutcome(Driver(), QStringLiteral("ok"));
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Сбор данных завершен"));
  EXPECT_FALSE(Driver().Paused());
  EXPECT_FALSE(Timer()->isActive());
}

TEST_F(MainFormTest, ErrorTextIsCutAfterItsPrefix) {
  StartRun();
  const QString longMessage = QString(250, u'ж');
  struct Case {
    QString result;
    QString logged;
  } cases[] = {
      {QStringLiteral("ERROR_") + longMessage, longMessage.left(200)},
      {QStringLiteral("ERROR_"), QString()},
      {QStringLiteral("xERROR"), QString()},  // "ERROR" anywhere makes it an error
      {QStringLiteral("прочее ERROR: сбой"), QStringLiteral(" ERROR: сбой")},  // from the 7th character on
  };
  for (const Case& c : cases) {
    Form->ReportOutcome(Driver(), c.result);
    const QStringList l = Lines();
    EXPECT_EQ(l[l.size() - 2], kStamp + QStringLiteral(": Ошибка: ") + c.logged);
    EXPECT_TRUE(Driver().Paused());
    Form->ResumeTimerTimer();
  }
}

TEST_F(MainFormTest, RealTimerEndsTheAutomaticPause) {
  Form.reset();
  app::TMainFormSettings s = TestSettings(Seams, Dir.Path());
  s.ResumeDelayMs = 50;
  Form = std::make_unique<app::TMainForm>(s);
  Form->show();
  StartRun();
  Form->ReportOutcome(Driver(), QStringLiteral("ERROR_x"));
  ASSERT_TRUE(Driver().Paused());
  ASSERT_TRUE(WaitUntil([&] { return !Driver().Paused(); }));
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(Lines().last(), kStamp + QStringLiteral(": Отключаем паузу, продолжаем работу"));
}

TEST_F(MainFormTest, AppendLogStamps) {
  struct Case {
    QTime time;
    QString message;
    QString line;
  } cases[] = {
      {QTime(9, 5, 7), QStringLiteral("Загружаем список..."), kStamp + QStringLiteral(": Загружаем список...")},
      {QTime(0, 0, 0, 500), QStringLiteral("полночь"), QStringLiteral("09.12.2024: полночь")},
      {QTime(12, 0, 0), QString(), QStringLiteral("09.12.2024 12:00:00: ")},
  };
  for (const Case& c : cases) {
    Seams.Now = QDateTime(QDate(2024, 12, 9), c.time);
    Form->AppendLog(c.message);
    EXPECT_EQ(Lines().last(), c.line);
  }
}

TEST_F(MainFormTest, ProgressIsClampedAndHinted) {
  struct Case {
    std::int32_t position, max;
    std::int32_t barPosition, barMax;
    const char* hint;
  } cases[] = {
      {5, 10, 5, 10, "5 из 10, осталось 5"},
      {15, 10, 10, 10, "10 из 10, осталось 0"},
      {0, 0, 0, 0, "0 из 0, осталось 0"},
      {3, -4, 0, 0, "0 из 0, осталось 0"},
      {-7, 20, 0, 20, "0 из 20, осталось 20"},
      {2147483647, 2147483647, 2147483647, 2147483647, "2147483647 из 2147483647, осталось 0"},
  };
  for (const Case& c : cases) {
    Form->UpdateProgress(c.position, c.max);
    EXPECT_EQ(Bar()->Position(), c.barPosition);
    EXPECT_EQ(Bar()->Maximum(), c.barMax);
    EXPECT_EQ(Bar()->Hint().toStdString(), c.hint);
    EXPECT_TRUE(Bar()->ShowHint());
    EXPECT_EQ(Bar()->toolTip(), Bar()->Hint());
  }
  // Lowering the maximum lowers the position with it.
  Form->UpdateProgress(50, 100);
  Bar()->SetMaximum(20);
  EXPECT_EQ(Bar()->Position(), 20);
}

TEST(ProgressBarFill, FilledPartFollowsTheRatio) {
  app::TProgressBar bar;
  struct Case {
    std::int32_t max, position;
    int inner, filled;
  } cases[] = {{100, 0, 632, 0}, {100, 50, 632, 316}, {100, 100, 632, 632}, {0, 0, 632, 0},
               {1, 1, 632, 632}, {2147483647, 2147483647, 632, 632}, {3, 1, 632, 210}};
  for (const Case& c : cases) {
    bar.SetMaximum(c.max);
    bar.SetPosition(c.position);
    EXPECT_EQ(bar.FilledWidth(c.inner), c.filled) << c.max << " " << c.position;
  }
}

TEST_F(MainFormTest, LogFileHoldsTheWholeRunInTheCodePage) {
  Seams.Tick = 2147483648u + 5u;  // past 24.8 days of uptime: a minus sign
  const QString path = Dir.Path() + QStringLiteral("log--2147483643.txt");
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(10000, 'x'));  // an older file of that name is replaced
  }
  StartRun();
  Form->AppendLog(QStringLiteral("Загружаем список... €"));  // € is in windows-1251, ✓ is not
  Form->AppendLog(QStringLiteral("галочка ✓"));
  // The operator types into the log during the run.
  auto* memo = W<app::TLogMemo>("LogsMemo");
  memo->moveCursor(QTextCursor::End);
  QTest::keyClick(memo, Qt::Key_Return);
  for (QChar ch : QStringLiteral("заметка")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(memo, &press);
  }
  Form->UpdateRunState(false);

  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  const QString expected = kStamp + QStringLiteral(": Начинаем работу по выгрузке\r\n") + kStamp +
                           QStringLiteral(": Загружаем список... €\r\n") + kStamp +
                           QStringLiteral(": галочка ?\r\nзаметка\r\n") + kStamp +
                           QStringLiteral(": Работа завершена, лог записан в ") + path + QStringLiteral("\r\n");
  EXPECT_EQ(bytes.toHex().toStdString(), run::EncodeLogText(expected, "CP1251").toHex().toStdString());
  EXPECT_FALSE(bytes.startsWith("\xEF\xBB\xBF"));
  EXPECT_EQ(bytes.left(2), QByteArray("09"));
  EXPECT_TRUE(bytes.endsWith("\r\n"));
  // The control keeps the characters the file could not.
  EXPECT_TRUE(Text().contains(QStringLiteral("галочка ✓")));
}

TEST_F(MainFormTest, Screenshot) {
  // The idle window with its introduction, then the same window during a run.
  EXPECT_TRUE(Form->grab().save(QStringLiteral(SH_SCREENSHOT_PATH).replace(".png", "-idle.png")));
  StartRun();
  for (int i = 1; i <= 12; ++i) Form->AppendLog(QStringLiteral("Загружаем страницу %1 из 40").arg(i));
  Form->UpdateProgress(12, 40);
  const QImage shot = Form->grab().toImage();
  ASSERT_FALSE(shot.isNull());
  EXPECT_TRUE(shot.save(QStringLiteral(SH_SCREENSHOT_PATH)));
  // The filled part of the bar starts green at its left end.
  const QColor left = shot.pixelColor(3, 415);
  EXPECT_LT(left.red(), 40);
  EXPECT_GT(left.green(), 100);
}

}  // namespace
