#pragma once
// The real window-thread bridge: each operation called from another thread is queued to the
// window thread, runs there while the caller blocks, and any failure it raises is raised again
// in the caller. Called on the window thread itself, an operation runs at once.
#include <QString>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "engine/WindowBridge.h"

namespace app {

class TMainForm;

// Raised in a caller whose call could not run because the window is gone.
class EWindowClosed : public std::runtime_error {
 public:
  EWindowClosed() : std::runtime_error("the window is closed") {}
};

class TWindowBridge final : public engine::IWindowBridge {
 public:
  // Made by the form on the window thread.
  explicit TWindowBridge(TMainForm* form);

  void AppendLog(const QString& message) override;
  void UpdateRunState(bool cursorHourGlass) override;
  void UpdateProgress(std::int32_t position, std::int32_t max) override;
  void ReportOutcome(engine::IRunDriver& driver, const QString& result) override;

  // Runs `operation` on the window thread and waits for it; rethrows what it raised.
  void RunOnWindowThread(const std::function<void()>& operation);

  // The form is being destroyed (window thread): later calls fail with EWindowClosed, and so
  // do calls still waiting in the queue.
  void Detach();

  bool OnWindowThread() const { return std::this_thread::get_id() == FWindowThread; }

 private:
  template <class Op>
  void Call(Op&& op);

  std::mutex FLock;             // guards FForm against Detach
  TMainForm* FForm;             // null once detached
  const std::thread::id FWindowThread;
};

}  // namespace app
