// The demo register must be what the harvester's tests take it for: the expected values of a
// card are what the harvester's marker rules read out of its markup, the lists agree with the
// card flags, and faults clear after their attempts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "Portal.h"
#include "Register.h"

namespace {

using demo::TRegister;
using demo::TRegisterOptions;

// --- a reader that follows the harvester's marker rules, written from them independently

std::string Between(const std::string& s, const std::string& start, const std::string& second,
                    const std::string& end) {
  std::size_t at = s.find(start);
  if (at == std::string::npos) return {};
  at += start.size();
  if (!second.empty()) {
    at = s.find(second, at);
    if (at == std::string::npos) return {};
    at += second.size();
  }
  const std::size_t stop = s.find(end, at);
  if (stop == std::string::npos) return {};
  return s.substr(at, stop - at);
}

std::string Clean(std::string s) {
  const char* const table[][2] = {{"&nbsp;", " "}, {"&bull;", "-"}, {"&times;", "x"}, {"&quot;", "\""},
                                  {"&mdash;", "-"}, {"&ndash;", "-"}, {"&laquo;", "\""}, {"&raquo;", "\""},
                                  {"&lt;", "<"},     {"&gt;", ">"},     {"&#039;", "'"},  {"<br>", " "},
                                  {"\r", ""},        {"\n", ""}};
  for (const auto& row : table) {
    const std::string from = row[0], to = row[1];
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
  }
  for (std::size_t p = s.find('<'); p != std::string::npos; p = s.find('<')) {
    const std::size_t q = s.find('>', p);
    s.erase(p, q == std::string::npos ? std::string::npos : q - p + 1);
  }
  const std::size_t first = s.find_first_not_of(' ');
  s = first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(' ') - first + 1);
  std::replace(s.begin(), s.end(), '"', '\'');
  return s;
}

std::vector<std::string> ReadCard(const std::string& page) {
  const char* const labels[] = {
      "Дата регистрации</th>", "Дата последнего обновления</th>", "Роли участника</th>",
      "Состоит в реестре государственных заказчиков</th>", "ИИН участника</th>", "БИН участника</th>",
      "РНН участника</th>", "Наименование на каз. языке</th>", "Наименование на рус. языке</th>",
      "Резиденство</th>", "КАТО</th>", "Регион</th>", "Вебсайт:</th>", "E-Mail:</th>",
      "Контактный телефон:</th>",
      "Серия свидетельства (для ИП) и номер свидетельства о государственной регистрации</th>",
      "Дата свидетельства о государственной регистрации</th>",
      "Наименование администратора(ов) отчетности</th>", "КОПФ</th>", "Код формы собственности</th>",
      "Размерность предприятия</th>", "Код сектора экономики</th>"};
  std::vector<std::string> raw;
  raw.push_back(Between(page, "<h1>", "", "</"));
  for (const char* label : labels) raw.push_back(Between(page, label, "<td>", "</"));
  const std::string head = Between(page, "Руководитель</h4></div>", "", "</div>");
  for (const char* label : {"ИИН</th>", "РНН</th>", "ФИО</th>"}) raw.push_back(Between(head, label, "<td>", "</"));
  std::string row = Between(Between(page, "Контактная информация</h4></div>", "", "</div>"), "</tr>", "<tr>", "</tr>");
  for (int i = 0; i < 5; ++i) {
    raw.push_back(Between(row, "<td>", "", "</td>"));
    const std::size_t n = row.find("</td>");
    if (n != std::string::npos) row.erase(0, n + 1);  // up to and including the "<" of "</td>"
  }
  for (std::string& value : raw) value = Clean(value);
  return raw;
}

TRegisterOptions Small(std::uint64_t seed = 5) {
  TRegisterOptions o;
  o.Origin = "https://localhost:9999";
  o.FirstYear = 2016;
  o.LastYear = 2018;
  o.PagesPerYear = 3;
  o.CardsPerPage = 40;
  o.InactivePerType = 5;
  o.DuplicateLinks = 2;
  o.Gone = 0.1;
  o.Seed = seed;
  return o;
}

