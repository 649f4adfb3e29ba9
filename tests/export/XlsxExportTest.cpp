// A result file turned into a sheet, read back from the sheet's XML; refusals and write
// failures that must leave nothing behind and the result file as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDate>
#include <QFileInfo>
#include <cmath>

#include "XlsxTestSupport.h"
#include "export/XlsxExport.h"
#include "text/ResultFileReader.h"

using namespace exportx;
using namespace exporttest;

namespace {

// Days since the sheet's epoch, with the time of day as the fraction.
double Serial(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return static_cast<double>(QDate(y, mo, d).toJulianDay() - QDate(1899, 12, 30).toJulianDay()) +
         (h * 3600 + mi * 60 + s) / 86400.0;
}

class XlsxExportTest : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  QString Csv() const { return dir_.filePath(QStringLiteral("data123.csv")); }
  QString Xlsx() const { return dir_.filePath(QStringLiteral("data123.xlsx")); }
};

TEST_F(XlsxExportTest, CellsKeepWhatThePortalSaid) {
  const auto rows = TrickyRows();
  WriteResultFile(Csv(), rows, "\"https://cut");
  const QByteArray before = ReadAll(Csv());
  const auto summary = ConvertResultFileToXlsx(Csv(), Xlsx());
  EXPECT_EQ(summary.Rows, 3);
  EXPECT_TRUE(summary.PartialTail);
  EXPECT_EQ(ReadAll(Csv()), before);
  EXPECT_EQ(Entries(dir_.path()), QStringList({QStringLiteral("data123.csv"), QStringLiteral("data123.xlsx")}));

  const TSheetXml sheet = ReadBackXlsx(Xlsx());
  EXPECT_FALSE(sheet.HasFormula);
  // The header: every title, in bold.
  const TRow header = HeaderRow();
  for (int c = 0; c < 33; ++c) {
    SCOPED_TRACE(header[static_cast<std::size_t>(c)]);
    EXPECT_EQ(sheet.At(Ref(c, 1)).Text, header[static_cast<std::size_t>(c)]);
    EXPECT_TRUE(sheet.Bold(Ref(c, 1)));
  }
  // Every value but the parsed dates is a string cell holding the file's text; identifiers
  // and codes carry the text format, so what is typed there later stays text too.
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (int c = 0; c < 33; ++c) {
      const std::string ref = Ref(c, static_cast<int>(r) + 2);
      const std::string& value = rows[r][static_cast<std::size_t>(c)];
      SCOPED_TRACE(ref + " " + value);
      EXPECT_FALSE(sheet.Bold(ref));
      if (value.empty()) {
        EXPECT_EQ(sheet.At(ref).Text, "");
      } else if (!(r == 0 && (c == 3 || c == 4))) {
        EXPECT_EQ(sheet.At(ref).Type, "inlineStr");
        EXPECT_EQ(sheet.At(ref).Text, value);
      }
      if (ColumnKind(c) == TColumnKind::ckCode && !value.empty()) {
        EXPECT_EQ(sheet.NumFmt(ref), "@");
      }
    }
  }
  // Dates are numbers shown in the portal's own layout.
  EXPECT_EQ(sheet.At("D2").Type, "");
  EXPECT_NEAR(std::stod(sheet.At("D2").Text), Serial(2015, 3, 12, 10, 15, 7), 1e-9);
  EXPECT_EQ(sheet.NumFmt("D2"), "yyyy-mm-dd hh:mm:ss");
  EXPECT_EQ(sheet.At("E2").Type, "");
  EXPECT_NEAR(std::stod(sheet.At("E2").Text), Serial(2024, 2, 1, 10, 15), 1e-9);
  EXPECT_EQ(sheet.NumFmt("E2"), "dd.mm.yyyy hh:mm:ss");
  // Frozen header row, autofilter over all columns and rows.
  EXPECT_EQ(sheet.Pane.at("state"), "frozen");
  EXPECT_EQ(sheet.Pane.at("ySplit"), "1");
  EXPECT_EQ(sheet.Pane.at("topLeftCell"), "A2");
  EXPECT_EQ(sheet.AutoFilter, "A1:AG4");
  // Widths in characters: "ТОО 'Ромашка; и партнёры'" is 25 characters and 45 bytes.
  ASSERT_TRUE(sheet.Widths.count(3));
  EXPECT_GE(sheet.Widths.at(3), 25);
  EXPECT_LT(sheet.Widths.at(3), 30);
}

TEST_F(XlsxExportTest, AHeaderOnlyFileGivesAHeaderOnlySheet) {
  WriteResultFile(Csv(), {});
  EXPECT_EQ(ConvertResultFileToXlsx(Csv(), Xlsx()).Rows, 0);
  const TSheetXml sheet = ReadBackXlsx(Xlsx());
  EXPECT_EQ(sheet.At("AG1").Text, "Тип адреса");
  EXPECT_EQ(sheet.At("A2").Type, "none");
  EXPECT_EQ(sheet.AutoFilter, "A1:AG1");
}

TEST(XlsxPath, ReplacesTheCsvEnding) {
  const std::pair<const char*, const char*> cases[] = {
      {"/work/data123.csv", "/work/data123.xlsx"},
      {"data-5.csv", "data-5.xlsx"},
      {"/x/DATA7.CSV", "/x/DATA7.xlsx"},
      {"/x.csv/data", "/x.csv/data.xlsx"},
      {"/x/notes.txt", "/x/notes.txt.xlsx"},
  };
  for (const auto& [csv, xlsx] : cases) EXPECT_EQ(XlsxPathFor(QString::fromUtf8(csv)), QString::fromUtf8(xlsx)) << csv;
}

