#include "export/XlsxExport.h"

#include <QDir>
#include <QFileInfo>
#include <vector>

#include "export/PendingFile.h"
#include "text/ResultFileReader.h"

namespace exportx {

QString XlsxPathFor(const QString& csvPath) {
  if (csvPath.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)) {
    return csvPath.left(csvPath.size() - 4) + QStringLiteral(".xlsx");
  }
  return csvPath + QStringLiteral(".xlsx");
}

TXlsxExportSummary ConvertResultFileToXlsx(const QString& csvPath, const QString& xlsxPath) {
  const std::string source = csvPath.toStdString();
  if (SameFile(csvPath, xlsxPath)) {
    throw EXlsxExport("Файл " + xlsxPath.toStdString() + " — это сам файл с результатами " + source);
  }
  TXlsxExportSummary summary;
  std::vector<std::string_view> fields;

  // First pass: every row checked against what a sheet holds, the columns measured. A file
  // still being written may grow meanwhile; the sheet holds the rows this pass saw.
  TSheetPlan plan;
  {
    text::TResultFileReader reader(csvPath);
    while (reader.Next(fields)) plan.AddRow(fields, reader.RowCount() + 1, source);
    summary.PartialTail = reader.PartialTail();
  }

  TPendingFile pending(xlsxPath);
  {
    text::TResultFileReader reader(csvPath);
    // The library's scratch files (the rows' XML, several times the sheet's size) go beside the
    // sheet rather than to a temporary folder that may live in memory; each is unlinked as soon
    // as it is created, so none outlives the process.
    TXlsxSheetWriter writer(pending.Path(), plan, QFile::encodeName(QFileInfo(xlsxPath).dir().path()).toStdString(),
                            xlsxPath.toStdString());
    TSheetPlan again;  // the same checks, in case the file was replaced between the passes
    while (reader.RowCount() < plan.RowCount()) {
      if (!reader.Next(fields)) {
        throw EXlsxExport("Файл " + source + " изменился во время преобразования");
      }
      again.AddRow(fields, reader.RowCount() + 1, source);
      writer.WriteRow(fields);
    }
    writer.Close();
  }
  pending.Commit();
  summary.Rows = plan.RowCount();
  return summary;
}

}  // namespace exportx
