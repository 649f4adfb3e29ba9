// Speed of the page-text helpers on inputs of the sizes the portal serves, and their growth.
#include <benchmark/benchmark.h>

#include <string_view>
#include <vector>

#include <QFile>
#include <QTemporaryDir>

#include "text/ResultFile.h"
#include "text/ResultFileReader.h"
#include "text/SupplierCard.h"
#include "text/uLib.h"

using namespace text;

namespace {

// A fragment of n * 40 characters with two tags per 40 characters (1 MB: 50,000 tags).
QString TaggedFragment(int units) {
  const QString unit = QStringLiteral("<span>ТОО &quot;Ромашка&quot; КЗ\n</span>");
  QString s;
  s.reserve(static_cast<qsizetype>(units) * unit.size());
  for (int i = 0; i < units; ++i) s += unit;
  return s;
}

// The fixture card wrapped in the bulk a real card page carries: styles, scripts and menus
// before the card, a long footer after it. About 80 KB of UTF-8.
QString RealisticCardPage() {
  QFile f(QStringLiteral(SH_TEXT_TEST_DATA "/card.html"));
  if (!f.open(QIODevice::ReadOnly)) return QString();
  const QString card = DecodeUtf8Text(f.readAll());
  QString head = QStringLiteral("<script>");
  for (int i = 0; i < 400; ++i) {
    head += QStringLiteral("window.dataLayer.push({event:'view',id:%1,ts:Date.now()});\n").arg(i);
  }
  head += QStringLiteral("</script><ul class=\"menu\">");
  for (int i = 0; i < 300; ++i) {
    head += QStringLiteral("<li><a href=\"/ru/page/%1\">Раздел портала номер %1</a></li>\n").arg(i);
  }
  head += QStringLiteral("</ul>");
  QString footer;
  for (int i = 0; i < 250; ++i) {
    footer += QStringLiteral("<div class=\"f\"><a href=\"/ru/help/%1\">Справка и инструкции %1</a></div>\n").arg(i);
  }
  QString page = card;
  page.insert(page.indexOf(QStringLiteral("<div class=\"container\">")), head);
  page.insert(page.indexOf(QStringLiteral("</body>")), footer);
  return page;
}

void BM_CleanHtmlText(benchmark::State& state) {
  const QString fragment = TaggedFragment(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(CleanHtmlText(fragment));
  state.SetBytesProcessed(state.iterations() * fragment.size() * 2);
  state.counters["chars"] = static_cast<double>(fragment.size());
}
BENCHMARK(BM_CleanHtmlText)->Arg(25000)->Arg(250000)->Unit(benchmark::kMillisecond);

void BM_ParseSupplierCard(benchmark::State& state) {
  const QString page = RealisticCardPage();
  if (page.isEmpty()) {
    state.SkipWithError("card fixture not found");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(ParseSupplierCard(page));
  state.counters["utf8_bytes"] = static_cast<double>(page.toUtf8().size());
}
BENCHMARK(BM_ParseSupplierCard)->Unit(benchmark::kMicrosecond);

void BM_DecodeUtf8Text(benchmark::State& state) {
  const QByteArray bytes = RealisticCardPage().toUtf8();
  for (auto _ : state) benchmark::DoNotOptimize(DecodeUtf8Text(bytes));
  state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_DecodeUtf8Text)->Unit(benchmark::kMicrosecond);

void BM_ReplaceAll(benchmark::State& state) {
  const QString fragment = TaggedFragment(static_cast<int>(state.range(0)));
  const QString from = QStringLiteral("&quot;");
  const QString to = QStringLiteral("\"");
  for (auto _ : state) benchmark::DoNotOptimize(ReplaceAll(fragment, from, to));
  state.SetBytesProcessed(state.iterations() * fragment.size() * 2);
}
BENCHMARK(BM_ReplaceAll)->Arg(25000)->Arg(250000)->Unit(benchmark::kMillisecond);

void BM_ExtractBetweenReverse(benchmark::State& state) {
  // A list page: many page links, the last-page link near the end.
  QString page;
  for (int i = 0; i < 2000; ++i) page += QStringLiteral("<a href=\"?year=2020&page=%1\">%1</a> ").arg(i);
  page += QStringLiteral("<a href=\"?year=2020&page=2000\">Последняя</a></ul></html>");
  const QString anchor = QStringLiteral("\">Последняя");
  const QString start = QStringLiteral("page=");
  for (auto _ : state) benchmark::DoNotOptimize(ExtractBetweenReverse(page, anchor, QString(), start));
}
BENCHMARK(BM_ExtractBetweenReverse)->Unit(benchmark::kMicrosecond);

void BM_WriteRow(benchmark::State& state) {
  QTemporaryDir dir;
  TResultFile file(dir.path(), {}, {}, [] { return 1u; });
  file.Open();
  const SupplierCard card = ParseSupplierCard(RealisticCardPage());
  const QString address = QStringLiteral("https://localhost:8443/ru/registry/show_supplier/123456");
  for (auto _ : state) file.WriteRow(address, QStringLiteral("N/A"), card);
  file.Close();
}
BENCHMARK(BM_WriteRow)->Unit(benchmark::kMicrosecond);

// Reading back a result file of 300,000 rows of the fixture card, as a resumed run does before
// its card phase: every row split into its fields. The file is written once, then read from
// the page cache.
void BM_ReadResultFile(benchmark::State& state) {
  QTemporaryDir dir;
  const SupplierCard card = ParseSupplierCard(RealisticCardPage());
  QString path;
  {
    TResultFile file(dir.path(), {}, {}, [] { return 1u; });
    file.Open();
    for (int i = 0; i < state.range(0); ++i) {
      file.WriteRow(QStringLiteral("https://localhost:8443/ru/registry/show_supplier/%1").arg(100000 + i),
                    QStringLiteral("N/A"), card);
    }
    file.Close();
    path = file.Path();
  }
  std::int64_t rows = 0;
  for (auto _ : state) {
    TResultFileReader reader(path);
    std::vector<std::string_view> fields;
    std::size_t addressBytes = 0;
    while (reader.Next(fields)) addressBytes += fields[0].size();
    benchmark::DoNotOptimize(addressBytes);
    rows = reader.RowCount();
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.SetBytesProcessed(state.iterations() * QFile(path).size());
}
BENCHMARK(BM_ReadResultFile)->Arg(300000)->Unit(benchmark::kMillisecond);

}  // namespace
