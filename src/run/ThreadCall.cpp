#include "run/ThreadCall.h"

#include <QCoreApplication>
#include <QEvent>
#include <condition_variable>
#include <exception>
#include <memory>

namespace run {

namespace {

// One queued call: the caller waits on it until the target's thread has run it, or until the
// event carrying it is discarded unrun (the target went away).
struct TCallRequest {
  explicit TCallRequest(const std::function<void()>& op) : Operation(op) {}
  const std::function<void()>& Operation;  // lives in the blocked caller's frame
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;
  bool Ran = false;
  std::exception_ptr Failure;

  void Complete(bool ran, std::exception_ptr failure) {
    std::lock_guard<std::mutex> g(Lock);
    if (Finished) return;
    Finished = true;
    Ran = ran;
    Failure = std::move(failure);
    Done.notify_all();
  }
};

// The event the target receives for each queued call.
class TCallEvent : public QEvent {
 public:
  static QEvent::Type EventType() {
    static const int type = QEvent::registerEventType();
    return static_cast<QEvent::Type>(type);
  }
  explicit TCallEvent(std::shared_ptr<TCallRequest> request)
      : QEvent(EventType()), FRequest(std::move(request)) {}
  ~TCallEvent() override { FRequest->Complete(false, nullptr); }  // no-op once run

  void Run() {
    std::exception_ptr failure;
    try {
      FRequest->Operation();
    } catch (...) {
      failure = std::current_exception();
    }
    FRequest->Complete(true, failure);
  }

 private:
  std::shared_ptr<TCallRequest> FRequest;
};

// Receives the queued calls of one caller. Destroyed on detach, it takes the calls still
// queued for it along: they are discarded unrun and their callers learn the target is gone.
class TCallReceiver : public QObject {
 public:
  explicit TCallReceiver(QObject* target) : QObject(target) {}

 protected:
  bool event(QEvent* event) override {
    if (event->type() != TCallEvent::EventType()) return QObject::event(event);
    static_cast<TCallEvent*>(event)->Run();
    return true;
  }
};

}  // namespace

TThreadCaller::TThreadCaller(QObject* target)
    : FReceiver(new TCallReceiver(target)), FThread(std::this_thread::get_id()) {}

TThreadCaller::~TThreadCaller() = default;  // the receiver, if still there, goes with its target

void TThreadCaller::Detach() {
  std::lock_guard<std::mutex> g(FLock);
  delete FReceiver;
  FReceiver = nullptr;
}

void TThreadCaller::Run(const std::function<void()>& operation) {
  if (OnTargetThread()) {
    {
      std::lock_guard<std::mutex> g(FLock);
      if (!FReceiver) throw ECallTargetGone();
    }
    operation();
    return;
  }
  auto request = std::make_shared<TCallRequest>(operation);
  {
    std::lock_guard<std::mutex> g(FLock);
    if (!FReceiver) throw ECallTargetGone();
    QCoreApplication::postEvent(FReceiver, new TCallEvent(request));
  }
  std::unique_lock<std::mutex> wait(request->Lock);
  request->Done.wait(wait, [&] { return request->Finished; });
  if (!request->Ran) throw ECallTargetGone();
  if (request->Failure) std::rethrow_exception(request->Failure);
}

}  // namespace run
