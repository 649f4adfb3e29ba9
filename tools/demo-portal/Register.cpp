#include "Register.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <utility>

namespace demo {

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

namespace {

constexpr std::int64_t kFirstId = 100000;
constexpr std::int64_t kIdStep = 7;

// A small deterministic generator for the values of one card.
class TRng {
 public:
  explicit TRng(std::uint64_t seed) : FState(seed) {}
  std::uint64_t Next() { return Mix(FState++ * 0x2545F4914F6CDD1Dull); }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
  std::string Digits(int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += static_cast<char>('0' + Below(10));
    return s;
  }

 private:
  std::uint64_t FState;
};

template <typename T, std::size_t N>
const T& Pick(TRng& rng, const T (&items)[N]) {
  return items[rng.Below(static_cast<int>(N))];
}

// Company names as they stand in the markup; the ampersand entity is one the readers keep.
const char* const kNames[] = {
    "Алтын Дала",       "Каспий Строй",   "Береке",          "Нур Сервис",
    "Жулдыз",           "Астана Трейд",   "Сарыарка Энерго", "Тенгри Логистик",
    "Кокше Агро",       "Строй &amp; Сервис", "Медтехника-Алматы", "Ақ Жол",
    "Шығыс Құрылыс",    "Әлем Байланыс",  "Өркен",           "Qazaq Grain",
    "Евразия Пром",     "Самрук Снаб",    "Іле Су",          "Бірлік",
};

struct TRegion {
  const char* Name;
  const char* Kato;
  const char* CityRu;
  const char* CityKz;
};
const TRegion kRegions[] = {
    {"г. Алматы", "751210000", "г. Алматы", "Алматы қ."},
    {"г. Астана", "711210000", "г. Астана", "Астана қ."},
    {"Карагандинская область", "351010000", "г. Караганда", "Қарағанды қ."},
    {"Атырауская область", "231010000", "г. Атырау", "Атырау қ."},
    {"Восточно-Казахстанская область", "631010000", "г. Усть-Каменогорск", "Өскемен қ."},
    {"г. Шымкент", "791510000", "г. Шымкент", "Шымкент қ."},
    {"Павлодарская область", "551010000", "г. Павлодар", "Павлодар қ."},
    {"Актюбинская область", "151010000", "г. Актобе", "Ақтөбе қ."},
};

struct TStreet {
  const char* Ru;
  const char* Kz;
};
const TStreet kStreets[] = {
    {"ул. Абая", "Абай к-сі"},
    {"пр. Республики", "Республика даңғ."},
    {"ул. Толе би", "Төле би к-сі"},
    {"ул. Сатпаева", "Сәтпаев к-сі"},
    {"ул. Кунаева", "Қонаев к-сі"},
    {"пр. Независимости", "Тәуелсіздік даңғ."},
};

struct TPerson {
  const char* Full;
  const char* Short;
};
const TPerson kPersons[] = {
    {"Ахметов Нурлан Серикович", "Ахметов Н.С."},
    {"Садыкова Айгерим Маратовна", "Садыкова А.М."},
    {"Иванов Сергей Петрович", "Иванов С.П."},
    {"Жумабаев Ерлан Қайратұлы", "Жумабаев Е.Қ."},
    {"Ким Ольга Владимировна", "Ким О.В."},
    {"Оспанов Данияр Әлібекұлы", "Оспанов Д.Ә."},
    {"Петренко Андрей Николаевич", "Петренко А.Н."},
    {"Нұрланқызы Гүлнар", "Нұрланқызы Г."},
};

struct TForm {
  const char* Short;   // in headings and lists
  const char* Ru;      // full Russian form
  const char* Kz;      // Kazakh form, after the name
  const char* Kopf;
  const char* Sector;
  bool Person;         // an individual entrepreneur: IIN instead of BIN
};
const TForm kForms[] = {
    {"ТОО", "Товарищество с ограниченной ответственностью", "жауапкершілігі шектеулі серіктестігі",
     "40 &ndash; Товарищество с ограниченной ответственностью", "11 &mdash; Нефинансовые корпорации",
     false},
    {"АО", "Акционерное общество", "акционерлік қоғамы", "20 &ndash; Акционерное общество",
     "11 &mdash; Нефинансовые корпорации", false},
    {"ИП", "Индивидуальный предприниматель", "жеке кәсіпкер",
     "95 &ndash; Индивидуальный предприниматель", "14 &mdash; Домашние хозяйства", true},
};

// Who a card's supplier is: shared by its list row and its card page.
struct TIdentity {
  const TForm* Form;
  const char* Name;
  const TRegion* Region;
  std::string Bin;  // BIN, or IIN of an individual entrepreneur
};

TIdentity IdentityOf(std::uint64_t seed, std::int64_t id) {
  TRng rng(Mix(seed * 1000003u + static_cast<std::uint64_t>(id)));
  TIdentity who;
  const int form = rng.Below(10);
  who.Form = &kForms[form < 6 ? 0 : form < 8 ? 1 : 2];
  who.Name = Pick(rng, kNames);
  who.Region = &Pick(rng, kRegions);
  who.Bin = rng.Digits(12);
  return who;
}

std::string Two(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string DateTime(TRng& rng, int year) {
  return std::to_string(year) + "-" + Two(1 + rng.Below(12)) + "-" + Two(1 + rng.Below(28)) +
         " " + Two(8 + rng.Below(10)) + ":" + Two(rng.Below(60)) + ":" + Two(rng.Below(60));
}

std::string Date(TRng& rng, int year) {
  return Two(1 + rng.Below(28)) + "." + Two(1 + rng.Below(12)) + "." + std::to_string(year);
}

// A labelled row of a card table: the markup of its value cell and what a reader gets from it.
struct TRow {
  const char* Label;
  std::string Markup;
  int Field;              // index into TCardPage::Expected, -1 for rows nobody reads
  const char* CellAttributes = nullptr;
};

void AppendTable(std::string& html, const std::vector<TRow>& rows) {
  html += "<table class=\"table table-striped\">\n";
  for (const TRow& row : rows) {
    html += "<tr>\n    <th>";
    html += row.Label;
    html += "</th>\n    ";
    if (row.CellAttributes) {
      html += "<td ";
      html += row.CellAttributes;
      html += ">";
    } else {
      html += "<td>";
    }
    html += row.Markup;
    html += "</td>\n</tr>\n";
  }
  html += "</table>\n";
}

const char kPageHead[] =
    "<!DOCTYPE html>\n"
    "<html lang=\"ru\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<title>TITLE</title>\n"
    "<link href=\"/css/site.css\" rel=\"stylesheet\">\n"
    "</head>\n"
    "<body>\n"
    "<nav class=\"navbar navbar-default\"><div class=\"container\">"
    "<a class=\"navbar-brand\" href=\"/ru\">Портал государственных закупок</a>\n"
    "<ul class=\"nav navbar-nav\"><li><a href=\"/ru/registry/supplierreg\">Реестр участников</a></li>"
    "<li><a href=\"/ru/registry/customerreg\">Реестр заказчиков</a></li>"
    "<li><a href=\"/ru/registry/unscrupulous\">Реестр недобросовестных участников</a></li></ul>"
    "</div></nav>\n";

const char kPageFoot[] =
    "<footer class=\"footer\"><div class=\"container\"><p>&copy; Портал государственных закупок. "
    "Все права защищены.</p></div></footer>\n"
    "</body>\n"
    "</html>\n";

std::string PageHead(const char* title) {
  std::string head = kPageHead;
  head.replace(head.find("TITLE"), 5, title);
  return head;
}

// The plain text a reader of the portal gets from a value's markup: the entities this portal
// writes, line breaks dropped, "<br>" as a blank, tags removed, blanks trimmed, and double
// quotes turned into apostrophes so the value can stand in a quoted CSV cell.
std::string PlainText(std::string s) {
  const std::pair<const char*, const char*> kEntities[] = {
      {"&nbsp;", " "}, {"&quot;", "'"}, {"&laquo;", "'"}, {"&raquo;", "'"},
      {"&ndash;", "-"}, {"&mdash;", "-"}, {"<br>", " "}, {"\r", ""}, {"\n", ""},
  };
  for (const auto& [from, to] : kEntities) {
    const std::string f = from;
    for (std::size_t at = s.find(f); at != std::string::npos; at = s.find(f, at)) {
      s.replace(at, f.size(), to);
      at += std::char_traits<char>::length(to);
    }
  }
  std::string out;
  bool inTag = false;
  for (char c : s) {
    if (c == '<') inTag = true;
    else if (c == '>' && inTag) inTag = false;
    else if (!inTag) out += c == '"' ? '\'' : c;
  }
  const auto first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

}  // namespace

TRegister::TRegister(TRegisterOptions options) : FOptions(std::move(options)) {
  FOptions.PagesPerYear = std::max(1, FOptions.PagesPerYear);
  FOptions.CardsPerPage = std::max(1, FOptions.CardsPerPage);
  FOptions.InactivePerType = std::max(0, FOptions.InactivePerType);
  FOptions.DuplicateLinks = std::max(0, FOptions.DuplicateLinks);
  if (FOptions.LastYear < FOptions.FirstYear) FOptions.LastYear = FOptions.FirstYear - 1;
  FOptions.Revision = std::max(0, FOptions.Revision);
  if (FOptions.Revision > 0) ApplyRevisions();
}

int TRegister::YearIndex(int year) const {
  if (year < FOptions.FirstYear || year > FOptions.LastYear) return -1;
  return year - FOptions.FirstYear;
}

int TRegister::InactiveCount() const {
  return std::min(FOptions.InactivePerType, CardsPerYear() / 3);
}

int TRegister::InactiveStride() const {
  const int n = InactiveCount();
  return n > 0 ? CardsPerYear() / (3 * n) : 1;
}

int TRegister::DuplicateCount() const {
  return std::min(FOptions.DuplicateLinks, FOptions.CardsPerPage);
}

std::int64_t TRegister::IdOf(std::int64_t index) const {
  return kFirstId + index * kIdStep +
         static_cast<std::int64_t>(Mix(FOptions.Seed ^ (static_cast<std::uint64_t>(index) << 8)) %
                                   kIdStep);
}

TCardInfo TRegister::InfoOf(std::int64_t index) const {
  TCardInfo card;
  card.Id = IdOf(index);
  const std::int64_t perYear = CardsPerYear();
  const int yearIndex = static_cast<int>(index / perYear);
  const int local = static_cast<int>(index % perYear);
  card.Year = FOptions.FirstYear + yearIndex;
  card.Page = local / FOptions.CardsPerPage + 1;
  card.Position = local % FOptions.CardsPerPage;
  card.Links = (card.Page == 1 && card.Position < DuplicateCount()) ? 2 : 1;

  const int n = InactiveCount();
  if (n > 0) {
    const int stride = InactiveStride();
    const int offset = static_cast<int>(Mix(FOptions.Seed ^ 0x1A7u) % static_cast<std::uint64_t>(stride));
    if (local >= offset && (local - offset) % stride == 0) {
      const int slot = (local - offset) / stride;
      if (slot < 3 * n) card.Type = 8 + slot / n;
    }
  }

  card.Gone = GoneRoll(card.Id);
  return card;
}

bool TRegister::GoneRoll(std::int64_t id) const {
  const std::uint64_t roll = Mix(FOptions.Seed ^ 0x404000000ull ^ static_cast<std::uint64_t>(id)) % 1000000u;
  return static_cast<double>(roll) < FOptions.Gone * 1000000.0;
}

std::int64_t TRegister::AddedId(int revision, int yearIndex, int j) const {
  // Far above the first state's identifiers, so a new card never takes one of theirs.
  return 9'000'000'000'000ll + static_cast<std::int64_t>(revision) * 1'000'000'000ll +
         static_cast<std::int64_t>(yearIndex) * 100'000ll + j;
}

void TRegister::ApplyRevisions() {
  const int years = FOptions.LastYear - FOptions.FirstYear + 1;
  if (years <= 0) return;
  const int perYear = CardsPerYear();
  FYears.resize(static_cast<std::size_t>(years));
  for (int y = 0; y < years; ++y) {
    auto& cards = FYears[static_cast<std::size_t>(y)].Cards;
    for (int local = 0; local < perYear; ++local) cards.push_back(InfoOf(static_cast<std::int64_t>(y) * perYear + local));
  }
  for (int k = 1; k <= FOptions.Revision; ++k) {
    const std::uint64_t revisionKey = FOptions.Seed ^ (static_cast<std::uint64_t>(k) << 40);
    for (int y = 0; y < years; ++y) {
      auto& cards = FYears[static_cast<std::size_t>(y)].Cards;
      const std::size_t n = cards.size();
      // The revision's choices among the year's cards, in an order of their own.
      std::vector<std::size_t> order(n);
      std::iota(order.begin(), order.end(), std::size_t{0});
      const auto key = [&](std::size_t i) {
        return Mix(revisionKey ^ (static_cast<std::uint64_t>(y) << 24) ^ static_cast<std::uint64_t>(cards[i].Id));
      };
      std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
      std::size_t at = 0;
      std::vector<bool> drop(n, false);
      const std::size_t share = n;
      for (std::size_t i = 0; i < std::max<std::size_t>(1, share / 20) && at < n; ++i) drop[order[at++]] = true;
      for (std::size_t i = 0; i < std::max<std::size_t>(1, share / 10) && at < n; ++i) {
        TCardInfo& card = cards[order[at++]];
        card.Revised = k;
        card.Change = 1 + static_cast<int>(key(order[at - 1]) % 3);
      }
      for (std::size_t i = 0; i < std::max<std::size_t>(1, share / 15) && at < n; ++i) {
        TCardInfo& card = cards[order[at++]];
        card.Type = card.Type == 0 ? 8 + static_cast<int>((key(order[at - 1]) >> 8) % 3) : 0;
      }
      // One supplier leaves the inactive lists every revision.
      for (std::size_t q = at; q < n; ++q) {
        if (cards[order[q]].Type != 0) {
          cards[order[q]].Type = 0;
          break;
        }
      }
      std::vector<TCardInfo> kept;
      kept.reserve(n + static_cast<std::size_t>(perYear / 20 + 1));
      for (std::size_t i = 0; i < n; ++i) {
        if (!drop[i]) kept.push_back(cards[i]);
      }
      const int added = std::max(1, perYear / 20);
      for (int j = 0; j < added; ++j) {
        TCardInfo card;
        card.Id = AddedId(k, y, j);
        card.Year = FOptions.FirstYear + y;
        card.Gone = GoneRoll(card.Id);
        // The newest year's first new card is linked twice.
        card.Links = (y == years - 1 && j == 0) ? 2 : 1;
        kept.push_back(card);
      }
      cards = std::move(kept);
    }
  }
  const int perPage = FOptions.CardsPerPage;
  for (TYearState& year : FYears) {
    const int n = static_cast<int>(year.Cards.size());
    year.Pages = std::max(1, (n + perPage - 1) / perPage);
    for (int i = 0; i < n; ++i) {
      TCardInfo& card = year.Cards[static_cast<std::size_t>(i)];
      card.Page = i / perPage + 1;
      card.Position = i % perPage;
      year.Listed.push_back(card.Id);
      if (card.Type >= 8 && card.Type <= 10) year.Inactive[static_cast<std::size_t>(card.Type - 8)].push_back(card.Id);
      FById.emplace(card.Id, card);
    }
    for (const TCardInfo& card : year.Cards) {
      if (card.Links > 1) year.Listed.push_back(card.Id);
    }
  }
}

const TRegister::TYearState* TRegister::YearState(int year) const {
  const int index = YearIndex(year);
  if (index < 0 || static_cast<std::size_t>(index) >= FYears.size()) return nullptr;
  return &FYears[static_cast<std::size_t>(index)];
}

std::optional<TCardInfo> TRegister::Card(std::int64_t id) const {
  if (FOptions.Revision > 0) {
    const auto it = FById.find(id);
    if (it == FById.end()) return std::nullopt;
    return it->second;
  }
  if (id < kFirstId) return std::nullopt;
  const std::int64_t index = (id - kFirstId) / kIdStep;
  const std::int64_t years = FOptions.LastYear - FOptions.FirstYear + 1;
  if (index >= years * CardsPerYear() || IdOf(index) != id) return std::nullopt;
  return InfoOf(index);
}

std::vector<TCardInfo> TRegister::AllCards() const {
  std::vector<TCardInfo> cards;
  if (FOptions.Revision > 0) {
    for (const TYearState& year : FYears) cards.insert(cards.end(), year.Cards.begin(), year.Cards.end());
    return cards;
  }
  const std::int64_t total =
      static_cast<std::int64_t>(FOptions.LastYear - FOptions.FirstYear + 1) * CardsPerYear();
  cards.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, total)));
  for (std::int64_t i = 0; i < total; ++i) cards.push_back(InfoOf(i));
  return cards;
}

