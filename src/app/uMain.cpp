#include "app/uMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <unistd.h>

#include "app/LogMemo.h"
#include "app/ProgressBar.h"
#include "app/WindowBridge.h"
#include "engine/EngineConfig.h"
#include "base/TickCount.h"
#include "run/EndProcess.h"
#include "run/LogFile.h"
#include "run/RunSettings.h"
#include "run/StartupChecks.h"
#include "run/ThreadCall.h"

namespace app {

namespace {

void ShowModalMessage(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, title, QString(text).replace(QStringLiteral("\r\n"), "\n"),
                  QMessageBox::Ok, parent);
  box.exec();
}

QFont WindowFont(int pixelSize) {
  // Tahoma's nearest relative with Cyrillic on a Debian desktop: the condensed cut of the same
  // humanist design, so the captions fit the controls' fixed widths.
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans"),
                    QStringLiteral("Liberation Sans")});
  font.setPixelSize(pixelSize);
  return font;
}

}  // namespace

QString ApplicationTitle(const QString& portalOrigin) {
  return QStringLiteral("Парсер реестра участников госзакупок ") + QUrl(portalOrigin).host();
}

TMainFormSettings DefaultSettings() {
  TMainFormSettings s;
  s.ProgramDir = run::ProgramFolder();
  s.PortalOrigin = run::CompiledPortalOrigin();
  s.CryptoLibraryFile = run::LinkedCryptoLibraryFile();
  s.CreateDriver = &engine::CreateScraper;
  s.ShowMessage = &ShowModalMessage;
  s.EndProgram = [](int code) { EndProcessNow(code); };
  s.Now = [] { return QDateTime::currentDateTime(); };
  s.TickCount = [] { return base::GetTickCount32(); };
  s.OpenDocument = [](const QString& path) {
    // The driver asks from its own thread; the desktop is asked from the window thread.
    QMetaObject::invokeMethod(
        qApp, [path] { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); },
        Qt::QueuedConnection);
  };
  return s;
}

void RunMainWindow(TMainFormSettings settings, const std::function<void(TMainForm&)>& started) {
  const QString title = ApplicationTitle(settings.PortalOrigin);
  // The name only: a display name would be appended by the toolkit to every other window's title
  // (the refusal boxes read "Внимание!" and nothing more).
  QApplication::setApplicationName(title);
  // Never destroyed: a run may still be going on its own threads when the window is closed
  // (closing the window ends the run with the program). Its result rows are already on disk,
  // flushed after each write, so the process leaves without tearing down what those threads
  // may still be using.
  auto* form = new TMainForm(std::move(settings));
  form->show();
  if (started) started(*form);
  EndProcessNow(QApplication::exec());
}

void EndProcessNow(int exitCode) { run::EndProcessNow(exitCode); }

TMainForm::TMainForm(TMainFormSettings settings, QWidget* parent)
    : QWidget(parent), FSettings(std::move(settings)) {
  FControl = new run::TRunControl(
      *this, {FSettings.CreateDriver, FSettings.Now, FSettings.ResumeDelayMs},
      FSettings.FixedStampFormat ? FSettings.StampFormat : run::SystemStampFormat(), this);
  FBridge = std::make_shared<TWindowBridge>(this, *FControl, static_cast<run::IHostFrontEnd&>(*this));
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(ApplicationTitle(FSettings.PortalOrigin));
  setFont(WindowFont(11));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);
  CreateControls();
  resize(634, 424);
  LayOut();
}

TMainForm::~TMainForm() {
  // Calls queued for the form are discarded with it; their callers learn the window is gone.
  FBridge->Detach();
}

std::shared_ptr<engine::IRunHost> TMainForm::Bridge() const { return FBridge; }

