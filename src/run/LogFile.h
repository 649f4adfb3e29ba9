#pragma once
// Writing the log file: whole, as the window saves its log control at the end of a run, or line
// by line as the run goes, so that a process that dies keeps its log up to the last line.
#include <QByteArray>
#include <QFile>
#include <QString>

namespace run {

// The lines of a log control, read one at a time; never fewer than one line.
class TLogLineSource {
 public:
  virtual ~TLogLineSource() = default;
  virtual qsizetype Count() const = 0;
  virtual QString Line(qsizetype i) const = 0;
};

// Creates the file anew with the log control's text, every line followed by CR LF, in
// `codeset` (see EncodeLogText). Throws std::runtime_error naming the path on failure.
void SaveLogFile(const QString& path, const QString& controlText, const QByteArray& codeset = {});
// The same bytes as SaveLogFile of the lines joined by '\n', written a piece at a time: neither
// the whole text nor the whole file is ever held in memory.
void SaveLogFile(const QString& path, const TLogLineSource& lines, const QByteArray& codeset = {});

class TLogFileWriter {
 public:
  // Creates the file anew (an existing one is replaced); throws like SaveLogFile.
  void Open(const QString& path, const QByteArray& codeset = {});
  bool IsOpen() const { return FFile.isOpen(); }
  const QString& Path() const { return FPath; }
  // Appends the line and CR LF, and hands them to the system at once. Throws on failure.
  void WriteLine(const QString& line);
  void Close();

 private:
  QFile FFile;
  QString FPath;
  QByteArray FCodeset;
};

}  // namespace run
