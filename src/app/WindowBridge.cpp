#include "app/WindowBridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <condition_variable>
#include <exception>
#include <memory>

#include "app/uMain.h"

namespace app {

namespace {

// One queued call: the caller waits on it until the window thread has run it, or until the
// event carrying it is discarded unrun (the window went away).
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

}  // namespace

// The event the form receives for each queued call.
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

bool DeliverCallEvent(QEvent* event) {
  if (event->type() != TCallEvent::EventType()) return false;
  static_cast<TCallEvent*>(event)->Run();
  return true;
}

TWindowBridge::TWindowBridge(TMainForm* form)
    : FForm(form), FWindowThread(std::this_thread::get_id()) {}

void TWindowBridge::Detach() {
  std::lock_guard<std::mutex> g(FLock);
  FForm = nullptr;
}

void TWindowBridge::RunOnWindowThread(const std::function<void()>& operation) {
  if (OnWindowThread()) {
    {
      std::lock_guard<std::mutex> g(FLock);
      if (!FForm) throw EWindowClosed();
    }
    operation();
    return;
  }
  auto request = std::make_shared<TCallRequest>(operation);
  {
    std::lock_guard<std::mutex> g(FLock);
    if (!FForm) throw EWindowClosed();
    QCoreApplication::postEvent(FForm, new TCallEvent(request));
  }
  std::unique_lock<std::mutex> wait(request->Lock);
  request->Done.wait(wait, [&] { return request->Finished; });
  if (!request->Ran) throw EWindowClosed();
  if (request->Failure) std::rethrow_exception(request->Failure);
}

template <class Op>
void TWindowBridge::Call(Op&& op) {
  // The form pointer is read on the window thread only, where Detach also runs.
  RunOnWindowThread([this, &op] { op(*FForm); });
}

void TWindowBridge::AppendLog(const QString& message) {
  Call([&](TMainForm& form) { form.AppendLog(message); });
}

void TWindowBridge::UpdateRunState(bool cursorHourGlass) {
  Call([&](TMainForm& form) { form.UpdateRunState(cursorHourGlass); });
}

void TWindowBridge::UpdateProgress(std::int32_t position, std::int32_t max) {
  Call([&](TMainForm& form) { form.UpdateProgress(position, max); });
}

void TWindowBridge::ReportOutcome(engine::IRunDriver& driver, const QString& result) {
  Call([&](TMainForm& form) { form.ReportOutcome(driver, result); });
}

}  // namespace app
