// Comparing two harvests of 300,000 cards (about 340 MB each; of every hundred cards one gone,
// one changed, one new): the time against reading both files once with the result-file reader,
// and the process's peak memory (VmHWM, reset before each run), which must stay flat.
#include <benchmark/benchmark.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <vector>

#include "LargeResultFile.h"
#include "compare/ResultCompare.h"
#include "text/ResultFileReader.h"

namespace {

constexpr int kRows = 300000;

struct TFixture {
  QTemporaryDir Dir;
  QString Old, New;
  TFixture() {
    Old = Dir.filePath(QStringLiteral("data1.csv"));
    New = Dir.filePath(QStringLiteral("data2.csv"));
    benchsupport::WriteLargeResultFile(Old.toStdString(), kRows, 0);
    benchsupport::WriteLargeResultFile(New.toStdString(), kRows, 1);
  }
};
TFixture& Fixture() {
  static TFixture f;
  return f;
}

// The yardstick: both files read once, every row split into its fields.
void BM_ReadBothFiles(benchmark::State& state) {
  const TFixture& f = Fixture();
  std::vector<std::string_view> fields;
  for (auto _ : state) {
    for (const QString& path : {f.Old, f.New}) {
      text::TResultFileReader reader(path);
      std::size_t bytes = 0;
      while (reader.Next(fields)) bytes += fields[0].size();
      benchmark::DoNotOptimize(bytes);
    }
  }
  state.counters["csv_MiB"] = static_cast<double>(QFileInfo(f.Old).size() + QFileInfo(f.New).size()) / (1 << 20);
}
BENCHMARK(BM_ReadBothFiles)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The comparison into the workbook (range 1) or the long CSV form (range 0).
void BM_Compare(benchmark::State& state) {
  const TFixture& f = Fixture();
  const QString output = f.Dir.filePath(state.range(0) ? QStringLiteral("changes.xlsx") : QStringLiteral("changes.csv"));
  double peak = 0, before = 0;
  compare::TCompareSummary s;
  for (auto _ : state) {
    benchsupport::ResetPeakRss();
    before = benchsupport::PeakRssMiB();
    s = compare::CompareResultFiles(f.Old, f.New, output);
    peak = benchsupport::PeakRssMiB();
  }
  state.counters["rss_before_MiB"] = before;
  state.counters["peak_rss_MiB"] = peak;
  state.counters["new"] = static_cast<double>(s.Added);
  state.counters["gone"] = static_cast<double>(s.Gone);
  state.counters["changed"] = static_cast<double>(s.Changed);
  QFile::remove(output);
}
BENCHMARK(BM_Compare)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
