#pragma once
// The register's list pages: their addresses, the plans the list phases start with, and the
// handlers that collect card addresses and plan the further pages of each listing.
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <vector>

namespace engine {

using TAddressQueue = std::deque<QString>;

// The value of query parameter name in url ("?name=" first, then "&name="), undecoded;
// empty when the parameter is absent.
QString GetUrlParam(const QString& url, const QString& name);

QString ListPageUrl(const QString& origin, const QString& year, int page);  // page 1: first page
QString InactivePageUrl(const QString& origin, const QString& type, const QString& year, int page);
QString CardUrlPrefix(const QString& origin);
// True for an address of a list page (a register or an inactive listing), false for a card's.
bool IsListPageUrl(const QString& url);

// First pages of every year from 2016 to lastYear, ascending.
void AppendYearPlan(const QString& origin, int lastYear, TAddressQueue& pending);
// First pages of types 8, 9 and 10 of every year from 2016 to currentYear.
void AppendInactivePlan(const QString& origin, int currentYear, TAddressQueue& pending);

// Every list page planned in a phase, in order, with a case-insensitive membership test that
// does not scan the list.
class TPlannedList {
 public:
  void Append(const QString& address);
  bool Contains(const QString& address) const;
  void Clear();
  std::int32_t Count() const { return static_cast<std::int32_t>(ordered_.size()); }
  const std::vector<QString>& Entries() const { return ordered_; }

 private:
  std::vector<QString> ordered_;
  QSet<QString> folded_;
};

// Appends origin + "/ru/registry/show_supplier/" + identifier for every card link of the page
// (in page order, duplicates kept).
void CollectCardLinks(const QString& pageText, const QString& origin, QStringList& found);

// The number after the last "page=" before the last page-count anchor; 0 when absent or not
// an integer.
int ReadPageCount(const QString& pageText);

// Everything one list page contributes: its card links, and on a first page the planning of
// pages 2..count (into planned always, into pending unless testExport).
struct TListPageContext {
  QString Origin;
  bool Inactive = false;    // inactive lists: the type is part of every page address
  bool TestExport = false;
  TPlannedList* Planned = nullptr;
  TAddressQueue* Pending = nullptr;
  QStringList* Found = nullptr;
};
void HandleListPage(const TListPageContext& context, const QString& address,
                    const QString& pageText);

// "Найдено N карточек" / "Найдено N неактивных карточек".
QString FoundLogText(bool inactive, qsizetype found);

}  // namespace engine
