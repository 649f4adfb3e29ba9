#pragma once
// The result file: "data%d.csv" beside the program, UTF-8 with a byte order mark, one
// semicolon-separated line of double-quoted fields per supplier card, lines ending in CR LF.
#include <cstdint>
#include <functional>
#include <string_view>

#include <QString>

#include "text/SupplierCard.h"

namespace text {

class TResultFile {
 public:
  using TLogSink = std::function<void(const QString& message)>;      // one log line (message only; the engine stamps it)
  using TDocumentOpener = std::function<void(const QString& path)>;  // the desktop "open" action
  using TTickSource = std::function<std::uint32_t()>;                // defaults to base::GetTickCount32

  TResultFile(QString programDir, TLogSink log, TDocumentOpener opener, TTickSource tick = {});
  ~TResultFile();  // closes a file left open; opens nothing
  TResultFile(const TResultFile&) = delete;
  TResultFile& operator=(const TResultFile&) = delete;

  // Names the file after the tick counter, logs the name, creates the file (emptying one of
  // the same name) and writes the byte order mark and the header line. Throws
  // std::runtime_error naming the full path and the system's reason when it cannot be created.
  // While the file is open it holds an exclusive advisory lock: readers read it freely,
  // cooperating writers keep off.
  void Open();
  // Continues the existing result file at `path` instead: logs its name, opens it for writing
  // without emptying it, takes the same lock and appends after its last byte; no header is
  // written. Throws std::runtime_error naming the path when it cannot be opened, when another
  // program holds its lock, or when its size is no longer `expectedSize` (the size of its
  // whole lines as the resumed run found them). With a `descriptor` of the file that the run
  // already holds open and locked, writes through a duplicate of it instead of opening `path`.
  void OpenAppend(const QString& path, std::int64_t expectedSize, int descriptor = -1);
  // Appends one row: the card's address, the activity value and the card's 31 values. The row
  // reaches the file at once. A row that cannot be written is left out whole, the first such
  // failure of the file is logged and false returned; the run goes on.
  bool WriteRow(const QString& address, const QString& activity, const SupplierCard& card);
  // Appends rows already in the file's form (whole lines, each ending in CR LF) in one write, as
  // a harvest does that takes rows over from an earlier result file. A failure is handled as
  // WriteRow's: the lines are left out whole (each counted as a row left out), the first failure
  // is logged and false returned.
  bool WriteLines(const QByteArray& lines);
  // Closes the file; when rows were left out, logs how many; if the file was started, logs so
  // and hands it to the opener.
  void Close();
  // Lines left out since the file was opened: rows, and the header of a new file.
  std::int64_t LostRows() const { return lostRows_; }

  QString Path() const;
  bool Started() const;

  // The call that cuts a partly written row off the file again (ftruncate by default); tests
  // put one in that fails.
  using TTruncate = std::function<int(int fd, std::int64_t size)>;
  void SetTruncate(TTruncate truncate);

  // The header line's 33 fields, without quotes.
  static const QString* HeaderTitles();
  static constexpr int kColumnCount = 33;

 private:
  bool WriteAll(const QByteArray& bytes);
  void ReportWriteFailure(const QString& reason);
  void CloseDescriptor();
  void TakeBackPartialLine();
  void CutTail();

  QString programDir_;
  TLogSink log_;
  TDocumentOpener opener_;
  TTickSource tick_;
  TTruncate truncate_;
  QString path_;
  int fd_ = -1;
  bool started_ = false;
  bool failureReported_ = false;
  std::int64_t lostRows_ = 0;
  std::int64_t writtenSize_ = 0;  // bytes of the file made of whole lines
  bool tailToCut_ = false;        // bytes of a partly written row may lie past writtenSize_
};

// The activity column value: "N/A" in the all-in-a-row mode; in the separate mode "Неактивный"
// unless the active suppliers are exported and the card is not in the inactive set.
QString ActivityValue(bool allInARow, bool activeChecked, bool inInactiveSet);

// A value as it stands between its quotes in a row: line ends made blanks, double quotes
// apostrophes.
QString FieldText(const QString& value);

// A card address without its origin (scheme and host): the path and query, or the whole text
// when it has no origin. Harvests made through different origins know a card by it.
std::string_view AddressKey(std::string_view address);

}  // namespace text
