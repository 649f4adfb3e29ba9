// What an update spends on taking rows over from its earlier result file: 300,000 cards (about
// 340 MB), all of them selected again through another origin, every row taken over and written
// to the new result file. Time, and the peak memory above what the selection itself holds
// (VmHWM, reset before each run), which apart from the index must not grow with the file.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QTemporaryDir>

#include "LargeResultFile.h"
#include "engine/Update.h"
#include "text/ResultFile.h"

using namespace engine;

namespace {

constexpr int kRows = 300000;

void BM_UpdateTakeOver(benchmark::State& state) {
  static QTemporaryDir dir;
  static const QString previous = [] {
    const QString path = dir.filePath(QStringLiteral("data1.csv"));
    benchsupport::WriteLargeResultFile(path.toStdString(), kRows);
    return path;
  }();
  TAddressQueue selected;
  for (int i = 0; i < kRows; ++i)
    selected.push_back(QStringLiteral("https://other.example/ru/registry/show_supplier/%1").arg(100000 + i));
  const TRunOptions allInARow{false, true, false, false, false};
  const TInactiveSet inactive;
  double peak = 0, before = 0;
  std::int64_t taken = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TAddressQueue pending = selected;
    QDir(dir.filePath(QStringLiteral("new"))).removeRecursively();
    QDir().mkpath(dir.filePath(QStringLiteral("new")));
    text::TResultFile file(dir.filePath(QStringLiteral("new")), {}, {}, [] { return 2u; });
    benchsupport::ResetPeakRss();
    before = benchsupport::PeakRssMiB();
    state.ResumeTiming();
    TUpdateSource update(previous);
    update.Select(allInARow, inactive, pending);
    taken = update.Taken();
    file.Open();
    update.WriteRows([&](const QByteArray& lines) { file.WriteLines(lines); });
    file.Close();
    peak = benchsupport::PeakRssMiB();
  }
  state.counters["taken"] = static_cast<double>(taken);
  state.counters["rss_before_MiB"] = before;
  state.counters["peak_above_MiB"] = peak - before;
}
BENCHMARK(BM_UpdateTakeOver)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