std::string TRegister::CardUrl(std::int64_t id) const {
  return FOptions.Origin + "/ru/registry/show_supplier/" + std::to_string(id);
}

int TRegister::PageCount(int type, int year) const {
  if (YearIndex(year) < 0) return 1;
  if (const TYearState* state = YearState(year)) {
    if (type == 0) return state->Pages;
    if (type < 8 || type > 10) return 1;
    const auto n = static_cast<int>(state->Inactive[static_cast<std::size_t>(type - 8)].size());
    return std::max(1, (n + FOptions.CardsPerPage - 1) / FOptions.CardsPerPage);
  }
  if (type == 0) return FOptions.PagesPerYear;
  const int n = InactiveCount();
  return std::max(1, (n + FOptions.CardsPerPage - 1) / FOptions.CardsPerPage);
}

std::vector<std::int64_t> TRegister::ListIds(int type, int year, int page) const {
  std::vector<std::int64_t> ids;
  const int yearIndex = YearIndex(year);
  if (yearIndex < 0 || page < 1 || page > PageCount(type, year)) return ids;
  if (type != 0 && (type < 8 || type > 10)) return ids;
  if (const TYearState* state = YearState(year)) {
    const std::size_t perPage = static_cast<std::size_t>(FOptions.CardsPerPage);
    const std::size_t first = static_cast<std::size_t>(page - 1) * perPage;
    if (type == 0) {
      const std::size_t cards = state->Cards.size();
      for (std::size_t i = first; i < std::min(cards, first + perPage); ++i) ids.push_back(state->Listed[i]);
      if (page == state->Pages) ids.insert(ids.end(), state->Listed.begin() + static_cast<std::ptrdiff_t>(cards), state->Listed.end());
      return ids;
    }
    const auto& list = state->Inactive[static_cast<std::size_t>(type - 8)];
    for (std::size_t i = first; i < std::min(list.size(), first + perPage); ++i) ids.push_back(list[i]);
    return ids;
  }
  const std::int64_t base = static_cast<std::int64_t>(yearIndex) * CardsPerYear();
  const int perPage = FOptions.CardsPerPage;
  if (type == 0) {
    for (int i = 0; i < perPage; ++i) ids.push_back(IdOf(base + (page - 1) * perPage + i));
    if (page == FOptions.PagesPerYear) {
      for (int i = 0; i < DuplicateCount(); ++i) ids.push_back(IdOf(base + i));
    }
    return ids;
  }
  const int n = InactiveCount();
  const int stride = InactiveStride();
  const int offset = static_cast<int>(Mix(FOptions.Seed ^ 0x1A7u) % static_cast<std::uint64_t>(stride));
  for (int q = (page - 1) * perPage; q < std::min(n, page * perPage); ++q) {
    const int local = ((type - 8) * n + q) * stride + offset;
    ids.push_back(IdOf(base + local));
  }
  return ids;
}

