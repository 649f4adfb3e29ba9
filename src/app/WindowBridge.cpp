#include "app/WindowBridge.h"

#include "app/uMain.h"

namespace app {

TWindowBridge::TWindowBridge(TMainForm* form) : FForm(form), FCaller(form) {}

template <class Op>
void TWindowBridge::Call(Op&& op) {
  // The caller runs the operation only while the form is attached, on the window thread.
  FCaller.Run([this, &op] { op(*FForm); });
}

void TWindowBridge::AppendLog(const QString& message) {
  Call([&](TMainForm& form) { form.AppendLog(message); });
}

void TWindowBridge::UpdateRunState(bool cursorHourGlass) {
  Call([&](TMainForm& form) { form.UpdateRunState(cursorHourGlass); });
}

void TWindowBridge::UpdateProgress(std::int32_t position, std::int32_t max) {
  Call([&](TMainForm& form) { form.UpdateProgress(position, max); });
}

void TWindowBridge::ReportOutcome(engine::IRunDriver& driver, const QString& result) {
  Call([&](TMainForm& form) { form.ReportOutcome(driver, result); });
}

}  // namespace app
