#include "run/LogFile.h"

#include <stdexcept>

#include "run/LogFormat.h"

namespace run {

namespace {

[[noreturn]] void Fail(const char* what, const QString& path, const QString& reason) {
  throw std::runtime_error(QStringLiteral("не удалось %1 файл лога %2: %3")
                               .arg(QString::fromUtf8(what), path, reason)
                               .toStdString());
}

void WriteAll(QFile& file, const QString& path, const QByteArray& bytes) {
  const qint64 written = file.write(bytes);
  if (written != bytes.size() || !file.flush()) {
    const QString reason = file.errorString();
    file.close();
    Fail("записать", path, reason);
  }
}

}  // namespace

void SaveLogFile(const QString& path, const QString& controlText, const QByteArray& codeset) {
  const QByteArray bytes = EncodeLogText(LogFileText(controlText), codeset);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    Fail("создать", path, file.errorString());
  WriteAll(file, path, bytes);
  file.close();
}

void SaveLogFile(const QString& path, const TLogLineSource& lines, const QByteArray& codeset) {
  // Pieces of whole lines, so that no character is cut between two conversions.
  constexpr qsizetype kPiece = 256 * 1024;
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    Fail("создать", path, file.errorString());
  QString piece;
  piece.reserve(kPiece + 1024);
  const qsizetype count = lines.Count();
  for (qsizetype i = 0; i < count; ++i) {
    AppendLogFileLine(piece, lines.Line(i), i + 1 == count);
    if (piece.size() >= kPiece || i + 1 == count) {
      WriteAll(file, path, EncodeLogText(piece, codeset));
      piece.resize(0);
    }
  }
  if (count == 0) WriteAll(file, path, EncodeLogText(LogFileText({}), codeset));
  file.close();
}

void TLogFileWriter::Open(const QString& path, const QByteArray& codeset) {
  Close();
  FPath = path;
  FCodeset = codeset;
  FFile.setFileName(path);
  if (!FFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
    Fail("создать", path, FFile.errorString());
}

void TLogFileWriter::WriteLine(const QString& line) {
  if (!FFile.isOpen()) return;
  WriteAll(FFile, FPath, EncodeLogText(LogFileText(line), FCodeset));
}

void TLogFileWriter::Close() {
  if (FFile.isOpen()) FFile.close();
}

}  // namespace run
