#pragma once
// One harvest run of the command: the bridge the driver calls, the run rules behind it, the log
// on stdout and in the log file, the progress on stderr, and the signals that stop or pause it.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cli/CliOutput.h"
#include "engine/EngineConfig.h"
#include "run/LogFile.h"
#include "run/QueuedHost.h"
#include "run/RunControl.h"

class QSocketNotifier;
class QTimer;

namespace cli {

// Exit statuses of the command.
enum TExitStatus : int {
  esDone = 0,         // the run reached its end with no error outcome
  esDoneWithErrors = 1,
  esRefused = 2,      // bad usage, a start-up refusal, an unusable resume file: nothing written
  esStopped = 130,    // stopped by a signal
};

struct TCliRunSettings {
  engine::TRunOptions Options;
  engine::TEngineConfig Config;  // its OpenDocument is set by the run
  QString OutputDir;             // with its trailing separator
  bool Quiet = false;
  run::TDriverFactory CreateDriver;  // the engine's driver
  int ResumeDelayMs = 30000;
  bool Xlsx = false;  // also write the result file as a spreadsheet when the run ends
};

// Writes the result file `csvPath` as the spreadsheet beside it (data<N>.csv -> data<N>.xlsx)
// and says so on stderr; on failure says why in one line there. The result file is only read.
// Returns esDone, esRefused (not a result file, or it cannot be read: nothing is written) or
// esDoneWithErrors (the spreadsheet could not be written).
int WriteSpreadsheet(const QString& csvPath);

class TCliRun : public QObject, private run::IRunView, private run::IHostFrontEnd {
 public:
  explicit TCliRun(TCliRunSettings settings, QObject* parent = nullptr);
  ~TCliRun() override;

  // Creates the log file and starts the driver. On failure nothing is left on disk and the
  // reason is in `error`.
  bool Start(QString& error);
  // Runs the event loop until the run has ended; returns the exit status.
  int Exec();


 private:
  class TBridge;

  // The phase shown in the progress line, told by the driver (main thread).
  void PhaseStarted(engine::TRunPhase phase);

  void AppendLine(const QString& line) override;
  void ResetProgress() override;
  // run::IHostFrontEnd, on the main thread.
  void ShowRunStarting() override;
  QString LogFilePath() override;
  void SaveLog(const QString& path) override;
  void ShowRunEnded() override;
  void ShowProgress(std::int32_t position, std::int32_t max) override;
  void OnSignal();
  void DrawProgress(bool force);
  void ClearProgressLine();
  QString ProgressText() const;
  void ReadTerminalWidth();
  void Finish();

  TCliRunSettings FSettings;
  run::TRunControl* FControl;
  std::shared_ptr<TBridge> FBridge;
  run::TLogFileWriter FLogFile;
  QString FLogPath;
  QString FLogFailure;  // why the log file stopped being written, if it did
  bool FStoppedBySignal = false;
  bool FEnded = false;
  // Work the run lost without an outcome saying so (rows left out of the result file, a
  // failure outside the phases), counted on the driver's thread.
  std::shared_ptr<std::atomic<int>> FLostWork = std::make_shared<std::atomic<int>>(0);
  // stdout: the log lines, written by a thread of their own.
  TOutputQueue FStdout;
  bool FStdoutDropped = false;

  // Progress.
  bool FTerminal = false;
  int FColumns = 0;  // the terminal's width; 0: unknown, no limit
  QString FPhase;
  std::int32_t FPosition = 0;
  std::int32_t FMax = 0;
  QElapsedTimer FRunClock;
  QElapsedTimer FPhaseClock;
  qint64 FLastPlainMs = -1;
  bool FProgressShown = false;
  QTimer* FTicker;
  QTimer* FEndPoll;
  QSocketNotifier* FSignals = nullptr;

  std::mutex FResultLock;
  QString FResultFile;  // set by the driver thread through the open action
};

// Installs the handlers of SIGINT, SIGTERM, SIGUSR1 and SIGWINCH (and ignores SIGPIPE); returns
// the read end of their pipe, where what they report waits until the run reads it.
int InstallSignalPipe();

}  // namespace cli