void TMainForm::CreateControls() {
  StartButton = new QPushButton(QStringLiteral("СТАРТ"), this);
  StartButton->setObjectName(QStringLiteral("StartButton"));
  StartButton->setFont(WindowFont(19));
  StartButton->setGeometry(8, 4, 169, 37);

  PauseButton = new QPushButton(QStringLiteral("пауза"), this);
  PauseButton->setObjectName(QStringLiteral("PauseButton"));
  PauseButton->setGeometry(8, 47, 75, 25);

  StopButton = new QPushButton(QStringLiteral("стоп"), this);
  StopButton->setObjectName(QStringLiteral("StopButton"));
  StopButton->setGeometry(102, 47, 75, 25);

  // No word wrap, both scroll bars, no length limit, editable.
  LogsMemo = new TLogMemo(this);
  LogsMemo->setObjectName(QStringLiteral("LogsMemo"));
  LogsMemo->setGeometry(8, 96, 618, 305);

  CheckBox1 = new QCheckBox(QStringLiteral("Тестовая выгрузка"), this);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox1->setGeometry(183, 8, 125, 17);

  RadioButton1 = new QRadioButton(QStringLiteral("Выгружать всех подряд"), this);
  RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
  RadioButton1->setGeometry(322, 8, 147, 17);
  RadioButton1->setChecked(true);

  RadioButton2 = new QRadioButton(QStringLiteral("Выгружать отдельно:"), this);
  RadioButton2->setObjectName(QStringLiteral("RadioButton2"));
  RadioButton2->setGeometry(322, 31, 139, 17);

  ActiveCheckBox = new QCheckBox(QStringLiteral("Активных"), this);
  ActiveCheckBox->setObjectName(QStringLiteral("ActiveCheckBox"));
  ActiveCheckBox->setGeometry(344, 50, 125, 17);

  InactiveCheckBox = new QCheckBox(QStringLiteral("Неактивных"), this);
  InactiveCheckBox->setObjectName(QStringLiteral("InactiveCheckBox"));
  InactiveCheckBox->setGeometry(344, 73, 125, 17);

  Label2 = new QLabel(QStringLiteral("Логи"), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->setGeometry(8, 77, 24, 13);

  ProgressBar = new TProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));

  ResumeTimer = FControl->ResumeTimer();

  // Of the two radio buttons only the selected one is a tab stop.
  auto radioFocus = [this] {
    RadioButton1->setFocusPolicy(RadioButton1->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    RadioButton2->setFocusPolicy(RadioButton2->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
  };
  radioFocus();
  connect(RadioButton1, &QRadioButton::toggled, this, radioFocus);

  setTabOrder(StartButton, PauseButton);
  setTabOrder(PauseButton, StopButton);
  setTabOrder(StopButton, LogsMemo);
  setTabOrder(LogsMemo, CheckBox1);
  setTabOrder(CheckBox1, RadioButton1);
  setTabOrder(RadioButton1, RadioButton2);
  setTabOrder(RadioButton2, ActiveCheckBox);
  setTabOrder(ActiveCheckBox, InactiveCheckBox);

  connect(StartButton, &QPushButton::clicked, this, [this] { Guarded([this] { StartButtonClick(); }); });
  connect(PauseButton, &QPushButton::clicked, this, [this] { Guarded([this] { PauseButtonClick(); }); });
  connect(StopButton, &QPushButton::clicked, this, [this] { Guarded([this] { StopButtonClick(); }); });
  connect(ActiveCheckBox, &QCheckBox::clicked, this,
          [this] { Guarded([this] { ActiveCheckBoxClick(); }); });
  connect(InactiveCheckBox, &QCheckBox::clicked, this,
          [this] { Guarded([this] { InactiveCheckBoxClick(); }); });
  connect(ResumeTimer, &QTimer::timeout, this, [this] { Guarded([this] { ResumeTimerTimer(); }); });
}

void TMainForm::LayOut() {
  const int w = width();
  const int h = height();
  // The log keeps its distances to all four sides of the 634 x 424 design.
  LogsMemo->setGeometry(8, 96, std::max(0, w - 16), std::max(0, h - 96 - 23));
  // The bar is aligned to the bottom edge across the full width.
  ProgressBar->setGeometry(0, h - 17, w, 17);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

void TMainForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LocaleChange && !FSettings.FixedStampFormat)
    FControl->SetStampFormat(run::SystemStampFormat());
  QWidget::changeEvent(event);
}

void TMainForm::showEvent(QShowEvent* event) {
  if (!FShown) {
    FShown = true;
    Guarded([this] { FormShow(); });
  }
  QWidget::showEvent(event);
}

void TMainForm::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    FSettings.ShowMessage(this, ApplicationTitle(FSettings.PortalOrigin),
                          QString::fromUtf8(e.what()));
  } catch (...) {
    FSettings.ShowMessage(this, ApplicationTitle(FSettings.PortalOrigin),
                          QStringLiteral("Неизвестная ошибка"));
  }
}

