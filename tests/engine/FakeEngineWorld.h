#pragma once
// Headless stand-ins for what the engine talks to: a window that records every bridge call,
// a portal of canned answers behind fake page fetchers, and a recorder of result rows.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "engine/PageFetcher.h"
#include "engine/ResultSink.h"
#include "engine/EngineConfig.h"
#include "RunRulesHost.h"
#include "run/ThreadCall.h"

// Readable QString values in test failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace enginetest {

// Polls cond every 5 ms for up to timeout; true when it became true.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Records the window-thread operations in call order. The outcome report, the automatic pause
// after an error and the resume timer that ends it (50 ms here) are the run rules' own, on a
// thread of their own; the timer's expiry is recorded as "resume". A driver started through
// Start() is the rules' current driver, as in a front end; only such a driver is resumed.
class TFakeWindow : public engine::IRunHost, public std::enable_shared_from_this<TFakeWindow> {
 public:
  TFakeWindow()
      : rules_({50, [this](const QString& line) { Record(ruleLines_, line); },
                [this] { Record(events_, QStringLiteral("resume")); }}) {}

  // Creates and starts a driver through the run rules. The driver reaches this window through
  // a forwarder that does not keep it alive (the rules hold the driver).
  std::shared_ptr<engine::IRunDriver> Start(const engine::TRunOptions& options,
                                            const engine::TEngineConfig& config) {
    return rules_.Start(std::make_shared<TForwarder>(weak_from_this()), options, config);
  }

  void AppendLog(const QString& message) override {
    std::function<void(const QString&)> hook;
    {
      std::lock_guard<std::mutex> guard(lock_);
      events_.append(QStringLiteral("log:") + message);
      hook = OnLog;
    }
    if (hook) hook(message);  // may throw, as a failing window operation does
  }
  void UpdateRunState(bool cursorHourGlass) override {
    Record(events_, cursorHourGlass ? QStringLiteral("state:running") : QStringLiteral("state:idle"));
    rules_.RunState(cursorHourGlass);
  }
  void UpdateProgress(std::int32_t position, std::int32_t max) override {
    std::lock_guard<std::mutex> guard(lock_);
    progress_.push_back({position, max});
  }
  void PhaseStarted(engine::TRunPhase phase) override {
    std::lock_guard<std::mutex> guard(lock_);
    phases_.push_back({phase, events_.size()});
  }
  void ReportOutcome(engine::IRunDriver& driver, const QString& result) override {
    Record(events_, QStringLiteral("outcome:") + result);
    rules_.Call([&](run::TRunControl& control) {
      const int before = control.ErrorOutcomes();
      control.ReportOutcome(driver, result);
      if (control.ErrorOutcomes() > before) {
        std::lock_guard<std::mutex> guard(lock_);
        ++pauses_;
      }
    });
  }

  // A copy with storage of its own. A plain copy of the list would share its array with
  // events_; once the caller dropped it, a worker's next append would reallocate that array in
  // place after a relaxed "still shared?" check that does not order the caller's earlier reads
  // before the reallocation (a data race, seen by ThreadSanitizer).
  QStringList Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return QStringList(events_.cbegin(), events_.cend());
  }
  // The stamped lines of the run rules (": Ошибка: ...", ": Включаем паузу на 30 секунд", ...).
  QStringList RuleLines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return QStringList(ruleLines_.cbegin(), ruleLines_.cend());
  }
  // Log messages only, without the worker's attempt lines.
  QStringList DriverLog() const {
    QStringList out;
    for (const QString& e : Events()) {
      if (!e.startsWith(QStringLiteral("log:"))) continue;
      const QString m = e.mid(4);
      if (m == QStringLiteral("Загружаем список...") || m == QStringLiteral("Загружаем карточку..."))
        continue;
      out.append(m);
    }
    return out;
  }
  bool Logged(const QString& message) const { return Events().contains("log:" + message); }
  std::vector<std::pair<std::int32_t, std::int32_t>> Progress() const {
    std::lock_guard<std::mutex> guard(lock_);
    return progress_;
  }
  // The phases the driver told, each with the number of events recorded before it.
  std::vector<std::pair<engine::TRunPhase, qsizetype>> Phases() const {
    std::lock_guard<std::mutex> guard(lock_);
    return phases_;
  }
  // Automatic pauses the rules made.
  int Pauses() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pauses_;
  }

  std::function<void(const QString&)> OnLog;  // set before the run starts

 private:
  // The bridge a driver started through the rules holds: calls after the window is gone fail,
  // as they do once the program's window is closed.
  class TForwarder : public engine::IRunHost {
   public:
    explicit TForwarder(std::weak_ptr<TFakeWindow> window) : window_(std::move(window)) {}
    void AppendLog(const QString& m) override { Window()->AppendLog(m); }
    void UpdateRunState(bool r) override { Window()->UpdateRunState(r); }
    void UpdateProgress(std::int32_t p, std::int32_t m) override { Window()->UpdateProgress(p, m); }
    void ReportOutcome(engine::IRunDriver& d, const QString& r) override { Window()->ReportOutcome(d, r); }
    void PhaseStarted(engine::TRunPhase p) override { Window()->PhaseStarted(p); }

   private:
    std::shared_ptr<TFakeWindow> Window() const {
      auto w = window_.lock();
      if (!w) throw run::ECallTargetGone();
      return w;
    }
    std::weak_ptr<TFakeWindow> window_;
  };

  void Record(QStringList& list, const QString& entry) {
    std::lock_guard<std::mutex> guard(lock_);
    list.append(entry);
  }

  mutable std::mutex lock_;
  QStringList events_;
  QStringList ruleLines_;
  std::vector<std::pair<std::int32_t, std::int32_t>> progress_;
  std::vector<std::pair<engine::TRunPhase, qsizetype>> phases_;
  int pauses_ = 0;
  testsupport::TRunRulesHost rules_;  // last: its thread ends before the lists above go
};

