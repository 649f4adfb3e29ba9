#pragma once
// The card selection: which collected card addresses the card phase fetches, and the sorted
// inactive set that the card filter and the activity column search.
#include <QString>
#include <QStringList>

#include "engine/ListCrawl.h"
#include "engine/RunOptions.h"

namespace engine {

// InactiveList after its sort: ordered ignoring letter case (as case-folded copies), searched
// by binary search.
class TInactiveSet {
 public:
  void Assign(QStringList addresses);  // sorts once
  bool Contains(const QString& address) const;
  bool Empty() const { return sorted_.isEmpty(); }

 private:
  QStringList sorted_;
};

// Fills pending from cardList or inactiveList by the run's mode, first 100 only in a test export.
void SelectCards(const TRunOptions& options, const QStringList& cardList,
                 const QStringList& inactiveList, TAddressQueue& pending);

// The separate mode's filter on a trimmed card address; every address passes in the
// all-in-a-row mode.
bool PassesCardFilter(const TRunOptions& options, const TInactiveSet& inactive,
                      const QString& address);

}  // namespace engine
