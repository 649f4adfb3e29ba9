#pragma once
// Reading a result file back: the byte-order mark, the exact header line, then rows of 33
// quoted fields, every line ending in CR LF. Used to continue an interrupted harvest and to
// turn a harvest into other formats. Reads sequentially through a buffer; never holds the
// whole file.
#include <QString>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace text {

// A file that is not a result file of this program, or a row that breaks the format. The
// message is one line that names the file (and the line number for a broken row).
class EResultFileFormat : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TResultFileReader {
 public:
  // Opens `path` and checks the byte-order mark and the header line. Throws
  // std::runtime_error naming the path and the system's reason when it cannot be opened or
  // read, and EResultFileFormat when it does not begin as a result file does. With a
  // `descriptor` of the file already open for reading, reads through a duplicate of it from
  // the file's start instead of opening `path` again (the path then only names the file).
  explicit TResultFileReader(const QString& path, int descriptor = -1);
  ~TResultFileReader();
  TResultFileReader(const TResultFileReader&) = delete;
  TResultFileReader& operator=(const TResultFileReader&) = delete;

  // Reads the next whole row. `fields` gets its 33 values without their quotes, as UTF-8
  // bytes that stay valid until the next call. Returns false after the last whole line; a
  // last line without its CR LF is never a row (see PartialTail). Throws EResultFileFormat
  // naming the line number when a whole line is not 33 quoted fields of UTF-8 text, or when
  // a last line cut short is not the beginning of one. A last line made only of NUL bytes (what
  // some file systems leave after a power cut) counts as cut short.
  bool Next(std::vector<std::string_view>& fields);

  // Rows read so far.
  std::int64_t RowCount() const;
  // The byte offset in the file of the row Next returned last.
  std::int64_t RowOffset() const;
  // Goes to the row that starts at byte `offset` (as RowOffset gave it) and is row number
  // `row` (1-based), so that Next reads it and the rows after it. Meant for picking single
  // rows out of a large file: the reads after a seek are small.
  void SeekRow(std::int64_t offset, std::int64_t row);
  // Once Next has returned false: the size in bytes of the file's whole lines (byte-order mark
  // and header included), and whether more bytes follow them (a last line cut short).
  std::int64_t WholeSize() const;
  bool PartialTail() const;

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace text
