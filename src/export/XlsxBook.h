#pragma once
// A workbook of one or more sheets written row by row in constant memory, each sheet with the
// export's rules: a bold header row that stays in view, an autofilter over the rows written,
// widths fitted to the content, codes and identifiers as text, dates as dates where the portal's
// text is one, counts as numbers, and never a formula. The result file's sheet
// (TXlsxSheetWriter) and the comparison's workbook are both written with it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "export/XlsxSheet.h"

namespace exportx {

struct TBookColumn {
  std::string Title;
  TColumnKind Kind = TColumnKind::ckText;
  double Width = 0;  // in characters; 0: fitted to what the column holds when the book is closed
};

class TXlsxBook {
 public:
  // The book is written to `path` at Close. `scratchDir` holds the library's temporary files
  // (empty: the system's); `shownName` is the name messages give (empty: `path`). Throws
  // EXlsxExport when the book cannot be made.
  TXlsxBook(const std::string& path, const std::string& scratchDir, const std::string& shownName = {},
            bool zip64 = false);
  ~TXlsxBook();  // without Close, frees everything and writes nothing
  TXlsxBook(const TXlsxBook&) = delete;
  TXlsxBook& operator=(const TXlsxBook&) = delete;

  // Adds a sheet and writes its header row; returns the sheet's number for WriteRow.
  int AddSheet(const std::string& name, std::vector<TBookColumn> columns);
  // Appends one row to a sheet: a value per column, missing ones empty. Throws EXlsxExport for
  // a value that is not UTF-8 or does not fit a cell, a row past a sheet's last, or a failed write.
  void WriteRow(int sheet, const std::vector<std::string_view>& fields);
  std::int64_t Rows(int sheet) const;
  // Sets widths and filters, assembles the book and writes it. Throws EXlsxExport.
  void Close();

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace exportx
