#include <gtest/gtest.h>

#include "engine/ListCrawl.h"

using namespace engine;

namespace {

const QString kOrigin = QStringLiteral("https://portal.test");

QString CardLink(const QString& id) {
  return QStringLiteral("<a href=\"") + kOrigin + QStringLiteral("/ru/registry/show_supplier/") +
         id + QStringLiteral("\">x</a>");
}

QString CountLink(const QString& count) {
  return QStringLiteral("<a href=\"?page=") + count + QStringLiteral("\" aria-label=\"Назад\">");
}

}  // namespace

TEST(GetUrlParam, Table) {
  struct Case {
    const char* url;
    const char* name;
    const char* expected;
  } cases[] = {
      {"a?x=5", "x", "5"},
      {"a?y=1&x=7&z=2", "x", "7"},
      {"a?y=1", "x", ""},
      {"a?x=", "x", ""},
      {"a?xx=1&x=2", "x", "2"},           // only the whole key counts
      {"a&x=1?x=2", "x", "2"},            // the "?" form wins even when "&" comes first
      {"a?X=1", "x", ""},                 // letter case counts
      {"a?f%5Bb%5D=3&c=4", "f%5Bb%5D", "3"},  // no percent-decoding
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetUrlParam(QString::fromUtf8(c.url), QString::fromUtf8(c.name)),
              QString::fromUtf8(c.expected))
        << c.url << " " << c.name;
  }
}

TEST(ListAddresses, FormsAndPlans) {
  EXPECT_EQ(ListPageUrl(kOrigin, "2019", 1),
            kOrigin + "/ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=2019&count_record=2000");
  EXPECT_EQ(ListPageUrl(kOrigin, "2019", 3),
            kOrigin +
                "/ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=2019&count_record=2000&page=3");
  EXPECT_EQ(InactivePageUrl(kOrigin, "9", "2020", 2),
            kOrigin +
                "/ru/registry/supplierreg?filter%5Btype%5D%5B%5D=9&filter%5Byear%5D%5B0%5D=2020"
                "&count_record=2000&page=2");

  TAddressQueue years;
  AppendYearPlan(kOrigin, 2018, years);
  ASSERT_EQ(years.size(), 3u);
  EXPECT_EQ(years[0], ListPageUrl(kOrigin, "2016", 1));
  EXPECT_EQ(years[2], ListPageUrl(kOrigin, "2018", 1));
  TAddressQueue none;
  AppendYearPlan(kOrigin, 2015, none);
  EXPECT_TRUE(none.empty());

  TAddressQueue inactive;
  AppendInactivePlan(kOrigin, 2017, inactive);
  ASSERT_EQ(inactive.size(), 6u);
  EXPECT_EQ(inactive[0], InactivePageUrl(kOrigin, "8", "2016", 1));
  EXPECT_EQ(inactive[1], InactivePageUrl(kOrigin, "9", "2016", 1));
  EXPECT_EQ(inactive[2], InactivePageUrl(kOrigin, "10", "2016", 1));
  EXPECT_EQ(inactive[3], InactivePageUrl(kOrigin, "8", "2017", 1));
}

TEST(CardLinks, CollectedInOrderWithDuplicatesAndEmptyIds) {
  QStringList found{"earlier"};
  const QString page = "<html>" + CardLink("17") + "<p>" + CardLink("") + CardLink("17") +
                       "<a href=\"https://other.test/ru/registry/show_supplier/9\">" +
                       CardLink("Ж-5") + "</html>";
  CollectCardLinks(page, kOrigin, found);
  const QString prefix = CardUrlPrefix(kOrigin);
  EXPECT_EQ(found, QStringList({"earlier", prefix + "17", prefix, prefix + "17", prefix + "Ж-5"}));

  QStringList cut;  // a link whose identifier never ends yields nothing
  CollectCardLinks(CardLink("1") + "<a href=\"" + prefix + "2", kOrigin, cut);
  EXPECT_EQ(cut, QStringList({prefix + "1"}));
}

TEST(PageCount, ReadBeforeTheLastAnchor) {
  struct Case {
    QString page;
    int expected;
  } cases[] = {
      {CountLink("37"), 37},
      {"page=2 " + CountLink("5") + " page=99", 5},             // nearest before the last anchor
      {CountLink("3") + "x" + CountLink("8"), 8},               // the last anchor counts
      {CountLink(" 12"), 12},                                   // leading blank allowed
      {CountLink("+4"), 4},
      {CountLink("4a"), 0},                                     // not an integer
      {CountLink(""), 0},
      {"no anchor page=5", 0},
      {"\" aria-label=\"Назад\">page=5", 0},                    // nothing before the anchor
      {CountLink("99999999999"), 0},                            // out of range
  };
  for (const auto& c : cases) EXPECT_EQ(ReadPageCount(c.page), c.expected) << c.page.toStdString();
}

