// The rules of a run that every front end shares: the mode fix-up, the portal origin and the
// program folder forms, and the rule object's start.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>

#include "TimerPrecision.h"
#include "run/RunControl.h"
#include "run/RunSettings.h"

namespace {

TEST(RunSettings, ModeFixUpFallsBackOnlyWithoutBoxes) {
  struct Case {
    engine::TRunOptions in;
    bool changed;
    bool allInARow;
  } cases[] = {
      {{false, false, true, false, false}, true, true},   // separate, no box: all in one pass
      {{true, false, true, false, false}, true, true},    // the test export keeps its flag
      {{false, false, true, true, false}, false, false},
      {{false, false, true, false, true}, false, false},
      {{false, false, true, true, true}, false, false},
      {{false, true, false, true, false}, false, true},   // all in a row keeps its boxes
  };
  for (const Case& c : cases) {
    engine::TRunOptions o = c.in;
    EXPECT_EQ(run::FixUpMode(o), c.changed);
    EXPECT_EQ(o.AllInARow, c.allInARow);
    EXPECT_EQ(o.Separate, !c.allInARow);
    EXPECT_EQ(o.TestExport, c.in.TestExport);
    EXPECT_EQ(o.Active, c.in.Active);
    EXPECT_EQ(o.Inactive, c.in.Inactive);
  }
}

// Every accepted spelling becomes the one the portal's card links carry, so that the links are
// found whatever case or port spelling the origin was given in; "" marks a refused origin.
TEST(RunSettings, PortalOriginIsSchemeHostAndPortInOneSpelling) {
  struct Case {
    const char* origin;
    const char* canonical;
  } cases[] = {
      {"https://localhost:8443", "https://localhost:8443"},
      {"https://zakupki.example", "https://zakupki.example"},
      {"https://127.0.0.1:1", "https://127.0.0.1:1"},
      {"https://LOCALHOST:8443", "https://localhost:8443"},
      {"HTTPS://Zakupki.Example", "https://zakupki.example"},
      {"https://localhost:08443", "https://localhost:8443"},
      {"https://localhost:000001", "https://localhost:1"},
      {"https://zakupki.example:443", "https://zakupki.example"},  // the default port not written
      {"https://zakupki.example:0443", "https://zakupki.example"},
      {"https://[::1]:8443", ""},  // the transport resolves IPv4 names only
      {"https://[::1]", ""},
      {"http://localhost:8443", ""},   // only HTTPS is spoken
      {"https://localhost:8443/", ""},  // the engine appends its own paths
      {"https://localhost/path", ""},
      {"https://localhost?x=1", ""},
      {"https://localhost#x", ""},
      {"https://user@localhost", ""},
      {"https://localhost:", ""},
      {"https://localhost:0", ""},
      {"https://localhost:000", ""},
      {"https://localhost:65536", ""},
      {"https://localhost:+80", ""},
      {"https://localhost:80:90", ""},
      {"https://:8443", ""},
      {"https://", ""},
      {"localhost:8443", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    const QString origin = QString::fromUtf8(c.origin);
    EXPECT_EQ(run::CanonicalPortalOrigin(origin).toStdString(), c.canonical) << c.origin;
    EXPECT_EQ(run::IsPortalOrigin(origin), *c.canonical != 0) << c.origin;
  }
  // The built-in origin follows the same rule (the build refuses one it cannot accept).
  EXPECT_FALSE(run::CompiledPortalOrigin().isEmpty());
  EXPECT_EQ(run::CompiledPortalOrigin(), run::CanonicalPortalOrigin(run::CompiledPortalOrigin()));
}

TEST(RunSettings, ProgramFolderWithOrWithoutSeparator) {
  struct Case {
    const char* dir;
    const char* withSeparator;
    const char* forEngine;
  } cases[] = {
      {"/opt/harvester", "/opt/harvester/", "/opt/harvester"},
      {"/opt/harvester/", "/opt/harvester/", "/opt/harvester"},
      {"/", "/", "/"},
  };
  for (const Case& c : cases) {
    const QString dir = QString::fromUtf8(c.dir);
    EXPECT_EQ(run::FolderWithSeparator(dir).toStdString(), c.withSeparator);
    EXPECT_EQ(run::EngineFolder(run::FolderWithSeparator(dir)).toStdString(), c.forEngine);
  }
  const engine::TEngineConfig config =
      run::EngineConfig(QStringLiteral("/opt/h/"), QStringLiteral("https://h"), {});
  EXPECT_EQ(config.ProgramDir.toStdString(), "/opt/h");
  EXPECT_EQ(config.PortalOrigin.toStdString(), "https://h");
}

class TLines : public run::IRunView {
 public:
  void AppendLine(const QString& line) override { Lines.append(line); }
  QStringList Lines;
};

class TDriver : public engine::IRunDriver {
 public:
  void Start() override {
    if (FailStart) throw std::runtime_error("no thread");
  }
  void Terminate() override { ++Calls; }
  void Pause() override { ++Calls; }
  void Resume() override { ++Calls; }
  bool Paused() const override { return false; }
  bool Finished() const override { return false; }
  bool FailStart = false;
  int Calls = 0;
};

// A driver whose thread could not start is never current, whichever front end asked for it.
TEST(RunControl, FailedStartLeavesNoDriverCurrent) {
  TLines view;
  auto failing = std::make_shared<TDriver>();
  failing->FailStart = true;
  std::shared_ptr<TDriver> next = failing;
  run::TRunControlSettings settings;
  settings.CreateDriver = [&](auto, const auto&, const auto&) { return next; };
  run::TRunControl control(view, settings, {QStringLiteral("dd.MM.yyyy"), QStringLiteral("H:mm:ss")});
  EXPECT_THROW(control.Start(nullptr, {}, {}), std::runtime_error);
  EXPECT_EQ(control.CurrentScraper(), nullptr);
  EXPECT_FALSE(control.RunActive());
  control.PauseClick();
  control.StopClick();
  control.ResumeTimerTimer();
  EXPECT_TRUE(view.Lines.isEmpty());
  EXPECT_EQ(failing->Calls, 0);

  next = std::make_shared<TDriver>();
  control.Start(nullptr, {}, {});
  EXPECT_EQ(control.CurrentScraper(), next);
  control.StopClick();
  ASSERT_EQ(view.Lines.size(), 1);
  EXPECT_TRUE(view.Lines[0].endsWith(QStringLiteral(": Останавливаем работу")));
}

// The automatic pause lasts its 30 seconds to the millisecond, not to the nearest second.
TEST(RunControl, ResumeTimerKeepsTheFullCount) {
  TLines view;
  run::TRunControl control(view, {}, {QStringLiteral("dd.MM.yyyy"), QStringLiteral("H:mm:ss")});
  const QTimer& timer = *control.ResumeTimer();
  const int remaining = testsupport::RemainingRightAfterArming(timer, [&] { control.ArmResumeTimer(); });
  EXPECT_EQ(timer.interval(), 30000);
  EXPECT_EQ(timer.timerType(), Qt::PreciseTimer);
  EXPECT_GE(remaining, 29800);  // a coarse timer: below 29700 or above 30350
  EXPECT_LE(remaining, 30000);
}

// Once the driver's end call has run, the run is over for the clicks, although the driver's
// thread has not finished yet: nothing may be logged below the line naming the log file.
TEST(RunControl, ClicksAfterTheEndCallDoNothing) {
  TLines view;
  auto driver = std::make_shared<TDriver>();  // never reports itself finished
  run::TRunControlSettings settings;
  settings.CreateDriver = [&](auto, const auto&, const auto&) { return driver; };
  run::TRunControl control(view, settings, {QStringLiteral("dd.MM.yyyy"), QStringLiteral("H:mm:ss")});
  control.Start(nullptr, {}, {});
  control.RunStarted();
  control.ArmResumeTimer();
  control.RunEnding(QStringLiteral("/opt/h/log-1.txt"));
  control.RunEnded();
  const QStringList ended = view.Lines;
  ASSERT_EQ(ended.size(), 2);
  control.PauseClick();
  control.StopClick();
  control.ResumeTimerTimer();
  EXPECT_EQ(view.Lines.join(u'\n').toStdString(), ended.join(u'\n').toStdString());
  EXPECT_EQ(driver->Calls, 0);
  EXPECT_FALSE(control.DriverRunning());
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // the rule object's resume timer lives on this thread
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
