#include "export/XlsxExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <system_error>
#include <vector>

#include "text/ResultFileReader.h"

namespace exportx {

namespace {

std::string SystemReason(int err) { return std::system_category().message(err); }

// The sheet is written under a hidden name in the target's folder and renamed over the target
// once complete, so the target is either the old file or the whole new one.
class TPendingFile {
 public:
  explicit TPendingFile(const QString& target) : target_(QFile::encodeName(target).toStdString()) {
    const QFileInfo info(target);
    const QString base = info.dir().path() + u'/' + u'.' + info.fileName() + QStringLiteral(".part-");
    for (int attempt = 0; attempt < 100; ++attempt) {
      const QString name = base + QString::number(QRandomGenerator::global()->generate64(), 36);
      const std::string candidate = QFile::encodeName(name).toStdString();
      // 0666 under the umask: the finished file gets the permissions of any new file.
      const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        path_ = candidate;
        return;
      }
      if (errno != EEXIST) {
        const int err = errno;
        throw EXlsxExport("Не удалось создать файл " + target.toStdString() + ": " + SystemReason(err));
      }
    }
    throw EXlsxExport("Не удалось создать файл " + target.toStdString() + ": нет свободного временного имени");
  }
  ~TPendingFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  const std::string& Path() const { return path_; }

  // Makes the written file durable and puts it in the target's place.
  void Commit() {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
      const int err = errno;
      if (fd >= 0) ::close(fd);
      throw EXlsxExport("Не удалось записать файл " + target_ + ": " + SystemReason(err));
    }
    ::close(fd);
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
      const int err = errno;
      throw EXlsxExport("Не удалось записать файл " + target_ + ": " + SystemReason(err));
    }
    path_.clear();
    // The new name itself survives a crash only once the folder is on disk too.
    const std::string dir = QFile::encodeName(QFileInfo(QFile::decodeName(target_.c_str())).dir().path()).toStdString();
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      (void)::fsync(dfd);
      ::close(dfd);
    }
  }

 private:
  std::string target_;
  std::string path_;
};

bool SameFile(const QString& a, const QString& b) {
  struct stat sa {}, sb {};
  return ::stat(QFile::encodeName(a).constData(), &sa) == 0 &&
         ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

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
