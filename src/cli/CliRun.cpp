#include "cli/CliRun.h"

#include "export/XlsxExport.h"
#include "text/ResultFileReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "base/TickCount.h"
#include "run/LogFormat.h"

namespace cli {

namespace {

int gSignalPipe[2] = {-1, -1};
std::atomic<int> gStopSignals{0};  // lock-free, so safe in a signal handler

void OnStopSignal(int) {
  // The second stop request ends the process at once; every row written so far is whole, as
  // each one reaches the file in a single write.
  if (gStopSignals.fetch_add(1) + 1 >= 2) _exit(esStopped);
  const int saved = errno;
  const char c = 'S';
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &c, 1);
  errno = saved;
}

void Notify(char c) {
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &c, 1);
  errno = saved;
}

void OnPauseSignal(int) { Notify('P'); }
void OnWindowSizeSignal(int) { Notify('W'); }

// stderr in the log file's code set, as stdout.
void WriteErr(const QString& text) {
  const QByteArray bytes = run::EncodeLogText(text);
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
  std::fflush(stderr);
}

// Log lines that may wait for a slow reader of stdout; past this they are dropped there.
constexpr std::size_t kStdoutQueueBytes = 1u << 20;
// How long the end waits for a reader of stdout that takes nothing.
constexpr int kStdoutStallMs = 1000;

// The phase as the progress line names it.
QString PhaseName(engine::TRunPhase phase) {
  switch (phase) {
    case engine::TRunPhase::List: return QStringLiteral("список участников");
    case engine::TRunPhase::Inactive: return QStringLiteral("список неактивных");
    case engine::TRunPhase::Card: break;
  }
  return QStringLiteral("карточки");
}

}  // namespace

int InstallSignalPipe() {
  if (gSignalPipe[0] >= 0) return gSignalPipe[0];
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction stop {};
  stop.sa_handler = &OnStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  struct sigaction pause {};
  pause.sa_handler = &OnPauseSignal;
  sigemptyset(&pause.sa_mask);
  pause.sa_flags = SA_RESTART;
  ::sigaction(SIGUSR1, &pause, nullptr);
  struct sigaction resize {};
  resize.sa_handler = &OnWindowSizeSignal;
  sigemptyset(&resize.sa_mask);
  resize.sa_flags = SA_RESTART;
  ::sigaction(SIGWINCH, &resize, nullptr);
  // A reader of stdout that goes away (a pipe into head, say) must not end the run: the log
  // goes on into its file.
  ::signal(SIGPIPE, SIG_IGN);
  return gSignalPipe[0];
}

// The host the driver and its workers call: each operation runs on the main thread. The
// command also shows the phase.
class TCliRun::TBridge final : public run::TQueuedHost {
 public:
  TBridge(TCliRun* run, run::TRunControl& control)
      : TQueuedHost(run, control, *run), FRun(run) {}
  void PhaseStarted(engine::TRunPhase phase) override {
    RunOnTargetThread([&] { FRun->PhaseStarted(phase); });
  }

 private:
  TCliRun* const FRun;
};

TCliRun::TCliRun(TCliRunSettings settings, QObject* parent)
    : QObject(parent),
      FSettings(std::move(settings)),
      FControl(new run::TRunControl(*this, {FSettings.CreateDriver, {}, FSettings.ResumeDelayMs},
                                    run::SystemStampFormat(), this)),
      FBridge(std::make_shared<TBridge>(this, *FControl)),
      FStdout(STDOUT_FILENO, kStdoutQueueBytes),
      FTicker(new QTimer(this)),
      FEndPoll(new QTimer(this)) {
  FTerminal = ::isatty(STDERR_FILENO) == 1;
  ReadTerminalWidth();
  connect(FControl->ResumeTimer(), &QTimer::timeout, this, [this] { FControl->ResumeTimerTimer(); });
  FTicker->setInterval(1000);
  connect(FTicker, &QTimer::timeout, this, [this] { DrawProgress(false); });
  FEndPoll->setInterval(10);
  connect(FEndPoll, &QTimer::timeout, this, [this] {
    const auto& driver = FControl->CurrentScraper();
    if (!driver || driver->Finished()) Finish();
  });
  const int fd = InstallSignalPipe();
  if (fd >= 0) {
    // What came before the run began waits in the pipe until the driver's first call.
    FSignals = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    FSignals->setEnabled(false);
    connect(FSignals, &QSocketNotifier::activated, this, [this] { OnSignal(); });
  }
}

