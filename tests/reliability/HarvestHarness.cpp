// harvest-harness: one run of the real engine with a window that prints to stdout, for tests
// that need the engine in a process of its own (killed mid-run, watched from outside).
//   harvest-harness --origin URL --program-dir DIR [--mode all|test|separate]
//                   [--attempts N] [--retry-wait-ms N] [--timeout S] [--last-year YEAR]
// The certificate files are opened from the current directory. Every bridge call becomes one
// line: "log: <message>", "state: running|idle", "outcome: <result>", and the run rules' own
// lines "rule: <stamped line>". Exit 0 when the run ends.
#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/PageFetcher.h"
#include "engine/EngineConfig.h"
#include "engine/RunHost.h"
#include "RunRulesHost.h"

namespace {

// Prints every bridge call; the outcome report, the automatic pause and the resume timer that
// ends it (50 ms here) are the run rules' own, whose lines are printed as "rule: <line>".
class TStdoutWindow : public engine::IRunHost {
 public:
  explicit TStdoutWindow(testsupport::TRunRulesHost& rules) : rules_(rules) {}
  void AppendLog(const QString& message) override { Line("log: " + message); }
  void UpdateRunState(bool running) override {
    Line(running ? "state: running" : "state: idle");
    rules_.RunState(running);
  }
  void UpdateProgress(std::int32_t, std::int32_t) override {}
  void ReportOutcome(engine::IRunDriver& driver, const QString& result) override {
    Line("outcome: " + result);
    rules_.Call([&](run::TRunControl& control) { control.ReportOutcome(driver, result); });
  }

  static void Line(const QString& text) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fputs((text + "\n").toUtf8().constData(), stdout);
    std::fflush(stdout);
  }

 private:
  testsupport::TRunRulesHost& rules_;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "harvest-harness: %s\n", why);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  engine::TEngineConfig config;
  engine::TRunOptions options{false, true, false, false, false};
  std::uint32_t timeout = 120;
  config.Timing.AttemptCount = 5;
  config.Timing.RetryWaitMs = 20;
  config.Timing.FinalWaitMs = 5;
  config.Timing.WaitSliceMs = 5;
  config.Timing.LaunchPauseMs = 1;
  config.Timing.ProxyLaunchPauseMs = 1;
  config.Timing.CycleSleepMs = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage(("missing value of " + arg).c_str());
    const QString value = QString::fromLocal8Bit(argv[++i]);
    if (arg == "--origin") config.PortalOrigin = value;
    else if (arg == "--program-dir") config.ProgramDir = value;
    else if (arg == "--attempts") config.Timing.AttemptCount = value.toInt();
    else if (arg == "--retry-wait-ms") config.Timing.RetryWaitMs = value.toUInt();
    else if (arg == "--timeout") timeout = value.toUInt();
    else if (arg == "--last-year") config.CurrentYear = value.toInt();
    else if (arg == "--mode") {
      if (value == "all") options = {false, true, false, false, false};
      else if (value == "test") options = {true, true, false, false, false};
      else if (value == "separate") options = {false, false, true, true, true};
      else Usage("--mode is all, test or separate");
    } else {
      Usage(("unknown option " + arg).c_str());
    }
  }
  if (config.PortalOrigin.isEmpty() || config.ProgramDir.isEmpty()) Usage("--origin and --program-dir are needed");
  config.FetcherFactory = [timeout](const engine::TProxySettings& proxy) {
    return engine::CreateTlsPageFetcher(proxy, timeout);
  };
  config.OpenDocument = [](const QString& path) { std::printf("open: %s\n", path.toUtf8().constData()); };

  testsupport::TRunRulesHost rules({50, [](const QString& line) { TStdoutWindow::Line("rule: " + line); }, {}});
  auto window = std::make_shared<TStdoutWindow>(rules);
  {
    const auto driver = rules.Start(window, options, config);
    while (!driver->Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fflush(stdout);
  return 0;
}
