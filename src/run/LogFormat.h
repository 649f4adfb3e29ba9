#pragma once
// Log line stamps, the log file's name, text and encoding.
#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cstdint>

namespace run {

// The two formats a stamp is made of: the user's short date and long time formats, and the
// locale whose month and day names and AM/PM markers fill them in.
struct TStampFormat {
  QString Date;  // e.g. "dd.MM.yyyy"
  QString Time;  // e.g. "H:mm:ss"; never shows milliseconds or a time zone
  QLocale Names = QLocale::system();
};

// Reads the formats and the names from the user's regional settings.
TStampFormat SystemStampFormat();

// Drops the parts of a time format that a stamp never shows: milliseconds and the time zone,
// with the blanks and separators left dangling in front of them.
QString StripTimeFormat(const QString& format);

// The stamp of a line formed at `at`: the date, then a blank and the time unless the time is
// exactly midnight (to the second), in which case the date stands alone.
QString FormatStamp(const QDateTime& at, const TStampFormat& format);

// "log-%d.txt" from the 32-bit tick count, formatted as a signed number.
QString LogFileName(std::uint32_t tickCount);

// The log control's text as it is saved: every line followed by CR LF, the last one included.
QString LogFileText(const QString& controlText);

// Appends one line of the control, as the file holds it, to `out`: LogFileText of the lines
// joined by '\n' is exactly the lines appended one after another (`last` set for the last one),
// so a long log is written piece by piece with the same bytes.
void AppendLogFileLine(QString& out, const QString& line, bool last);

// Encodes `text` in `codeset` (an iconv name such as "CP1251" or "UTF-8"); characters the
// code set cannot represent become '?'. An empty codeset means the current locale's. A locale
// that has only 7-bit ASCII, or a code set iconv does not know, gives UTF-8, so that Cyrillic
// log lines are never reduced to question marks.
QByteArray EncodeLogText(const QString& text, const QByteArray& codeset = {});

}  // namespace run
