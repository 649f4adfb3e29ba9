#include "engine/Timing.h"

#include <chrono>
#include <thread>

#include "base/TickCount.h"

namespace engine {

namespace {

class TSystemClock : public IClock {
 public:
  std::uint32_t Now() override { return base::GetTickCount32(); }
  void Sleep(std::uint32_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

std::shared_ptr<IClock> SystemClock() {
  // Never destroyed: workers left running at exit may still sleep on it.
  static auto* clock = new std::shared_ptr<IClock>(std::make_shared<TSystemClock>());
  return *clock;
}

}  // namespace engine
