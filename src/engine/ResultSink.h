#pragma once
// Where the card phase puts its rows: the result CSV file of the program, or a recorder in tests.
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

#include <QByteArray>

#include "engine/RunOptions.h"

namespace engine {

class IResultSink {
 public:
  virtual ~IResultSink() = default;
  // Names, logs and creates the file and writes its header. Throws when it cannot be created.
  // When the run continues a result file (ResumeFile in the context), appends to it instead:
  // no new file and no header. Throws when it cannot be continued.
  virtual void Open() = 0;
  // Reads the card out of its decoded page and appends its row, flushed at once.
  virtual void WriteCard(const QString& address, const QString& pageText, bool inInactiveSet) = 0;
  // Appends whole rows in the result file's form (CR LF included), taken over from an earlier
  // result file without a fetch. Only sinks that write the result file take them.
  virtual void WriteLines(const QByteArray& lines) {
    (void)lines;
    throw std::logic_error("this result sink takes no rows of an earlier file");
  }
  // Flushes and closes; when the header was written, logs it and opens the file for the operator.
  virtual void Close() = 0;
};

// Everything a sink gets from the driver: the run's options, the program folder, the driver's
// logging (stamped lines through the run host), the desktop's open action and the tick source.
struct TResultSinkContext {
  TRunOptions Options;
  QString ProgramDir;
  std::function<void(const QString& message)> Log;
  std::function<void(const QString& path)> OpenDocument;
  std::function<std::uint32_t()> TickCount;
  QString ResumeFile;          // a result file to continue; empty: a new file
  std::int64_t ResumeSize = 0;  // its size in whole lines when the run took it over
  int ResumeDescriptor = -1;    // the run's locked descriptor of it; -1: the sink opens it itself
  std::function<void()> OnRowLost;  // a row that could not be written, as it happens
};

using TResultSinkFactory =
    std::function<std::unique_ptr<IResultSink>(const TResultSinkContext& context)>;

// The program's sink: data%d.csv beside the program, one row per card.
std::unique_ptr<IResultSink> CreateCsvResultSink(const TResultSinkContext& context);

}  // namespace engine
