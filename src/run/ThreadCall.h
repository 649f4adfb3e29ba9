#pragma once
// Running an operation on the thread of a QObject's event loop while the calling thread
// waits: the mechanism of the run host, for the window and the command alike.
// Each call from another thread is posted as an event to a receiver of the caller's own, a child
// of the target on the target's thread; the operation runs there, and any failure it raised is
// raised again in the caller. A call made on the target's own thread runs at once.
#include <QObject>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace run {

// Raised in a caller whose call could not run because the target is gone.
class ECallTargetGone : public std::runtime_error {
 public:
  ECallTargetGone() : std::runtime_error("the window is closed") {}
};

class TThreadCaller {
 public:
  // Made on the target's thread. The target detaches the caller before it is destroyed.
  explicit TThreadCaller(QObject* target);
  ~TThreadCaller();
  TThreadCaller(const TThreadCaller&) = delete;
  TThreadCaller& operator=(const TThreadCaller&) = delete;

  // Runs `operation` on the target's thread and waits for it; rethrows what it raised.
  void Run(const std::function<void()>& operation);

  // The target is being destroyed (on its thread): later calls fail with ECallTargetGone, and
  // so do calls still waiting in its queue.
  void Detach();

  bool OnTargetThread() const { return std::this_thread::get_id() == FThread; }

 private:
  std::mutex FLock;     // guards FReceiver against Detach
  QObject* FReceiver;   // runs the queued calls; null once detached
  const std::thread::id FThread;
};

}  // namespace run
