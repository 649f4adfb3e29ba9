#pragma once
// The outcome rule of a run, in one place for the rule object and every stand-in window: the
// driver's outcome text is an error outcome when it holds "ERROR" anywhere ("ERROR_" followed
// by the message, by the driver's own convention), and its message is logged from the 7th
// character on, cut to 200 characters. Header-only, so that headless test windows use it
// without linking the front ends' library.
#include <QString>

namespace run {

inline bool IsErrorOutcome(const QString& result) {
  return result.contains(QLatin1String("ERROR"));
}

inline QString OutcomeErrorMessage(const QString& result) { return result.mid(6, 200); }

}  // namespace run
