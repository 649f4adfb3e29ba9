#include "engine/Scraper.h"

#include <QDate>
#include <exception>
#include <stdexcept>

#include "engine/ProxySettings.h"
#include "engine/Update.h"
#include "text/uLib.h"

namespace engine {

namespace {

const QString kErrorPrefix = QStringLiteral("ERROR_");

QString MessageOf(const std::exception& e) { return QString::fromUtf8(e.what()); }

}  // namespace

TScraper::TScraper(std::shared_ptr<IRunHost> host, const TRunOptions& options,
                   const TEngineConfig& config)
    : host_(std::move(host)),
      options_(options),
      config_(config),
      clock_(config_.Clock ? config_.Clock : SystemClock()) {}

TScraper::~TScraper() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();  // the run's own thread let go of the driver last
    else
      thread_.join();
  }
}

void TScraper::Start() {
  std::lock_guard<std::mutex> guard(threadLock_);
  if (thread_.joinable() || finished_.load()) return;
  // The thread keeps the driver alive while it runs; the driver is released when both its
  // thread and the last outside holder are done with it.
  thread_ = std::thread([self = shared_from_this()]() mutable {
    self->Execute();
    self.reset();
  });
}

void TScraper::Terminate() {
  // A stop does not lift a pause: the window resumes the driver before it asks it to stop, and
  // a pause made while the driver is stopping holds until the operator resumes it.
  terminated_.store(true);
}

void TScraper::Pause() {
  std::lock_guard<std::mutex> guard(gateLock_);
  paused_ = true;
}

void TScraper::Resume() {
  std::lock_guard<std::mutex> guard(gateLock_);
  paused_ = false;
  gateChanged_.notify_all();
}

bool TScraper::Paused() const {
  std::lock_guard<std::mutex> guard(gateLock_);
  return paused_;
}

bool TScraper::Finished() const { return finished_.load(); }

void TScraper::PassGate() {
  std::unique_lock<std::mutex> lock(gateLock_);
  gateChanged_.wait(lock, [this] { return !paused_; });
}

int TScraper::CurrentYear() const {
  return config_.CurrentYear != 0 ? config_.CurrentYear : QDate::currentDate().year();
}

void TScraper::AppendLog() {
  host_->AppendLog(LogMessageText);
  PassGate();
}

void TScraper::Log(const QString& message) {
  LogMessageText = message;
  AppendLog();
}

void TScraper::UpdateRunState() {
  host_->UpdateRunState(CursorHourGlass);
  if (CursorHourGlass) PassGate();  // the last call ends the run: nothing left to hold back
}

void TScraper::UpdateProgress() {
  host_->UpdateProgress(ProgressBarPosition, ProgressBarMax);
  PassGate();
}

void TScraper::ReportOutcome() {
  host_->ReportOutcome(*this, result);
  PassGate();  // an error outcome has paused the driver: wait here until it is resumed
}

void TScraper::ReportError(const QString& message) {
  result = kErrorPrefix + message;
  ReportOutcome();
}

void TScraper::Execute() {
  try {
    workerListLock_ = std::make_shared<std::mutex>();
    CursorHourGlass = true;
    UpdateRunState();
    if (config_.ResumeTaken) {
      // Taken over (locked and read) by the front end: the driver holds it from here on.
      resume_ = std::move(*config_.ResumeTaken);
      config_.ResumeTaken.reset();
      CutResumeTail(*resume_, [this](const QString& m) { Log(m); });
    } else if (!config_.ResumeFile.isEmpty()) {
      resume_ = TakeOverResumeFile(config_.ResumeFile, options_, [this](const QString& m) { Log(m); });
    }
    pending_.clear();
    planned_.Clear();
    cardList_.clear();
    inactiveList_.clear();
    if (RunListPhase(TPhaseKind::List) &&
        (!options_.Separate || RunListPhase(TPhaseKind::Inactive)))
      RunCardSelectionAndPhase();
  } catch (const std::exception& e) {
    // Outside the phases an error ends the run at once; it leaves its line in the log so that
    // the operator sees why the run ended early.
    try {
      if (config_.OnLostWork) config_.OnLostWork();
      Log(kErrorPrefix + MessageOf(e));
    } catch (...) {
    }
  } catch (...) {
    if (config_.OnLostWork) config_.OnLostWork();
  }
  // A pause clicked after a stop holds here too: a stopped list phase leaves its loop without
  // passing another gate. A stop click resumes first, so a stop always gets past this point.
  PassGate();
  try {
    CursorHourGlass = false;
    UpdateRunState();
  } catch (...) {
    // The window could not save the log; nothing is left that could report it.
  }
  resume_.reset();
  workerListLock_.reset();  // workers still running keep their own reference
  // The run is over with its end call; freeing the lists of a large register takes a while
  // and is nothing the front ends wait for.
  finished_.store(true);
  pending_.clear();
  planned_.Clear();
  found_.clear();
  cardList_.clear();
  inactiveList_.clear();
  inactiveSet_.Assign({});
}

