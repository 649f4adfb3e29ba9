#pragma once
// Shared pieces of the window tests: a fake run driver, settings with every seam recorded, and
// waiting on the event loop.
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/LogMemo.h"
#include "run/StartupChecks.h"
#include "app/uMain.h"
#include "engine/EngineConfig.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace apptest {

// A driver that does nothing on its own: the test plays the driver's part by calling the
// window's operations itself.
class TFakeDriver : public engine::IRunDriver {
 public:
  void Start() override {
    ++Starts;
    if (FailStart) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  void Terminate() override { ++Terminates; }
  void Pause() override { ++Pauses; FPaused = true; }
  void Resume() override { ++Resumes; FPaused = false; }
  bool Paused() const override { return FPaused; }
  bool Finished() const override { return FFinished; }

  void SetFinished() { FFinished = true; }

  std::atomic<int> Starts{0}, Terminates{0}, Pauses{0}, Resumes{0};
  std::atomic<bool> FPaused{false}, FFinished{false};
  bool FailStart = false;  // Start throws, as a thread that cannot be created does
};

// Waits, processing events, until `done` holds or `timeoutMs` passed.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Where test program folders go: the build tree, unless it lies in a folder the start-up checks
// refuse (a checkout under /tmp, say); then the home folder.
inline QString ProgramDirBase() {
  const QString build = QStringLiteral(SH_TEST_WORK_DIR);
  if (run::CheckProgramFolder(build + u'/', QString()) == run::TRefusal::rfMissingLibrary) return build;
  const QString home = QDir::homePath() + QStringLiteral("/.cache/supplier-harvester-tests");
  QDir().mkpath(home);
  return home;
}

// A program folder that passes the start-up checks.
class TProgramDir {
 public:
  TProgramDir() : FDir(ProgramDirBase() + QStringLiteral("/progdir-XXXXXX")) {
    QFile lib(Path() + QStringLiteral("libcrypto.so.3"));
    lib.open(QIODevice::WriteOnly);
  }
  QString Path() const { return FDir.path() + u'/'; }

 private:
  QTemporaryDir FDir;
};

// Records what the window asked of its surroundings.
struct TSeams {
  QDateTime Now = QDateTime(QDate(2024, 12, 9), QTime(9, 5, 7));
  std::uint32_t Tick = 123456;
  std::vector<std::pair<QString, QString>> Messages;  // title, text
  std::vector<int> Exits;
  std::vector<std::shared_ptr<TFakeDriver>> Drivers;
  std::vector<engine::TRunOptions> Options;
  std::vector<engine::TEngineConfig> Configs;
  bool FailCreate = false;
  bool FailStart = false;  // the created driver's thread cannot be started
};

inline app::TMainFormSettings TestSettings(TSeams& seams, const QString& programDir) {
  app::TMainFormSettings s;
  s.ProgramDir = programDir;
  s.PortalOrigin = QStringLiteral("https://localhost:8443");
  s.CryptoLibraryFile = QStringLiteral("libcrypto.so.3");
  s.CreateDriver = [&seams](std::shared_ptr<engine::IRunHost>, const engine::TRunOptions& o,
                            const engine::TEngineConfig& c) -> std::shared_ptr<engine::IRunDriver> {
    if (seams.FailCreate) throw std::runtime_error("no driver today");
    auto d = std::make_shared<TFakeDriver>();
    d->FailStart = seams.FailStart;
    seams.Drivers.push_back(d);
    seams.Options.push_back(o);
    seams.Configs.push_back(c);
    return d;
  };
  s.ShowMessage = [&seams](QWidget*, const QString& title, const QString& text) {
    seams.Messages.emplace_back(title, text);
  };
  s.EndProgram = [&seams](int code) { seams.Exits.push_back(code); };
  s.Now = [&seams] { return seams.Now; };
  s.TickCount = [&seams] { return seams.Tick; };
  s.OpenDocument = [](const QString&) {};
  s.FixedStampFormat = true;
  s.StampFormat = {QStringLiteral("dd.MM.yyyy"), QStringLiteral("H:mm:ss")};
  s.LogCodeset = "CP1251";
  return s;
}

template <class T>
T* Find(QWidget& form, const char* name) {
  return form.findChild<T*>(QString::fromLatin1(name));
}

inline QStringList LogLines(QWidget& form) {
  return Find<app::TLogMemo>(form, "LogsMemo")->toPlainText().split(u'\n');
}

}  // namespace apptest
