#include "engine/ListCrawl.h"

#include <algorithm>

#include "text/uLib.h"

namespace engine {

namespace {

// What every list page's address holds and no card's does.
const QString kListMarker = QStringLiteral("registry/supplierreg?");
const QString kListPath = QStringLiteral("/ru/") + kListMarker;
const QString kYearKey = QStringLiteral("filter%5Byear%5D%5B0%5D");
const QString kTypeKey = QStringLiteral("filter%5Btype%5D%5B%5D");
const QString kCountAnchor = QStringLiteral("\" aria-label=\"Назад\">");
const QString kCountStart = QStringLiteral("page=");
constexpr int kFirstYear = 2016;
// A listing of more pages than this (200 million records) is taken for a broken or hostile
// page: planning it would exhaust memory, so only this many pages are planned.
constexpr int kMaxPagesPerListing = 100000;

// A decimal integer with optional leading blanks and sign, as the whole text.
bool ParseInteger(const QString& text, int& value) {
  qsizetype i = 0;
  while (i < text.size() && text[i] == QLatin1Char(' ')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  if (i >= text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    v = v * 10 + (c.unicode() - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace

QString GetUrlParam(const QString& url, const QString& name) {
  qsizetype at = url.indexOf(QLatin1Char('?') + name + QLatin1Char('='));
  if (at < 0) at = url.indexOf(QLatin1Char('&') + name + QLatin1Char('='));
  if (at < 0) return QString();
  const qsizetype begin = at + name.size() + 2;
  const qsizetype end = url.indexOf(QLatin1Char('&'), begin);
  return end < 0 ? url.mid(begin) : url.mid(begin, end - begin);
}

QString ListPageUrl(const QString& origin, const QString& year, int page) {
  QString url = origin + kListPath + kYearKey + QLatin1Char('=') + year +
                QStringLiteral("&count_record=2000");
  if (page > 1) url += QStringLiteral("&page=") + QString::number(page);
  return url;
}

QString InactivePageUrl(const QString& origin, const QString& type, const QString& year,
                        int page) {
  QString url = origin + kListPath + kTypeKey + QLatin1Char('=') + type + QLatin1Char('&') +
                kYearKey + QLatin1Char('=') + year + QStringLiteral("&count_record=2000");
  if (page > 1) url += QStringLiteral("&page=") + QString::number(page);
  return url;
}

QString CardUrlPrefix(const QString& origin) {
  return origin + QStringLiteral("/ru/registry/show_supplier/");
}

bool IsListPageUrl(const QString& url) { return url.contains(kListMarker); }

void AppendYearPlan(const QString& origin, int lastYear, TAddressQueue& pending) {
  for (int year = kFirstYear; year <= lastYear; ++year)
    pending.push_back(ListPageUrl(origin, QString::number(year), 1));
}

void AppendInactivePlan(const QString& origin, int currentYear, TAddressQueue& pending) {
  for (int year = kFirstYear; year <= currentYear; ++year) {
    for (const char* type : {"8", "9", "10"})
      pending.push_back(InactivePageUrl(origin, QLatin1String(type), QString::number(year), 1));
  }
}

void TPlannedList::Append(const QString& address) {
  ordered_.push_back(address);
  folded_.insert(address.toCaseFolded());
}

bool TPlannedList::Contains(const QString& address) const {
  return folded_.contains(address.toCaseFolded());
}

void TPlannedList::Clear() {
  ordered_.clear();
  folded_.clear();
}

void CollectCardLinks(const QString& pageText, const QString& origin, QStringList& found) {
  // One forward scan; the same links, in the same order, as cutting the page from its front
  // up to each link marker in turn.
  const QString marker = QStringLiteral("<a href=\"") + CardUrlPrefix(origin);
  const QString prefix = CardUrlPrefix(origin);
  qsizetype from = 0;
  for (;;) {
    const qsizetype at = pageText.indexOf(marker, from);
    if (at < 0) break;
    from = at + marker.size();
    const qsizetype quote = pageText.indexOf(QLatin1Char('"'), from);
    if (quote < 0) continue;  // no identifier end anywhere after this link
    QString card;
    card.reserve(prefix.size() + (quote - from));
    card.append(prefix).append(QStringView(pageText).mid(from, quote - from));
    found.append(std::move(card));
  }
}

int ReadPageCount(const QString& pageText) {
  int count = 0;
  if (!ParseInteger(text::ExtractBetweenReverse(pageText, kCountAnchor, QString(), kCountStart),
                    count))
    return 0;
  return count;
}

void HandleListPage(const TListPageContext& context, const QString& address,
                    const QString& pageText) {
  CollectCardLinks(pageText, context.Origin, *context.Found);
  if (address.contains(QStringLiteral("&page="))) return;  // later pages plan nothing
  const int count = std::min(ReadPageCount(pageText), kMaxPagesPerListing);
  const QString year = GetUrlParam(address, kYearKey);
  const QString type = context.Inactive ? GetUrlParam(address, kTypeKey) : QString();
  for (int n = 2; n <= count; ++n) {
    const QString page = context.Inactive ? InactivePageUrl(context.Origin, type, year, n)
                                          : ListPageUrl(context.Origin, year, n);
    if (context.Planned->Contains(page)) continue;
    if (!context.TestExport) context.Pending->push_back(page);
    context.Planned->Append(page);
  }
}

QString FoundLogText(bool inactive, qsizetype found) {
  return QStringLiteral("Найдено ") + QString::number(found) +
         (inactive ? QStringLiteral(" неактивных карточек") : QStringLiteral(" карточек"));
}

}  // namespace engine