TCliRun::~TCliRun() { FBridge->Detach(); }

bool TCliRun::Start(QString& error) {
  FSettings.Config.OpenDocument = [this](const QString& path) {
    // Nothing is opened: the path is named on stderr when the run ends.
    std::lock_guard<std::mutex> guard(FResultLock);
    FResultFile = path;
  };
  FSettings.Config.OnLostWork = [lost = FLostWork] { lost->fetch_add(1); };
  FLogPath = FSettings.OutputDir + run::LogFileName(base::GetTickCount32());
  try {
    FLogFile.Open(FLogPath);
  } catch (const std::exception& e) {
    error = QString::fromUtf8(e.what());
    return false;
  }
  FRunClock.start();
  FPhaseClock.start();
  FPhase = PhaseName(engine::TRunPhase::List);
  try {
    FControl->Start(FBridge, FSettings.Options, FSettings.Config);
  } catch (const std::exception& e) {
    FLogFile.Close();
    QFile::remove(FLogPath);
    error = QString::fromUtf8(e.what());
    return false;
  }
  if (!FSettings.Quiet) FTicker->start();
  return true;
}

int TCliRun::Exec() {
  const int status = QCoreApplication::exec();
  return status;
}

void TCliRun::OnSignal() {
  char buf[64];
  ssize_t n;
  while ((n = ::read(gSignalPipe[0], buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == 'S') {
        if (FControl->DriverRunning()) FStoppedBySignal = true;
        FControl->StopClick();
      } else if (buf[i] == 'P') {
        FControl->PauseClick();
      } else if (buf[i] == 'W') {
        ReadTerminalWidth();
        DrawProgress(false);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// The driver's operations

void TCliRun::PhaseStarted(engine::TRunPhase phase) {
  // The register's list starts with the run; its clock runs from the start.
  if (phase == engine::TRunPhase::List) return;
  FPhase = PhaseName(phase);
  FPhaseClock.restart();
}

void TCliRun::ShowRunStarting() {
  // What came before the run began is read from here on.
  if (FSignals) FSignals->setEnabled(true);
}

QString TCliRun::LogFilePath() { return FLogPath; }

void TCliRun::SaveLog(const QString&) {
  // Written line by line as the run went; a failure on the way has already been said on stderr.
  FLogFile.Close();
  if (!FLogFailure.isEmpty()) throw std::runtime_error(FLogFailure.toStdString());
}

void TCliRun::ShowRunEnded() {
  FEnded = true;
  FEndPoll->start();
}

void TCliRun::ShowProgress(std::int32_t position, std::int32_t max) {
  FMax = max;
  FPosition = position;
  DrawProgress(false);
}

// ---------------------------------------------------------------------------------------
// Output

void TCliRun::AppendLine(const QString& line) {
  ClearProgressLine();
  if (!FStdout.Write(run::EncodeLogText(line + u'\n')) && !FStdoutDropped) {
    // The log file keeps every line; stdout loses those its reader had no room for.
    FStdoutDropped = true;
    WriteErr(QStringLiteral(
        "supplier-harvester-cli: stdout не успевает читать: строки лога, которым нет места, на stdout "
        "пропускаются (в файле лога они есть)\n"));
  }
  if (FLogFile.IsOpen()) {
    try {
      FLogFile.WriteLine(line);
    } catch (const std::exception& e) {
      // The run goes on; the log keeps going to stdout, and the end says what was lost.
      FLogFailure = QString::fromUtf8(e.what());
      FLogFile.Close();
      WriteErr(QStringLiteral("supplier-harvester-cli: %1\n").arg(FLogFailure));
    }
  }
  DrawProgress(false);
}

void TCliRun::ResetProgress() { FPosition = 0; }

QString TCliRun::ProgressText() const {
  TProgressFigures figures;
  figures.Phase = FPhase;
  figures.Position = FPosition;
  figures.Max = FMax;
  figures.ElapsedMs = FRunClock.elapsed();
  const std::int32_t left = FMax - FPosition;
  if (FPosition > 0 && left > 0) figures.RemainingMs = FPhaseClock.elapsed() * left / FPosition;
  figures.Paused = FControl->CurrentScraper() && FControl->CurrentScraper()->Paused();
  // One column short of the width: a line that fills the last column makes some terminals wrap.
  return FitProgressLine(figures, FTerminal && FColumns > 1 ? FColumns - 1 : 0);
}

void TCliRun::ReadTerminalWidth() {
  winsize size{};
  FColumns = FTerminal && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void TCliRun::DrawProgress(bool force) {
  if (FSettings.Quiet || FEnded) return;
  if (FTerminal) {
    WriteErr(QStringLiteral("\r") + ProgressText() + QStringLiteral("\x1b[K"));
    FProgressShown = true;
    return;
  }
  const qint64 now = FRunClock.elapsed();
  if (!force && FLastPlainMs >= 0 && now - FLastPlainMs < 10000) return;
  FLastPlainMs = now;
  WriteErr(ProgressText() + u'\n');
}

void TCliRun::ClearProgressLine() {
  if (!FTerminal || !FProgressShown) return;
  WriteErr(QStringLiteral("\r\x1b[K"));
  FProgressShown = false;
}

void TCliRun::Finish() {
  FEndPoll->stop();
  FTicker->stop();
  ClearProgressLine();
  QString result;
  {
    std::lock_guard<std::mutex> guard(FResultLock);
    result = FResultFile;
  }
  int status = esDone;
  if (FStoppedBySignal) status = esStopped;
  else if (FControl->ErrorOutcomes() > 0 || !FLogFailure.isEmpty() || FLostWork->load() > 0)
    status = esDoneWithErrors;
  // The spreadsheet mirrors whatever the result file holds, a stopped run's rows included; a
  // sheet that cannot be written leaves the result file as it is and the run counts as failed.
  if (FSettings.Xlsx && !result.isEmpty() && WriteSpreadsheet(result) != esDone &&
      status == esDone)
    status = esDoneWithErrors;
  // The result file is named last, after the sheet made from it.
  WriteErr(result.isEmpty() ? QStringLiteral("Файл результата не создан\n")
                            : QStringLiteral("Файл результата: %1\n").arg(result));
  // stdout gets its last lines unless its reader takes nothing at all.
  FStdout.Drain(kStdoutStallMs);
  QCoreApplication::exit(status);
}

int WriteSpreadsheet(const QString& csvPath) {
  const QString xlsxPath = exportx::XlsxPathFor(csvPath);
  try {
    const exportx::TXlsxExportSummary summary = exportx::ConvertResultFileToXlsx(csvPath, xlsxPath);
    WriteErr(QStringLiteral("Файл таблицы: %1 (строк: %2)\n").arg(xlsxPath).arg(summary.Rows));
    return esDone;
  } catch (const text::EResultFileFormat& e) {
    WriteErr(QStringLiteral("supplier-harvester-cli: ") + QString::fromUtf8(e.what()) + u'\n');
    return esRefused;
  } catch (const exportx::EXlsxExport& e) {
    WriteErr(QStringLiteral("supplier-harvester-cli: ") + QString::fromUtf8(e.what()) + u'\n');
    return esDoneWithErrors;
  } catch (const std::exception& e) {
    // The result file could not be read: nothing was written.
    WriteErr(QStringLiteral("supplier-harvester-cli: ") + QString::fromUtf8(e.what()) + u'\n');
    return esRefused;
  }
}

}  // namespace cli
