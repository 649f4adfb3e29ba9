// Comparing two result files: which cards are new, gone and changed, in which order, written as
// the long CSV form and as the workbook; and what is refused with nothing written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include <QFile>
#include <QTemporaryDir>

#include "XlsxTestSupport.h"
#include "compare/ResultCompare.h"
#include "export/XlsxSheet.h"

namespace {

using exporttest::CardRow;
using exporttest::TRow;

constexpr int kBin = 8, kName = 11, kPhone = 17;

TRow Card(const std::string& origin, int id, const std::string& activity, const std::string& phone,
          const std::string& name = "ТОО 'Береке'") {
  return CardRow({{0, origin + "/ru/registry/show_supplier/" + std::to_string(id)},
                  {1, activity},
                  {kBin, "0" + std::to_string(id) + "0000"},
                  {kName, name},
                  {kPhone, phone}});
}

const std::string kOld = "https://old.example:8443";
const std::string kNew = "https://new.example";

// The older harvest in the separate mode, the newer one in the all-in-one-pass mode through
// another origin.
std::vector<TRow> OldRows() {
  return {
      Card(kOld, 1, "Активный", "+7 1"),
      Card(kOld, 2, "Активный", "+7 2"),
      Card(kOld, 3, "Активный", "+7 3 before"),  // its later row counts
      Card(kOld, 4, "Неактивный", "+7 4"),
      Card(kOld, 5, "Активный", "+7 5"),      // gone
      Card(kOld, 3, "Активный", "+7 3"),
      Card(kOld, 6, "Активный", "+7 6"),      // gone
  };
}
std::vector<TRow> NewRows() {
  return {
      Card(kNew, 7, "N/A", "+7 7"),                                // new
      Card(kNew, 2, "N/A", "+7 2 (1)", "ТОО 'Береке; Сервис'"),    // changed: phone and name
      Card(kNew, 3, "N/A", "+7 3"),                                // same as its last old row
      Card(kNew, 4, "N/A", "+7 4"),                                // N/A is no change of activity
      Card(kNew, 1, "N/A", "+7 1"),
      Card(kNew, 8, "N/A", "+7 8"),                                // new
      Card(kNew, 8, "N/A", "+7 8"),                                // listed twice: one new card
  };
}

std::string Line(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? ";\"" : "\"") + fields[i] + '"';
  return line + "\r\n";
}

std::string Title(int c) { return text::TResultFile::HeaderTitles()[c].toStdString(); }

// The expected long form of OldRows against NewRows, without the byte-order mark.
std::vector<std::vector<std::string>> ExpectedChanges() {
  const auto card = [](const TRow& r) { return std::vector<std::string>{r[0], r[kBin], r[kName]}; };
  const auto line = [&](const char* kind, const TRow& r, std::string field = {}, std::string was = {},
                        std::string now = {}) {
    std::vector<std::string> l{kind};
    for (auto& v : card(r)) l.push_back(v);
    l.insert(l.end(), {field, was, now});
    return l;
  };
  const auto o = OldRows();
  const auto n = NewRows();
  return {
      {"Изменение", "URL карточки", "БИН участника", "Наименование на рус. языке", "Поле", "Было", "Стало"},
      line("Новый", n[0]),
      line("Новый", n[6]),
      line("Выбыл", o[4]),
      line("Выбыл", o[6]),
      line("Изменён", n[1], Title(kName), "ТОО 'Береке'", "ТОО 'Береке; Сервис'"),
      line("Изменён", n[1], Title(kPhone), "+7 2", "+7 2 (1)"),
  };
}

class CompareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    exporttest::WriteResultFile(OldPath(), OldRows());
    exporttest::WriteResultFile(NewPath(), NewRows());
  }
  QString OldPath() const { return Dir.path() + QStringLiteral("/data100.csv"); }
  QString NewPath() const { return Dir.path() + QStringLiteral("/data200.csv"); }
  QString In(const char* name) const { return Dir.path() + u'/' + QString::fromUtf8(name); }
  QTemporaryDir Dir;
};

TEST(AddressKey, DropsTheOrigin) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://host:8443/ru/registry/show_supplier/5", "/ru/registry/show_supplier/5"},
      {"https://other/ru/registry/show_supplier/5", "/ru/registry/show_supplier/5"},
      {"http://h?x=1", "?x=1"},
      {"https://h", ""},
      {"/ru/registry/show_supplier/5", "/ru/registry/show_supplier/5"},
      {"", ""},
  };
  for (const auto& [address, key] : cases) EXPECT_EQ(text::AddressKey(address), key) << address;
  EXPECT_EQ(compare::DefaultChangesPath(QStringLiteral("/x/data123.csv")), QStringLiteral("/x/data123-changes.xlsx"));
  EXPECT_EQ(compare::DefaultChangesPath(QStringLiteral("/x/data123")), QStringLiteral("/x/data123-changes.xlsx"));
}

