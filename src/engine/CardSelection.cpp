#include "engine/CardSelection.h"

#include <algorithm>

namespace engine {

namespace {

bool LessIgnoringCase(const QString& a, const QString& b) {
  return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

}  // namespace

void TInactiveSet::Assign(QStringList addresses) {
  sorted_ = std::move(addresses);
  std::stable_sort(sorted_.begin(), sorted_.end(), LessIgnoringCase);
}

bool TInactiveSet::Contains(const QString& address) const {
  return std::binary_search(sorted_.cbegin(), sorted_.cend(), address, LessIgnoringCase);
}

void SelectCards(const TRunOptions& options, const QStringList& cardList,
                 const QStringList& inactiveList, TAddressQueue& pending) {
  pending.clear();
  const QStringList& source =
      (options.AllInARow || options.Active) ? cardList : inactiveList;
  qsizetype count = source.size();
  if (options.TestExport) count = std::min<qsizetype>(count, 100);
  for (qsizetype i = 0; i < count; ++i) pending.push_back(source[i]);
}

bool PassesCardFilter(const TRunOptions& options, const TInactiveSet& inactive,
                      const QString& address) {
  if (!options.Separate) return true;
  if (options.Inactive && options.Active) return true;
  if (options.Inactive) return inactive.Contains(address);
  return !inactive.Contains(address);
}

}  // namespace engine
