#pragma once
// The real window-thread bridge: the window's run host. Each operation called from another
// thread is queued to the window thread, runs there while the caller blocks, and any failure it
// raises is raised again in the caller. Called on the window thread itself, an operation runs
// at once.
#include <QString>
#include <functional>

#include "run/QueuedHost.h"

namespace app {

// Raised in a caller whose call could not run because the window is gone.
using EWindowClosed = run::ECallTargetGone;

class TWindowBridge final : public run::TQueuedHost {
 public:
  // Made by the form on the window thread, over the form's run rules and what it shows.
  TWindowBridge(QObject* form, run::TRunControl& control, run::IHostFrontEnd& frontEnd)
      : TQueuedHost(form, control, frontEnd) {}

  // Runs `operation` on the window thread and waits for it; rethrows what it raised.
  void RunOnWindowThread(const std::function<void()>& operation) { RunOnTargetThread(operation); }

  bool OnWindowThread() const { return OnTargetThread(); }
};

}  // namespace app
