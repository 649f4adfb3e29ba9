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
#include <QFileInfo>

#include "text/ResultFile.h"
#include "text/ResultFileReader.h"
#include "text/uLib.h"

namespace engine {

namespace {

[[noreturn]] void Refuse(const QString& message) { throw std::runtime_error(message.toStdString()); }

QString SystemReason(int err) { return QString::fromStdString(std::system_category().message(err)); }

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

// The file opened for reading and writing (without changing it) and locked the way a
// running harvest locks its result file, so that one that another program holds is refused.
class TResumeLock {
 public:
  explicit TResumeLock(const QString& path) {
    const QByteArray nativePath = QFile::encodeName(path);
    fd_ = ::open(nativePath.constData(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      const int err = errno;
      Refuse(QStringLiteral("Не удалось открыть файл ") + path + QStringLiteral(": ") + SystemReason(err));
    }
    // Exclusive: a reader or a writer holding the file under either kind of lock keeps the run
    // off it, here at the start rather than when the card phase appends.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd_);
      if (err == EWOULDBLOCK) {
        Refuse(QStringLiteral("Файл ") + path + QStringLiteral(" сейчас пишет другая выгрузка"));
      }
      Refuse(QStringLiteral("Не удалось заблокировать файл ") + path + QStringLiteral(": ") + SystemReason(err));
    }
  }
  ~TResumeLock() { ::close(fd_); }
  TResumeLock(const TResumeLock&) = delete;
  TResumeLock& operator=(const TResumeLock&) = delete;
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
};

int TResumeFile::Descriptor() const { return Lock ? Lock->Descriptor() : -1; }

TResumeFile OpenResumeFile(const QString& path, const TRunOptions& options) {
  TResumeFile file;
  // Logged and named as every new file is: in full, a symbolic link left as given.
  file.Path = QFileInfo(path).absoluteFilePath();
  file.Lock = std::make_shared<const TResumeLock>(file.Path);
  text::TResultFileReader reader(file.Path, file.Descriptor());
  ScanRows(reader, file.Path, options, &file);
  file.Size = reader.WholeSize();
  file.RowCount = reader.RowCount();
  file.PartialTail = reader.PartialTail();
  return file;
}

void CutResumeTail(TResumeFile& file, const std::function<void(const QString& message)>& log) {
  if (!file.PartialTail) return;
  // A row the killed run was writing: it goes, and its card is fetched again.
  if (::ftruncate(file.Descriptor(), static_cast<off_t>(file.Size)) != 0) {
    const int err = errno;
    Refuse(QStringLiteral("Не удалось удалить оборванную последнюю строку файла ") + file.Path + QStringLiteral(": ") +
           SystemReason(err));
  }
  file.PartialTail = false;
  if (log) log(QStringLiteral("Удалена оборванная последняя строка файла ") + file.Path);
}

QString CheckResumeFile(const QString& path, const TRunOptions& options) {
  try {
    (void)OpenResumeFile(path, options);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
  return QString();
}

TResumeFile TakeOverResumeFile(const QString& path, const TRunOptions& options,
                               const std::function<void(const QString& message)>& log) {
  TResumeFile file = OpenResumeFile(path, options);
  CutResumeTail(file, log);
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
