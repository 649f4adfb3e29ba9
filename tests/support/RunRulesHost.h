#pragma once
// The run rules on a thread of their own, for headless windows in tests and harnesses that run
// the real engine: the outcome report, the automatic pause and the resume timer that ends it are
// the rule object's own (run::TRunControl), not a copy. The thread runs the timer's events
// between the calls it is handed; the process needs a QCoreApplication.
//
// Calls reach the thread through a queue under a std::mutex and come back through a promise,
// not through Qt's queued calls: Qt's own locks are futexes that ThreadSanitizer cannot see
// in an uninstrumented Qt, so a handoff through them reads as a race. Every Qt object here
// lives and dies on the host's thread.
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "run/RunControl.h"

namespace testsupport {

class TRunRulesHost {
 public:
  struct TSettings {
    int ResumeDelayMs = 50;                          // the automatic pause, shortened
    std::function<void(const QString&)> RuleLine;    // each stamped line of the rules
    std::function<void()> TimerFired;                // before the rules handle the expiry
  };

  explicit TRunRulesHost(TSettings settings) : FSettings(std::move(settings)) {
    FThread = std::thread([this] { Loop(); });
    Call([](run::TRunControl&) {});  // back once the rule object is made
  }
  ~TRunRulesHost() {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FQuit = true;
    }
    FWake.notify_one();
    FThread.join();
  }
  TRunRulesHost(const TRunRulesHost&) = delete;
  TRunRulesHost& operator=(const TRunRulesHost&) = delete;

  // Runs `op` with the rule object on the host's thread and waits; raises what it raised. Never
  // called from the host's thread.
  void Call(const std::function<void(run::TRunControl&)>& op) {
    std::promise<void> done;
    std::future<void> result = done.get_future();
    {
      std::lock_guard<std::mutex> guard(FLock);
      FCalls.push_back([&] {
        try {
          op(*FControl);
          done.set_value();
        } catch (...) {
          done.set_exception(std::current_exception());
        }
      });
    }
    FWake.notify_one();
    result.get();
  }

  // The driver's first call (true) and its last (false), as the rules take them from a front
  // end; the log file is not written.
  void RunState(bool running) {
    Call([running](run::TRunControl& control) {
      if (running) {
        control.RunStarted();
        return;
      }
      control.RunEnding(QStringLiteral("log.txt"));
      control.RunEnded();
    });
  }

  // Creates and starts a driver through the rules, as a front end's start does.
  std::shared_ptr<engine::IRunDriver> Start(std::shared_ptr<engine::IRunHost> bridge,
                                            const engine::TRunOptions& options,
                                            const engine::TEngineConfig& config) {
    std::shared_ptr<engine::IRunDriver> driver;
    Call([&](run::TRunControl& control) {
      control.Start(std::move(bridge), options, config);
      driver = control.CurrentScraper();
    });
    return driver;
  }

 private:
  class TTarget : public QObject, public run::IRunView {
   public:
    explicit TTarget(std::function<void(const QString&)> ruleLine) : FRuleLine(std::move(ruleLine)) {}
    void AppendLine(const QString& line) override {
      if (FRuleLine) FRuleLine(line);
    }
    run::TRunControl& Control() { return *FControl; }
    void Make(const TSettings& settings) {
      run::TRunControlSettings rules;
      rules.CreateDriver = &engine::CreateScraper;
      rules.ResumeDelayMs = settings.ResumeDelayMs;
      FControl = new run::TRunControl(*this, rules, {QStringLiteral("dd.MM.yyyy"), QStringLiteral("H:mm:ss")}, this);
      QObject::connect(FControl->ResumeTimer(), &QTimer::timeout, this, [this, fired = settings.TimerFired] {
        if (fired) fired();
        FControl->ResumeTimerTimer();
      });
    }

   private:
    std::function<void(const QString&)> FRuleLine;
    run::TRunControl* FControl = nullptr;
  };

  // The host's thread: makes the rule object, then runs the calls handed to it and, between
  // them, the events of its timers, until the host goes.
  void Loop() {
    QEventLoop events;  // gives this thread an event dispatcher for the resume timer
    TTarget target(FSettings.RuleLine);
    target.Make(FSettings);
    FControl = &target.Control();
    for (;;) {
      std::deque<std::function<void()>> calls;
      {
        std::unique_lock<std::mutex> lock(FLock);
        FWake.wait_for(lock, std::chrono::milliseconds(1), [this] { return FQuit || !FCalls.empty(); });
        if (FQuit && FCalls.empty()) break;
        calls.swap(FCalls);
      }
      for (auto& call : calls) call();
      events.processEvents(QEventLoop::AllEvents);
    }
    FControl = nullptr;
  }

  TSettings FSettings;
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FCalls;  // under FLock
  bool FQuit = false;                         // under FLock
  run::TRunControl* FControl = nullptr;       // the host's thread only
  std::thread FThread;                        // last: started once the rest is in place
};

}  // namespace testsupport
