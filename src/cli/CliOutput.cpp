#include "cli/CliOutput.h"

#include <cerrno>
#include <chrono>
#include <iterator>
#include <unistd.h>

namespace cli {

TOutputQueue::TOutputQueue(int fd, std::size_t capacity)
    : FFd(fd), FCapacity(capacity), FThread([this] { Run(); }) {}

TOutputQueue::~TOutputQueue() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FQuit = true;
  }
  FChanged.notify_all();
  // A write blocked on a reader that never reads would hold a join forever.
  FThread.detach();
}

bool TOutputQueue::Write(QByteArray bytes) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FGone) return true;  // nobody reads any more: nothing is held back for anyone
    if (FQueued + static_cast<std::size_t>(bytes.size()) > FCapacity) return false;
    FQueued += static_cast<std::size_t>(bytes.size());
    FQueue.push_back(std::move(bytes));
  }
  FChanged.notify_all();
  return true;
}

bool TOutputQueue::Drain(int stallMs) {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    if (FQueued == 0 || FGone) return FQueued == 0;
    const std::uint64_t seen = FProgress;
    if (!FChanged.wait_for(lock, std::chrono::milliseconds(stallMs),
                           [&] { return FQueued == 0 || FGone || FProgress != seen; }))
      return false;
  }
}

void TOutputQueue::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FChanged.wait(lock, [&] { return FQuit || !FQueue.empty(); });
    if (FQueue.empty()) return;
    QByteArray bytes = std::move(FQueue.front());
    FQueue.pop_front();
    FWriting = true;
    lock.unlock();
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    bool gone = false;
    while (left > 0) {
      const ssize_t n = ::write(FFd, data, static_cast<size_t>(left));
      if (n < 0) {
        if (errno == EINTR) continue;
        gone = true;  // EPIPE and the like: this stream takes no more
        break;
      }
      data += n;
      left -= n;
    }
    lock.lock();
    FWriting = false;
    FQueued -= static_cast<std::size_t>(bytes.size());
    ++FProgress;
    if (gone) {
      FGone = true;
      FQueue.clear();
      FQueued = 0;
    }
    FChanged.notify_all();
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
