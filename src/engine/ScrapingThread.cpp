#include "engine/ScrapingThread.h"

#include <algorithm>
#include <stdexcept>

#include "engine/ListCrawl.h"
#include "engine/ProxySettings.h"
#include "base/TickCount.h"

namespace engine {

namespace {

const QString kErrorPrefix = QStringLiteral("ERROR_");

// A failed page check: the page arrived but is not usable.
struct TPageRejected {
  QString message;
};

QString ErrorText(const std::string& message, int statusCode) {
  if (message.empty()) return kErrorPrefix + QString::number(statusCode);
  return kErrorPrefix + QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
}

// Thrown out of the attempt loop when the stop flag ends the worker before its hand-off.
struct TStopSeen {};

}  // namespace

TScrapingThread::TScrapingThread(std::shared_ptr<IRunHost> host, TWorkerSettings settings)
    : host_(std::move(host)),
      settings_(std::move(settings)),
      clock_(settings_.Clock ? settings_.Clock : SystemClock()) {}

TScrapingThread::~TScrapingThread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();  // the last holder let go on the worker's own thread
    else
      thread_.join();
  }
}

void TScrapingThread::Start() {
  std::lock_guard<std::mutex> guard(threadLock_);
  if (thread_.joinable()) return;
  // The thread holds the worker and its lists until it ends; the worker itself keeps no
  // reference to the lists, so lists holding workers form no cycle.
  std::shared_ptr<TWorkerLists> lists = std::move(Lists);
  thread_ = std::thread([self = shared_from_this(), lists]() mutable {
    self->Execute(lists);
    lists.reset();
    self.reset();
  });
}

void TScrapingThread::WaitFor() {
  std::lock_guard<std::mutex> guard(threadLock_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TScrapingThread::AppendLog() { host_->AppendLog(LogMessageText); }

void TScrapingThread::Wait(IPageFetcher* client, std::uint32_t ms, bool sleepBetween) {
  const std::uint32_t start = clock_->Now();
  for (;;) {
    if (Terminated()) return;
    if (client) client->ProcessPendingEvents();
    if (base::TicksElapsed(start, clock_->Now()) > ms || Terminated()) return;
    // The final wait processes events without a pause of its own; a 1 ms yield keeps it from
    // spinning a core for its whole length.
    clock_->Sleep(sleepBetween ? settings_.Timing.WaitSliceMs : 1);
  }
}

void TScrapingThread::RunAttempts(IPageFetcher& client) {
  const std::int32_t attempts = std::max<std::int32_t>(1, settings_.Timing.AttemptCount);
  bool failed = false;
  for (std::int32_t attempt = 0; attempt < attempts;) {
    if (Terminated()) throw TStopSeen{};
    failed = false;
    ++attempt;
    LogMessageText = IsListPageUrl(url)
                         ? QStringLiteral("Загружаем список...")
                         : QStringLiteral("Загружаем карточку...");
    AppendLog();
    try {
      html = client.Fetch(url);
      if (!html.contains("</html>")) throw TPageRejected{QStringLiteral("Broken")};
      if (html.contains("<h1>429</h1>")) throw TPageRejected{QStringLiteral("429")};
    } catch (const TPageRejected& rejected) {
      failed = true;
      statusText = kErrorPrefix + rejected.message;
    } catch (const EFetchError& e) {
      failed = true;
      statusText = ErrorText(e.what(), e.StatusCode);
    } catch (const std::exception& e) {
      failed = true;
      statusText = ErrorText(e.what(), 0);
    }
    if (!failed) {
      if (Terminated()) throw TStopSeen{};
      break;
    }
    result = -1;
    LogMessageText = statusText + QStringLiteral(" для ") + url;
    AppendLog();
    Wait(&client, settings_.Timing.RetryWaitMs, true);
  }
  if (failed) {
    Wait(&client, settings_.Timing.FinalWaitMs, false);
  } else {
    result = 1;
    statusText = QStringLiteral("успешно");
  }
}

void TScrapingThread::HandOff(TWorkerLists& lists) {
  std::lock_guard<std::mutex> guard(*lists.WorkerListLock);
  for (auto it = lists.RunningList.begin(); it != lists.RunningList.end(); ++it) {
    if (it->get() == this) {
      lists.RunningList.erase(it);
      break;
    }
  }
  lists.FinishedList.push_back(shared_from_this());
}

void TScrapingThread::Execute(const std::shared_ptr<TWorkerLists>& lists) {
  std::unique_ptr<IPageFetcher> client;
  try {
    try {
      client = settings_.FetcherFactory ? settings_.FetcherFactory(CurrentProxySettings())
                                        : CreateTlsPageFetcher(CurrentProxySettings());
      if (!client) throw std::runtime_error("No HTTP client");
      result = 0;
      html.clear();
      if (Terminated()) return;
      RunAttempts(*client);
    } catch (const TStopSeen&) {
      return;  // ends without hand-off
    } catch (const EFetchError& e) {
      result = -1;
      statusText = ErrorText(e.what(), e.StatusCode);
      Wait(client.get(), settings_.Timing.FinalWaitMs, false);
    } catch (const std::exception& e) {
      result = -1;
      statusText = ErrorText(e.what(), 0);
      Wait(client.get(), settings_.Timing.FinalWaitMs, false);
    }
    if (lists) HandOff(*lists);
  } catch (...) {
    // Nothing may leave a thread; a worker that cannot hand itself over stays in RunningList.
  }
}

}  // namespace engine
