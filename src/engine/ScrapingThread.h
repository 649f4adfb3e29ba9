#pragma once
// TScrapingThread: fetches one portal address on a thread of its own, with up to AttemptCount
// attempts, judges each page, and hands itself over from the phase's RunningList to its
// FinishedList under WorkerListLock.
#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/PageFetcher.h"
#include "engine/Timing.h"
#include "engine/RunHost.h"

namespace engine {

class TScrapingThread;

// One scheduling loop's worker lists and the run's WorkerListLock. Shared by the driver and every
// worker started into them, so that abandoned workers can still hand themselves over.
struct TWorkerLists {
  explicit TWorkerLists(std::shared_ptr<std::mutex> lock) : WorkerListLock(std::move(lock)) {}
  std::shared_ptr<std::mutex> WorkerListLock;
  std::vector<std::shared_ptr<TScrapingThread>> RunningList;  // launch order
  std::deque<std::shared_ptr<TScrapingThread>> FinishedList;  // hand-off order
};

// The worker's pacing, clock and client; the defaults are the program's.
struct TWorkerSettings {
  TEngineTiming Timing;            // the worker reads its attempts and waits
  std::shared_ptr<IClock> Clock;   // empty: the system's
  TFetcherFactory FetcherFactory;  // empty: the HTTPS client
};

class TScrapingThread : public std::enable_shared_from_this<TScrapingThread> {
 public:
  TScrapingThread(std::shared_ptr<IRunHost> host, TWorkerSettings settings);
  ~TScrapingThread();
  TScrapingThread(const TScrapingThread&) = delete;
  TScrapingThread& operator=(const TScrapingThread&) = delete;

  // Set by the driver before Start. The worker keeps the lists only while its thread runs.
  std::shared_ptr<TWorkerLists> Lists;
  QString url;

  // Starts the thread; the driver appends the worker to RunningList first.
  void Start();
  // The stop flag; a request in progress is not interrupted.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Waits until the thread has ended (at once when called on the worker's own thread).
  void WaitFor();

  // The outcome, read by the driver only once the worker is in FinishedList.
  std::int32_t result = 0;  // 0 working, 1 success, -1 failure
  QByteArray html;          // body of the last received page, one char per byte
  QString statusText;       // "успешно" or "ERROR_" + message (or status code)

 private:
  void Execute(const std::shared_ptr<TWorkerLists>& lists);
  void RunAttempts(IPageFetcher& client);
  void Wait(IPageFetcher* client, std::uint32_t ms, bool sleepBetween);
  void HandOff(TWorkerLists& lists);
  void AppendLog();

  QString LogMessageText;
  std::shared_ptr<IRunHost> host_;
  TWorkerSettings settings_;
  std::shared_ptr<IClock> clock_;
  std::atomic<bool> terminated_{false};
  std::thread thread_;
  std::mutex threadLock_;
};

}  // namespace engine
