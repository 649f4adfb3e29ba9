#pragma once
// Continuing an interrupted harvest: the result file of an earlier run is checked before the
// run starts, and the run then appends to it, fetching only the cards it does not hold yet.
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "engine/ListCrawl.h"
#include "engine/WindowBridge.h"

namespace engine {

// Checks, without changing it, that the result file at `path` can be continued by a run with
// `options`: a result file of this program, whose activity column fits the mode, and that no
// running harvest holds. Returns an empty text when it can, otherwise one line saying why.
QString CheckResumeFile(const QString& path, const TRunOptions& options);

// What a resumed run knows of its file once it has taken it over.
struct TResumeFile {
  QString Path;
  std::int64_t Size = 0;      // bytes of whole lines: where the card phase appends
  std::int64_t RowCount = 0;  // rows the file held
  // Column 1 of every row, as the rows hold it, with the number of rows carrying it.
  std::unordered_map<std::string, std::int64_t> Written;
};

// Takes over the result file at `path` at the start of a resumed run: checks it as
// CheckResumeFile does (throwing std::runtime_error with the same line), removes a last line
// cut short (logging it through `log`) and collects its rows' card addresses.
TResumeFile TakeOverResumeFile(const QString& path, const TRunOptions& options,
                               const std::function<void(const QString& message)>& log);

// Drops from the selected cards one occurrence of each card address the file already holds a
// row for (compared as the card phase writes it: trimmed), keeping the order of the rest. Uses
// up the file's Written counts. Returns the number of cards dropped.
std::int64_t DropWrittenCards(TResumeFile& file, TAddressQueue& pending);

// The log line of a resumed card selection.
QString ResumeLogText(const TResumeFile& file, std::size_t remaining);

}  // namespace engine