bool TScraper::RunListPhase(TPhaseKind kind) {
  const bool inactive = kind == TPhaseKind::Inactive;
  host_->PhaseStarted(kind);
  pending_.clear();
  if (inactive) {
    planned_.Clear();
    AppendInactivePlan(config_.PortalOrigin, CurrentYear(), pending_);
  } else {
    AppendYearPlan(config_.PortalOrigin, options_.TestExport ? 2016 : CurrentYear(), pending_);
  }
  for (const QString& page : pending_) planned_.Append(page);
  found_.clear();

  ProgressBarPosition = 0;
  ProgressBarMax = static_cast<std::int32_t>(pending_.size());
  const TListPageContext context{config_.PortalOrigin, inactive, options_.TestExport, &planned_,
                                 &pending_, &found_};
  try {
    const TLoopEnd end = RunLoop(kind, [&](const QString& address, const QString& text) {
      HandleListPage(context, address, text);
      Log(FoundLogText(inactive, found_.size()));
    });
    if (end == TLoopEnd::Stopped) return false;
  } catch (const std::exception& e) {
    ReportError(MessageOf(e));
  }

  ProgressBarPosition = 0;
  UpdateProgress();
  if (inactive) {
    inactiveList_.append(found_);
    Log(QStringLiteral("Всего неактивных карточек: ") + QString::number(inactiveList_.size()));
  } else {
    cardList_.append(found_);
    Log(QStringLiteral("Всего карточек: ") + QString::number(cardList_.size()));
  }
  return true;
}

void TScraper::ReadProxySettings() {
  const QString path = config_.ProxyFilePath.isEmpty()
                           ? config_.ProgramDir + QStringLiteral("/proxy.txt")
                           : config_.ProxyFilePath;
  const QString line = ReadProxyLine(path);  // throws: the run ends without an outcome
  const TProxySettings proxy = ParseProxyLine(line);
  SetProxySettings(proxy);  // clears all four when there is no line
  if (line.isEmpty()) return;
  Log(ProxyLogText(proxy));
  Limit = 50;
}

void TScraper::RunCardSelectionAndPhase() {
  found_.clear();
  pending_.clear();
  SelectCards(options_, cardList_, inactiveList_, pending_);
  if (resume_) {
    // Cards the file already holds rows for are not fetched again.
    DropWrittenCards(*resume_, pending_);
    resume_->Written = {};
    Log(ResumeLogText(*resume_, pending_.size()));
  }
  inactiveSet_.Assign(inactiveList_);
  // An update takes the rows of the cards its earlier file holds instead of fetching them.
  std::optional<TUpdateSource> update;
  if (!config_.UpdateFile.isEmpty()) {
    try {
      update.emplace(config_.UpdateFile);
    } catch (const std::exception& e) {
      ReportError(MessageOf(e));  // the earlier file went away since the start: nothing is written
      return;
    }
    update->Select(options_, inactiveSet_, pending_);
    Log(update->LogText(pending_.size()));
  }
  Limit = 3;
  ReadProxySettings();
  // A resumed file with nothing left to fetch is still the run's result file: it is opened,
  // reported and handed over like one the card phase appended to.
  if (pending_.empty() && !resume_ && !(update && update->Taken() > 0)) return;
  host_->PhaseStarted(TPhaseKind::Card);

  TResultSinkContext context;
  context.Options = options_;
  context.ProgramDir = config_.ProgramDir;
  context.Log = [this](const QString& message) { Log(message); };
  context.OpenDocument = config_.OpenDocument ? config_.OpenDocument : [](const QString&) {};
  context.TickCount = [clock = clock_] { return clock->Now(); };
  if (resume_) {
    context.ResumeFile = resume_->Path;
    context.ResumeSize = resume_->Size;
    context.ResumeDescriptor = resume_->Descriptor();
  }
  context.OnRowLost = config_.OnLostWork;
  std::unique_ptr<IResultSink> sink = config_.ResultSinkFactory
                                          ? config_.ResultSinkFactory(context)
                                          : CreateCsvResultSink(context);
  proxyInUse_ = !CurrentProxySettings().ProxyHost.isEmpty();

  std::exception_ptr escaped;
  try {
    bool stopped = false;
    try {
      sink->Open();
      if (update) update->WriteRows([&](const QByteArray& lines) { sink->WriteLines(lines); });
      ProgressBarPosition = 0;
      ProgressBarMax = static_cast<std::int32_t>(pending_.size());
      const TLoopEnd end =
          RunLoop(TPhaseKind::Card, [&](const QString& address, const QString& text) {
            sink->WriteCard(address, text, inactiveSet_.Contains(address));
          });
      stopped = end == TLoopEnd::Stopped;
    } catch (const std::exception& e) {
      ReportError(MessageOf(e));
    }
    if (!stopped) {
      result = QStringLiteral("ok");
      ReportOutcome();
    }
  } catch (...) {
    escaped = std::current_exception();  // the file is closed and handed over all the same
  }
  sink->Close();
  ProgressBarPosition = 0;
  UpdateProgress();
  if (escaped) std::rethrow_exception(escaped);
}

