// Proof by a real client: LibreOffice Calc opens the written sheet and saves it as CSV, and
// every cell must come back as the result file has it: identifiers still text with their
// leading zeros, dates shown in the portal's layout, nothing evaluated.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QUrl>

#include "XlsxTestSupport.h"
#include "export/XlsxExport.h"

using namespace exportx;
using namespace exporttest;

namespace {

struct TField {
  std::string Text;
  bool Quoted = false;
};

// LibreOffice's CSV: ';' between fields, '"' around text cells (doubled inside), LF or CR LF.
std::vector<std::vector<TField>> ParseCalcCsv(const QByteArray& bytes) {
  std::vector<std::vector<TField>> rows;
  std::vector<TField> row;
  TField field;
  bool inQuotes = false;
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (inQuotes) {
      if (c == '"' && i + 1 < bytes.size() && bytes[i + 1] == '"') {
        field.Text += '"';
        ++i;
      } else if (c == '"') {
        inQuotes = false;
      } else {
        field.Text += c;
      }
    } else if (c == '"') {
      inQuotes = true;
      field.Quoted = true;
    } else if (c == ';') {
      row.push_back(std::move(field));
      field = {};
    } else if (c == '\n') {
      if (!field.Text.empty() && field.Text.back() == '\r') field.Text.pop_back();
      row.push_back(std::move(field));
      rows.push_back(std::move(row));
      field = {};
      row = {};
    } else {
      field.Text += c;
    }
  }
  return rows;
}

TEST(XlsxPeer, LibreOfficeReadsBackEveryCell) {
  const QString soffice = QStandardPaths::findExecutable(QStringLiteral("soffice"));
  ASSERT_FALSE(soffice.isEmpty())
      << "soffice not found: LibreOffice Calc (libreoffice-calc-nogui) is the peer of this test; "
         "scripts/install-deps.sh installs it";
  QTemporaryDir dir;
  const QString csv = dir.filePath(QStringLiteral("data42.csv"));
  const QString xlsx = dir.filePath(QStringLiteral("data42.xlsx"));
  auto rows = TrickyRows();
  // U+FFFF cannot stand in the sheet's XML at all; the format's escape for it is
  // something LibreOffice shows as written, so it is checked by the XML test only.
  for (auto& r : rows) {
    for (auto& v : r) {
      if (v.find("\xEF\xBF\xBF") != std::string::npos) v.erase(v.find("\xEF\xBF\xBF"), 3);
    }
  }
  rows.push_back(CardRow());
  WriteResultFile(csv, rows);
  ConvertResultFileToXlsx(csv, xlsx);

  // A profile of its own, so a running LibreOffice or a stale profile cannot interfere.
  const QString out = dir.filePath(QStringLiteral("out"));
  QDir(dir.path()).mkdir(QStringLiteral("out"));
  QProcess calc;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), dir.path());
  calc.setProcessEnvironment(env);
  calc.setProcessChannelMode(QProcess::MergedChannels);
  calc.start(soffice,
             {QStringLiteral("-env:UserInstallation=") +
                  QUrl::fromLocalFile(dir.filePath(QStringLiteral("profile"))).toString(),
              QStringLiteral("--headless"), QStringLiteral("--norestore"), QStringLiteral("--convert-to"),
              // ';' separated, '"' quoted, UTF-8, every text cell quoted, cells as shown.
              QStringLiteral("csv:Text - txt - csv (StarCalc):59,34,76,1,,0,true,true,true"),
              QStringLiteral("--outdir"), out, xlsx});
  ASSERT_TRUE(calc.waitForFinished(240000)) << "soffice did not finish";
  const QByteArray log = calc.readAll();
  ASSERT_EQ(calc.exitCode(), 0) << log.toStdString();
  const QByteArray back = ReadAll(out + QStringLiteral("/data42.csv"));
  ASSERT_FALSE(back.isEmpty()) << log.toStdString();

  const auto cells = ParseCalcCsv(back);
  std::vector<TRow> expected = {HeaderRow()};
  expected.insert(expected.end(), rows.begin(), rows.end());
  ASSERT_EQ(cells.size(), expected.size());
  for (std::size_t r = 0; r < expected.size(); ++r) {
    ASSERT_EQ(cells[r].size(), static_cast<std::size_t>(kColumnCount)) << "row " << r + 1;
    for (int c = 0; c < kColumnCount; ++c) {
      const auto& got = cells[r][static_cast<std::size_t>(c)];
      const std::string& want = expected[r][static_cast<std::size_t>(c)];
      SCOPED_TRACE(Ref(c, static_cast<int>(r) + 1) + " " + want);
      EXPECT_EQ(got.Text, want);
      // A text cell comes back quoted, a number or date bare: a parsed date is a date, and
      // nothing else became a number.
      if (!want.empty()) {
        EXPECT_EQ(got.Quoted, r == 0 || ColumnKind(c) != TColumnKind::ckDate || !ParsePortalDate(want));
      }
    }
  }
}

}  // namespace
