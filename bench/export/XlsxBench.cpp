// Turning a large result file into a sheet: time, and the process's peak memory while doing it
// (VmHWM, reset before each run), which must stay flat however many rows the file has. The
// first pass alone (checking and measuring every row) is timed beside it.
#include <benchmark/benchmark.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "LargeResultFile.h"
#include "export/XlsxExport.h"
#include "text/ResultFile.h"
#include "text/ResultFileReader.h"

namespace {

using benchsupport::PeakRssMiB;
using benchsupport::ResetPeakRss;
using benchsupport::WriteLargeResultFile;

struct TFixture {
  QTemporaryDir Dir;
  std::map<int, QString> Files;
  QString File(int rows) {
    auto it = Files.find(rows);
    if (it != Files.end()) return it->second;
    const QString path = Dir.filePath(QStringLiteral("data%1.csv").arg(rows));
    WriteLargeResultFile(path.toStdString(), rows);
    return Files[rows] = path;
  }
};
TFixture& Fixture() {
  static TFixture f;
  return f;
}

void BM_ConvertResultFileToXlsx(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const QString csv = Fixture().File(rows);
  const QString xlsx = exportx::XlsxPathFor(csv);
  double peak = 0;
  for (auto _ : state) {
    ResetPeakRss();
    const double before = PeakRssMiB();
    exportx::ConvertResultFileToXlsx(csv, xlsx);
    peak = PeakRssMiB();
    state.counters["rss_before_MiB"] = before;
  }
  state.counters["peak_rss_MiB"] = peak;
  state.counters["csv_MiB"] = static_cast<double>(QFileInfo(csv).size()) / (1 << 20);
  state.counters["xlsx_MiB"] = static_cast<double>(QFileInfo(xlsx).size()) / (1 << 20);
  state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows) * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
  QFile::remove(xlsx);
}
BENCHMARK(BM_ConvertResultFileToXlsx)->Arg(30000)->Arg(300000)->Iterations(1)->Repetitions(3)
    ->Unit(benchmark::kSecond)->UseRealTime();

// The first pass by itself: reading every row, checking it fits a sheet, measuring widths.
void BM_FirstPass(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const QString csv = Fixture().File(rows);
  std::vector<std::string_view> fields;
  for (auto _ : state) {
    exportx::TSheetPlan plan;
    text::TResultFileReader reader(csv);
    while (reader.Next(fields)) plan.AddRow(fields, reader.RowCount() + 1, "bench");
    benchmark::DoNotOptimize(plan.RowCount());
  }
}
BENCHMARK(BM_FirstPass)->Arg(300000)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
