#pragma once
// The spreadsheet form of a result file: one worksheet, the header row in bold and frozen, an
// autofilter over every column, widths fitted to the content. Identifier and code columns stay
// text (leading zeros survive), the registration and update dates become real dates when the
// portal's text parses as one, every other value is text exactly as in the result file. No
// cell is ever a formula.
//
// Rows stream out one at a time (the library's constant-memory mode), so everything the sheet
// needs before its first row (widths, the row count for the autofilter) comes from a first pass
// over the rows, done with TSheetPlan.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "text/ResultFile.h"

namespace exportx {

constexpr int kColumnCount = text::TResultFile::kColumnCount;
// What one cell can hold: 32,767 UTF-16 code units, and 1,048,576 rows a sheet (header included).
constexpr std::int64_t kMaxCellLength = 32767;
constexpr std::int64_t kMaxDataRows = 1048575;
// Column widths, in characters.
constexpr double kMinColumnWidth = 6;
constexpr double kMaxColumnWidth = 60;

// A failure of the export; the message is one line.
class EXlsxExport : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TColumnKind {
  ckText,  // any text, written as it is
  ckCode,  // an identifier or a code: text that looks like a number and must stay text
  ckDate,  // a date, or a date and time, when the value parses as one
  ckNumber,  // a count: plain digits become a number cell, anything else text
};
TColumnKind ColumnKind(int column);  // 0-based column of the result file

// The layouts in which the portal writes dates; the sheet shows a date cell in the same layout,
// so its displayed text is the result file's text.
enum class TDateLayout { dlIsoDate, dlIsoMinutes, dlIsoSeconds, dlDotDate, dlDotMinutes, dlDotSeconds };
struct TPortalDate {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
  TDateLayout Layout = TDateLayout::dlIsoDate;
};
// The sheet's number format that shows a date in `layout`.
const char* DateNumberFormat(TDateLayout layout);

// "2015-03-12", "2015-03-12 10:15", "2015-03-12 10:15:00" and the same with "12.03.2015":
// digits exactly as shown, a real calendar day from 1901 to 9999, a real time of day.
// Anything else is no date.
std::optional<TPortalDate> ParsePortalDate(std::string_view value);

// The text a string cell is given for `value`: the same, except that what the sheet's XML
// would read as an escape ("_x0041_") is escaped itself, and the two characters XML forbids
// (U+FFFE, U+FFFF) are written as escapes. Control characters are escaped by the library.
void CellText(std::string_view value, std::string& out);

// Length in UTF-16 code units of UTF-8 text, or -1 when the bytes are not valid UTF-8.
std::int64_t Utf16Length(std::string_view utf8);
// Characters (code points) of valid UTF-8 text.
std::int64_t CharacterCount(std::string_view utf8);

// The first pass: checks that every row fits a sheet and measures the columns.
class TSheetPlan {
 public:
  TSheetPlan();
  // Throws EXlsxExport (naming the line `lineNumber` of `sourceName`) for a value that is not
  // UTF-8 or does not fit a cell, and for a row past the last row a sheet has.
  void AddRow(const std::vector<std::string_view>& fields, std::int64_t lineNumber,
              const std::string& sourceName);
  std::int64_t RowCount() const { return rows_; }
  double ColumnWidth(int column) const;
  // Whether the worksheet's XML may pass 4 GB, which needs the zip container's large-file form.
  bool NeedsZip64() const;

 private:
  std::array<std::int64_t, kColumnCount> widest_{};
  std::int64_t rows_ = 0;
  std::int64_t xmlEstimate_ = 0;
};

// The second pass: writes the sheet to `path` (created or replaced at Close). Rows must be
// the ones the plan saw, in the same order.
class TXlsxSheetWriter {
 public:
  // `scratchDir` holds the library's temporary files (empty: the system's), `shownName` is the
  // name error messages give (empty: `path`).
  TXlsxSheetWriter(const std::string& path, const TSheetPlan& plan, const std::string& scratchDir,
                   const std::string& shownName = {});
  ~TXlsxSheetWriter();  // without Close, frees everything and writes nothing
  TXlsxSheetWriter(const TXlsxSheetWriter&) = delete;
  TXlsxSheetWriter& operator=(const TXlsxSheetWriter&) = delete;

  void WriteRow(const std::vector<std::string_view>& fields);
  // Assembles and writes the file. Throws EXlsxExport with the reason when it cannot.
  void Close();

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace exportx