TEST(ListPageHandler, PlansFurtherPagesOfFirstPagesOnly) {
  struct Case {
    const char* name;
    bool inactive;
    bool testExport;
    QString address;
    QString count;
    int plannedAfter;  // entries of PlannedList after the page
    int pendingAfter;
  } cases[] = {
      {"first page plans 2..37", false, false, ListPageUrl(kOrigin, "2019", 1), "37", 1 + 36, 36},
      {"test export plans but fetches none", false, true, ListPageUrl(kOrigin, "2019", 1), "37",
       1 + 36, 0},
      {"count 1", false, false, ListPageUrl(kOrigin, "2019", 1), "1", 1, 0},
      {"count 0", false, false, ListPageUrl(kOrigin, "2019", 1), "0", 1, 0},
      {"later page never plans", false, false, ListPageUrl(kOrigin, "2019", 2), "37", 1, 0},
      {"inactive first page", true, false, InactivePageUrl(kOrigin, "10", "2018", 1), "3", 3, 2},
  };
  for (const auto& c : cases) {
    TPlannedList planned;
    planned.Append(c.address);
    TAddressQueue pending;
    QStringList found;
    const TListPageContext context{kOrigin, c.inactive, c.testExport, &planned, &pending, &found};
    HandleListPage(context, c.address, CardLink("1") + CountLink(c.count));
    EXPECT_EQ(planned.Count(), c.plannedAfter) << c.name;
    EXPECT_EQ(static_cast<int>(pending.size()), c.pendingAfter) << c.name;
    EXPECT_EQ(found.size(), 1) << c.name;
  }

  // Page addresses are built from the first page's parameters, in ascending order.
  TPlannedList planned;
  TAddressQueue pending;
  QStringList found;
  const QString first = InactivePageUrl(kOrigin, "10", "2018", 1);
  HandleListPage({kOrigin, true, false, &planned, &pending, &found}, first, CountLink("3"));
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0], InactivePageUrl(kOrigin, "10", "2018", 2));
  EXPECT_EQ(pending[1], InactivePageUrl(kOrigin, "10", "2018", 3));
}

TEST(ListPageHandler, SkipsPagesAlreadyPlannedIgnoringCase) {
  TPlannedList planned;
  planned.Append(ListPageUrl(kOrigin, "2019", 1));
  planned.Append(ListPageUrl(kOrigin, "2019", 3).toUpper());
  TAddressQueue pending;
  QStringList found;
  HandleListPage({kOrigin, false, false, &planned, &pending, &found},
                 ListPageUrl(kOrigin, "2019", 1), CountLink("4"));
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0], ListPageUrl(kOrigin, "2019", 2));
  EXPECT_EQ(pending[1], ListPageUrl(kOrigin, "2019", 4));
  EXPECT_EQ(planned.Count(), 4);

  // Handling the same first page again plans nothing new.
  HandleListPage({kOrigin, false, false, &planned, &pending, &found},
                 ListPageUrl(kOrigin, "2019", 1), CountLink("4"));
  EXPECT_EQ(pending.size(), 2u);
}

TEST(ListPageHandler, MissingYearGivesEmptyYearInPageAddresses) {
  TPlannedList planned;
  TAddressQueue pending;
  QStringList found;
  const QString address = kOrigin + "/ru/registry/supplierreg?count_record=2000";
  HandleListPage({kOrigin, false, false, &planned, &pending, &found}, address, CountLink("2"));
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0], ListPageUrl(kOrigin, "", 2));
}

TEST(ListPageHandler, HostilePageCountIsCapped) {
  TPlannedList planned;
  TAddressQueue pending;
  QStringList found;
  HandleListPage({kOrigin, false, true, &planned, &pending, &found},
                 ListPageUrl(kOrigin, "2019", 1), CountLink("2147483647"));
  EXPECT_EQ(planned.Count(), 100000 - 1);
}

TEST(FoundLogText, BothPhases) {
  EXPECT_EQ(FoundLogText(false, 12), QStringLiteral("Найдено 12 карточек"));
  EXPECT_EQ(FoundLogText(true, 0), QStringLiteral("Найдено 0 неактивных карточек"));
}
