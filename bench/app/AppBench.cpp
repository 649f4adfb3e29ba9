// The log control over a long run, and the cost of one window-thread call from another thread.
//
// LogMillionLines appends 1,000,000 stamped lines the way a run does (AppendLog on the window
// thread, events processed now and then) and reports the per-line cost of the first and the last
// 100,000 lines, their ratio, and the resident memory each line costs.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <benchmark/benchmark.h>
#include <atomic>
#include <thread>
#include <unistd.h>

#include "app/WindowBridge.h"
#include "app/uMain.h"

namespace {

long ResidentBytes() {
  QFile statm(QStringLiteral("/proc/self/statm"));
  if (!statm.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> f = statm.readAll().split(' ');
  return f.size() > 1 ? f[1].toLong() * sysconf(_SC_PAGESIZE) : 0;
}

app::TMainFormSettings BenchSettings() {
  app::TMainFormSettings s = app::DefaultSettings();
  s.ProgramDir = QStringLiteral("/nonexistent/");
  s.ShowMessage = [](QWidget*, const QString&, const QString&) {};
  s.EndProgram = [](int) {};
  return s;
}

void LogMillionLines(benchmark::State& state) {
  constexpr int kLines = 1000000;
  constexpr int kWindow = 100000;
  for (auto _ : state) {
    app::TMainForm form(BenchSettings());
    form.show();
    QCoreApplication::processEvents();
    const long before = ResidentBytes();
    QElapsedTimer timer;
    double firstNs = 0, lastNs = 0;
    timer.start();
    for (int i = 0; i < kLines; ++i) {
      if (i == kWindow) firstNs = static_cast<double>(timer.nsecsElapsed());
      if (i == kLines - kWindow) timer.restart();
      form.AppendLog(QStringLiteral("Загружаем карточку %1: https://localhost:8443/epz/card?id=%2")
                         .arg(i)
                         .arg(1000000 + i));
      if (i % 1000 == 999) QCoreApplication::processEvents();
    }
    lastNs = static_cast<double>(timer.nsecsElapsed());
    const long after = ResidentBytes();
    state.counters["first100k_ns_per_line"] = firstNs / kWindow;
    state.counters["last100k_ns_per_line"] = lastNs / kWindow;
    state.counters["last_to_first"] = lastNs / firstNs;
    state.counters["bytes_per_line"] = static_cast<double>(after - before) / kLines;
  }
}
BENCHMARK(LogMillionLines)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One AppendLog from a worker thread: queue, run on the window thread, wake the caller.
void BridgeCallFromAnotherThread(benchmark::State& state) {
  app::TMainForm form(BenchSettings());
  app::TWindowBridge& bridge = form.WindowBridge();
  std::atomic<bool> stop{false}, exited{false};
  std::atomic<long> calls{0};
  // The window thread is the benchmark's own thread; the caller runs beside it.
  std::thread caller([&] {
    while (!stop) {
      bridge.RunOnWindowThread([] {});
      ++calls;
    }
    exited = true;
  });
  for (auto _ : state) {
    const long target = calls + 1;
    while (calls < target) QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  stop = true;
  while (!exited) QCoreApplication::processEvents(QEventLoop::AllEvents);  // serve the last call
  caller.join();
}
BENCHMARK(BridgeCallFromAnotherThread)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