std::vector<std::int64_t> LinksOf(const std::string& page, const std::string& origin) {
  const std::string marker = "<a href=\"" + origin + "/ru/registry/show_supplier/";
  std::vector<std::int64_t> ids;
  for (std::size_t at = page.find(marker); at != std::string::npos; at = page.find(marker, at + 1)) {
    const std::size_t from = at + marker.size();
    ids.push_back(std::stoll(page.substr(from, page.find('"', from) - from)));
  }
  return ids;
}

// The page count as the harvester reads it: the text between the last "page=" before the
// last anchor and that anchor.
int CountOf(const std::string& page) {
  const std::string anchor = "\" aria-label=\"Назад\">";
  const std::size_t a = page.rfind(anchor);
  if (a == std::string::npos) return 0;
  const std::size_t p = page.rfind("page=", a);
  if (p == std::string::npos) return 0;
  return std::stoi(page.substr(p + 5, a - p - 5));
}

TEST(DemoRegister, ExpectedValuesAreWhatTheMarkupGives) {
  const TRegister reg(Small());
  std::map<std::string, int> variety;  // markup features seen, so the fixture keeps covering them
  for (const demo::TCardInfo& card : reg.AllCards()) {
    const demo::TCardPage page = reg.CardPage(card);
    const std::vector<std::string> read = ReadCard(page.Html);
    ASSERT_EQ(read.size(), page.Expected.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(read[i], page.Expected[i]) << "card " << card.Id << " value " << i + 3;
      EXPECT_EQ(page.Expected[i].find_first_of("\t\r\n\"<"), std::string::npos);
    }
    ASSERT_GE(page.Html.size(), 7u);
    EXPECT_EQ(page.Html.find("</html>"), page.Html.size() - 8) << "ends with </html> and a line break";
    EXPECT_EQ(page.Html.find("<h1>429</h1>"), std::string::npos);
    if (page.Html.find("<td class=") != std::string::npos) ++variety["cell with attributes"];
    if (page.Html.find("Вебсайт:</th>") == std::string::npos) ++variety["missing label"];
    if (page.Html.find("Руководитель</h4>") == std::string::npos) ++variety["no head block"];
    if (page.Html.find("Контактная информация</h4>") == std::string::npos) ++variety["no contact table"];
    if (page.Html.find("Фактический адрес") != std::string::npos) ++variety["several addresses"];
    if (page.Html.find("История изменений") != std::string::npos) ++variety["label twice"];
    if (page.Expected[15].find(';') != std::string::npos) ++variety["semicolon"];
    if (page.Html.find("&amp;") != std::string::npos) ++variety["kept entity"];
    if (page.Html.find(",\r\n") != std::string::npos) ++variety["value over two lines"];
  }
  for (const char* feature : {"cell with attributes", "missing label", "no head block", "no contact table",
                              "several addresses", "label twice", "semicolon", "kept entity",
                              "value over two lines"}) {
    EXPECT_GT(variety[feature], 0) << feature;
  }
}