// Bytes that are not a result file, or one with a broken row.
TEST_F(XlsxExportTest, RefusingAFileLeavesNothingBehind) {
  const std::string head = "\xEF\xBB\xBF" + CsvLine(HeaderRow());
  TRow shortRow = CardRow();
  shortRow.pop_back();
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"no byte-order mark", CsvLine(HeaderRow())},
      {"another header", "\xEF\xBB\xBF\"a\";\"b\"\r\n"},
      {"a row of 32 fields", head + CsvLine(CardRow()) + CsvLine(shortRow)},
      {"a line ending in LF alone", head + "\"x\"\n"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("data1.csv"));
    const QString xlsx = dir.filePath(QStringLiteral("data1.xlsx"));
    {
      QFile f(csv);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
    EXPECT_THROW(ConvertResultFileToXlsx(csv, xlsx), text::EResultFileFormat);
    EXPECT_EQ(Entries(dir.path()), QStringList{QStringLiteral("data1.csv")});
    EXPECT_EQ(ReadAll(csv), QByteArray::fromStdString(bytes));
  }
}

// Rows a sheet cannot hold and places that cannot be written: a clear error, no file, the
// result file as it was, and an earlier sheet at the target kept.
TEST_F(XlsxExportTest, FailuresKeepTheResultFileAndAnyEarlierSheet) {
  struct TCase {
    const char* Name;
    TRow Row;
    QString Target;  // relative to the folder
    const char* InMessage;
  } const cases[] = {
      {"not UTF-8", CardRow({{12, "Резидент\xD0"}}), QStringLiteral("data1.xlsx"), "UTF-8"},
      {"too long for a cell", CardRow({{20, std::string(40000, 'x')}}), QStringLiteral("data1.xlsx"), "32767"},
      {"no such folder", CardRow(), QStringLiteral("missing/data1.xlsx"), "missing/data1.xlsx"},
      {"the target is a folder", CardRow(), QStringLiteral("sub"), "sub"},
      {"the target is the result file", CardRow(), QStringLiteral("data1.csv"), "data1.csv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("data1.csv"));
    WriteResultFile(csv, {CardRow(), c.Row});
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    {
      QFile old(dir.filePath(QStringLiteral("data1.xlsx")));
      ASSERT_TRUE(old.open(QIODevice::WriteOnly));
      old.write("earlier sheet");
    }
    const QStringList entries = Entries(dir.path());
    const QByteArray before = ReadAll(csv);
    try {
      ConvertResultFileToXlsx(csv, dir.filePath(c.Target));
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.InMessage), std::string::npos) << e.what();
    }
    EXPECT_EQ(Entries(dir.path()), entries);
    EXPECT_TRUE(Entries(dir.filePath(QStringLiteral("sub"))).isEmpty());
    EXPECT_EQ(ReadAll(csv), before);
    EXPECT_EQ(ReadAll(dir.filePath(QStringLiteral("data1.xlsx"))), QByteArray("earlier sheet"));
  }
}

// A disk that fills up, by a file-size limit in a child process: early on, and after the sheet
// itself would have fitted (the rows pass through a scratch file several times its size).
TEST_F(XlsxExportTest, AFullDiskIsAnErrorAndLeavesNoFile) {
  std::vector<TRow> rows;
  for (int i = 0; i < 3000; ++i) {
    const std::string n = std::to_string(i);
    rows.push_back(CardRow({{2, "ТОО 'Поставщик номер " + n + "'"},
                            {8, std::to_string(100000000000LL + i * 7919LL)},
                            {10, "'Жеткізуші " + n + "' жауапкершілігі шектеулі серіктестігі"},
                            {11, "Товарищество с ограниченной ответственностью 'Поставщик " + n + "'"},
                            {30, "г. Алматы, ул. Абая, д. " + n},
                            {31, "Алматы қ., Абай к-сі, " + n + " үй"}}));
  }
  WriteResultFile(Csv(), rows);
  const QByteArray before = ReadAll(Csv());
  QTemporaryDir messages;
  for (const rlim_t limit : {rlim_t{16} << 10, rlim_t{1} << 20}) {
    SCOPED_TRACE(limit);
    const std::string messageFile = messages.filePath(QStringLiteral("message")).toStdString();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit rl{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &rl);
      int status = 0;
      try {
        ConvertResultFileToXlsx(Csv(), Xlsx());
      } catch (const EXlsxExport& e) {
        if (FILE* f = std::fopen(messageFile.c_str(), "w")) {
          std::fputs(e.what(), f);
          std::fclose(f);
        }
        status = 3;
      } catch (...) {
        status = 4;
      }
      ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const QString message = QString::fromUtf8(ReadAll(QString::fromStdString(messageFile)));
    EXPECT_TRUE(message.startsWith(QStringLiteral("Не удалось записать файл ") + Xlsx())) << message.toStdString();
    EXPECT_EQ(Entries(dir_.path()), QStringList{QStringLiteral("data123.csv")});
    QFile::remove(QString::fromStdString(messageFile));
  }
  EXPECT_EQ(ReadAll(Csv()), before);
  // Without the limit the same file converts.
  EXPECT_EQ(ConvertResultFileToXlsx(Csv(), Xlsx()).Rows, 3000);
  EXPECT_LT(QFileInfo(Xlsx()).size(), 1 << 20);
}

}  // namespace
