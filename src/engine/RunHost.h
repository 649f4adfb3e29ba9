#pragma once
// The run host: the only way the harvest engine reaches whoever runs it (the window, the headless
// command, a test or a benchmark).
//
// The run driver and the fetch workers call these operations from their own threads. An
// implementation runs each one on its own front-end thread while the caller blocks, and rethrows
// in the caller any failure the operation raised. Called on that thread itself, an operation runs
// at once. The engine links no widget code; tests use a fake host.
#include <QString>
#include <cstdint>

namespace engine {

class IRunDriver;

// The phases of a run, in the order they come: the register's list, the list of inactive
// suppliers (only when the two are harvested separately), the cards.
enum class TRunPhase { List, Inactive, Card };

class IRunHost {
 public:
  virtual ~IRunHost() = default;

  // Appends stamp + ": " + message to the log control (driver and workers alike).
  virtual void AppendLog(const QString& message) = 0;

  // cursorHourGlass true: start branch (clear log, ": Начинаем работу по выгрузке", disable
  // the start button and the mode controls). false: end branch (log line naming the log file,
  // save the log file, enable the controls again).
  virtual void UpdateRunState(bool cursorHourGlass) = 0;

  // Sets the bar's maximum then position (clamped), the hint "%d из %d, осталось %d",
  // and processes pending window messages.
  virtual void UpdateProgress(std::int32_t position, std::int32_t max) = 0;

  // Reports the run outcome: on an error outcome logs it, arms the resume timer and pauses
  // the driver (driver.Pause()) before returning; otherwise logs the completion line.
  virtual void ReportOutcome(IRunDriver& driver, const QString& result) = 0;

  // A phase begins: before its first page is planned (the list phases) or before the result
  // file is opened (the card phase, which a run without cards to fetch never reaches). Nothing
  // by default; a host that shows the phase runs it where it reads it.
  virtual void PhaseStarted(TRunPhase phase) { (void)phase; }
};

}  // namespace engine
