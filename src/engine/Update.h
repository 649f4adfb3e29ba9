#pragma once
// Refreshing a harvest: a run that writes a new result file but fetches only the selected cards
// an earlier result file (of any mode) does not hold. For the others it takes that file's last
// row of the card over, with the card's current address and, in the separate mode, the activity
// the current lists give. The earlier file is only read.
//
// What the new file then knows: every new card and every activity as a full harvest would, the
// other values of known cards as the earlier file had them. Changed details of known cards are
// seen only by a full harvest.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/CardSelection.h"
#include "engine/ListCrawl.h"
#include "engine/RunOptions.h"

namespace engine {

// Checks before the run that `path` is a result file of this program that can be read whole.
// Returns an empty text when it is, otherwise one line saying why.
QString CheckUpdateFile(const QString& path);

class TUpdateSource {
 public:
  // Reads the earlier result file's index: each card address key with where its last row starts.
  // Throws std::runtime_error (text::EResultFileFormat for a file that is no result file).
  explicit TUpdateSource(QString path);

  // Takes out of the selected cards every card whose row the file holds and that the run's card
  // filter lets through (a card selected twice twice); they keep their order otherwise. Those
  // the filter stops are dropped too, as the card phase would skip them. Returns the rows taken.
  std::int64_t Select(const TRunOptions& options, const TInactiveSet& inactive, TAddressQueue& pending);

  // Reads the rows taken in one pass over the file and hands them over in batches of whole lines
  // in the result file's form. Throws std::runtime_error when the file no longer holds them.
  void WriteRows(const std::function<void(const QByteArray& lines)>& write);

  std::int64_t Taken() const { return static_cast<std::int64_t>(taken_.size()); }
  // "Из файла PATH взято строк: N, загружаем карточек: M".
  QString LogText(std::size_t fetched) const;

 private:
  struct TEntry {
    std::uint64_t Key = 0;    // hash of the address key
    std::uint32_t Check = 0;  // a second, independent hash of it
    std::uint32_t Row = 0;    // 1-based row number
    std::int64_t Offset = 0;  // where the row starts
  };
  struct TTaken {
    std::int64_t Offset = 0;
    std::uint32_t Row = 0;
    std::uint32_t Order = 0;  // its place in the selection
    bool Inactive = false;    // in the current inactive lists
    QString Address;          // the current address, trimmed
  };

  QString path_;
  TRunOptions options_;
  std::vector<TEntry> index_;  // one per card (its last row), by key
  std::vector<TTaken> taken_;
};

}  // namespace engine
