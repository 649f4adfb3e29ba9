#pragma once
// The run rules shared by every front end: starting a driver, the pause and stop requests, the
// outcome report with its automatic 30-second pause and the timer that ends it, and the stamped
// log lines these write. A front end turns its own events (clicks, signals) into these calls and
// shows the lines through its IRunView.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/EngineConfig.h"
#include "engine/RunHost.h"
#include "run/LogFormat.h"

class QTimer;

namespace run {

using TDriverFactory = std::function<std::shared_ptr<engine::IRunDriver>(
    std::shared_ptr<engine::IRunHost> host, const engine::TRunOptions& options,
    const engine::TEngineConfig& config)>;

// Where the rules' lines and side effects go.
class IRunView {
 public:
  virtual ~IRunView() = default;
  // One finished log line: stamp followed by its message.
  virtual void AppendLine(const QString& line) = 0;
  // A stop request: the progress display goes back to 0.
  virtual void ResetProgress() {}
};

struct TRunControlSettings {
  TDriverFactory CreateDriver;
  std::function<QDateTime()> Now;  // empty: the local date and time
  int ResumeDelayMs = 30000;       // the automatic pause; shortened only by tests
};

class TRunControl : public QObject {
 public:
  // Lives on the thread whose event loop runs the front end (the window thread).
  TRunControl(IRunView& view, TRunControlSettings settings, TStampFormat stampFormat,
              QObject* parent = nullptr);

  // Creates a driver for the options and the configuration, and starts it. Does nothing while a
  // run is active (a second start before the driver's first call). When the driver cannot be
  // made or its thread cannot be started, the failure is raised and no driver is current.
  void Start(std::shared_ptr<engine::IRunHost> host, const engine::TRunOptions& options,
             const engine::TEngineConfig& config);

  // Pause toggle: pauses a running driver (": Включаем паузу", the resume timer disabled) or
  // resumes a paused one (": Отключаем паузу, продолжаем работу"). Nothing without a driver
  // whose run is going on.
  void PauseClick();
  // Resumes a paused driver, requests the stop and logs ": Останавливаем работу".
  void StopClick();
  // The automatic resume, when the resume timer fires.
  void ResumeTimerTimer();
  // The outcome rule: an error outcome is logged, the resume timer armed and the driver paused;
  // otherwise ": Сбор данных завершен".
  void ReportOutcome(engine::IRunDriver& driver, const QString& result);
  // A full count of ResumeDelayMs, also when the timer is still counting.
  void ArmResumeTimer();

  // The driver's first call: ": Начинаем работу по выгрузке".
  void RunStarted();
  // The driver's last call, before the log file is saved at `logPath`: the line naming it.
  void RunEnding(const QString& logPath);
  // The run is over for the front end (also when its end call failed).
  void RunEnded() { FRunActive = false; }

  // The stamp of a line formed now, and lines formed with it.
  QString Stamp() const;
  void Log(const QString& message);         // stamp + ": " + message
  void LogLiteral(const QString& literal);  // stamp directly followed by a ": ..." literal

  void SetStampFormat(const TStampFormat& format) { FStampFormat = format; }

  // The driver of the current or last run (empty before the first start and after a failed
  // one).
  const std::shared_ptr<engine::IRunDriver>& CurrentScraper() const { return FCurrentScraper; }
  // True from a start until the driver's last call.
  bool RunActive() const { return FRunActive; }
  // True while the current driver's run has not finished: from its start until its end call
  // (RunEnded) or its thread's finish, whichever comes first.
  bool DriverRunning() const;
  // Error outcomes reported since the last start.
  int ErrorOutcomes() const { return FErrorOutcomes; }
  QTimer* ResumeTimer() const { return FResumeTimer; }

 private:
  IRunView& FView;
  TRunControlSettings FSettings;
  TStampFormat FStampFormat;
  std::shared_ptr<engine::IRunDriver> FCurrentScraper;
  bool FRunActive = false;
  int FErrorOutcomes = 0;
  QTimer* FResumeTimer;
};

}  // namespace run