std::string TRegister::ListPage(int type, int year, int page) const {
  const std::vector<std::int64_t> ids = ListIds(type, year, page);
  const int count = PageCount(type, year);

  std::string base = "/ru/registry/supplierreg?";
  if (type != 0) base += "filter%5Btype%5D%5B%5D=" + std::to_string(type) + "&amp;";
  base += "filter%5Byear%5D%5B0%5D=" + std::to_string(year) + "&amp;count_record=2000&amp;page=";

  // Pagination as the portal draws it: a window of page numbers around the current one, and
  // the link to the last page, which the portal labels "Назад".
  std::string pager;
  if (count > 1 && page >= 1 && page <= count) {
    auto link = [&](int n, const std::string& text, const char* label) {
      pager += "<li><a href=\"" + base + std::to_string(n) + "\"";
      if (label) pager += std::string(" aria-label=\"") + label + "\"";
      pager += ">" + text + "</a></li>";
    };
    pager += "<nav><ul class=\"pagination\">";
    if (page > 1) {
      link(1, "&laquo;&laquo;", "В начало");
      link(page - 1, "&laquo;", "Предыдущая");
    }
    for (int n = std::max(1, page - 4); n <= std::min(count, page + 4); ++n) {
      if (n == page) {
        pager += "<li class=\"active\"><span>" + std::to_string(n) + "</span></li>";
      } else {
        link(n, std::to_string(n), nullptr);
      }
    }
    if (page < count) {
      link(page + 1, "&raquo;", "Следующая");
      link(count, "&raquo;&raquo;", "Назад");
    }
    pager += "</ul></nav>\n";
  }

  std::string html = PageHead("Реестр участников");
  html.reserve(html.size() + ids.size() * 420 + 2 * pager.size() + 1024);
  html += "<div class=\"container\">\n<h3>Реестр участников</h3>\n";
  if (type != 0) html += "<p>Тип: " + std::to_string(type) + "</p>\n";
  html += "<p>Год регистрации: " + std::to_string(year) + "</p>\n";
  html += pager;
  html +=
      "<table class=\"table table-bordered table-hover\">\n<thead><tr><th>№</th>"
      "<th>Наименование участника</th><th>БИН / ИИН</th><th>Регион</th></tr></thead>\n<tbody>\n";
  int number = (page - 1) * FOptions.CardsPerPage;
  for (std::int64_t id : ids) {
    const TIdentity who = IdentityOf(FOptions.Seed, id);
    html += "<tr><td>" + std::to_string(++number) + "</td><td><a href=\"" + CardUrl(id) +
            "\" target=\"_blank\">" + who.Form->Short + " &laquo;" + who.Name +
            "&raquo;</a></td><td>" + who.Bin + "</td><td>" + who.Region->Name + "</td></tr>\n";
  }
  html += "</tbody>\n</table>\n";
  html += pager;
  html += "</div>\n";
  html += kPageFoot;
  return html;
}

