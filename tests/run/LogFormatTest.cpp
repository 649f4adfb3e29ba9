// Stamps, log file names, the saved text and its encoding.
#include <gtest/gtest.h>

#include "run/LogFormat.h"

namespace {

using run::TStampFormat;

TEST(LogStamp, DateAndTimeOrDateAloneAtMidnight) {
  const TStampFormat ru{QStringLiteral("dd.MM.yyyy"), QStringLiteral("H:mm:ss")};
  const TStampFormat us{QStringLiteral("M/d/yy"), QStringLiteral("h:mm:ss AP")};
  struct Case {
    QTime time;
    TStampFormat format;
    const char* expected;
  } cases[] = {
      {QTime(9, 5, 7), ru, "09.12.2024 9:05:07"},
      {QTime(0, 0, 0, 500), ru, "09.12.2024"},  // midnight: the date alone, no trailing blank
      {QTime(0, 0, 0, 0), ru, "09.12.2024"},
      {QTime(0, 0, 1), ru, "09.12.2024 0:00:01"},
      {QTime(0, 1, 0), ru, "09.12.2024 0:01:00"},
      {QTime(23, 59, 59, 999), ru, "09.12.2024 23:59:59"},  // milliseconds never shown
      {QTime(13, 2, 3), us, "12/9/24 1:02:03 PM"},
  };
  for (const Case& c : cases) {
    const QDateTime at(QDate(2024, 12, 9), c.time);
    EXPECT_EQ(run::FormatStamp(at, c.format).toStdString(), c.expected) << c.time.toString().toStdString();
  }
}

// Month and day names and the AM/PM markers come from the locale of the regional settings, not
// from the C locale.
TEST(LogStamp, NamesComeFromTheStampLocale) {
  const QDateTime at(QDate(2024, 12, 9), QTime(13, 2, 3));
  struct Case {
    TStampFormat format;
    const char* expected;
  } cases[] = {
      {{QStringLiteral("d MMMM yyyy"), QStringLiteral("H:mm:ss"), QLocale(QLocale::Russian, QLocale::Russia)},
       "9 декабря 2024 13:02:03"},
      {{QStringLiteral("ddd dd.MM.yy"), QStringLiteral("HH:mm:ss"), QLocale(QLocale::German, QLocale::Germany)},
       "Mo. 09.12.24 13:02:03"},
      {{QStringLiteral("yyyy/MM/dd"), QStringLiteral("AP h:mm:ss"), QLocale(QLocale::Korean, QLocale::SouthKorea)},
       "2024/12/09 오후 1:02:03"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(run::FormatStamp(at, c.format).toStdString(), c.expected) << c.format.Names.name().toStdString();
}

TEST(LogStamp, TimeFormatLosesZoneAndMilliseconds) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"HH:mm:ss t", "HH:mm:ss"},
      {"h:mm:ss AP t", "h:mm:ss AP"},
      {"H:mm:ss.zzz", "H:mm:ss"},
      {"H:mm:ss", "H:mm:ss"},
      {"H 'h' mm 'tz' ss", "H 'h' mm 'tz' ss"},  // quoted text is kept
  };
  for (const Case& c : cases)
    EXPECT_EQ(run::StripTimeFormat(QString::fromUtf8(c.in)).toStdString(), c.out) << c.in;
}

TEST(LogStamp, SystemFormatShowsNoZone) {
  const TStampFormat f = run::SystemStampFormat();
  EXPECT_FALSE(f.Date.isEmpty());
  EXPECT_FALSE(f.Time.contains(u't'));
}

TEST(LogFile, NameIsTheTickCountAsSignedNumber) {
  struct Case {
    std::uint32_t tick;
    const char* name;
  } cases[] = {
      {0u, "log-0.txt"},
      {123456u, "log-123456.txt"},
      {2147483647u, "log-2147483647.txt"},
      {2147483648u, "log--2147483648.txt"},
      {4294967295u, "log--1.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(run::LogFileName(c.tick).toStdString(), c.name);
}

TEST(LogFile, EveryLineEndsWithCrLf) {
  struct Case {
    QString control;
    const char* saved;
  } cases[] = {
      {QStringLiteral("a\nb"), "a\r\nb\r\n"},
      {QStringLiteral("one"), "one\r\n"},
      {QStringLiteral("a\n\nb"), "a\r\n\r\nb\r\n"},
      {QStringLiteral("a\r\nb"), "a\r\nb\r\n"},  // typed CR LF is not doubled
      {QString("a") + QChar(QChar::ParagraphSeparator) + "b", "a\r\nb\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(run::LogFileText(c.control).toStdString(), c.saved);
}

TEST(LogFile, EncodingReplacesWhatTheCodePageLacks) {
  struct Case {
    QString text;
    QByteArray codeset;
    QByteArray bytes;
  } cases[] = {
      // Cyrillic in windows-1251: one byte per character.
      {QStringLiteral("Лог"), "CP1251", QByteArray("\xCB\xEE\xE3")},
      // Characters outside the code page become '?', one per character (also outside the BMP).
      {QStringLiteral("a€b"), "ISO-8859-5", QByteArray("a?b")},
      {QString("x") + QString::fromUcs4(U"\U0001F600") + "y", "CP1251", QByteArray("x?y")},
      {QStringLiteral("中文"), "CP1251", QByteArray("??")},
      {QStringLiteral("Лог"), "UTF-8", QByteArray("\xD0\x9B\xD0\xBE\xD0\xB3")},
      // A plain-ASCII locale or an unknown code set keeps the text whole as UTF-8.
      {QStringLiteral("Лог"), "ANSI_X3.4-1968", QByteArray("\xD0\x9B\xD0\xBE\xD0\xB3")},
      {QStringLiteral("Лог"), "NO-SUCH-CODESET", QByteArray("\xD0\x9B\xD0\xBE\xD0\xB3")},
      {QString(), "CP1251", QByteArray()},
  };
  for (const Case& c : cases)
    EXPECT_EQ(run::EncodeLogText(c.text, c.codeset).toHex().toStdString(), c.bytes.toHex().toStdString())
        << c.codeset.constData();
}

TEST(LogFile, LongTextSurvivesBufferGrowth) {
  QString text;
  for (int i = 0; i < 5000; ++i) text += QStringLiteral("Строка %1 ✓\r\n").arg(i);
  const QByteArray bytes = run::EncodeLogText(text, "CP1251");
  // Each line: 6 letters, blank, digits, blank, '?', CR LF.
  qsizetype expected = 0;
  for (int i = 0; i < 5000; ++i) expected += 6 + 1 + QString::number(i).size() + 1 + 1 + 2;
  EXPECT_EQ(bytes.size(), expected);
  EXPECT_TRUE(bytes.endsWith("4999 ?\r\n"));
}

}  // namespace
