#pragma once
// TScraper: one harvest run on a thread of its own. Set-up, the list phase, the inactive-list
// phase (separate mode), the card selection and card phase, and the end of the run.
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/CardSelection.h"
#include "engine/ListCrawl.h"
#include "engine/Resume.h"
#include "engine/EngineConfig.h"
#include "engine/ScrapingThread.h"

namespace engine {

class TScraper : public IRunDriver, public std::enable_shared_from_this<TScraper> {
 public:
  TScraper(std::shared_ptr<IRunHost> host, const TRunOptions& options,
           const TEngineConfig& config);
  ~TScraper() override;
  TScraper(const TScraper&) = delete;
  TScraper& operator=(const TScraper&) = delete;

  void Start() override;
  void Terminate() override;
  void Pause() override;
  void Resume() override;
  bool Paused() const override;
  bool Finished() const override;

  // The fields the window-thread operations read; each is set just before its call.
  QString result;
  QString LogMessageText;
  bool CursorHourGlass = false;
  std::int32_t ProgressBarPosition = 0;
  std::int32_t ProgressBarMax = 0;
  std::int32_t Limit = 5;

 private:
  enum class TLoopEnd { Done, Stopped };
  using TPhaseKind = TRunPhase;
  using THandler = std::function<void(const QString& address, const QString& pageText)>;

  void Execute();
  bool RunListPhase(TPhaseKind kind);  // false: stopped
  void RunCardSelectionAndPhase();
  TLoopEnd RunLoop(TPhaseKind kind, const THandler& handler);
  TLoopEnd StopWorkers(TWorkerLists& lists);
  void ReadProxySettings();
  void ReportError(const QString& message);

  // The window-thread operations; each passes the pause gate once the window returns.
  void AppendLog();
  void Log(const QString& message);
  void UpdateRunState();
  void UpdateProgress();
  void ReportOutcome();

  bool Terminated() const { return terminated_.load(); }
  void PassGate();
  int CurrentYear() const;

  std::shared_ptr<IRunHost> host_;
  TRunOptions options_;
  TEngineConfig config_;
  std::shared_ptr<IClock> clock_;

  // Run state, touched by the driver's thread only (workers see their own lists).
  std::shared_ptr<std::mutex> workerListLock_;
  TAddressQueue pending_;
  TPlannedList planned_;
  QStringList found_;
  QStringList cardList_;
  QStringList inactiveList_;
  TInactiveSet inactiveSet_;
  bool proxyInUse_ = false;
  std::optional<TResumeFile> resume_;  // the result file this run continues

  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  mutable std::mutex gateLock_;
  std::condition_variable gateChanged_;
  bool paused_ = false;

  std::mutex threadLock_;
  std::thread thread_;
};

}  // namespace engine