TCardPage TRegister::CardPage(const TCardInfo& card) const {
  const TIdentity who = IdentityOf(FOptions.Seed, card.Id);
  TRng rng(Mix(FOptions.Seed * 7919u + static_cast<std::uint64_t>(card.Id)));
  TCardPage page;
  auto& x = page.Expected;
  const std::string name = who.Name;
  const bool person = who.Form->Person;

  // Heading.
  const std::string heading = std::string(who.Form->Short) + " &laquo;" + name + "&raquo;";
  x[0] = std::string(who.Form->Short) + " '" + name + "'";

  std::vector<TRow> general;
  const std::string registered = DateTime(rng, card.Year);
  general.push_back({"Дата регистрации", registered, 1});
  const std::string updated =
      DateTime(rng, card.Year + rng.Below(std::max(1, FOptions.LastYear - card.Year + 1)));
  general.push_back({"Дата последнего обновления", updated, 2});
  switch (rng.Below(3)) {
    case 0: general.push_back({"Роли участника", "Поставщик", 3}); break;
    case 1: general.push_back({"Роли участника", "Поставщик; Заказчик", 3}); break;
    default: general.push_back({"Роли участника", "Поставщик,<br>Заказчик", 3}); break;
  }
  general.push_back({"Состоит в реестре государственных заказчиков", rng.Below(4) == 0 ? "Да" : "Нет", 4});
  if (person) {
    general.push_back({"ИИН участника", who.Bin, 5});
    general.push_back({"БИН участника", "", 6});
  } else {
    general.push_back({"ИИН участника", "&nbsp;", 5});
    general.push_back({"БИН участника", who.Bin, 6});
  }
  general.push_back({"РНН участника", rng.Below(3) == 0 ? rng.Digits(12) : std::string("&nbsp;"), 7});
  general.push_back({"Наименование на каз. языке", "&laquo;" + name + "&raquo; " + who.Form->Kz, 8});
  general.push_back({"Наименование на рус. языке",
                     std::string(who.Form->Ru) + " &quot;" + name + "&quot;", 9});
  // Some cards colour the residency cell; a reader looking for a bare cell then takes the next.
  const bool colouredResidency = rng.Below(10) == 0;
  general.push_back({"Резиденство", "Резидент", 10, colouredResidency ? "class=\"text-success\"" : nullptr});
  general.push_back({"КАТО", who.Region->Kato, 11});
  general.push_back({"Регион", who.Region->Name, 12});

  std::vector<TRow> contacts;
  const std::string domain = "supplier" + std::to_string(card.Id) + ".kz";
  if (rng.Below(8) != 0) {
    if (rng.Below(3) == 0) {
      contacts.push_back({"Вебсайт:", "&nbsp;", 13});
    } else {
      contacts.push_back({"Вебсайт:", "<a href=\"http://www." + domain + "\" target=\"_blank\">www." +
                                          domain + "</a>", 13});
    }
  }
  contacts.push_back({"E-Mail:", "<a href=\"mailto:info@" + domain + "\">info@" + domain + "</a>", 14});
  const std::string phone1 = "+7 (7" + rng.Digits(2) + ") " + rng.Digits(3) + "-" + rng.Digits(2) + "-" + rng.Digits(2);
  if (rng.Below(2) == 0) {
    contacts.push_back({"Контактный телефон:", phone1, 15});
  } else {
    contacts.push_back({"Контактный телефон:",
                        phone1 + "; +7 (70" + rng.Digits(1) + ") " + rng.Digits(3) + "-" + rng.Digits(2) + "-" + rng.Digits(2),
                        15});
  }

  std::vector<TRow> registration;
  if (person) {
    registration.push_back({"Серия свидетельства (для ИП) и номер свидетельства о государственной регистрации",
                            "серия " + rng.Digits(5) + " № " + rng.Digits(7), 16});
  } else {
    registration.push_back({"Серия свидетельства (для ИП) и номер свидетельства о государственной регистрации",
                            rng.Digits(5) + "-1910-" + who.Form->Short, 16});
  }
  if (rng.Below(7) != 0) {
    registration.push_back({"Дата свидетельства о государственной регистрации", Date(rng, card.Year), 17});
  }
  const TPerson& boss = Pick(rng, kPersons);
  const TPerson& accountant = Pick(rng, kPersons);
  switch (rng.Below(3)) {
    case 0:  // one name, on a line of its own
      registration.push_back({"Наименование администратора(ов) отчетности",
                              std::string("\r\n                ") + accountant.Full + "\r\n            ", 18});
      break;
    case 1:  // two names over two lines: line breaks are dropped, not replaced
      registration.push_back({"Наименование администратора(ов) отчетности",
                              std::string(accountant.Short) + ",\r\n" + boss.Short, 18});
      break;
    default:
      registration.push_back({"Наименование администратора(ов) отчетности",
                              std::string(accountant.Short) + ",<br>" + boss.Short, 18});
      break;
  }
  registration.push_back({"КОПФ", who.Form->Kopf, 19});
  registration.push_back({"Код формы собственности", "2 &ndash; Частная собственность", 20});
  const char* const sizes[] = {"Малое предприятие", "Среднее предприятие", "Крупное предприятие"};
  registration.push_back({"Размерность предприятия", Pick(rng, sizes), 21});
  registration.push_back({"Код сектора экономики", who.Form->Sector, 22});

  std::vector<TRow> head;
  const bool hasHead = rng.Below(11) != 0;
  const std::string headIin = rng.Digits(12);
  head.push_back({"ИИН", headIin, 23});
  head.push_back({"РНН", rng.Below(2) == 0 ? rng.Digits(12) : std::string("&nbsp;"), 24});
  head.push_back({"ФИО", boss.Full, 25});

  // Expected values of the labelled rows, in the order the rows stand on the page.
  auto expectRows = [&](const std::vector<TRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const TRow& row = rows[i];
      if (row.Field < 0) continue;
      std::string markup = row.Markup;
      if (row.CellAttributes && i + 1 < rows.size()) markup = rows[i + 1].Markup;
      x[static_cast<std::size_t>(row.Field)] = markup;
    }
  };
  expectRows(general);
  expectRows(contacts);
  expectRows(registration);
  if (hasHead) expectRows(head);

  // Addresses.
  const bool hasContacts = rng.Below(13) != 0;
  const int addressCount = 1 + rng.Below(3);
  const char* const addressTypes[] = {"Юридический адрес", "Фактический адрес", "Почтовый адрес"};
  std::vector<std::array<std::string, 5>> addresses;
  for (int i = 0; i < addressCount; ++i) {
    const TStreet& street = Pick(rng, kStreets);
    const std::string house = std::to_string(1 + rng.Below(200));
    const std::string flat = std::to_string(1 + rng.Below(120));
    addresses.push_back({"КАЗАХСТАН", who.Region->Kato,
                         std::string(who.Region->CityRu) + ", " + street.Ru + ", д. " + house + ", кв. " + flat,
                         std::string(who.Region->CityKz) + ", " + street.Kz + ", " + house + " үй, " + flat + " пәтер",
                         addressTypes[i]});
  }
  if (card.Revised > 0) {
    // A later revision changed one value: a director only a card with a head block shows, an
    // address only one with a contact table; any other card gets a new phone.
    TRng change(Mix(FOptions.Seed * 104729u + static_cast<std::uint64_t>(card.Id) * 31u +
                    static_cast<std::uint64_t>(card.Revised)));
    int what = card.Change;
    if ((what == 2 && !hasHead) || (what == 3 && !hasContacts)) what = 1;
    if (what == 1) {
      for (TRow& row : contacts) {
        if (row.Field != 15) continue;
        row.Markup = "+7 (7" + change.Digits(2) + ") " + change.Digits(3) + "-" + change.Digits(2) + "-" +
                     change.Digits(2) + " (" + std::to_string(card.Revised) + ")";
        x[15] = row.Markup;
      }
    } else if (what == 2) {
      const std::size_t was = static_cast<std::size_t>(&boss - kPersons);
      const TPerson& next = kPersons[(was + 1 + static_cast<std::size_t>(change.Below(7))) % std::size(kPersons)];
      head.back().Markup = next.Full;
      x[25] = next.Full;
    } else {
      auto& first = addresses[0];
      const std::string house = std::to_string(201 + change.Below(100) + 100 * card.Revised);
      first[2] = std::string(who.Region->CityRu) + ", " + kStreets[0].Ru + ", д. " + house;
      first[3] = std::string(who.Region->CityKz) + ", " + kStreets[0].Kz + ", " + house + " үй";
    }
  }
  if (hasContacts) {
    for (int i = 0; i < 5; ++i) x[static_cast<std::size_t>(26 + i)] = addresses[0][static_cast<std::size_t>(i)];
  }

  // The markup.
  std::string& html = page.Html;
  html = PageHead("Карточка участника");
  html.reserve(12000);
  html += "<div class=\"container\">\n<div class=\"panel panel-default\">\n";
  html += "<div class=\"panel-heading\"><h1>" + heading + "</h1></div>\n";
  html += "<div class=\"panel-body\">\n";
  html += "<div class=\"section\">\n<div class=\"panel-heading\"><h4>Общие сведения</h4></div>\n";
  AppendTable(html, general);
  html += "</div>\n";
  html += "<div class=\"section\">\n<div class=\"panel-heading\"><h4>Контакты</h4></div>\n";
  AppendTable(html, contacts);
  html += "</div>\n";
  html += "<div class=\"section\">\n<div class=\"panel-heading\"><h4>Регистрационные данные</h4></div>\n";
  AppendTable(html, registration);
  html += "</div>\n";
  if (hasHead) {
    html += "<div class=\"section\">\n<div class=\"panel-heading\"><h4>Руководитель</h4></div>";
    AppendTable(html, head);
    html += "</div>\n";
  }
  if (hasContacts) {
    html += "<div class=\"section\">\n<div class=\"panel-heading\"><h4>Контактная информация</h4></div>";
    html +=
        "<table class=\"table table-bordered\">\n<tr><th>Страна</th><th>КАТО</th><th>Полный адрес(рус)</th>"
        "<th>Полный адрес(каз)</th><th>Тип адреса</th></tr>\n";
    for (const auto& address : addresses) {
      html += "<tr>";
      for (const std::string& cell : address) html += "<td>" + cell + "</td>";
      html += "</tr>\n";
    }
    html += "</table>\n</div>\n";
  }
  // Some cards keep their former names further down; only the first occurrence of a label counts.
  if (rng.Below(9) == 0) {
    html += "<div class=\"section\">\n<div class=\"panel-heading\"><h4>История изменений</h4></div>\n";
    AppendTable(html, {{"Наименование на рус. языке", std::string(who.Form->Ru) + " &quot;Бывший " + name + "&quot;", -1},
                       {"Дата последнего обновления", DateTime(rng, card.Year), -1}});
    html += "</div>\n";
  }
  html += "</div>\n</div>\n</div>\n";
  html += kPageFoot;

  // What a reader makes of the markup: entities and line breaks as the harvester knows them.
  for (std::string& value : x) value = PlainText(value);
  return page;
}

}  // namespace demo

namespace demo {

void TRegister::DumpExpected(std::ostream& out) const {
  out << "# id\tactivity\ttype\tstatus\tlinks\tyear\tpage\tposition\taddress";
  for (int i = 0; i < kCardValueCount; ++i) out << "\tvalue" << (i + 3);
  out << "\n";
  for (const TCardInfo& card : AllCards()) {
    out << card.Id << '\t' << (card.Type ? "inactive" : "active") << '\t' << card.Type << '\t'
        << (card.Gone ? "404" : "ok") << '\t' << card.Links << '\t' << card.Year << '\t' << card.Page << '\t'
        << card.Position << '\t' << CardUrl(card.Id);
    const TCardPage page = CardPage(card);
    for (const std::string& value : page.Expected) out << '\t' << value;
    out << '\n';
  }
}

}  // namespace demo
