#pragma once
// A clock for running the engine with the program's own pacing in a fraction of the time: its
// tick count moves only when a thread sleeps on it, by the length of that sleep, and each sleep
// takes a hundredth of its length in real time so that the other threads get to run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/Timing.h"

namespace enginetest {

class TVirtualClock : public engine::IClock {
 public:
  explicit TVirtualClock(std::uint32_t start = 1000) : now_(start) {}

  std::uint32_t Now() override { return now_.load(); }

  void Sleep(std::uint32_t ms) override {
    std::function<void(std::uint32_t)> hook;
    {
      std::lock_guard<std::mutex> guard(lock_);
      hook = OnSleep;
    }
    if (hook) hook(ms);
    if (!held_.load()) now_.fetch_add(ms);  // the 32-bit count wraps as the system's does
    std::this_thread::sleep_for(std::chrono::microseconds(std::max<std::uint32_t>(ms * 10u, 1u)));
  }

  // While held, sleeps pass no virtual time: waits on the clock never end by themselves.
  void Hold(bool held) { held_.store(held); }

  // Called at the start of every sleep with its length, on the sleeping thread. Set it before
  // the engine runs, or while no thread sleeps.
  void SetOnSleep(std::function<void(std::uint32_t ms)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    OnSleep = std::move(hook);
  }

 private:
  std::atomic<std::uint32_t> now_;
  std::atomic<bool> held_{false};
  std::mutex lock_;
  std::function<void(std::uint32_t)> OnSleep;
};

}  // namespace enginetest
