#include "export/PendingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <system_error>

#include "export/XlsxSheet.h"

namespace exportx {

namespace {

std::string SystemReason(int err) { return std::system_category().message(err); }

}  // namespace

TPendingFile::TPendingFile(const QString& target) : target_(QFile::encodeName(target).toStdString()) {
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

TPendingFile::~TPendingFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

void TPendingFile::Commit() {
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

bool SameFile(const QString& a, const QString& b) {
  struct stat sa {}, sb {};
  return ::stat(QFile::encodeName(a).constData(), &sa) == 0 &&
         ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace exportx