// One canned answer: a body, or an error with a message and status code.
struct TAnswer {
  QByteArray body;
  bool error = false;
  std::string message;
  int status = 0;
  static TAnswer Page(const QByteArray& b) { return {b, false, {}, 200}; }
  static TAnswer Error(const std::string& m, int s) { return {{}, true, m, s}; }
};

// The portal behind every fake fetcher: per address a queue of answers (the last one repeats),
// counters, and an optional gate that holds chosen fetches until released.
class TFakePortal {
 public:
  void Set(const QString& url, std::vector<TAnswer> answers) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_[url] = std::deque<TAnswer>(answers.begin(), answers.end());
  }
  void SetPage(const QString& url, const QByteArray& body) { Set(url, {TAnswer::Page(body)}); }

  // Fetches of addresses for which hold(url) is true wait until Release().
  void HoldWhere(std::function<bool(const QString&)> hold) {
    std::lock_guard<std::mutex> guard(lock_);
    hold_ = std::move(hold);
    released_.notify_all();
  }
  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    hold_ = nullptr;
    released_.notify_all();
  }

  QByteArray Fetch(const QString& url) {
    TAnswer answer;
    {
      std::unique_lock<std::mutex> lock(lock_);
      ++fetches_[url];
      ++inFlight_;
      if (inFlight_ > maxInFlight_) maxInFlight_ = inFlight_;
      released_.wait(lock, [&] { return !hold_ || !hold_(url); });
      --inFlight_;
      auto it = answers_.find(url);
      if (it == answers_.end() || it->second.empty()) {
        answer = TAnswer::Error("Not Found", 404);
      } else {
        answer = it->second.front();
        if (it->second.size() > 1) it->second.pop_front();
      }
    }
    if (answer.error) throw engine::EFetchError(answer.message, answer.status);
    return answer.body;
  }

  int Fetches(const QString& url) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = fetches_.find(url);
    return it == fetches_.end() ? 0 : it->second;
  }
  int InFlight() const {
    std::lock_guard<std::mutex> guard(lock_);
    return inFlight_;
  }
  int MaxInFlight() const {
    std::lock_guard<std::mutex> guard(lock_);
    return maxInFlight_;
  }
  std::vector<engine::TProxySettings> ProxiesSeen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return proxies_;
  }
  void NoteProxy(const engine::TProxySettings& p) {
    std::lock_guard<std::mutex> guard(lock_);
    proxies_.push_back(p);
  }

  engine::TFetcherFactory Factory(const std::shared_ptr<TFakePortal>& self) {
    return [self](const engine::TProxySettings& proxy) -> std::unique_ptr<engine::IPageFetcher> {
      self->NoteProxy(proxy);
      return std::make_unique<TFetcher>(self);
    };
  }

 private:
  class TFetcher : public engine::IPageFetcher {
   public:
    explicit TFetcher(std::shared_ptr<TFakePortal> portal) : portal_(std::move(portal)) {}
    QByteArray Fetch(const QString& url) override { return portal_->Fetch(url); }
    void ProcessPendingEvents() override {}

   private:
    std::shared_ptr<TFakePortal> portal_;
  };

  mutable std::mutex lock_;
  std::condition_variable released_;
  std::map<QString, std::deque<TAnswer>> answers_;
  std::map<QString, int> fetches_;
  std::function<bool(const QString&)> hold_;
  std::vector<engine::TProxySettings> proxies_;
  int inFlight_ = 0;
  int maxInFlight_ = 0;
};

// Rows the card phase wrote, with the sink's open and close.
struct TSinkRecord {
  std::mutex lock;
  QStringList rows;  // address|inInactiveSet|page text
  int opens = 0;
  int closes = 0;
  bool failOpen = false;
  QStringList Rows() {
    std::lock_guard<std::mutex> guard(lock);
    return QStringList(rows.cbegin(), rows.cend());  // storage of its own, as Events()
  }
};

class TRecordingSink : public engine::IResultSink {
 public:
  TRecordingSink(std::shared_ptr<TSinkRecord> record, engine::TResultSinkContext context)
      : record_(std::move(record)), context_(std::move(context)) {}
  void Open() override {
    {
      std::lock_guard<std::mutex> guard(record_->lock);
      ++record_->opens;
      if (record_->failOpen) throw std::runtime_error("Cannot create file \"/ro/data5.csv\"");
    }
    context_.Log(QStringLiteral("Данные будут записываться в файл /tmp/data5.csv"));
  }
  void WriteCard(const QString& address, const QString& page, bool inactive) override {
    std::lock_guard<std::mutex> guard(record_->lock);
    record_->rows.append(address + (inactive ? "|inactive|" : "|active|") + page);
  }
  void Close() override {
    std::lock_guard<std::mutex> guard(record_->lock);
    ++record_->closes;
  }

 private:
  std::shared_ptr<TSinkRecord> record_;
  engine::TResultSinkContext context_;
};

inline engine::TResultSinkFactory RecordingSinkFactory(const std::shared_ptr<TSinkRecord>& r) {
  return [r](const engine::TResultSinkContext& c) {
    return std::make_unique<TRecordingSink>(r, c);
  };
}

}  // namespace enginetest
