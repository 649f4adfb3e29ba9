#include "engine/Resume.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <string_view>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include <QFile>

#include "text/ResultFile.h"
#include "text/ResultFileReader.h"
#include "text/uLib.h"

namespace engine {

namespace {

[[noreturn]] void Refuse(const QString& message) { throw std::runtime_error(message.toStdString()); }

QString SystemReason(int err) { return QString::fromStdString(std::system_category().message(err)); }

// The file opened for reading and writing (without changing it) and locked the way a
// running harvest locks its result file, so that one that another harvest holds is refused.
class TLockedFile {
 public:
  TLockedFile(const QString& path, int lockMode) {
    const QByteArray nativePath = QFile::encodeName(path);
    fd_ = ::open(nativePath.constData(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      const int err = errno;
      Refuse(QStringLiteral("Не удалось открыть файл ") + path + QStringLiteral(": ") + SystemReason(err));
    }
    if (::flock(fd_, lockMode | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd_);
      if (err == EWOULDBLOCK) {
        Refuse(QStringLiteral("Файл ") + path + QStringLiteral(" сейчас пишет другая выгрузка"));
      }
      Refuse(QStringLiteral("Не удалось заблокировать файл ") + path + QStringLiteral(": ") + SystemReason(err));
    }
  }
  ~TLockedFile() { ::close(fd_); }
  TLockedFile(const TLockedFile&) = delete;
  TLockedFile& operator=(const TLockedFile&) = delete;
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
};

// The activity values a run with `options` writes: "N/A" in the all-in-a-row mode; in the
// separate mode the values of the kinds its boxes choose.
std::vector<std::string> ActivityWords(const TRunOptions& options) {
  if (options.AllInARow) return {text::ActivityValue(true, false, false).toStdString()};
  std::vector<std::string> words;
  if (options.Active) words.push_back(text::ActivityValue(false, true, false).toStdString());
  if (options.Inactive) words.push_back(text::ActivityValue(false, false, true).toStdString());
  return words;
}

// Reads every row of the file, refusing a broken one and one whose activity column does not
// fit the mode. With `file` set, collects the rows' card addresses into it.
void ScanRows(text::TResultFileReader& reader, const QString& path, const TRunOptions& options,
              TResumeFile* file) {
  const std::vector<std::string> words = ActivityWords(options);
  std::vector<std::string_view> fields;
  while (reader.Next(fields)) {
    if (std::find(words.begin(), words.end(), fields[1]) == words.end()) {
      QString value = QString::fromUtf8(fields[1].data(), static_cast<qsizetype>(fields[1].size()));
      if (value.size() > 40) value = value.left(40) + QStringLiteral("...");
      Refuse(QStringLiteral("Файл ") + path + QStringLiteral(" выгружен в другом режиме: в строке %1 ").arg(reader.RowCount() + 1) +
             QStringLiteral("столбец \"") + text::TResultFile::HeaderTitles()[1] + QStringLiteral("\" содержит \"") +
             value + QStringLiteral("\""));
    }
    if (file != nullptr) ++file->Written[std::string(fields[0])];
  }
}

}  // namespace

QString CheckResumeFile(const QString& path, const TRunOptions& options) {
  try {
    const TLockedFile locked(path, LOCK_SH);
    text::TResultFileReader reader(path);
    ScanRows(reader, path, options, nullptr);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
  return QString();
}

TResumeFile TakeOverResumeFile(const QString& path, const TRunOptions& options,
                               const std::function<void(const QString& message)>& log) {
  TResumeFile file;
  file.Path = path;
  const TLockedFile locked(path, LOCK_EX);
  text::TResultFileReader reader(path);
  ScanRows(reader, path, options, &file);
  file.Size = reader.WholeSize();
  file.RowCount = reader.RowCount();
  if (reader.PartialTail()) {
    // A row the killed run was writing: it goes, and its card is fetched again.
    if (::ftruncate(locked.Descriptor(), static_cast<off_t>(file.Size)) != 0) {
      const int err = errno;
      Refuse(QStringLiteral("Не удалось удалить оборванную последнюю строку файла ") + path + QStringLiteral(": ") +
             SystemReason(err));
    }
    if (log) log(QStringLiteral("Удалена оборванная последняя строка файла ") + path);
  }
  return file;
}

std::int64_t DropWrittenCards(TResumeFile& file, TAddressQueue& pending) {
  std::unordered_map<std::string, std::int64_t>& left = file.Written;
  TAddressQueue kept;
  std::int64_t dropped = 0;
  for (QString& address : pending) {
    const auto it = left.find(text::FieldText(text::Trim(address)).toStdString());
    if (it != left.end() && it->second > 0) {
      --it->second;
      ++dropped;
    } else {
      kept.push_back(std::move(address));
    }
  }
  pending = std::move(kept);
  return dropped;
}

QString ResumeLogText(const TResumeFile& file, std::size_t remaining) {
  return QStringLiteral("В файле ") + file.Path + QStringLiteral(" уже строк: ") + QString::number(file.RowCount) +
         QStringLiteral(", осталось карточек: ") + QString::number(remaining);
}

}  // namespace engine