TEST(DemoRegister, ListsAgreeWithTheCards) {
  const TRegister reg(Small());
  const std::string origin = reg.Options().Origin;
  std::map<std::int64_t, int> yearLinks;
  std::map<std::int64_t, int> inactiveType;
  for (int year = 2016; year <= 2018; ++year) {
    for (int type : {0, 8, 9, 10}) {
      const int pages = reg.PageCount(type, year);
      const std::string first = reg.ListPage(type, year, 1);
      EXPECT_EQ(CountOf(first), pages > 1 ? pages : 0) << "type " << type << " year " << year;
      for (int page = 1; page <= pages; ++page) {
        const std::string html = reg.ListPage(type, year, page);
        const std::vector<std::int64_t> ids = LinksOf(html, origin);
        EXPECT_EQ(ids, reg.ListIds(type, year, page));
        EXPECT_NE(html.find("</html>"), std::string::npos);
        for (std::int64_t id : ids) {
          if (type == 0) ++yearLinks[id];
          else EXPECT_TRUE(inactiveType.emplace(id, type).second) << "card " << id << " in two inactive lists";
        }
      }
      EXPECT_TRUE(LinksOf(reg.ListPage(type, year, pages + 1), origin).empty());
    }
  }
  const std::vector<demo::TCardInfo> cards = reg.AllCards();
  EXPECT_EQ(cards.size(), 3u * 3u * 40u);
  EXPECT_EQ(inactiveType.size(), 3u * 3u * 5u);
  int gone = 0;
  for (const demo::TCardInfo& card : cards) {
    EXPECT_EQ(yearLinks[card.Id], card.Links) << card.Id;
    const auto it = inactiveType.find(card.Id);
    EXPECT_EQ(card.Type, it == inactiveType.end() ? 0 : it->second) << card.Id;
    const auto again = reg.Card(card.Id);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->Type, card.Type);
    gone += card.Gone;
  }
  EXPECT_GT(gone, 0);
  EXPECT_LT(gone, static_cast<int>(cards.size()) / 4);
  // Exactly the listed identifiers are cards.
  for (std::int64_t id = cards.front().Id - 10; id <= cards.back().Id + 10; ++id) {
    EXPECT_EQ(reg.Card(id).has_value(), yearLinks.count(id) == 1) << id;
  }
  // Outside the register: pages without cards, no card.
  EXPECT_TRUE(LinksOf(reg.ListPage(0, 2015, 1), origin).empty());
  EXPECT_TRUE(LinksOf(reg.ListPage(7, 2016, 1), origin).empty());
  EXPECT_FALSE(reg.Card(1).has_value());
  EXPECT_FALSE(reg.Card(cards.back().Id + 100).has_value());
}

TEST(DemoRegister, SameSeedSamePages) {
  const TRegister a(Small(11)), b(Small(11)), c(Small(12));
  EXPECT_EQ(a.ListPage(0, 2017, 2), b.ListPage(0, 2017, 2));
  const auto card = a.AllCards()[17];
  EXPECT_EQ(a.CardPage(card).Html, b.CardPage(card).Html);
  std::ostringstream da, db, dc;
  a.DumpExpected(da);
  b.DumpExpected(db);
  c.DumpExpected(dc);
  EXPECT_EQ(da.str(), db.str());
  EXPECT_NE(da.str(), dc.str());
}

TEST(DemoRegister, DumpHasOneLinePerCard) {
  const TRegister reg(Small());
  std::ostringstream out;
  reg.DumpExpected(out);
  std::istringstream in(out.str());
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line.rfind("# id\tactivity", 0), 0u);
  std::set<std::string> ids;
  while (std::getline(in, line)) {
    const auto fields = std::count(line.begin(), line.end(), '\t') + 1;
    EXPECT_EQ(fields, 9 + demo::kCardValueCount) << line;
    EXPECT_TRUE(ids.insert(line.substr(0, line.find('\t'))).second);
  }
  EXPECT_EQ(ids.size(), reg.AllCards().size());
}

