#pragma once
// How precisely a Qt timer keeps a long interval, read at once instead of waited for: Qt turns
// a coarse timer of 20 s or more into one of whole seconds, due at the full second nearest to
// "now + interval", so armed in the middle of a second it is off by 300 ms or more.
#include <QTimer>
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Calls `arm` between 300 and 700 ms into a second of the monotonic clock (the clock of Qt's
// timers) and returns the timer's remaining time right after.
inline int RemainingRightAfterArming(const QTimer& timer, const std::function<void()>& arm) {
  using namespace std::chrono;
  for (;;) {
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() % 1000;
    if (ms >= 300 && ms <= 650) break;
    std::this_thread::sleep_for(milliseconds(10));
  }
  arm();
  return timer.remainingTime();
}

}  // namespace testsupport
