#include "run/LogFormat.h"

#include <QLocale>
#include <QStringList>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>

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

QByteArray LocaleCodeset() {
  const char* cs = nl_langinfo(CODESET);
  return cs ? QByteArray(cs) : QByteArray();
}

namespace {

bool IsUtf8Name(const QByteArray& cs) {
  const QByteArray n = cs.toUpper();
  return n == "UTF-8" || n == "UTF8";
}

bool IsAsciiOnly(const QByteArray& cs) {
  const QByteArray n = cs.toUpper();
  return n.isEmpty() || n == "ANSI_X3.4-1968" || n == "ASCII" || n == "US-ASCII" ||
         n == "646" || n == "POSIX" || n == "C";
}

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
int Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

}  // namespace

QByteArray EncodeLogText(const QString& text, const QByteArray& codeset) {
  const QByteArray cs = codeset.isEmpty() ? LocaleCodeset() : codeset;
  const QByteArray utf8 = text.toUtf8();
  if (IsUtf8Name(cs) || IsAsciiOnly(cs)) return utf8;

  iconv_t cd = iconv_open(cs.constData(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;

  QByteArray out;
  out.resize(utf8.size() + 16);
  char* in = const_cast<char*>(utf8.constData());
  size_t inLeft = static_cast<size_t>(utf8.size());
  char* dst = out.data();
  size_t dstLeft = static_cast<size_t>(out.size());
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      const qsizetype used = dst - out.data();
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = static_cast<size_t>(out.size() - used);
      continue;
    }
    // EILSEQ (not representable) or EINVAL (cut sequence): one '?' for the whole character.
    if (dstLeft == 0) {
      const qsizetype used = dst - out.data();
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = static_cast<size_t>(out.size() - used);
    }
    *dst++ = '?';
    --dstLeft;
    const size_t skip = std::min<size_t>(
        inLeft, static_cast<size_t>(Utf8SequenceLength(static_cast<unsigned char>(*in))));
    in += skip;
    inLeft -= skip;
  }
  out.resize(dst - out.data());
  iconv_close(cd);
  return out;
}

}  // namespace run
