// Saving the log from its lines one by one: the same bytes as saving the whole text, in every
// code set the window writes, across the pieces the writer cuts, and a clear error on failure.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>

#include "app/LogMemo.h"
#include "run/LogFile.h"

namespace {

class TListSource : public run::TLogLineSource {
 public:
  explicit TListSource(QStringList lines) : FLines(std::move(lines)) {}
  qsizetype Count() const override { return FLines.size(); }
  QString Line(qsizetype i) const override { return FLines[i]; }

 private:
  QStringList FLines;
};

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Saves the lines both ways and compares the bytes.
void ExpectSameBytes(const QStringList& lines, const char* codeset) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString whole = dir.filePath(QStringLiteral("whole.txt"));
  const QString streamed = dir.filePath(QStringLiteral("streamed.txt"));
  run::SaveLogFile(whole, lines.join(u'\n'), codeset);
  run::SaveLogFile(streamed, TListSource(lines), codeset);
  const QByteArray expected = ReadAll(whole), actual = ReadAll(streamed);
  ASSERT_EQ(actual.size(), expected.size()) << codeset;
  EXPECT_TRUE(actual == expected) << codeset;
}

TEST(LogSave, LinesGiveTheBytesOfTheWholeText) {
  const QChar nbsp(0x00A0);
  const QStringList tables[] = {
      {QString()},
      {QStringLiteral("одна строка")},
      {QString(), QString(), QString()},
      // What an operator can leave in the control: a no-break space, a pasted line separator,
      // a character outside the code page, one outside the basic plane.
      {QStringLiteral("1") + nbsp + QStringLiteral("000 карточек"), QStringLiteral("a") + QChar::LineSeparator + u'b',
       QStringLiteral("中文 \U0001F600"), QString()},
      // Line ends other sources may hold: a CR at the end joins the '\n' after it into one line
      // end, except on the last line.
      {QStringLiteral("cr\r"), QStringLiteral("\rlead"), QStringLiteral("mid\r\nx"), QStringLiteral("end\r")},
      {QString(QChar::ParagraphSeparator), QStringLiteral("\n\n"), QStringLiteral("\r")},
  };
  for (const char* codeset : {"CP1251", "UTF-8", "KOI8-R"})
    for (const QStringList& lines : tables) ExpectSameBytes(lines, codeset);
}

// Lines long and short enough that the pieces end at many different places.
TEST(LogSave, ManyPiecesGiveTheBytesOfTheWholeText) {
  std::mt19937 random(19);
  const QString alphabet = QStringLiteral("ab вг") + QChar(0x00A0) + QChar::LineSeparator + QStringLiteral("\U0001F600");
  QStringList lines;
  qsizetype size = 0;
  while (size < 900 * 1024) {
    QString line;
    const int length = std::uniform_int_distribution<int>(0, random() % 50 == 0 ? 20000 : 80)(random);
    for (int k = 0; k < length; ++k) line += alphabet[std::uniform_int_distribution<int>(0, 7)(random)];
    size += line.size();
    lines.append(line);
  }
  ExpectSameBytes(lines, "CP1251");
  ExpectSameBytes(lines, "UTF-8");
}

TEST(LogSave, TheControlsLinesAreSaved) {
  app::TLogMemo memo;
  memo.appendPlainText(QStringLiteral("первая\r\nвторая"));
  memo.appendPlainText(QStringLiteral("третья"));
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("log.txt"));
  run::SaveLogFile(path, memo.Lines(), "CP1251");
  EXPECT_EQ(ReadAll(path), QByteArray("\xEF\xE5\xF0\xE2\xE0\xFF\r\n\xE2\xF2\xEE\xF0\xE0\xFF\r\n\xF2\xF0\xE5\xF2\xFC\xFF\r\n"));
}

TEST(LogSave, AFileThatCannotBeCreatedIsAnErrorNamingIt) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("missing/log.txt"));
  try {
    run::SaveLogFile(path, TListSource({QStringLiteral("x")}));
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(QString::fromUtf8(e.what()).contains(path)) << e.what();
  }
}

TEST(LogSave, AFullDiskIsAnError) {
  if (!QFile::exists(QStringLiteral("/dev/full"))) GTEST_SKIP() << "no /dev/full";
  QStringList lines(2000, QStringLiteral("строка журнала, которой не хватило места"));
  EXPECT_THROW(run::SaveLogFile(QStringLiteral("/dev/full"), TListSource(lines)), std::runtime_error);
}

}  // namespace
