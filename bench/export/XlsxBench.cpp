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

#include "export/XlsxExport.h"
#include "text/ResultFile.h"
#include "text/ResultFileReader.h"

namespace {

// Rows shaped like the portal's cards: Cyrillic and Kazakh names and addresses, identifiers,
// codes, both date layouts, about 900 bytes each.
void WriteLargeResultFile(const std::string& path, int rows) {
  std::ofstream out(path, std::ios::binary);
  auto field = [&](const std::string& v, bool first = false) { out << (first ? "\"" : ";\"") << v << '"'; };
  out << "\xEF\xBB\xBF";
  for (int c = 0; c < text::TResultFile::kColumnCount; ++c) {
    field(text::TResultFile::HeaderTitles()[c].toStdString(), c == 0);
  }
  out << "\r\n";
  char buf[64];
  for (int i = 0; i < rows; ++i) {
    const std::string n = std::to_string(i);
    std::snprintf(buf, sizeof buf, "%012d", i * 37);
    const std::string id = buf;
    field("https://localhost:8443/ru/registry/show_supplier/" + std::to_string(100000 + i), true);
    field(i % 3 ? "Активный" : "Неактивный");
    field("ТОО 'Поставщик товаров и услуг номер " + n + "'");
    field("20" + std::to_string(10 + i % 14) + "-0" + std::to_string(1 + i % 9) + "-1" + std::to_string(i % 10) + " 10:15:00");
    field("1" + std::to_string(i % 10) + ".0" + std::to_string(1 + i % 9) + ".2024 09:30:00");
    field("Поставщик; Заказчик");
    field(i % 2 ? "Да" : "Нет");
    field(i % 2 ? id : "");
    field(id);
    field("0604" + id.substr(4));
    field("'Жеткізуші " + n + "' жауапкершілігі шектеулі серіктестігі");
    field("Товарищество с ограниченной ответственностью 'Поставщик " + n + "'");
    field("Резидент");
    field("75111" + std::to_string(1000 + i % 9000));
    field("г. Алматы");
    field("www.supplier" + n + ".kz");
    field("info@supplier" + n + ".kz");
    field("+7 (727) " + std::to_string(2000000 + i % 8000000));
    field("0" + std::to_string(i % 1000) + "-1910-02-ТОО");
    field("10.03.2015");
    field("Управление государственных доходов по Бостандыкскому району");
    field("1122" + std::to_string(i % 10));
    field("16");
    field("Малое предприятие");
    field("0" + std::to_string(1 + i % 9));
    field(id);
    field("");
    field("Иванов Иван Иванович");
    field("Казахстан");
    field("751110000");
    field("г. Алматы, Бостандыкский район, проспект Аль-Фараби, д. " + n + ", кв. 12");
    field("Алматы қ., Бостандық ауданы, Әл-Фараби даңғылы, " + n + " үй, 12 пәтер");
    field("Юридический адрес");
    out << "\r\n";
  }
}

double PeakRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

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