// A later revision: its pages read as its dump says, its lists agree with its cards, and
// against revision 0 every year has cards added and removed, values changed, suppliers moved
// both ways between the lists, and one new card is linked twice. Untouched cards keep their
// pages byte for byte.
TEST(DemoRegister, LaterRevisionChangesTheRegister) {
  TRegisterOptions later = Small();
  later.Revision = 1;
  const TRegister before(Small()), after(later);
  const std::string origin = after.Options().Origin;

  std::map<std::int64_t, demo::TCardInfo> old;
  for (const demo::TCardInfo& card : before.AllCards()) old.emplace(card.Id, card);
  std::map<std::int64_t, int> links;
  std::map<std::int64_t, int> listedType;
  for (int year = 2016; year <= 2018; ++year) {
    for (int type : {0, 8, 9, 10}) {
      const int pages = after.PageCount(type, year);
      EXPECT_EQ(CountOf(after.ListPage(type, year, 1)), pages > 1 ? pages : 0);
      for (int page = 1; page <= pages; ++page) {
        const std::vector<std::int64_t> ids = LinksOf(after.ListPage(type, year, page), origin);
        EXPECT_EQ(ids, after.ListIds(type, year, page));
        for (std::int64_t id : ids) {
          if (type == 0) ++links[id];
          else EXPECT_TRUE(listedType.emplace(id, type).second) << id;
        }
      }
    }
  }

  std::map<int, int> added, kept, changed, toInactive, toActive;
  int twice = 0;
  for (const demo::TCardInfo& card : after.AllCards()) {
    EXPECT_EQ(links[card.Id], card.Links) << card.Id;
    const auto type = listedType.find(card.Id);
    EXPECT_EQ(card.Type, type == listedType.end() ? 0 : type->second) << card.Id;
    ASSERT_TRUE(after.Card(card.Id).has_value());
    const demo::TCardPage page = after.CardPage(card);
    EXPECT_EQ(ReadCard(page.Html), std::vector<std::string>(page.Expected.begin(), page.Expected.end())) << card.Id;
    const auto was = old.find(card.Id);
    if (was == old.end()) {
      ++added[card.Year];
      twice += card.Links == 2;
      continue;
    }
    ++kept[card.Year];
    const demo::TCardPage first = before.CardPage(was->second);
    if (card.Revised == 0) EXPECT_EQ(page.Html, first.Html) << card.Id;
    else changed[card.Year] += page.Expected != first.Expected;
    if (was->second.Type == 0 && card.Type != 0) ++toInactive[card.Year];
    if (was->second.Type != 0 && card.Type == 0) ++toActive[card.Year];
  }
  EXPECT_EQ(twice, 1);
  for (int year = 2016; year <= 2018; ++year) {
    SCOPED_TRACE(year);
    EXPECT_GT(added[year], 0);
    EXPECT_LT(kept[year], 120);  // some of the year's 120 cards were removed
    EXPECT_GT(changed[year], 0);
    EXPECT_GT(toInactive[year], 0);
    EXPECT_GT(toActive[year], 0);
  }
  for (const auto& [id, card] : old) {
    if (!after.Card(id)) {
      EXPECT_EQ(links.count(id), 0u) << "a removed card is not listed";
    }
  }
  // The same revision twice is the same register.
  std::ostringstream a, b;
  after.DumpExpected(a);
  TRegister(later).DumpExpected(b);
  EXPECT_EQ(a.str(), b.str());
}

// --- the fault plan

TEST(DemoFaults, TransientFaultsClearAfterTheirAttempts) {
  struct TCase {
    double tooMany, cut, drop, stall;
    int attempts;
    demo::EFault expected;  // for every faulty attempt
  } cases[] = {
      {1, 0, 0, 0, 3, demo::EFault::TooMany},
      {0, 1, 0, 0, 2, demo::EFault::Cut},
      {0, 0, 1, 0, 1, demo::EFault::Drop},
      {0, 0, 0, 1, 2, demo::EFault::Stall},
      {0, 0, 0, 0, 3, demo::EFault::None},
  };
  for (const TCase& c : cases) {
    demo::TFaultPlan plan;
    plan.TooMany = c.tooMany;
    plan.Cut = c.cut;
    plan.Drop = c.drop;
    plan.Stall = c.stall;
    plan.FaultyAttempts = c.attempts;
    for (int attempt = 1; attempt <= c.attempts + 3; ++attempt) {
      const demo::EFault want = attempt <= c.attempts ? c.expected : demo::EFault::None;
      EXPECT_EQ(demo::DrawFault(plan, "/x?y=1", attempt), want) << "attempt " << attempt;
    }
  }
}

