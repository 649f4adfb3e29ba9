#include "run/QueuedHost.h"

#include <algorithm>
#include <exception>

namespace run {

TQueuedHost::TQueuedHost(QObject* target, TRunControl& control, IHostFrontEnd& frontEnd)
    : FControl(control), FFrontEnd(frontEnd), FCaller(target) {}

void TQueuedHost::AppendLog(const QString& message) {
  FCaller.Run([&] { FControl.Log(message); });
}

void TQueuedHost::UpdateRunState(bool cursorHourGlass) {
  FCaller.Run([&] {
    if (cursorHourGlass) {
      FFrontEnd.ShowRunStarting();
      FControl.RunStarted();
      return;
    }
    const QString path = FFrontEnd.LogFilePath();
    FControl.RunEnding(path);
    std::exception_ptr failure;
    try {
      FFrontEnd.SaveLog(path);
    } catch (const std::exception& e) {
      // The line above claims the file was written: say at once that it was not.
      failure = std::current_exception();
      FControl.LogLiteral(QStringLiteral(": Ошибка: ") + QString::fromUtf8(e.what()));
    }
    FFrontEnd.ShowRunEnded();
    FControl.RunEnded();
    if (failure) std::rethrow_exception(failure);
  });
}

void TQueuedHost::UpdateProgress(std::int32_t position, std::int32_t max) {
  FCaller.Run([&] {
    // The bar's clamping: the maximum is at least 0, the position within [0, maximum].
    const std::int32_t m = std::max<std::int32_t>(0, max);
    FFrontEnd.ShowProgress(std::clamp<std::int32_t>(position, 0, m), m);
  });
}

void TQueuedHost::ReportOutcome(engine::IRunDriver& driver, const QString& result) {
  FCaller.Run([&] { FControl.ReportOutcome(driver, result); });
}

}  // namespace run
