#pragma once
// The per-thread event loop: a poll over the sockets of the thread's clients, a queue of deferred
// events the clients post for themselves, and an inbox other threads (name resolvers, a stop
// request) drop events into. Every event of a client runs on the thread that owns the loop.
#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace net {

// The cross-thread side of a loop: the only part another thread may touch. It outlives the loop
// for as long as a resolver thread still holds it; events posted after the loop is gone are lost.
class TLoopInbox {
 public:
  TLoopInbox();
  ~TLoopInbox();
  TLoopInbox(const TLoopInbox&) = delete;
  TLoopInbox& operator=(const TLoopInbox&) = delete;

  // Queues fn for the loop's thread and wakes its poll. Callable from any thread.
  void Post(std::function<void()> fn);
  // Asks the loop's thread to stop waiting: a client's synchronous wait then ends its request
  // with "Request aborted". Callable from any thread.
  void RequestQuit();
  bool QuitRequested() const { return quit_.load(std::memory_order_acquire); }
  void ClearQuit() { quit_.store(false, std::memory_order_release); }

  int WakeFd() const { return wakeFd_; }
  // Loop thread only: takes what other threads queued and clears the wake-up.
  std::vector<std::function<void()>> Drain();

 private:
  int wakeFd_ = -1;
  std::mutex mutex_;
  std::vector<std::function<void()>> queue_;
  std::atomic<bool> quit_{false};
};

class TEventLoop {
 public:
  // The loop of the calling thread, created on first use. Holders keep it alive past the thread.
  static std::shared_ptr<TEventLoop> ForCurrentThread();

  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // A watched descriptor: `interest` is asked before every poll for the events wanted (0 = none
  // this round); `ready` gets the returned events.
  using TWatchId = std::uint64_t;
  TWatchId Watch(int fd, std::function<short()> interest, std::function<void(short revents)> ready);
  void Unwatch(TWatchId id);

  // Queues an event for this thread. `owner` tags it so Cancel(owner) can drop it.
  void Post(const void* owner, std::function<void()> fn);
  void Cancel(const void* owner);
  bool HasPending() const { return !deferred_.empty(); }

  // Waits up to timeoutMs (0: no wait) for something to happen, then handles all of it:
  // ready descriptors, the inbox and every deferred event (those posted meanwhile included).
  // Returns true when anything was handled.
  bool RunOnce(int timeoutMs);

  const std::shared_ptr<TLoopInbox>& Inbox() const { return inbox_; }

 private:
  struct TWatch {
    TWatchId id;
    int fd;
    std::function<short()> interest;
    std::function<void(short)> ready;
  };
  struct TEvent {
    const void* owner;
    std::function<void()> fn;
  };

  std::shared_ptr<TLoopInbox> inbox_;
  std::vector<TWatch> watches_;
  std::deque<TEvent> deferred_;
  TWatchId nextId_ = 1;
  std::vector<pollfd> pollfds_;
  std::vector<TWatchId> pollIds_;
};

}  // namespace net
