#include "text/ResultFile.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <stdexcept>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include <QFile>

#include "base/TickCount.h"

namespace text {

namespace {

QString SystemReason(int err) { return QString::fromStdString(std::system_category().message(err)); }

// A field between the row's double quotes must hold neither a line end nor a double quote;
// a line end becomes a blank, a double quote an apostrophe.
void AppendField(QString& line, const QString& value) {
  line.append(u'"');
  for (const QChar c : value) {
    if (c == u'\r' || c == u'\n') {
      line.append(u' ');
    } else if (c == u'"') {
      line.append(u'\'');
    } else {
      line.append(c);
    }
  }
  line.append(u'"');
}

// The titles of the two columns before the card's values: its address and its activity.
constexpr QStringView kLeadingTitles[] = {u"URL карточки", u"Активный/Неактивный"};
static_assert(std::size(kLeadingTitles) + SupplierCard::kFieldCount == TResultFile::kColumnCount,
              "a row is the address, the activity and the card's values");

const std::array<QString, TResultFile::kColumnCount>& Titles() {
  static const std::array<QString, TResultFile::kColumnCount> titles = [] {
    std::array<QString, TResultFile::kColumnCount> t;
    std::size_t i = 0;
    for (const QStringView title : kLeadingTitles) t[i++] = title.toString();
    for (const TCardColumn& column : kCardColumns) t[i++] = column.title.toString();
    return t;
  }();
  return titles;
}

}  // namespace

TResultFile::TResultFile(QString programDir, TLogSink log, TDocumentOpener opener, TTickSource tick)
    : programDir_(std::move(programDir)),
      log_(std::move(log)),
      opener_(std::move(opener)),
      tick_(tick ? std::move(tick) : TTickSource(&base::GetTickCount32)),
      truncate_([](int fd, std::int64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)); }) {}

TResultFile::~TResultFile() { CloseDescriptor(); }

const QString* TResultFile::HeaderTitles() { return Titles().data(); }

void TResultFile::Open() {
  CloseDescriptor();
  started_ = false;
  failureReported_ = false;
  lostRows_ = 0;
  writtenSize_ = 0;
  tailToCut_ = false;

  // The counter is shown as a signed 32-bit number: past 2^31 the name carries a minus sign.
  const auto stamp = static_cast<std::int32_t>(tick_());
  const QString name = QStringLiteral("data%1.csv").arg(stamp);
  path_ = programDir_.endsWith(u'/') ? programDir_ + name : programDir_ + u'/' + name;
  if (log_) log_(QStringLiteral("Данные будут записываться в файл ") + path_);

  const QByteArray nativePath = QFile::encodeName(path_);
  const int fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    throw std::runtime_error(
        (QStringLiteral("Не удалось создать файл ") + path_ + QStringLiteral(": ") + SystemReason(err))
            .toStdString());
  }
  fd_ = fd;
  // Linux has no share modes; an advisory lock is what other writers can see. Failing to get
  // it (another program holds one) does not stop the run.
  (void)::flock(fd_, LOCK_EX | LOCK_NB);

  QString header;
  for (const QString& title : Titles()) {
    if (!header.isEmpty()) header.append(u';');
    AppendField(header, title);
  }
  header.append(QStringLiteral("\r\n"));
  QByteArray bytes("\xEF\xBB\xBF");
  bytes.append(header.toUtf8());
  if (!WriteAll(bytes)) ++lostRows_;  // the header is a line of the file like any row
  started_ = true;
}

void TResultFile::OpenAppend(const QString& path, std::int64_t expectedSize, int descriptor) {
  CloseDescriptor();
  started_ = false;
  failureReported_ = false;
  lostRows_ = 0;
  path_ = path;
  if (log_) log_(QStringLiteral("Данные будут дописываться в файл ") + path_);

  // A duplicate shares the held lock, so the check below finds the file free for this run.
  const QByteArray nativePath = QFile::encodeName(path_);
  const int fd = descriptor >= 0 ? ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0)
                                 : ::open(nativePath.constData(), O_WRONLY | O_CLOEXEC);
  const auto fail = [&](const QString& reason) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error((QStringLiteral("Не удалось дописать файл ") + path_ + QStringLiteral(": ") + reason)
                                 .toStdString());
  };
  if (fd < 0) fail(SystemReason(errno));
  // Unlike a new file, one that another harvest is writing must not be touched.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    fail(errno == EWOULDBLOCK ? QStringLiteral("его пишет другая выгрузка") : SystemReason(errno));
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) fail(SystemReason(errno));
  if (end != expectedSize) fail(QStringLiteral("файл изменился с начала выгрузки"));
  fd_ = fd;
  writtenSize_ = end;
  started_ = true;
}

