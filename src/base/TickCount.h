#pragma once
// The system's millisecond tick counter: milliseconds since boot as a 32-bit value that wraps.
#include <cstdint>
#include <ctime>

namespace base {

inline std::uint32_t GetTickCount32() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

// Milliseconds from `since` to `now`, counting across a wrap of the counter.
inline std::uint32_t TicksElapsed(std::uint32_t since, std::uint32_t now) {
  return now - since;  // unsigned arithmetic counts up to the wrap and on from zero
}

}  // namespace base