TEST_F(CompareTest, LongFormListsNewGoneAndChangedInOrder) {
  const compare::TCompareSummary s = compare::CompareResultFiles(OldPath(), NewPath(), In("changes.csv"));
  EXPECT_EQ(s.OutputPath, In("changes.csv"));
  EXPECT_EQ(s.OldRows, 7);
  EXPECT_EQ(s.OldCards, 6);
  EXPECT_EQ(s.NewRows, 7);
  EXPECT_EQ(s.NewCards, 6);
  EXPECT_EQ(s.Added, 2);
  EXPECT_EQ(s.Gone, 2);
  EXPECT_EQ(s.Changed, 1);
  EXPECT_EQ(s.ChangesPerColumn[kName], 1);
  EXPECT_EQ(s.ChangesPerColumn[kPhone], 1);
  EXPECT_EQ(s.ChangesPerColumn[1], 0);
  std::string expected = "\xEF\xBB\xBF";
  for (const auto& l : ExpectedChanges()) expected += Line(l);
  EXPECT_EQ(exporttest::ReadAll(In("changes.csv")).toStdString(), expected);
}

TEST_F(CompareTest, ActivityChangesBetweenKnownValuesCount) {
  // Both files from the separate mode: active to inactive is a change.
  exporttest::WriteResultFile(NewPath(), {Card(kNew, 1, "Неактивный", "+7 1"), Card(kNew, 4, "Неактивный", "+7 4")});
  exporttest::WriteResultFile(OldPath(), {Card(kOld, 1, "Активный", "+7 1"), Card(kOld, 4, "Неактивный", "+7 4")});
  const auto s = compare::CompareResultFiles(OldPath(), NewPath(), In("c.csv"));
  EXPECT_EQ(s.Changed, 1);
  EXPECT_EQ(s.ChangesPerColumn[1], 1);
  const std::string bytes = exporttest::ReadAll(In("c.csv")).toStdString();
  EXPECT_NE(bytes.find(Line({"Изменён", kNew + "/ru/registry/show_supplier/1", "010000", "ТОО 'Береке'",
                             "Активный/Неактивный", "Активный", "Неактивный"})),
            std::string::npos)
      << bytes;
}

// Rows of a read-back sheet from row 2 on, `columns` wide.
std::vector<std::vector<std::string>> SheetRows(const exporttest::TSheetXml& sheet, int columns, bool header = false) {
  std::vector<std::vector<std::string>> rows;
  for (int r = header ? 1 : 2;; ++r) {
    std::vector<std::string> row;
    bool any = false;
    for (int c = 0; c < columns; ++c) {
      const auto& cell = sheet.At(exporttest::Ref(c, r));
      any |= cell.Type != "none";
      row.push_back(cell.Text);
    }
    if (!any) return rows;
    rows.push_back(row);
  }
}

TEST_F(CompareTest, WorkbookHoldsSummaryNewGoneAndChanges) {
  const QString book = compare::DefaultChangesPath(NewPath());
  compare::CompareResultFiles(OldPath(), NewPath(), {});
  ASSERT_TRUE(QFile::exists(book));
  EXPECT_EQ(exporttest::SheetNames(book), (std::vector<std::string>{"Сводка", "Новые", "Выбывшие", "Изменения"}));

  const auto summary = exporttest::ReadBackXlsx(book, 1);
  const auto rows = SheetRows(summary, 2);
  std::map<std::string, std::string> values;
  for (const auto& r : rows) values[r[0]] = r[1];
  EXPECT_EQ(values["Строк в старом файле"], "7");
  EXPECT_EQ(values["Карточек в старом файле"], "6");
  EXPECT_EQ(values["Карточек в новом файле"], "6");
  EXPECT_EQ(values["Новых карточек"], "2");
  EXPECT_EQ(values["Выбывших карточек"], "2");
  EXPECT_EQ(values["Изменённых карточек"], "1");
  EXPECT_EQ(values["Изменений в столбце «" + Title(kPhone) + "»"], "1");
  EXPECT_EQ(values["Изменений в столбце «" + Title(1) + "»"], "0");
  EXPECT_EQ(values["Новый файл"], NewPath().toStdString());
  EXPECT_EQ(summary.At("B5").Type, "") << "a count is a number";

  const auto added = exporttest::ReadBackXlsx(book, 2);
  const auto n = NewRows();
  EXPECT_EQ(SheetRows(added, 33, true),
            (std::vector<std::vector<std::string>>{exporttest::HeaderRow(), n[0], n[6]}));
  const auto gone = exporttest::ReadBackXlsx(book, 3);
  const auto o = OldRows();
  EXPECT_EQ(SheetRows(gone, 33), (std::vector<std::vector<std::string>>{o[4], o[6]}));
  // Identifiers stay text with their leading zero.
  EXPECT_EQ(gone.At(exporttest::Ref(kBin, 2)).Type, "inlineStr");
  EXPECT_EQ(gone.NumFmt(exporttest::Ref(kBin, 2)), "@");

  const auto changes = exporttest::ReadBackXlsx(book, 4);
  EXPECT_EQ(SheetRows(changes, 7, true), ExpectedChanges());
  for (const auto* sheet : {&summary, &added, &gone, &changes}) {
    EXPECT_FALSE(sheet->HasFormula);
    EXPECT_TRUE(sheet->Bold("A1"));
    EXPECT_EQ(sheet->Pane.at("ySplit"), "1");
    EXPECT_FALSE(sheet->AutoFilter.empty());
  }
  EXPECT_EQ(changes.AutoFilter, "A1:G7");
}

