#include "text/ResultFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>

#include <QByteArrayView>
#include <QFile>

#include "text/ResultFile.h"

namespace text {

namespace {

constexpr std::size_t kBufferBytes = 1u << 20;   // one read; grows only for a longer line
constexpr std::size_t kMaxLineBytes = 64u << 20;
constexpr std::size_t kSeekReadBytes = 8u << 10;  // the first read after a seek; doubles from there  // a card's row is a few KB; past this the file is not ours

QString SystemReason(int err) { return QString::fromStdString(std::system_category().message(err)); }

// The path as it goes into a one-line message.
QString ShownPath(QString path) {
  path.replace(u'\r', u' ');
  path.replace(u'\n', u' ');
  return path;
}

// Byte-order mark, header line and its CR LF, as the writer makes them.
std::string ExpectedHead() {
  std::string head = "\xEF\xBB\xBF";
  const QString* titles = TResultFile::HeaderTitles();
  for (int i = 0; i < TResultFile::kColumnCount; ++i) {
    if (i > 0) head += ';';
    head += '"';
    head += titles[i].toStdString();
    head += '"';
  }
  head += "\r\n";
  return head;
}

// Length of `bytes` without an incomplete UTF-8 sequence at its very end (a line cut short may
// end inside a character).
std::size_t WithoutCutCharacter(std::string_view bytes) {
  const std::size_t n = bytes.size();
  for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(bytes[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
    const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back ? n - back : n;
  }
  return n;
}

// Splits one line's content (without its CR LF) into its quoted fields. With `cutShort` the
// content is the beginning of a line that lost its end: its last field may lack its closing
// quote and fewer fields are fine. Returns the reason why it is no row, or an empty text.
QString SplitRow(std::string_view content, bool cutShort, std::vector<std::string_view>& fields) {
  fields.clear();
  if (content.empty()) return cutShort ? QString() : QStringLiteral("пустая строка");
  if (std::memchr(content.data(), '\r', content.size()) != nullptr) return QStringLiteral("символ CR без LF");
  const std::size_t usable = cutShort ? WithoutCutCharacter(content) : content.size();
  if (!QByteArrayView(content.data(), static_cast<qsizetype>(usable)).isValidUtf8()) {
    return QStringLiteral("текст не в кодировке UTF-8");
  }
  const char* p = content.data();
  const char* const end = p + content.size();
  for (;;) {
    const int number = static_cast<int>(fields.size()) + 1;
    if (number > TResultFile::kColumnCount) {
      return QStringLiteral("больше %1 полей").arg(TResultFile::kColumnCount);
    }
    if (p == end && cutShort) return QString();
    if (p == end || *p != '"') return QStringLiteral("поле %1 не начинается с кавычки").arg(number);
    ++p;
    const auto* close = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
    if (close == nullptr) {
      if (cutShort) return QString();
      return QStringLiteral("поле %1 без закрывающей кавычки").arg(number);
    }
    fields.emplace_back(p, static_cast<std::size_t>(close - p));
    p = close + 1;
    if (p == end) break;
    if (*p != ';') return QStringLiteral("лишняя кавычка в поле %1").arg(number);
    ++p;
  }
  if (!cutShort && fields.size() != static_cast<std::size_t>(TResultFile::kColumnCount)) {
    return QStringLiteral("полей %1 вместо %2").arg(fields.size()).arg(TResultFile::kColumnCount);
  }
  return QString();
}

}  // namespace

struct TResultFileReader::TState {
  QString path;
  int fd = -1;
  std::vector<char> buffer = std::vector<char>(kBufferBytes);
  std::size_t begin = 0;          // first unread byte in `buffer`
  std::size_t end = 0;            // one past the last byte read into `buffer`
  std::size_t scanned = 0;        // bytes from `begin` known to hold no LF
  std::int64_t bufferOffset = 0;  // file offset of buffer[0]
  std::int64_t rowOffset = 0;     // file offset of the row returned last
  std::size_t readLimit = kBufferBytes;  // bytes one read asks for
  bool eof = false;
  bool done = false;
  std::int64_t lineNumber = 1;  // the header is line 1
  std::int64_t rows = 0;
  std::int64_t wholeSize = 0;
  bool partialTail = false;

  ~TState() {
    if (fd >= 0) ::close(fd);
  }

  [[noreturn]] void FailFormat(const QString& reason) const {
    throw EResultFileFormat((QStringLiteral("Файл ") + ShownPath(path) +
                             QStringLiteral(" не является файлом результатов выгрузки: ") + reason)
                                .toStdString());
  }
  [[noreturn]] void FailRow(std::int64_t line, const QString& reason) const {
    throw EResultFileFormat(
        (QStringLiteral("Файл результатов ") + ShownPath(path) + QStringLiteral(" повреждён: строка %1: ").arg(line) +
         reason)
            .toStdString());
  }

