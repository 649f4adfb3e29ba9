#include "cli/CliCompare.h"

#include <cstdio>
#include <exception>

#include "cli/CliRun.h"
#include "compare/ResultCompare.h"
#include "export/XlsxSheet.h"

namespace cli {

namespace {

void WriteErr(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
  std::fflush(stderr);
}

int Fail(const std::exception& e, int status) {
  QString line = QString::fromUtf8(e.what());
  line.replace(u'\r', u' ');
  line.replace(u'\n', u' ');
  WriteErr(QStringLiteral("supplier-harvester-cli: ") + line + u'\n');
  return status;
}

}  // namespace

int CompareResultFiles(const QString& oldPath, const QString& newPath, const QString& output) {
  try {
    const compare::TCompareSummary s = compare::CompareResultFiles(oldPath, newPath, output);
    WriteErr(QStringLiteral("Файл изменений: %1 (новых: %2, выбывших: %3, изменённых: %4)\n")
                 .arg(s.OutputPath)
                 .arg(s.Added)
                 .arg(s.Gone)
                 .arg(s.Changed));
    return esDone;
  } catch (const exportx::EXlsxExport& e) {
    return Fail(e, esDoneWithErrors);
  } catch (const std::exception& e) {
    // A refusal, a file that is no result file or one that cannot be read: nothing written.
    return Fail(e, esRefused);
  }
}

}  // namespace cli
