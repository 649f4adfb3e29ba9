#pragma once
// The run host of a front end: each operation the driver or a worker calls from its own thread
// runs on the front end's thread while the caller blocks, and any failure it raises is raised
// again in the caller; called on that thread itself, an operation runs at once. The run rules'
// part of each operation (the stamped lines, the start and end branches of the run state, the
// progress clamping, the outcome rule) is here once; the front end shows what it is told.
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

#include "engine/RunHost.h"
#include "run/RunControl.h"
#include "run/ThreadCall.h"

namespace run {

// What a front end does for its host, on its own thread.
class IHostFrontEnd {
 public:
  virtual ~IHostFrontEnd() = default;
  // The start branch, before the run's first line: the controls a run must not change are
  // disabled (the window clears its log here, too).
  virtual void ShowRunStarting() = 0;
  // The end branch: where the log is saved, its saving (throws on failure), and the front end
  // made usable again (also after a failed save).
  virtual QString LogFilePath() = 0;
  virtual void SaveLog(const QString& path) = 0;
  virtual void ShowRunEnded() = 0;
  // The progress, already clamped: 0 <= position <= max.
  virtual void ShowProgress(std::int32_t position, std::int32_t max) = 0;
};

class TQueuedHost : public engine::IRunHost {
 public:
  // Made on the front end's thread, whose event loop runs `target`. The control and the front
  // end are reached only on that thread and only until Detach.
  TQueuedHost(QObject* target, TRunControl& control, IHostFrontEnd& frontEnd);

  void AppendLog(const QString& message) override;
  void UpdateRunState(bool cursorHourGlass) override;
  void UpdateProgress(std::int32_t position, std::int32_t max) override;
  void ReportOutcome(engine::IRunDriver& driver, const QString& result) override;

  // Runs `operation` on the front end's thread and waits for it; rethrows what it raised.
  void RunOnTargetThread(const std::function<void()>& operation) { FCaller.Run(operation); }
  bool OnTargetThread() const { return FCaller.OnTargetThread(); }

  // The target is being destroyed (on its thread): later calls fail with ECallTargetGone, and
  // so do calls still waiting in the queue.
  void Detach() { FCaller.Detach(); }

 private:
  TRunControl& FControl;
  IHostFrontEnd& FFrontEnd;
  TThreadCaller FCaller;
};

}  // namespace run
