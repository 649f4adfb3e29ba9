#pragma once
// What changed between two result files (either front end, any mode): the cards only the newer
// file holds (new), those only the older one holds (gone), and those whose values differ
// (changed). A card is known by its address without the origin, so harvests made through
// different origins compare; an address that occurs more than once in a file counts by its
// last row. In the activity column a change from or to "N/A" is no change: the all-in-one-pass
// mode does not know the activity.
//
// The files are read once into an index (address key, row offset, hash of the row) and only the
// rows reported are read again, so memory does not grow with the rows' size.
#include <QString>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "text/ResultFile.h"

namespace compare {

// A comparison that is refused before anything is written (the same file twice, a bad output
// name). The message is one line.
class ECompareRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "…/data123.csv" -> "…/data123-changes.xlsx"; a name without ".csv" gets "-changes.xlsx" added.
QString DefaultChangesPath(const QString& newPath);

struct TCompareSummary {
  QString OutputPath;
  std::int64_t OldRows = 0, OldCards = 0;
  std::int64_t NewRows = 0, NewCards = 0;
  std::int64_t Added = 0, Gone = 0, Changed = 0;
  // Changed cards per column of the result file (column 0, the address, is never counted).
  std::array<std::int64_t, text::TResultFile::kColumnCount> ChangesPerColumn{};
};

// Compares the result file `oldPath` with `newPath` and writes the changes to `outputPath`
// (empty: DefaultChangesPath(newPath)): a ".csv" name gets the long form, a ".xlsx" name the
// workbook. The output replaces a file of its name only once complete; on any failure nothing is
// left under its name and an earlier file stays. Throws ECompareRefused for a bad output name
// (extension, missing folder, one of the inputs) or the same file twice; text::EResultFileFormat
// when an input is not a result file; std::runtime_error when an input cannot be read; and
// exportx::EXlsxExport when the output cannot be written.
TCompareSummary CompareResultFiles(const QString& oldPath, const QString& newPath, const QString& outputPath);

}  // namespace compare
