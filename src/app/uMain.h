#pragma once
// The main window: the run options, the start, pause and stop buttons, the run's log and its
// progress bar, the run control behind the buttons, and the operations the run driver has run
// on the window thread through the bridge.
#include <QDateTime>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/EngineConfig.h"
#include "engine/RunHost.h"
#include "run/LogFormat.h"
#include "run/QueuedHost.h"
#include "run/RunControl.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTimer;

namespace app {

class TLogMemo;
class TProgressBar;
class TWindowBridge;

using TDriverFactory = run::TDriverFactory;
using run::TStampFormat;

// Everything the window takes from its surroundings. DefaultSettings() gives the program's;
// tests replace single members.
struct TMainFormSettings {
  QString ProgramDir;         // folder of the program file, with a trailing separator
  QString PortalOrigin;       // scheme and host of the portal
  QString CryptoLibraryFile;  // bare file name that must lie in ProgramDir
  TDriverFactory CreateDriver;
  // Modal message box with a single OK button.
  std::function<void(QWidget* parent, const QString& title, const QString& text)> ShowMessage;
  // Ends the process at once with the exit code (a start-up refusal).
  std::function<void(int exitCode)> EndProgram;
  std::function<QDateTime()> Now;            // local date and time
  std::function<std::uint32_t()> TickCount;  // 32-bit millisecond tick counter
  std::function<void(const QString& path)> OpenDocument;
  bool FixedStampFormat = false;  // true: use StampFormat, never the regional settings
  TStampFormat StampFormat;
  QByteArray LogCodeset;          // empty: the locale's code set
  int ResumeDelayMs = 30000;      // the automatic pause; shortened only by tests
};

TMainFormSettings DefaultSettings();

// "Парсер реестра участников госзакупок" + blank + the portal's host name.
QString ApplicationTitle(const QString& portalOrigin);

class TMainForm : public QWidget, private run::IRunView, private run::IHostFrontEnd {
  Q_OBJECT
 public:
  explicit TMainForm(TMainFormSettings settings = DefaultSettings(), QWidget* parent = nullptr);
  ~TMainForm() override;

  // The bridge handed to every driver. It outlives the form; once the form is gone its calls
  // fail with EWindowClosed.
  std::shared_ptr<engine::IRunHost> Bridge() const;
  TWindowBridge& WindowBridge() const { return *FBridge; }

  // The driver of the current or last run (empty before the first start).
  const std::shared_ptr<engine::IRunDriver>& CurrentScraper() const {
    return FControl->CurrentScraper();
  }
  // True from a start click until the end branch of UpdateRunState.
  bool RunActive() const { return FControl->RunActive(); }
  const TMainFormSettings& Settings() const { return FSettings; }

  // --- Window-thread operations of the run (called through the bridge; called here, they
  // run at once, as the bridge runs them) ---
  // stamp + ": " + message.
  void AppendLog(const QString& message);
  void UpdateRunState(bool cursorHourGlass);
  void UpdateProgress(std::int32_t position, std::int32_t max);
  void ReportOutcome(engine::IRunDriver& driver, const QString& result);
  void ArmResumeTimer();

  // --- Event handlers ---
  void FormShow();
  void StartButtonClick();
  void PauseButtonClick();
  void StopButtonClick();
  void ActiveCheckBoxClick();
  void InactiveCheckBoxClick();
  void ResumeTimerTimer();

  // The stamp of a line formed now.
  QString Stamp() const;

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateControls();
  void LayOut();
  void SetModeControlsEnabled(bool enabled);
  // Runs a handler; a failure it raises is shown in a message box and the program goes on.
  void Guarded(const std::function<void()>& handler);
  // run::IRunView: the rules' lines go to the log control, a stop empties the bar.
  void AppendLine(const QString& line) override;
  void ResetProgress() override;
  // run::IHostFrontEnd: the start and end branches of the run state and the bar.
  void ShowRunStarting() override;
  QString LogFilePath() override;
  void SaveLog(const QString& path) override;
  void ShowRunEnded() override;
  void ShowProgress(std::int32_t position, std::int32_t max) override;

  TMainFormSettings FSettings;
  run::TRunControl* FControl = nullptr;  // the run rules; owns ResumeTimer
  std::shared_ptr<TWindowBridge> FBridge;
  bool FShown = false;

  QPushButton* StartButton = nullptr;
  QPushButton* PauseButton = nullptr;
  QPushButton* StopButton = nullptr;
  TLogMemo* LogsMemo = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QRadioButton* RadioButton1 = nullptr;
  QRadioButton* RadioButton2 = nullptr;
  QCheckBox* ActiveCheckBox = nullptr;
  QCheckBox* InactiveCheckBox = nullptr;
  QLabel* Label2 = nullptr;
  TProgressBar* ProgressBar = nullptr;
  QTimer* ResumeTimer = nullptr;
};

// Shows the main window and runs the event loop until it is closed, then ends the process with
// the loop's exit code (see EndProcessNow). `started`, when given, is called with the shown
// window before the loop runs.
[[noreturn]] void RunMainWindow(TMainFormSettings settings,
                                const std::function<void(TMainForm&)>& started = {});

// Ends the process at once, without running destructors of running threads' objects.
[[noreturn]] void EndProcessNow(int exitCode);

}  // namespace app