bool TResultFile::WriteRow(const QString& address, const QString& activity, const SupplierCard& card) {
  QString line;
  line.reserve(1024);
  AppendField(line, address);
  line.append(u';');
  AppendField(line, activity);
  for (const TCardColumn& column : kCardColumns) {
    line.append(u';');
    AppendField(line, card.*column.field);
  }
  line.append(QStringLiteral("\r\n"));
  if (fd_ < 0) {
    ReportWriteFailure(QStringLiteral("файл не открыт"));
  } else if (WriteAll(line.toUtf8())) {
    return true;
  }
  ++lostRows_;
  return false;
}

bool TResultFile::WriteLines(const QByteArray& lines) {
  if (fd_ < 0) {
    ReportWriteFailure(QStringLiteral("файл не открыт"));
  } else if (WriteAll(lines)) {
    return true;
  }
  lostRows_ += lines.count("\r\n");
  return false;
}

void TResultFile::Close() {
  if (fd_ < 0) return;
  CloseDescriptor();
  if (lostRows_ > 0 && log_)
    log_(QStringLiteral("Не записано строк в файл ") + path_ + QStringLiteral(": ") + QString::number(lostRows_));
  if (started_) {
    if (log_) log_(QStringLiteral("Открываем файл с результатами"));
    if (opener_) opener_(path_);
  }
}

QString TResultFile::Path() const { return path_; }

bool TResultFile::Started() const { return started_; }

void TResultFile::SetTruncate(TTruncate truncate) { truncate_ = std::move(truncate); }

bool TResultFile::WriteAll(const QByteArray& bytes) {
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, static_cast<size_t>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      if (left != bytes.size()) TakeBackPartialLine();
      ReportWriteFailure(SystemReason(err));
      return false;
    }
    data += n;
    left -= n;
  }
  writtenSize_ += bytes.size();
  if (tailToCut_) CutTail();  // a shorter line may have left bytes of the part behind it
  return true;
}

// Takes back what part of a line got in, so the file keeps whole lines only. The next line
// goes where the part began even when the part cannot be cut off now, or it would be glued
// onto the part; the cut is tried again after every later line and at the close.
void TResultFile::TakeBackPartialLine() {
  tailToCut_ = true;
  CutTail();
  (void)::lseek(fd_, writtenSize_, SEEK_SET);
}

void TResultFile::CutTail() {
  if (truncate_(fd_, writtenSize_) == 0) tailToCut_ = false;
}

void TResultFile::ReportWriteFailure(const QString& reason) {
  if (failureReported_) return;
  failureReported_ = true;
  if (log_) log_(QStringLiteral("Ошибка записи в файл ") + path_ + QStringLiteral(": ") + reason);
}

void TResultFile::CloseDescriptor() {
  if (fd_ < 0) return;
  if (tailToCut_) CutTail();
  const int fd = std::exchange(fd_, -1);
  // Closing may be the first place a delayed write error shows (network file systems).
  if (::close(fd) != 0) {
    const int err = errno;
    if (err != EINTR) ReportWriteFailure(SystemReason(err));
  }
}

QString FieldText(const QString& value) {
  QString quoted;
  quoted.reserve(value.size() + 2);
  AppendField(quoted, value);
  return quoted.mid(1, quoted.size() - 2);
}

std::string_view AddressKey(std::string_view address) {
  const std::size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return address;
  const std::size_t path = address.find_first_of("/?#", scheme + 3);
  return path == std::string_view::npos ? std::string_view() : address.substr(path);
}

QString ActivityValue(bool allInARow, bool activeChecked, bool inInactiveSet) {
  if (allInARow) return QStringLiteral("N/A");
  if (!activeChecked || inInactiveSet) return QStringLiteral("Неактивный");
  return QStringLiteral("Активный");
}

}  // namespace text