TEST_F(CompareTest, NoChangesStillWritesTheFile) {
  exporttest::WriteResultFile(In("copy.csv"), NewRows());
  const auto same = compare::CompareResultFiles(NewPath(), In("copy.csv"), In("none.csv"));
  EXPECT_EQ(same.Added + same.Gone + same.Changed, 0);
  EXPECT_EQ(exporttest::ReadAll(In("none.csv")).toStdString(), "\xEF\xBB\xBF" + Line(ExpectedChanges()[0]));
}

// Each refusal leaves the folder as it was.
TEST_F(CompareTest, RefusalsWriteNothing) {
  QFile bad(In("notes.csv"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write("\xEF\xBB\xBF\"a\";\"b\"\r\n");
  bad.close();
  exporttest::WriteResultFile(In("broken.csv"), {}, "");
  QFile broken(In("broken.csv"));
  ASSERT_TRUE(broken.open(QIODevice::Append));
  broken.write("\"only one field\"\r\n");
  broken.close();
  ASSERT_EQ(::symlink(NewPath().toLocal8Bit().constData(), In("link.csv").toLocal8Bit().constData()), 0);

  struct Case {
    const char* name;
    QString older, newer, output;
    bool refusedByName;  // ECompareRefused rather than a file that is no result file
  } cases[] = {
      {"not a result file", In("notes.csv"), NewPath(), In("c.xlsx"), false},
      {"a broken row", OldPath(), In("broken.csv"), In("c.xlsx"), false},
      {"missing file", In("nothing.csv"), NewPath(), In("c.xlsx"), false},
      {"the same file twice", NewPath(), NewPath(), In("c.xlsx"), true},
      {"the same file by another name", In("link.csv"), NewPath(), In("c.xlsx"), true},
      {"a bad extension", OldPath(), NewPath(), In("c.txt"), true},
      {"output is the old file", OldPath(), NewPath(), OldPath(), true},
      {"output is the new file", OldPath(), NewPath(), NewPath(), true},
      {"a missing folder", OldPath(), NewPath(), In("no/such/c.xlsx"), true},
  };
  const QStringList before = exporttest::Entries(Dir.path());
  const QByteArray oldBytes = exporttest::ReadAll(OldPath()), newBytes = exporttest::ReadAll(NewPath());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      compare::CompareResultFiles(c.older, c.newer, c.output);
      ADD_FAILURE() << "not refused";
    } catch (const compare::ECompareRefused&) {
      EXPECT_TRUE(c.refusedByName);
    } catch (const exportx::EXlsxExport& e) {
      ADD_FAILURE() << "a write failure: " << e.what();
    } catch (const std::exception& e) {
      EXPECT_FALSE(c.refusedByName) << e.what();
      EXPECT_EQ(QString::fromUtf8(e.what()).count(u'\n'), 0);
    }
    EXPECT_EQ(exporttest::Entries(Dir.path()), before);
    EXPECT_EQ(exporttest::ReadAll(OldPath()), oldBytes);
    EXPECT_EQ(exporttest::ReadAll(NewPath()), newBytes);
  }
}

// An output that cannot be written leaves an earlier file of its name as it was, and nothing
// else. A name just short of the longest a folder allows leaves no room for the hidden name the
// output is first written under.
TEST_F(CompareTest, AFailedWriteKeepsTheEarlierFile) {
  for (const char* ending : {".csv", ".xlsx"}) {
    SCOPED_TRACE(ending);
    const QString name = QString(250 - static_cast<int>(std::strlen(ending)), u'x') + QLatin1String(ending);
    const QString path = Dir.path() + u'/' + name;
    QFile earlier(path);
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier");
    earlier.close();
    const QStringList before = exporttest::Entries(Dir.path());
    EXPECT_THROW(compare::CompareResultFiles(OldPath(), NewPath(), path), exportx::EXlsxExport);
    EXPECT_EQ(exporttest::ReadAll(path), QByteArray("earlier"));
    EXPECT_EQ(exporttest::Entries(Dir.path()), before);
  }
}

}  // namespace
