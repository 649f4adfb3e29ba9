#include "EventLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace net {

TLoopInbox::TLoopInbox() {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

TLoopInbox::~TLoopInbox() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TLoopInbox::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void TLoopInbox::RequestQuit() {
  quit_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

std::vector<std::function<void()>> TLoopInbox::Drain() {
  std::uint64_t value = 0;
  [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
  std::vector<std::function<void()>> out;
  std::lock_guard<std::mutex> lock(mutex_);
  out.swap(queue_);
  return out;
}

std::shared_ptr<TEventLoop> TEventLoop::ForCurrentThread() {
  thread_local std::shared_ptr<TEventLoop> loop = std::make_shared<TEventLoop>();
  return loop;
}

TEventLoop::TEventLoop() : inbox_(std::make_shared<TLoopInbox>()) {}

TEventLoop::~TEventLoop() = default;

TEventLoop::TWatchId TEventLoop::Watch(int fd, std::function<short()> interest,
                                       std::function<void(short)> ready) {
  const TWatchId id = nextId_++;
  watches_.push_back(TWatch{id, fd, std::move(interest), std::move(ready)});
  return id;
}

void TEventLoop::Unwatch(TWatchId id) {
  watches_.erase(std::remove_if(watches_.begin(), watches_.end(),
                                [id](const TWatch& w) { return w.id == id; }),
                 watches_.end());
}

void TEventLoop::Post(const void* owner, std::function<void()> fn) {
  deferred_.push_back(TEvent{owner, std::move(fn)});
}

void TEventLoop::Cancel(const void* owner) {
  deferred_.erase(std::remove_if(deferred_.begin(), deferred_.end(),
                                 [owner](const TEvent& e) { return e.owner == owner; }),
                  deferred_.end());
}

bool TEventLoop::RunOnce(int timeoutMs) {
  pollfds_.clear();
  pollIds_.clear();
  pollfds_.push_back(pollfd{inbox_->WakeFd(), POLLIN, 0});
  pollIds_.push_back(0);
  for (const TWatch& w : watches_) {
    const short want = w.interest ? w.interest() : 0;
    if (want == 0) continue;
    pollfds_.push_back(pollfd{w.fd, want, 0});
    pollIds_.push_back(w.id);
  }
  if (!deferred_.empty()) timeoutMs = 0;
  int n = poll(pollfds_.data(), pollfds_.size(), timeoutMs);
  if (n < 0 && errno != EINTR) n = 0;
  bool handled = false;

  if (n > 0) {
    // Copy out what fired first: a handler may watch or unwatch descriptors.
    std::vector<std::pair<TWatchId, short>> fired;
    for (std::size_t i = 1; i < pollfds_.size(); ++i)
      if (pollfds_[i].revents != 0) fired.emplace_back(pollIds_[i], pollfds_[i].revents);
    for (const auto& [id, revents] : fired) {
      auto it = std::find_if(watches_.begin(), watches_.end(),
                             [id = id](const TWatch& w) { return w.id == id; });
      if (it == watches_.end()) continue;  // unwatched by an earlier handler
      auto ready = it->ready;               // the handler may unwatch itself
      handled = true;
      ready(revents);
    }
  }
  if (n > 0 && (pollfds_[0].revents & POLLIN)) {
    for (auto& fn : inbox_->Drain()) deferred_.push_back(TEvent{nullptr, std::move(fn)});
  }
  // Deferred events, those posted while these run included. A bound keeps a client that keeps
  // posting from starving the descriptors.
  for (std::size_t i = 0; i < 100000 && !deferred_.empty(); ++i) {
    TEvent e = std::move(deferred_.front());
    deferred_.pop_front();
    handled = true;
    e.fn();
  }
  return handled;
}

}  // namespace net
