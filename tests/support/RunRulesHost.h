#pragma once
// The run rules on a thread of their own, for headless windows in tests and harnesses that run
// the real engine: the outcome report, the automatic pause and the resume timer that ends it are
// the rule object's own (run::TRunControl), not a copy. The thread runs an event loop for the
// timer; the process needs a QCoreApplication.
#include <QObject>
#include <QThread>
#include <QTimer>
#include <exception>
#include <functional>
#include <memory>

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
    FTarget = new TTarget(FSettings.RuleLine);
    FTarget->moveToThread(&FThread);
    FThread.start();
    // The rule object and its timer belong to the host's thread.
    QMetaObject::invokeMethod(FTarget, [this] { FTarget->Make(FSettings); }, Qt::BlockingQueuedConnection);
  }
  ~TRunRulesHost() {
    QMetaObject::invokeMethod(FTarget, [t = FTarget] { delete t; }, Qt::BlockingQueuedConnection);
    FThread.quit();
    FThread.wait();
  }
  TRunRulesHost(const TRunRulesHost&) = delete;
  TRunRulesHost& operator=(const TRunRulesHost&) = delete;

  // Runs `op` with the rule object on the host's thread and waits; raises what it raised. Never
  // called from the host's thread.
  void Call(const std::function<void(run::TRunControl&)>& op) {
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        FTarget,
        [&] {
          try {
            op(FTarget->Control());
          } catch (...) {
            failure = std::current_exception();
          }
        },
        Qt::BlockingQueuedConnection);
    if (failure) std::rethrow_exception(failure);
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
  std::shared_ptr<engine::IRunDriver> Start(std::shared_ptr<engine::IWindowBridge> bridge,
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

  TSettings FSettings;
  QThread FThread;
  TTarget* FTarget;
};

}  // namespace testsupport
