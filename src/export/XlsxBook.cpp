#include "export/XlsxBook.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace exportx {

namespace {

using enum TColumnKind;

constexpr lxw_row_t kScratchCheckRows = 4096;
constexpr int kDateLayouts = 6;

void Check(lxw_error e, const std::string& path) {
  if (e != LXW_NO_ERROR) throw EXlsxExport("Не удалось записать файл " + path + ": " + lxw_strerror(e));
}

// A count: plain decimal digits that a double holds exactly.
bool IsCount(std::string_view v) {
  return !v.empty() && v.size() <= 15 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

struct TXlsxBook::TState {
  struct TSheet {
    lxw_worksheet* Sheet = nullptr;
    std::string Name;
    std::vector<TBookColumn> Columns;
    std::vector<std::int64_t> Widest;  // characters of the longest value, header included
    lxw_row_t Row = 0;                 // the last row written; the header is row 0
  };
  lxw_workbook* Book = nullptr;
  lxw_format* Bold = nullptr;
  lxw_format* Code = nullptr;
  std::array<lxw_format*, kDateLayouts> Dates{};
  std::vector<TSheet> Sheets;
  std::string File;     // where the book is written
  std::string Path;     // the name messages give
  std::string Scratch;  // libxlsxwriter keeps the pointer until the book is closed
  std::string Cell;     // the current value with its terminating zero

  [[noreturn]] void FailBook() const { throw EXlsxExport("Не удалось создать книгу для файла " + Path); }

  // The library writes the rows to its scratch file without looking at the outcome, and a row
  // lost there (a full disk) would silently be missing from the sheet. The stream's error flag
  // tells.
  void CheckScratch(const TSheet& sheet) const {
    FILE* scratch = sheet.Sheet->optimize_tmpfile;
    if (scratch == nullptr) return;
    errno = 0;
    const bool flushed = std::fflush(scratch) == 0;
    const int err = errno;
    if (flushed && std::ferror(scratch) == 0) return;
    std::string message = "Не удалось записать файл " + Path + ": не записан временный файл листа";
    if (!flushed && err != 0) message += std::string(" (") + std::strerror(err) + ")";
    throw EXlsxExport(message);
  }
};

TXlsxBook::TXlsxBook(const std::string& path, const std::string& scratchDir, const std::string& shownName,
                     bool zip64)
    : state_(std::make_unique<TState>()) {
  auto& s = *state_;
  s.File = path;
  s.Path = shownName.empty() ? path : shownName;
  s.Scratch = scratchDir;
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  options.tmpdir = s.Scratch.empty() ? nullptr : s.Scratch.data();
  options.use_zip64 = zip64 ? LXW_TRUE : LXW_FALSE;
  s.Book = workbook_new_opt(path.c_str(), &options);
  if (s.Book == nullptr) s.FailBook();
  s.Bold = workbook_add_format(s.Book);
  s.Code = workbook_add_format(s.Book);
  if (s.Bold == nullptr || s.Code == nullptr) s.FailBook();
  format_set_bold(s.Bold);
  format_set_num_format(s.Code, "@");
  for (int i = 0; i < kDateLayouts; ++i) {
    lxw_format*& format = s.Dates[static_cast<std::size_t>(i)];
    format = workbook_add_format(s.Book);
    if (format == nullptr) s.FailBook();
    format_set_num_format(format, DateNumberFormat(static_cast<TDateLayout>(i)));
  }
}

TXlsxBook::~TXlsxBook() {
  if (state_->Book != nullptr) lxw_workbook_free(state_->Book);
}

int TXlsxBook::AddSheet(const std::string& name, std::vector<TBookColumn> columns) {
  auto& s = *state_;
  TState::TSheet sheet;
  sheet.Sheet = workbook_add_worksheet(s.Book, name.empty() ? nullptr : name.c_str());
  if (sheet.Sheet == nullptr || columns.empty()) s.FailBook();
  sheet.Name = name;
  sheet.Columns = std::move(columns);
  for (std::size_t c = 0; c < sheet.Columns.size(); ++c) {
    const TBookColumn& column = sheet.Columns[c];
    sheet.Widest.push_back(CharacterCount(column.Title));
    Check(worksheet_write_string(sheet.Sheet, 0, static_cast<lxw_col_t>(c), column.Title.c_str(), s.Bold), s.Path);
  }
  worksheet_freeze_panes(sheet.Sheet, 1, 0);
  s.Sheets.push_back(std::move(sheet));
  return static_cast<int>(s.Sheets.size()) - 1;
}

void TXlsxBook::WriteRow(int index, const std::vector<std::string_view>& fields) {
  auto& s = *state_;
  TState::TSheet& sheet = s.Sheets.at(static_cast<std::size_t>(index));
  if (static_cast<std::int64_t>(sheet.Row) >= kMaxDataRows) {
    throw EXlsxExport("Не удалось записать файл " + s.Path + ": на листе «" + sheet.Name + "» больше " +
                      std::to_string(kMaxDataRows) + " строк");
  }
  ++sheet.Row;
  const std::size_t count = std::min(fields.size(), sheet.Columns.size());
  for (std::size_t c = 0; c < count; ++c) {
    const std::string_view v = fields[c];
    if (v.empty()) continue;
    const TBookColumn& column = sheet.Columns[c];
    const auto col = static_cast<lxw_col_t>(c);
    const std::int64_t units = Utf16Length(v);
    if (units < 0 || units > kMaxCellLength) {
      throw EXlsxExport("Не удалось записать файл " + s.Path + ": лист «" + sheet.Name + "», строка " +
                        std::to_string(sheet.Row + 1) + ", столбец «" + column.Title + "»: " +
                        (units < 0 ? "текст не в кодировке UTF-8" : "значение не помещается в ячейку"));
    }
    if (column.Width == 0) sheet.Widest[c] = std::max(sheet.Widest[c], CharacterCount(v));
    if (column.Kind == ckDate) {
      if (const auto d = ParsePortalDate(v)) {
        lxw_datetime dt{d->Year, d->Month, d->Day, d->Hour, d->Minute, static_cast<double>(d->Second)};
        Check(worksheet_write_datetime(sheet.Sheet, sheet.Row, col, &dt,
                                       s.Dates[static_cast<std::size_t>(d->Layout)]),
              s.Path);
        continue;
      }
    }
    if (column.Kind == ckNumber && IsCount(v)) {
      Check(worksheet_write_number(sheet.Sheet, sheet.Row, col, std::stod(std::string(v)), nullptr), s.Path);
      continue;
    }
    // worksheet_write_string always makes a string cell, also for "=1+1".
    CellText(v, s.Cell);
    Check(worksheet_write_string(sheet.Sheet, sheet.Row, col, s.Cell.c_str(), column.Kind == ckCode ? s.Code : nullptr),
          s.Path);
  }
  // A disk that fills up ends the export soon, not after the last of many rows.
  if (sheet.Row % kScratchCheckRows == 0) s.CheckScratch(sheet);
}

std::int64_t TXlsxBook::Rows(int sheet) const {
  return static_cast<std::int64_t>(state_->Sheets.at(static_cast<std::size_t>(sheet)).Row);
}

void TXlsxBook::Close() {
  auto& s = *state_;
  for (const TState::TSheet& sheet : s.Sheets) {
    const auto lastCol = static_cast<lxw_col_t>(sheet.Columns.size() - 1);
    for (std::size_t c = 0; c < sheet.Columns.size(); ++c) {
      const TBookColumn& column = sheet.Columns[c];
      // A character of padding on each side, as a spreadsheet's own column fitting leaves.
      const double width = column.Width > 0 ? column.Width
                                            : std::clamp(static_cast<double>(sheet.Widest[c]) + 2, kMinColumnWidth,
                                                         kMaxColumnWidth);
      const auto col = static_cast<lxw_col_t>(c);
      Check(worksheet_set_column(sheet.Sheet, col, col, width, column.Kind == ckCode ? s.Code : nullptr), s.Path);
    }
    Check(worksheet_autofilter(sheet.Sheet, 0, 0, sheet.Row, lastCol), s.Path);
    if (sheet.Row > 0) {
      // Identifiers are text on purpose: no "number stored as text" marks on them.
      char range[64];
      lxw_rowcol_to_range(range, 1, 0, sheet.Row, lastCol);
      Check(worksheet_ignore_errors(sheet.Sheet, LXW_IGNORE_NUMBER_STORED_AS_TEXT, range), s.Path);
    }
    s.CheckScratch(sheet);
  }
  errno = 0;
  lxw_workbook* book = s.Book;
  s.Book = nullptr;  // workbook_close frees it, whatever it returns
  const lxw_error e = workbook_close(book);
  if (e != LXW_NO_ERROR) {
    const int err = errno;
    std::string message = "Не удалось записать файл " + s.Path + ": " + lxw_strerror(e);
    if (err != 0) message += std::string(" (") + std::strerror(err) + ")";
    throw EXlsxExport(message);
  }
  // A zip container ends in its directory's end record, within the last 64 KiB.
  std::ifstream in(s.File, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  const std::streamoff tail = std::min<std::streamoff>(size, 65557);
  std::string bytes(static_cast<std::size_t>(tail), '\0');
  in.seekg(size - tail);
  if (tail < 22 || !in.read(bytes.data(), tail) || bytes.rfind("PK\x05\x06") == std::string::npos) {
    throw EXlsxExport("Не удалось записать файл " + s.Path + ": файл оборван");
  }
}

}  // namespace exportx