// ---------------------------------------------------------------------------------------
// Start-up

void TMainForm::FormShow() {
  const run::TRefusal refusal =
      run::CheckProgramFolder(FSettings.ProgramDir, FSettings.CryptoLibraryFile);
  if (refusal != run::TRefusal::rfNone) {
    FSettings.ShowMessage(this, run::RefusalTitle(), run::RefusalText(refusal));
    FSettings.EndProgram(0);
    return;
  }
  for (const QString& line : run::IntroductionLines()) LogsMemo->appendPlainText(line);
}

// ---------------------------------------------------------------------------------------
// Run control

void TMainForm::StartButtonClick() {
  if (RunActive()) return;
  engine::TRunOptions options;
  options.TestExport = CheckBox1->isChecked();
  options.AllInARow = RadioButton1->isChecked();
  options.Separate = RadioButton2->isChecked();
  options.Active = ActiveCheckBox->isChecked();
  options.Inactive = InactiveCheckBox->isChecked();
  // The window shows the mode the run uses.
  if (run::FixUpMode(options)) RadioButton1->setChecked(true);
  CheckBox1->setEnabled(false);
  try {
    FControl->Start(FBridge, options,
                    run::EngineConfig(FSettings.ProgramDir, FSettings.PortalOrigin,
                                      FSettings.OpenDocument));
  } catch (...) {
    // No run came about: the window stays usable for the next try.
    CheckBox1->setEnabled(true);
    throw;
  }
}

void TMainForm::PauseButtonClick() { FControl->PauseClick(); }

void TMainForm::StopButtonClick() { FControl->StopClick(); }

void TMainForm::ActiveCheckBoxClick() {
  if (ActiveCheckBox->isChecked()) RadioButton2->setChecked(true);
}

void TMainForm::InactiveCheckBoxClick() {
  if (InactiveCheckBox->isChecked()) RadioButton2->setChecked(true);
}

void TMainForm::ResumeTimerTimer() { FControl->ResumeTimerTimer(); }

// ---------------------------------------------------------------------------------------
// The run's window-thread operations

QString TMainForm::Stamp() const { return FControl->Stamp(); }

void TMainForm::AppendLine(const QString& line) { LogsMemo->appendPlainText(line); }

void TMainForm::ResetProgress() { ProgressBar->SetPosition(0); }

void TMainForm::AppendLog(const QString& message) { FBridge->AppendLog(message); }

void TMainForm::SetModeControlsEnabled(bool enabled) {
  RadioButton1->setEnabled(enabled);
  RadioButton2->setEnabled(enabled);
  ActiveCheckBox->setEnabled(enabled);
  InactiveCheckBox->setEnabled(enabled);
}

void TMainForm::UpdateRunState(bool cursorHourGlass) { FBridge->UpdateRunState(cursorHourGlass); }

void TMainForm::ShowRunStarting() {
  LogsMemo->clear();
  StartButton->setEnabled(false);
  SetModeControlsEnabled(false);
}

QString TMainForm::LogFilePath() {
  return FSettings.ProgramDir + run::LogFileName(FSettings.TickCount());
}

void TMainForm::SaveLog(const QString& path) {
  run::SaveLogFile(path, LogsMemo->Lines(), FSettings.LogCodeset);
}

void TMainForm::ShowRunEnded() {
  // The window is made usable again even when the file could not be written.
  StartButton->setEnabled(true);
  CheckBox1->setEnabled(true);
  SetModeControlsEnabled(true);
}

void TMainForm::UpdateProgress(std::int32_t position, std::int32_t max) {
  FBridge->UpdateProgress(position, max);
}

void TMainForm::ShowProgress(std::int32_t position, std::int32_t max) {
  ProgressBar->SetMaximum(max);
  ProgressBar->SetPosition(position);
  const std::int32_t p = ProgressBar->Position();
  const std::int32_t m = ProgressBar->Maximum();
  ProgressBar->SetHint(QStringLiteral("%1 из %2, осталось %3").arg(p).arg(m).arg(m - p));
  ProgressBar->SetShowHint(true);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TMainForm::ReportOutcome(engine::IRunDriver& driver, const QString& result) {
  FBridge->ReportOutcome(driver, result);
}

void TMainForm::ArmResumeTimer() { FControl->ArmResumeTimer(); }

}  // namespace app
