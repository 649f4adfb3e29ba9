#include "cli/CliOutput.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <iterator>
#include <unistd.h>

namespace cli {

struct TOutputQueue::TState {
  TState(int fd, std::size_t capacity) : Fd(fd), Capacity(capacity) {}
  const int Fd;
  const std::size_t Capacity;
  std::mutex Lock;
  std::condition_variable Changed;
  std::deque<QByteArray> Queue;
  std::size_t Queued = 0;       // bytes in Queue and in the write under way
  bool Gone = false;            // the reader went away: everything is discarded
  bool Quit = false;
  std::uint64_t Progress = 0;  // counts finished writes, for Drain
};

TOutputQueue::TOutputQueue(int fd, std::size_t capacity) : FState(std::make_shared<TState>(fd, capacity)) {
  std::thread([state = FState] { Run(state); }).detach();
}

TOutputQueue::~TOutputQueue() {
  {
    std::lock_guard<std::mutex> guard(FState->Lock);
    FState->Quit = true;
  }
  FState->Changed.notify_all();
}

bool TOutputQueue::Write(QByteArray bytes) {
  TState& s = *FState;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Gone) return true;  // nobody reads any more: nothing is held back for anyone
    if (s.Queued + static_cast<std::size_t>(bytes.size()) > s.Capacity) return false;
    s.Queued += static_cast<std::size_t>(bytes.size());
    s.Queue.push_back(std::move(bytes));
  }
  s.Changed.notify_all();
  return true;
}

bool TOutputQueue::Drain(int stallMs) {
  TState& s = *FState;
  std::unique_lock<std::mutex> lock(s.Lock);
  for (;;) {
    if (s.Queued == 0 || s.Gone) return s.Queued == 0;
    const std::uint64_t seen = s.Progress;
    if (!s.Changed.wait_for(lock, std::chrono::milliseconds(stallMs),
                            [&] { return s.Queued == 0 || s.Gone || s.Progress != seen; }))
      return false;
  }
}

void TOutputQueue::Run(const std::shared_ptr<TState>& state) {
  TState& s = *state;
  std::unique_lock<std::mutex> lock(s.Lock);
  for (;;) {
    s.Changed.wait(lock, [&] { return s.Quit || !s.Queue.empty(); });
    if (s.Queue.empty()) return;
    QByteArray bytes = std::move(s.Queue.front());
    s.Queue.pop_front();
    lock.unlock();
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    bool gone = false;
    while (left > 0) {
      const ssize_t n = ::write(s.Fd, data, static_cast<size_t>(left));
      if (n < 0) {
        if (errno == EINTR) continue;
        gone = true;  // EPIPE and the like: this stream takes no more
        break;
      }
      data += n;
      left -= n;
    }
    lock.lock();
    s.Queued -= static_cast<std::size_t>(bytes.size());
    ++s.Progress;
    if (gone) {
      s.Gone = true;
      s.Queue.clear();
      s.Queued = 0;
    }
    s.Changed.notify_all();
  }
}

QString DurationText(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  return QStringLiteral("%1:%2:%3")
      .arg(s / 3600)
      .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
      .arg(s % 60, 2, 10, QLatin1Char('0'));
}

namespace {

QString ShortPhase(const QString& phase) {
  if (phase == QStringLiteral("список участников")) return QStringLiteral("список");
  if (phase == QStringLiteral("список неактивных")) return QStringLiteral("неактивные");
  return phase;
}

}  // namespace

QString FitProgressLine(const TProgressFigures& f, int width) {
  const std::int32_t left = f.Max - f.Position;
  const int percent = f.Max > 0 ? static_cast<int>(qint64(f.Position) * 100 / f.Max) : 0;
  const QString pos = QString::number(f.Position);
  const QString max = QString::number(f.Max);
  const QString rest = QString::number(left);
  const QString pct = QString::number(percent) + u'%';
  const QString elapsed = DurationText(f.ElapsedMs);
  const bool estimate = f.RemainingMs >= 0;
  const QString eta = estimate ? DurationText(f.RemainingMs) : QString();
  const QString shortPhase = ShortPhase(f.Phase);

  // From the full line to the bare count, each form shorter than the one before.
  const QString forms[] = {
      f.Phase + QStringLiteral(": ") + pos + QStringLiteral(" из ") + max + QStringLiteral(", осталось ") + rest +
          QStringLiteral(" (") + pct + QStringLiteral("), прошло ") + elapsed +
          (estimate ? QStringLiteral(", ещё ~") + eta : QString()) + (f.Paused ? QStringLiteral(", пауза") : QString()),
      f.Phase + QStringLiteral(": ") + pos + QStringLiteral(" из ") + max + QStringLiteral(", ост. ") + rest +
          QStringLiteral(" (") + pct + QStringLiteral("), ") + elapsed +
          (estimate ? QStringLiteral(", ~") + eta : QString()) + (f.Paused ? QStringLiteral(", пауза") : QString()),
      shortPhase + QStringLiteral(": ") + pos + u'/' + max + QStringLiteral(" (") + pct + QStringLiteral(") ") +
          elapsed + (estimate ? QStringLiteral(" ~") + eta : QString()) +
          (f.Paused ? QStringLiteral(" пауза") : QString()),
      shortPhase + QStringLiteral(": ") + pos + u'/' + max + u' ' + pct +
          (estimate ? QStringLiteral(" ~") + eta : QString()) + (f.Paused ? QStringLiteral(" пауза") : QString()),
      pos + u'/' + max + u' ' + pct + (f.Paused ? QStringLiteral(" пауза") : QString()),
      pos + u'/' + max,
  };
  if (width <= 0) return forms[0];
  for (const QString& form : forms)
    if (form.size() <= width) return form;
  return forms[std::size(forms) - 1].left(width);
}

}  // namespace cli
