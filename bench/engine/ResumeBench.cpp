// What a resumed run spends on its result file: taking over a file of 300,000 card rows
// (every row read and checked, its addresses collected) and dropping them from a card
// selection of the same size.
#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>

#include "engine/Resume.h"
#include "text/ResultFile.h"
#include "text/SupplierCard.h"
#include "text/uLib.h"

using namespace engine;

namespace {

QString Address(int i) { return QStringLiteral("https://localhost:8443/ru/registry/show_supplier/%1").arg(100000 + i); }

// A result file of `rows` rows of the fixture card, written once per process.
QString ResultFileOf(const QTemporaryDir& dir, int rows) {
  QFile page(QStringLiteral(SH_TEXT_TEST_DATA "/card.html"));
  if (!page.open(QIODevice::ReadOnly)) return QString();
  const text::SupplierCard card = text::ParseSupplierCard(text::DecodeUtf8Text(page.readAll()));
  text::TResultFile file(dir.path(), {}, {}, [] { return 1u; });
  file.Open();
  for (int i = 0; i < rows; ++i) file.WriteRow(Address(i), QStringLiteral("N/A"), card);
  file.Close();
  return file.Path();
}

// One file for all benchmarks of the process.
const QString& SharedFile(int rows) {
  static QTemporaryDir dir;
  static const QString path = ResultFileOf(dir, rows);
  return path;
}

void BM_TakeOver(benchmark::State& state) {
  const QString& path = SharedFile(static_cast<int>(state.range(0)));
  if (path.isEmpty()) {
    state.SkipWithError("card fixture not found");
    return;
  }
  const TRunOptions allInARow{false, true, false, false, false};
  for (auto _ : state) benchmark::DoNotOptimize(TakeOverResumeFile(path, allInARow, {}).RowCount);
}
BENCHMARK(BM_TakeOver)->Arg(300000)->Unit(benchmark::kMillisecond);

// A selection a tenth longer than the file: the rest is what the run still fetches.
void BM_DropWrittenCards(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const QString& path = SharedFile(rows);
  if (path.isEmpty()) {
    state.SkipWithError("card fixture not found");
    return;
  }
  const TResumeFile taken = TakeOverResumeFile(path, {false, true, false, false, false}, {});
  TAddressQueue selected;
  for (int i = 0; i < rows + rows / 10; ++i) selected.push_back(Address(i));
  for (auto _ : state) {
    state.PauseTiming();
    TResumeFile file = taken;
    TAddressQueue pending = selected;
    state.ResumeTiming();
    DropWrittenCards(file, pending);
    benchmark::DoNotOptimize(pending.size());
  }
}
BENCHMARK(BM_DropWrittenCards)->Arg(300000)->Unit(benchmark::kMillisecond);

}  // namespace