TScraper::TLoopEnd TScraper::StopWorkers(TWorkerLists& lists) {
  std::lock_guard<std::mutex> guard(*lists.WorkerListLock);
  for (const auto& worker : lists.RunningList) worker->Terminate();
  return TLoopEnd::Stopped;
}

TScraper::TLoopEnd TScraper::RunLoop(TPhaseKind kind, const THandler& handler) {
  const bool card = kind == TPhaseKind::Card;
  // The lists live as long as the driver or any worker started into them needs them.
  const auto lists = std::make_shared<TWorkerLists>(workerListLock_);
  std::mutex& lock = *workerListLock_;
  if (!card) Limit = 5;

  const TEngineTiming& timing = config_.Timing;
  const TWorkerSettings settings{timing, clock_, config_.FetcherFactory};
  const std::uint32_t launchPause =
      card && proxyInUse_ ? timing.ProxyLaunchPauseMs : timing.LaunchPauseMs;

  bool done = false;
  while (!Terminated() && !done) {
    PassGate();
    if (Terminated()) break;

    if (!card) {
      const qsizetype n = found_.size();
      if (n >= 50001)
        Limit = 20;
      else if (n >= 30001)
        Limit = 15;
      else if (n >= 10001)
        Limit = 10;
    }

    std::size_t running = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      running = lists->RunningList.size();
    }
    if (static_cast<std::int64_t>(running) < Limit && !pending_.empty()) {
      if (card && Terminated()) return StopWorkers(*lists);
      QString address = std::move(pending_.front());
      pending_.pop_front();
      if (card) address = text::Trim(address);
      ++ProgressBarPosition;
      if (!card) ProgressBarMax = planned_.Count();
      UpdateProgress();
      if (card && !PassesCardFilter(options_, inactiveSet_, address)) address.clear();
      const bool launch = card ? !address.isEmpty() : !text::Trim(address).isEmpty();
      if (launch) {
        if (Terminated()) return StopWorkers(*lists);
        auto worker = std::make_shared<TScrapingThread>(host_, settings);
        {
          std::lock_guard<std::mutex> guard(lock);
          lists->RunningList.push_back(worker);
        }
        worker->Lists = lists;
        worker->url = address;
        worker->Start();
        clock_->Sleep(launchPause);
        PassGate();  // a pause clicked during that sleep holds before the take step
      }
    }

    std::shared_ptr<TScrapingThread> taken;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (!lists->FinishedList.empty()) taken = lists->FinishedList.front();
    }
    if (taken) {
      if (Terminated()) return StopWorkers(*lists);
      const QByteArray html = std::move(taken->html);
      taken->html.clear();
      const QString pageText = text::DecodeUtf8Text(html);
      Log(taken->url + QStringLiteral(": ") + taken->statusText);
      if (taken->result == 1) handler(taken->url, pageText);
      taken->Terminate();
      {
        std::lock_guard<std::mutex> guard(lock);
        lists->FinishedList.pop_front();
      }
      taken->WaitFor();
      taken.reset();
    }

    {
      std::lock_guard<std::mutex> guard(lock);
      done = lists->RunningList.empty() && lists->FinishedList.empty() && pending_.empty();
    }
    clock_->Sleep(timing.CycleSleepMs);
  }
  if (Terminated()) return StopWorkers(*lists);
  return TLoopEnd::Done;
}

std::shared_ptr<IRunDriver> CreateScraper(std::shared_ptr<IRunHost> host,
                                          const TRunOptions& options,
                                          const TEngineConfig& config) {
  return std::make_shared<TScraper>(std::move(host), options, config);
}

}  // namespace engine
