#pragma once
// The command's output streams: stdout written by a thread of its own through a bounded queue,
// so that a reader that does not keep up can never hold up the run or its signal handling, and
// the progress line fitted to the terminal's width.
#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace cli {

// Writes what it is given to a descriptor on its own thread, in order. When more than
// `capacity` bytes wait, new text is dropped instead (Write returns false), so a stalled
// reader costs lines of that stream and never a wait. A reader that went away (EPIPE) takes
// the rest of the text with it.
class TOutputQueue {
 public:
  TOutputQueue(int fd, std::size_t capacity);
  ~TOutputQueue();  // lets the thread go; what is still queued is not waited for
  TOutputQueue(const TOutputQueue&) = delete;
  TOutputQueue& operator=(const TOutputQueue&) = delete;

  // Queues `bytes`; false when they were dropped because the queue is full.
  bool Write(QByteArray bytes);
  // Waits until everything queued has been written, or until the writer has made no progress
  // for `stallMs`. True when everything was written.
  bool Drain(int stallMs);

 private:
  struct TState;
  static void Run(const std::shared_ptr<TState>& state);

  // Shared with the writer thread, which may outlive the queue inside a write that never ends.
  std::shared_ptr<TState> FState;
};

// The figures of one progress line.
struct TProgressFigures {
  QString Phase;  // "список участников", "список неактивных" or "карточки"
  std::int32_t Position = 0;
  std::int32_t Max = 0;
  std::int64_t ElapsedMs = 0;
  std::int64_t RemainingMs = -1;  // -1: no estimate yet
  bool Paused = false;
};

// The progress line in at most `width` characters (0 or less: no limit). Shorter words are
// used before figures are left out, and the line is cut only when even its count does not
// fit.
QString FitProgressLine(const TProgressFigures& figures, int width);

// "H:MM:SS".
QString DurationText(std::int64_t ms);

}  // namespace cli
