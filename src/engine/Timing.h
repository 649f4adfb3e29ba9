#pragma once
// The engine's time: the pacing values of a run and the clock its waits and sleeps go through.
// The program runs on the system clock with the default values; tests hand in a clock of their
// own instead of shrinking the values.
#include <cstdint>
#include <memory>

namespace engine {

// The pacing of a run: the worker's attempts and waits and the scheduling loop's pauses.
struct TEngineTiming {
  std::int32_t AttemptCount = 100;        // fetch attempts per address
  std::uint32_t RetryWaitMs = 5000;       // wait after each failed attempt
  std::uint32_t FinalWaitMs = 3000;       // event processing after the last failed attempt
  std::uint32_t WaitSliceMs = 100;        // sleep between event passes during the retry wait
  std::uint32_t LaunchPauseMs = 100;      // pause after a worker is launched
  std::uint32_t ProxyLaunchPauseMs = 10;  // the same in the card phase through a proxy
  std::uint32_t CycleSleepMs = 100;       // sleep at the end of every scheduling cycle
};

// The tick count and the sleeps of the driver and its workers. Called from any thread.
class IClock {
 public:
  virtual ~IClock() = default;
  // The 32-bit millisecond tick count; it wraps, so spans are counted with base::TicksElapsed.
  virtual std::uint32_t Now() = 0;
  // Sleeps the calling thread for `ms` milliseconds (0: returns at once).
  virtual void Sleep(std::uint32_t ms) = 0;
};

// The system's tick counter and real sleeps; one object for the whole process.
std::shared_ptr<IClock> SystemClock();

}  // namespace engine
