#pragma once
// The window-thread bridge: the only way the harvest engine reaches the window.
//
// The run driver and the fetch workers call these operations from their own threads. An
// implementation runs each one on the window thread while the caller blocks, and rethrows in
// the caller any failure the operation raised. Called on the window thread itself, an operation
// runs at once. The engine links no widget code; tests use a fake window.
#include <QString>
#include <cstdint>

namespace engine {

class IRunDriver;

class IWindowBridge {
 public:
  virtual ~IWindowBridge() = default;

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
};

// The operator's options, read when the run starts (they cannot change during a run).
struct TRunOptions {
  bool TestExport = false;    // CheckBox1 "Тестовая выгрузка"
  bool AllInARow = true;      // RadioButton1 "Выгружать всех подряд"
  bool Separate = false;      // RadioButton2 "Выгружать отдельно:"
  bool Active = false;        // ActiveCheckBox "Активных"
  bool Inactive = false;      // InactiveCheckBox "Неактивных"
};

}  // namespace engine