TEST(DemoFaults, RatesAreSharesOfAttempts) {
  demo::TFaultPlan plan;
  plan.TooMany = 0.2;
  plan.Cut = 0.1;
  plan.Drop = 0.05;
  plan.Stall = 0.05;
  plan.FaultyAttempts = 1;
  std::map<demo::EFault, int> seen;
  const int n = 20000;
  for (int i = 0; i < n; ++i) ++seen[demo::DrawFault(plan, "/ru/registry/show_supplier/" + std::to_string(i), 1)];
  EXPECT_NEAR(seen[demo::EFault::TooMany] / double(n), 0.2, 0.02);
  EXPECT_NEAR(seen[demo::EFault::Cut] / double(n), 0.1, 0.02);
  EXPECT_NEAR(seen[demo::EFault::Drop] / double(n), 0.05, 0.02);
  EXPECT_NEAR(seen[demo::EFault::Stall] / double(n), 0.05, 0.02);
}

TEST(DemoPortal, AnswersFollowTheFaultPlan) {
  TRegisterOptions o = Small();
  o.Gone = 0.3;
  const TRegister reg(o);
  demo::TFaultPlan plan;
  plan.Cut = 1;
  plan.FaultyAttempts = 2;
  demo::TPortal portal(reg, plan, {});

  const std::string path = "/ru/registry/supplierreg";
  const std::multimap<std::string, std::string> params{{"filter[year][0]", "2017"}, {"page", "2"}};
  const std::string target = path + "?filter%5Byear%5D%5B0%5D=2017&count_record=2000&page=2";
  const std::string whole = reg.ListPage(0, 2017, 2);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const demo::TAnswer a = portal.Answer(path, params, target);
    EXPECT_EQ(a.Status, 200);
    EXPECT_EQ(a.Attempt, attempt);
    if (attempt <= 2) {
      EXPECT_EQ(a.Body.find("</html>"), std::string::npos);
      EXPECT_EQ(whole.compare(0, a.Body.size(), a.Body), 0) << "a cut page is a prefix of the page";
    } else {
      EXPECT_EQ(a.Body, whole);
    }
  }

  const auto cards = reg.AllCards();
  const auto gone = std::find_if(cards.begin(), cards.end(), [](const demo::TCardInfo& c) { return c.Gone; });
  ASSERT_NE(gone, cards.end());
  const std::string cardPath = "/ru/registry/show_supplier/" + std::to_string(gone->Id);
  for (int attempt = 1; attempt <= 5; ++attempt) {
    EXPECT_EQ(portal.Answer(cardPath, {}, cardPath).Status, 404) << "a gone card stays gone";
  }
  const std::string bad[] = {"/ru/registry/show_supplier/", "/ru/registry/show_supplier/12x", "/", "/ru"};
  for (const std::string& p : bad) EXPECT_EQ(portal.Answer(p, {}, p).Status, 404) << p;
  // A type or page that is no number gives a page without cards, not a failure.
  const demo::TAnswer odd = portal.Answer(path, {{"filter[year][0]", "20x"}, {"page", "-1"}}, "/odd");
  EXPECT_EQ(odd.Status, 200);
  EXPECT_TRUE(LinksOf(odd.Body, o.Origin).empty());
}

TEST(DemoPortal, GzipRoundTrip) {
  const std::string page = TRegister(Small()).ListPage(0, 2016, 1);
  const std::string packed = demo::GzipCompress(page);
  ASSERT_GE(packed.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);
  EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
  z_stream zs{};
  ASSERT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
  std::string out(page.size() + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  zs.avail_in = static_cast<uInt>(packed.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  inflateEnd(&zs);
  EXPECT_EQ(out, page);
}

}  // namespace