  // Reads more of the file behind the unread bytes, moving them to the buffer's start first.
  // Returns false at the end of the file.
  bool Fill() {
    if (eof) return false;
    if (begin > 0) {
      std::memmove(buffer.data(), buffer.data() + begin, end - begin);
      bufferOffset += static_cast<std::int64_t>(begin);
      end -= begin;
      begin = 0;
    }
    if (end == buffer.size()) {
      if (buffer.size() >= kMaxLineBytes) {
        FailRow(lineNumber + 1, QStringLiteral("строка длиннее %1 МиБ").arg(kMaxLineBytes >> 20));
      }
      buffer.resize(std::min(buffer.size() * 2, kMaxLineBytes));
    }
    for (;;) {
      const ssize_t n = ::read(fd, buffer.data() + end, std::min(buffer.size() - end, readLimit));
      if (n > 0) {
        end += static_cast<std::size_t>(n);
        readLimit = std::min(readLimit * 2, kBufferBytes);
        return true;
      }
      if (n == 0) {
        eof = true;
        return false;
      }
      if (errno == EINTR) continue;
      const int err = errno;
      throw std::runtime_error(
          (QStringLiteral("Не удалось прочитать файл ") + ShownPath(path) + QStringLiteral(": ") + SystemReason(err))
              .toStdString());
    }
  }

  void CheckHead() {
    const std::string expected = ExpectedHead();
    while (end - begin < expected.size() && Fill()) {
    }
    const std::size_t have = std::min(end - begin, expected.size());
    if (have == 0) FailFormat(QStringLiteral("файл пуст"));
    const char* got = buffer.data() + begin;
    const std::size_t same = static_cast<std::size_t>(
        std::mismatch(got, got + have, expected.data()).first - got);
    if (same < std::min<std::size_t>(have, 3)) FailFormat(QStringLiteral("нет метки порядка байтов UTF-8"));
    if (same < have) FailFormat(QStringLiteral("строка заголовка не та, что пишет программа"));
    if (have < expected.size()) FailFormat(QStringLiteral("строка заголовка оборвана"));
    begin += expected.size();
    scanned = 0;
  }
};

TResultFileReader::TResultFileReader(const QString& path, int descriptor) : state_(std::make_unique<TState>()) {
  state_->path = path;
  if (descriptor >= 0) {
    state_->fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (state_->fd >= 0 && ::lseek(state_->fd, 0, SEEK_SET) != 0) {
      const int err = errno;
      throw std::runtime_error(
          (QStringLiteral("Не удалось прочитать файл ") + ShownPath(path) + QStringLiteral(": ") + SystemReason(err))
              .toStdString());
    }
  } else {
    const QByteArray nativePath = QFile::encodeName(path);
    state_->fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
  }
  if (state_->fd < 0) {
    const int err = errno;
    throw std::runtime_error(
        (QStringLiteral("Не удалось открыть файл ") + ShownPath(path) + QStringLiteral(": ") + SystemReason(err))
            .toStdString());
  }
  (void)::posix_fadvise(state_->fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  state_->CheckHead();
}

TResultFileReader::~TResultFileReader() = default;

bool TResultFileReader::Next(std::vector<std::string_view>& fields) {
  TState& s = *state_;
  fields.clear();
  if (s.done) return false;
  for (;;) {
    const char* from = s.buffer.data() + s.begin + s.scanned;
    const std::size_t left = s.end - s.begin - s.scanned;
    const auto* lf = static_cast<const char*>(std::memchr(from, '\n', left));
    if (lf != nullptr) {
      const char* line = s.buffer.data() + s.begin;
      const auto length = static_cast<std::size_t>(lf - line);
      const std::int64_t number = s.lineNumber + 1;
      if (length == 0 || line[length - 1] != '\r') s.FailRow(number, QStringLiteral("символ LF без CR"));
      const QString reason = SplitRow(std::string_view(line, length - 1), false, fields);
      if (!reason.isEmpty()) s.FailRow(number, reason);
      s.rowOffset = s.bufferOffset + static_cast<std::int64_t>(s.begin);
      s.begin += length + 1;
      s.scanned = 0;
      s.lineNumber = number;
      ++s.rows;
      return true;
    }
    s.scanned = s.end - s.begin;
    if (!s.Fill()) break;
  }
  // The end of the file: what follows the last LF is a line cut short, kept out of the rows.
  s.done = true;
  s.wholeSize = s.bufferOffset + static_cast<std::int64_t>(s.begin);
  if (s.end > s.begin) {
    std::string_view tail(s.buffer.data() + s.begin, s.end - s.begin);
    // NUL bytes alone: blocks the file system gave the file but the data never reached.
    if (tail.find_first_not_of('\0') != std::string_view::npos) {
      if (tail.back() == '\r') tail.remove_suffix(1);
      const QString reason = SplitRow(tail, true, fields);
      if (!reason.isEmpty()) s.FailRow(s.lineNumber + 1, reason);
    }
    s.partialTail = true;
  }
  fields.clear();
  return false;
}

std::int64_t TResultFileReader::RowCount() const { return state_->rows; }

std::int64_t TResultFileReader::RowOffset() const { return state_->rowOffset; }

void TResultFileReader::SeekRow(std::int64_t offset, std::int64_t row) {
  TState& s = *state_;
  if (::lseek(s.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    const int err = errno;
    throw std::runtime_error(
        (QStringLiteral("Не удалось прочитать файл ") + ShownPath(s.path) + QStringLiteral(": ") + SystemReason(err))
            .toStdString());
  }
  s.begin = s.end = s.scanned = 0;
  s.bufferOffset = offset;
  s.eof = s.done = s.partialTail = false;
  s.lineNumber = row;  // the line before it: the header is line 1, row 1 line 2
  s.rows = row - 1;
  s.readLimit = kSeekReadBytes;
}

std::int64_t TResultFileReader::WholeSize() const { return state_->wholeSize; }

bool TResultFileReader::PartialTail() const { return state_->partialTail; }

}  // namespace text
