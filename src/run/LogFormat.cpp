#include "run/LogFormat.h"

#include <QLocale>
#include <QStringList>
#include <algorithm>

#include "text/Codeset.h"

namespace run {

TStampFormat SystemStampFormat() {
  const QLocale locale = QLocale::system();
  return {locale.dateFormat(QLocale::ShortFormat),
          StripTimeFormat(locale.timeFormat(QLocale::LongFormat)), locale};
}

QString StripTimeFormat(const QString& format) {
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == u'\'') {
      quoted = !quoted;
      out += c;
      continue;
    }
    if (!quoted && (c == u't' || c == u'z')) {
      // Remove the separator that introduced the dropped field ("ss.zzz", "ss t").
      while (!out.isEmpty() && (out.back().isSpace() || out.back() == u'.' || out.back() == u',' ||
                                out.back() == u':'))
        out.chop(1);
      continue;
    }
    out += c;
  }
  return out.trimmed();
}

QString FormatStamp(const QDateTime& at, const TStampFormat& format) {
  const QTime t = at.time();
  QString stamp = format.Names.toString(at.date(), format.Date);
  if (t.hour() != 0 || t.minute() != 0 || t.second() != 0) {
    stamp += u' ';
    stamp += format.Names.toString(t, format.Time);
  }
  return stamp;
}

QString LogFileName(std::uint32_t tickCount) {
  return QStringLiteral("log-%1.txt").arg(static_cast<std::int32_t>(tickCount));
}

QString LogFileText(const QString& controlText) {
  QString text = controlText;
  text.replace(QChar::ParagraphSeparator, u'\n');
  text.replace(QChar::LineSeparator, u'\n');
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\n', QStringLiteral("\r\n"));
  text += QStringLiteral("\r\n");
  return text;
}

void AppendLogFileLine(QString& out, const QString& line, bool last) {
  const auto special = [](QChar c) {
    return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
  };
  if (std::none_of(line.begin(), line.end(), special)) {
    out += line;
    out += QStringLiteral("\r\n");
    return;
  }
  // A CR at the end meets the '\n' that joins it to the next line, and the pair is one line end.
  out += LogFileText(!last && line.endsWith(u'\r') ? line.chopped(1) : line);
}

QByteArray EncodeLogText(const QString& text, const QByteArray& codeset) {
  return text::EncodeToCodeset(text, codeset);
}

}  // namespace run
