#pragma once
// The real window-thread bridge: each operation called from another thread is queued to the
// window thread, runs there while the caller blocks, and any failure it raises is raised again
// in the caller. Called on the window thread itself, an operation runs at once.
#include <QString>
#include <functional>

#include "engine/RunHost.h"
#include "run/ThreadCall.h"

namespace app {

class TMainForm;

// Raised in a caller whose call could not run because the window is gone.
using EWindowClosed = run::ECallTargetGone;

class TWindowBridge final : public engine::IRunHost {
 public:
  // Made by the form on the window thread.
  explicit TWindowBridge(TMainForm* form);

  void AppendLog(const QString& message) override;
  void UpdateRunState(bool cursorHourGlass) override;
  void UpdateProgress(std::int32_t position, std::int32_t max) override;
  void ReportOutcome(engine::IRunDriver& driver, const QString& result) override;

  // Runs `operation` on the window thread and waits for it; rethrows what it raised.
  void RunOnWindowThread(const std::function<void()>& operation) { FCaller.Run(operation); }

  // The form is being destroyed (window thread): later calls fail with EWindowClosed, and so
  // do calls still waiting in the queue.
  void Detach() { FCaller.Detach(); }

  bool OnWindowThread() const { return FCaller.OnTargetThread(); }

 private:
  template <class Op>
  void Call(Op&& op);

  TMainForm* const FForm;  // read on the window thread only, and only while attached
  run::TThreadCaller FCaller;
};

}  // namespace app
