#pragma once
// Turning a result file (data%d.csv) into a spreadsheet beside it (data%d.xlsx) in which every
// value means what the portal said: identifiers keep their leading zeros, dates are dates, no
// text becomes a number or a formula. See XlsxSheet.h for the sheet itself.
#include <QString>
#include <cstdint>

#include "export/XlsxSheet.h"

namespace exportx {

// "…/data123.csv" -> "…/data123.xlsx"; a name without the ".csv" ending gets ".xlsx" added.
QString XlsxPathFor(const QString& csvPath);

struct TXlsxExportSummary {
  std::int64_t Rows = 0;     // data rows written to the sheet
  bool PartialTail = false;  // the result file ended in a line cut short, which is no row
};

// Reads the result file at `csvPath` (read-only, twice: once to check and measure every row,
// once to write) and writes the sheet to `xlsxPath`, replacing a file of that name only once
// the new one is complete. On any failure nothing is left at `xlsxPath` (an earlier file there
// stays as it was) and no temporary file remains. Throws, with a one-line message:
// text::EResultFileFormat when `csvPath` is not a result file or holds a broken row;
// EXlsxExport when a row cannot be a sheet row or the sheet cannot be written (full disk,
// unwritable folder); std::runtime_error when the result file cannot be read.
TXlsxExportSummary ConvertResultFileToXlsx(const QString& csvPath, const QString& xlsxPath);

}  // namespace exportx
