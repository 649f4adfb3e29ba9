#pragma once
// Continuing an interrupted harvest: the result file of an earlier run is checked before the
// run starts, and the run then appends to it, fetching only the cards it does not hold yet.
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "engine/ListCrawl.h"
#include "engine/RunOptions.h"

namespace engine {

// The open, exclusively locked descriptor of a taken-over result file; closed (and the lock
// released) with the last copy of the TResumeFile holding it.
class TResumeLock;

// What a resumed run knows of its file once it has taken it over.
struct TResumeFile {
  QString Path;               // absolute, a symbolic link not resolved
  std::int64_t Size = 0;      // bytes of whole lines: where the card phase appends
  std::int64_t RowCount = 0;  // rows the file held
  bool PartialTail = false;   // bytes past Size: a last line cut short, removed by CutResumeTail
  // Column 1 of every row, as the rows hold it, with the number of rows carrying it.
  std::unordered_map<std::string, std::int64_t> Written;
  std::shared_ptr<const TResumeLock> Lock;  // held from the take-over to the end of the run

  // The locked descriptor (the file open for reading and writing), -1 without one.
  int Descriptor() const;
};

// Takes over the result file at `path` for a run with `options`: opens it, locks it
// exclusively without waiting (a file another program holds under any flock lock is refused),
// and reads it once, refusing one that is not a result file of this program or whose activity
// column does not fit the mode, and collecting its rows' card addresses. Changes nothing in
// the file. Throws std::runtime_error with one line saying why it cannot be continued.
TResumeFile OpenResumeFile(const QString& path, const TRunOptions& options);

// Removes a last line cut short from a taken-over file (logging it through `log`), so that the
// card phase appends after whole lines. Throws std::runtime_error when it cannot.
void CutResumeTail(TResumeFile& file, const std::function<void(const QString& message)>& log);

// Checks, without changing it, that the result file at `path` can be continued by a run with
// `options`, as OpenResumeFile does, and lets it go again. Returns an empty text when it can,
// otherwise one line saying why.
QString CheckResumeFile(const QString& path, const TRunOptions& options);

// OpenResumeFile followed by CutResumeTail.
TResumeFile TakeOverResumeFile(const QString& path, const TRunOptions& options,
                               const std::function<void(const QString& message)>& log);

// Drops from the selected cards one occurrence of each card address the file already holds a
// row for (compared as the card phase writes it: trimmed), keeping the order of the rest. Uses
// up the file's Written counts. Returns the number of cards dropped.
std::int64_t DropWrittenCards(TResumeFile& file, TAddressQueue& pending);

// The log line of a resumed card selection.
QString ResumeLogText(const TResumeFile& file, std::size_t remaining);

}  // namespace engine
