// The list crawl's hot paths: a full first page of card links, planning a long listing, and
// the inactive set's lookups.
#include <benchmark/benchmark.h>

#include "engine/CardSelection.h"
#include "engine/ListCrawl.h"

using namespace engine;

namespace {

const QString kOrigin = QStringLiteral("https://localhost:8443");

// A register list page of `links` card rows, about 1000 characters each, with the pager.
QString FirstPage(int links) {
  QString page = QStringLiteral("<!DOCTYPE html><html><head><title>Реестр</title></head><body><table>");
  const QString filler = QStringLiteral(
      "<td class=\"cell\">Товарищество с ограниченной ответственностью &quot;Поставщик&quot;</td>"
      "<td>Алматинская область, город Талдыкорган, улица Абая, дом 10</td>"
      "<td>2019-04-12</td><td>Поставщик, Заказчик</td>");
  for (int i = 0; i < links; ++i) {
    page += QStringLiteral("<tr><td>") + QString::number(i + 1) + QStringLiteral("</td>");
    while (page.size() % 1000 < 700) page += filler;
    page += QStringLiteral("<td><a href=\"") + CardUrlPrefix(kOrigin) +
            QString::number(100000 + i) + QStringLiteral("\">ТОО Поставщик ") +
            QString::number(i) + QStringLiteral("</a></td></tr>\n");
  }
  page += QStringLiteral("</table><ul class=\"pagination\"><li><a href=\"?page=2\">2</a></li>"
                         "<li><a href=\"/ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=2019"
                         "&amp;count_record=2000&amp;page=37\" aria-label=\"Назад\">&raquo;</a>"
                         "</li></ul></body></html>");
  return page;
}

void BM_FirstListPage2000Links(benchmark::State& state) {
  const QString page = FirstPage(2000);
  const QString address = ListPageUrl(kOrigin, QStringLiteral("2019"), 1);
  state.counters["page_bytes"] = static_cast<double>(page.toUtf8().size());
  for (auto _ : state) {
    TPlannedList planned;
    planned.Append(address);
    TAddressQueue pending;
    QStringList found;
    HandleListPage({kOrigin, false, false, &planned, &pending, &found}, address, page);
    benchmark::DoNotOptimize(found);
    if (found.size() != 2000 || pending.size() != 36) state.SkipWithError("wrong result");
  }
}
BENCHMARK(BM_FirstListPage2000Links)->Unit(benchmark::kMillisecond);

// Planning the further pages of many listings into an already large PlannedList.
void BM_PlanLongListings(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const QString pager = QStringLiteral("<a href=\"?page=") + QString::number(pages) +
                        QStringLiteral("\" aria-label=\"Назад\">");
  for (auto _ : state) {
    TPlannedList planned;
    TAddressQueue pending;
    QStringList found;
    for (int year = 2016; year <= 2025; ++year) {
      const QString first = ListPageUrl(kOrigin, QString::number(year), 1);
      planned.Append(first);
      HandleListPage({kOrigin, false, false, &planned, &pending, &found}, first, pager);
      HandleListPage({kOrigin, false, false, &planned, &pending, &found}, first, pager);  // again
    }
    benchmark::DoNotOptimize(planned);
  }
  state.SetItemsProcessed(state.iterations() * 10 * 2 * (pages - 1));
}
BENCHMARK(BM_PlanLongListings)->Arg(100)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_InactiveSetLookup(benchmark::State& state) {
  QStringList inactive;
  for (int i = 0; i < 50000; ++i) inactive << CardUrlPrefix(kOrigin) + QString::number(i * 7);
  TInactiveSet set;
  set.Assign(inactive);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(set.Contains(CardUrlPrefix(kOrigin) + QString::number(i++ % 350000)));
  }
}
BENCHMARK(BM_InactiveSetLookup);

}  // namespace

BENCHMARK_MAIN();
