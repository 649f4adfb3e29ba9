#include "engine/CardSelection.h"

#include <algorithm>

namespace engine {

void TInactiveSet::Assign(QStringList addresses) {
  // Case-folded once, so that every search compares plain code units.
  sorted_ = std::move(addresses);
  for (QString& address : sorted_) address = address.toCaseFolded();
  std::sort(sorted_.begin(), sorted_.end());
}

bool TInactiveSet::Contains(const QString& address) const {
  return std::binary_search(sorted_.cbegin(), sorted_.cend(), address.toCaseFolded());
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
