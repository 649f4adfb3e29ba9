#include "run/RunControl.h"

#include <QTimer>
#include <stdexcept>

#include "run/Outcome.h"

namespace run {

TRunControl::TRunControl(IRunView& view, TRunControlSettings settings, TStampFormat stampFormat,
                         QObject* parent)
    : QObject(parent),
      FView(view),
      FSettings(std::move(settings)),
      FStampFormat(std::move(stampFormat)),
      FResumeTimer(new QTimer(this)) {
  setObjectName(QStringLiteral("RunControl"));
  FResumeTimer->setObjectName(QStringLiteral("ResumeTimer"));
  // Qt lets a coarse timer of 20 s or more fire up to half a second early or late (whole
  // seconds); the automatic pause lasts its full count.
  FResumeTimer->setTimerType(Qt::PreciseTimer);
}

bool TRunControl::DriverRunning() const {
  // Over with the end call: the driver's thread may still be tidying up, but a click handled
  // after the line naming the log file must not log below it.
  return FRunActive && FCurrentScraper && !FCurrentScraper->Finished();
}

void TRunControl::Start(std::shared_ptr<engine::IRunHost> host,
                        const engine::TRunOptions& options, const engine::TEngineConfig& config) {
  // Only the driver's first call shows the run as started; until then a second start must not
  // make a second driver.
  if (FRunActive) return;
  FRunActive = true;
  FErrorOutcomes = 0;
  FCurrentScraper.reset();
  try {
    if (!FSettings.CreateDriver) throw std::runtime_error("Модуль выгрузки не подключён");
    std::shared_ptr<engine::IRunDriver> driver =
        FSettings.CreateDriver(std::move(host), options, config);
    if (!driver) throw std::runtime_error("Не удалось создать поток выгрузки");
    driver->Start();
    // Current only once its thread runs: a driver that never started must not take pause and
    // stop requests, nor log their lines.
    FCurrentScraper = std::move(driver);
  } catch (...) {
    FRunActive = false;
    throw;
  }
}

void TRunControl::PauseClick() {
  if (!DriverRunning()) return;
  if (FCurrentScraper->Paused()) {
    FCurrentScraper->Resume();
    LogLiteral(QStringLiteral(": Отключаем паузу, продолжаем работу"));
  } else {
    FCurrentScraper->Pause();
    LogLiteral(QStringLiteral(": Включаем паузу"));
    FResumeTimer->stop();
  }
}

void TRunControl::StopClick() {
  if (!DriverRunning()) return;
  if (FCurrentScraper->Paused()) FCurrentScraper->Resume();
  FCurrentScraper->Terminate();
  LogLiteral(QStringLiteral(": Останавливаем работу"));
  FView.ResetProgress();
}

void TRunControl::ResumeTimerTimer() {
  FResumeTimer->stop();
  if (DriverRunning() && FCurrentScraper->Paused()) {
    FCurrentScraper->Resume();
    LogLiteral(QStringLiteral(": Отключаем паузу, продолжаем работу"));
  }
}

void TRunControl::ReportOutcome(engine::IRunDriver& driver, const QString& result) {
  if (IsErrorOutcome(result)) {
    ++FErrorOutcomes;
    LogLiteral(QStringLiteral(": Ошибка: ") + OutcomeErrorMessage(result));
    LogLiteral(QStringLiteral(": Включаем паузу на 30 секунд"));
    ArmResumeTimer();
    driver.Pause();
    return;
  }
  LogLiteral(QStringLiteral(": Сбор данных завершен"));
}

void TRunControl::ArmResumeTimer() {
  FResumeTimer->stop();
  FResumeTimer->setInterval(FSettings.ResumeDelayMs);
  FResumeTimer->start();
}

void TRunControl::RunStarted() { LogLiteral(QStringLiteral(": Начинаем работу по выгрузке")); }

void TRunControl::RunEnding(const QString& logPath) {
  LogLiteral(QStringLiteral(": Работа завершена, лог записан в ") + logPath);
}

QString TRunControl::Stamp() const {
  return FormatStamp(FSettings.Now ? FSettings.Now() : QDateTime::currentDateTime(), FStampFormat);
}

void TRunControl::Log(const QString& message) {
  FView.AppendLine(Stamp() + QStringLiteral(": ") + message);
}

void TRunControl::LogLiteral(const QString& literal) { FView.AppendLine(Stamp() + literal); }

}  // namespace run
