// Keeping a harvest current, from outside: the demo portal at revision 0 and at revision 1, a
// harvest of each, and --compare of the first with the second, checked against what the two
// dumps of the portal say changed, in both output forms; and what --compare refuses.
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "QtChildProcess.h"
#include "XlsxTestSupport.h"
#include "text/ResultFile.h"

namespace {

using testsupport::TQtChildProcess;

const QString kBin = QStringLiteral(SH_BIN_DIR);
const QString kCli = kBin + QStringLiteral("/supplier-harvester-cli");
constexpr int kColumns = text::TResultFile::kColumnCount;
constexpr int kBinColumn = 8, kNameColumn = 11;

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString KeyOf(const QString& url) {
  const qsizetype scheme = url.indexOf(QStringLiteral("://"));
  return scheme < 0 ? url : url.mid(url.indexOf(u'/', scheme + 3));
}

// The rows of a result file or of the long form, each split into its fields.
QList<QStringList> CsvRows(const QString& path) {
  const QByteArray bytes = ReadFile(path);
  QList<QStringList> rows;
  if (!bytes.startsWith("\xEF\xBB\xBF")) return rows;
  for (const QString& line : QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
    rows.append(line.mid(1, line.size() - 2).split(QStringLiteral("\";\"")));
  rows.removeFirst();
  return rows;
}

// One card of a dump: its activity in the result file's words and its 31 values.
struct TDumpCard {
  QString Activity;
  QStringList Values;
};
using TDump = std::map<QString, TDumpCard>;  // by address key

TDump ReadDump(const QString& path) {
  TDump dump;
  for (const QString& raw : QString::fromUtf8(ReadFile(path)).split(u'\n')) {
    if (raw.isEmpty() || raw.startsWith(u'#')) continue;
    const QStringList c = raw.split(u'\t');
    dump[KeyOf(c[8])] = {c[1] == QStringLiteral("inactive") ? QStringLiteral("Неактивный") : QStringLiteral("Активный"),
                         c.mid(9)};
  }
  return dump;
}

// A card as a row of the result file: address, activity and the values.
QStringList RowOf(const QString& origin, const QString& key, const TDumpCard& card) {
  return QStringList{origin + key, card.Activity} + card.Values;
}

// The lines of the long form that the two dumps call for (as a set), given the addresses'
// origins in the two files; with `activityOnly` the changes of known cards are those of the
// activity column alone.
std::set<QStringList> ExpectedChanges(const TDump& before, const TDump& after, const QString& oldOrigin,
                                      const QString& newOrigin, bool activityOnly) {
  const QString* titles = text::TResultFile::HeaderTitles();
  std::set<QStringList> lines;
  const auto card = [](const QString& kind, const QStringList& row, const QString& field = {},
                       const QString& was = {}, const QString& now = {}) {
    return QStringList{kind, row[0], row[kBinColumn], row[kNameColumn], field, was, now};
  };
  for (const auto& [key, c] : after) {
    const QStringList now = RowOf(newOrigin, key, c);
    const auto it = before.find(key);
    if (it == before.end()) {
      lines.insert(card(QStringLiteral("Новый"), now));
      continue;
    }
    const QStringList was = RowOf(oldOrigin, key, it->second);
    for (int col = 1; col < (activityOnly ? 2 : kColumns); ++col) {
      if (was[col] != now[col]) lines.insert(card(QStringLiteral("Изменён"), now, titles[col], was[col], now[col]));
    }
  }
  for (const auto& [key, c] : before) {
    if (!after.count(key)) lines.insert(card(QStringLiteral("Выбыл"), RowOf(oldOrigin, key, c)));
  }
  return lines;
}

// Where each card address stands last in a result file.
QHash<QString, int> LastRows(const QString& path) {
  QHash<QString, int> last;
  int i = 0;
  for (const QStringList& row : CsvRows(path)) last[row[0]] = i++;
  return last;
}

// Two demo portals serving the same register, at revisions 0 and 1, a harvest of each in the
// separate mode with both boxes (so that the activity is known), made once for the suite.
class CliCurrentTest : public ::testing::Test {
 protected:
  struct TWorld {
    QTemporaryDir Work{QStringLiteral(SH_TEST_WORK_DIR "/current-work-XXXXXX")};
    std::unique_ptr<TQtChildProcess> Portals[2];
    QString Origins[2];
    TDump Dumps[2];
    QString Harvest0, Full1, Update1;
    QString UpdateLog;  // stdout of the update
    QString Failure;
  };
  static inline TWorld* World = nullptr;

  static QString Out() { return World->Work.path() + QStringLiteral("/out/"); }

  // The demo portal's options: the suite's small register at `revision`.
  static QStringList PortalArgs(int revision) {
    const int year = QDate::currentDate().year();
    return {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--cert"),
            kBin + QStringLiteral("/server-cert.pem"), QStringLiteral("--key"), kBin + QStringLiteral("/server-key.pem"),
            QStringLiteral("--ca"), kBin + QStringLiteral("/ca.pem"), QStringLiteral("--threads"), QStringLiteral("8"),
            QStringLiteral("--years"), QStringLiteral("%1-%2").arg(year - 1).arg(year), QStringLiteral("--pages-per-year"),
            QStringLiteral("1"), QStringLiteral("--cards-per-page"), QStringLiteral("20"),
            QStringLiteral("--inactive-per-type"), QStringLiteral("2"), QStringLiteral("--revision"),
            QString::number(revision)};
  }

  static QString StartPortal(int revision) {
    const QString dump = World->Work.path() + QStringLiteral("/expected%1.tsv").arg(revision);
    const QStringList args = PortalArgs(revision) + QStringList{QStringLiteral("--dump-expected"), dump};
    auto& portal = World->Portals[revision];
    portal = std::make_unique<TQtChildProcess>(kBin + QStringLiteral("/demo-portal"), args, World->Work.path());
    static const QRegularExpression listening(QStringLiteral("listening on (https://\\S+)"));
    if (!portal->WaitUntil([&] { return listening.match(portal->Out()).hasMatch(); }, 20000))
      return QStringLiteral("demo portal did not start: ") + portal->Err();
    World->Origins[revision] = listening.match(portal->Out()).captured(1);
    World->Dumps[revision] = ReadDump(dump);
    return {};
  }

 public:
  // Runs the command in the working folder; with `origin` against that portal into out/.
  static std::unique_ptr<TQtChildProcess> Cli(const QStringList& args, int portal = -1) {
    QStringList all = args;
    if (portal >= 0)
      all = QStringList{QStringLiteral("--origin"), World->Origins[portal], QStringLiteral("--output-dir"), Out(),
                        QStringLiteral("--quiet")} +
            args;
    return std::make_unique<TQtChildProcess>(kCli, all, World->Work.path());
  }

  // A whole run; returns the result file it names, or an empty text (with the reason in Failure).
  static QString Harvest(const QStringList& args, int portal, QString* log = nullptr) {
    auto cli = Cli(QStringList{QStringLiteral("--separate"), QStringLiteral("--active"), QStringLiteral("--inactive")} + args,
                   portal);
    if (!cli->Finish() || cli->ExitCode() != 0) {
      World->Failure = QStringLiteral("harvest failed: ") + cli->Err();
      return {};
    }
    if (log) *log = cli->Out();
    static const QRegularExpression named(QStringLiteral("Файл результата: (\\S+)\n"));
    return named.match(cli->Err()).captured(1);
  }

  static void SetUpTestSuite() {
    World = new TWorld;
    for (const char* f : {"supplier-harvester-cli", "demo-portal", "server-cert.pem", "01cert.pem", "01key.pem"}) {
      if (!QFileInfo::exists(kBin + u'/' + QString::fromLatin1(f))) {
        World->Failure = QStringLiteral("missing ") + QString::fromLatin1(f);
        return;
      }
    }
    QDir().mkpath(Out());
    for (const char* f : {"01cert.pem", "01key.pem"})
      QFile::copy(kBin + u'/' + QString::fromLatin1(f), World->Work.path() + u'/' + QString::fromLatin1(f));
    for (int revision : {0, 1}) {
      World->Failure = StartPortal(revision);
      if (!World->Failure.isEmpty()) return;
    }
    World->Harvest0 = Harvest({}, 0);
    if (!World->Harvest0.isEmpty()) World->Full1 = Harvest({}, 1);
    if (!World->Full1.isEmpty())
      World->Update1 = Harvest({QStringLiteral("--update"), World->Harvest0}, 1, &World->UpdateLog);
  }
  static void TearDownTestSuite() {
    delete World;
    World = nullptr;
  }

 protected:
  void SetUp() override {
    if (World->Failure.startsWith(QStringLiteral("missing "))) GTEST_SKIP() << World->Failure.toStdString();
    ASSERT_TRUE(World->Failure.isEmpty()) << World->Failure.toStdString();
    ASSERT_FALSE(World->Update1.isEmpty());
  }

  // The rows an update at revision 1 of the harvest at revision 0 writes, the address's origin
  // left out: every listed card as often as it is linked, a known card with its values of
  // revision 0 and its activity of revision 1, a new card as revision 1 has it.
  static QStringList ExpectedUpdateRows() {
    QStringList rows;
    const QString dump = QString::fromUtf8(ReadFile(World->Work.path() + QStringLiteral("/expected1.tsv")));
    for (const QString& raw : dump.split(u'\n')) {
      if (raw.isEmpty() || raw.startsWith(u'#')) continue;
      const QStringList c = raw.split(u'\t');
      const QString key = KeyOf(c[8]);
      const auto before = World->Dumps[0].find(key);
      TDumpCard card = World->Dumps[1].at(key);
      if (before != World->Dumps[0].end()) card.Values = before->second.Values;
      for (int link = 0; link < c[4].toInt(); ++link) rows.append(RowOf(QString(), key, card).join(u'|'));
    }
    rows.sort();
    return rows;
  }
  // A result file's rows in the same form.
  static QStringList RowsWithoutOrigin(const QString& path) {
    QStringList rows;
    for (QStringList row : CsvRows(path)) {
      row[0] = KeyOf(row[0]);
      rows.append(row.join(u'|'));
    }
    rows.sort();
    return rows;
  }

  // --compare of revision 0's harvest with `newer`, in both forms: the lines are those the
  // dumps call for, in the order of the files, and the workbook holds the same.
  void ExpectComparison(const QString& newer, bool activityOnly) {
    const QString csv = Out() + QStringLiteral("changes.csv");
    QFile::remove(csv);
    auto cli = Cli({QStringLiteral("--compare"), World->Harvest0, newer, QStringLiteral("--output"), csv});
    ASSERT_TRUE(cli->Finish());
    EXPECT_EQ(cli->ExitCode(), 0) << cli->Err().toStdString();
    const QList<QStringList> lines = CsvRows(csv);
    const std::set<QStringList> expected = ExpectedChanges(World->Dumps[0], World->Dumps[1], World->Origins[0],
                                                           World->Origins[1], activityOnly);
    EXPECT_EQ(std::set<QStringList>(lines.begin(), lines.end()), expected);
    EXPECT_EQ(static_cast<std::size_t>(lines.size()), expected.size()) << "no line twice";

    // Every kind of change is there, in its place: new in NEW's order, gone in OLD's, changed
    // in NEW's.
    const QHash<QString, int> oldRows = LastRows(World->Harvest0), newRows = LastRows(newer);
    int stage = 0, last = -1;
    std::map<QString, int> kinds;
    std::set<QString> changedCards;
    for (const QStringList& l : lines) {
      const int s = l[0] == QStringLiteral("Новый") ? 0 : l[0] == QStringLiteral("Выбыл") ? 1 : 2;
      ASSERT_GE(s, stage) << l.join(u' ').toStdString();
      if (s != stage) last = -1;
      stage = s;
      const int at = (s == 1 ? oldRows : newRows).value(l[1], -1);
      ASSERT_GE(at, last) << l.join(u' ').toStdString();
      last = at;
      ++kinds[l[0]];
      if (l[0] == QStringLiteral("Изменён")) {
        ++kinds[l[4]];
        changedCards.insert(l[1]);
      }
    }
    EXPECT_GT(kinds["Новый"], 0);
    EXPECT_GT(kinds["Выбыл"], 0);
    EXPECT_GT(kinds[QStringLiteral("Активный/Неактивный")], 0);
    if (!activityOnly) {
      EXPECT_GT(kinds["Контактный телефон"] + kinds["Руководитель:ФИО"] + kinds["Полный адрес(рус)"], 0);
    }
    EXPECT_TRUE(cli->Err().endsWith(QStringLiteral("Файл изменений: %1 (новых: %2, выбывших: %3, изменённых: %4)\n")
                                        .arg(csv)
                                        .arg(kinds["Новый"])
                                        .arg(kinds["Выбыл"])
                                        .arg(changedCards.size())))
        << cli->Err().toStdString();

    // The workbook beside NEW by default: its sheet of changes is the long form, its sheet of
    // new cards their whole rows.
    const QString book = newer.left(newer.size() - 4) + QStringLiteral("-changes.xlsx");
    QFile::remove(book);
    auto xlsx = Cli({QStringLiteral("--compare"), World->Harvest0, newer});
    ASSERT_TRUE(xlsx->Finish());
    EXPECT_EQ(xlsx->ExitCode(), 0) << xlsx->Err().toStdString();
    ASSERT_TRUE(QFileInfo::exists(book));
    EXPECT_EQ(exporttest::SheetNames(book),
              (std::vector<std::string>{"Сводка", "Новые", "Выбывшие", "Изменения"}));
    const auto sheet = [&](int number, int columns) {
      const exporttest::TSheetXml x = exporttest::ReadBackXlsx(book, number);
      QList<QStringList> rows;
      for (int r = 2; x.At(exporttest::Ref(0, r)).Type != "none"; ++r) {
        QStringList row;
        for (int c = 0; c < columns; ++c) row.append(QString::fromStdString(x.At(exporttest::Ref(c, r)).Text));
        rows.append(row);
      }
      return rows;
    };
    EXPECT_EQ(sheet(4, 7), lines);
    QList<QStringList> added;
    const QList<QStringList> newFile = CsvRows(newer);
    for (const QStringList& l : lines) {
      if (l[0] != QStringLiteral("Новый")) continue;
      added.append(newFile[newRows.value(l[1])]);
    }
    // The two dates are date cells there, as in the export; the rest is the result file's text.
    QList<QStringList> sheetAdded = sheet(2, kColumns);
    for (auto* rows : {&sheetAdded, &added}) {
      for (QStringList& row : *rows) row[3] = row[4] = QString();
    }
    EXPECT_EQ(sheetAdded, added);
  }
};

TEST_F(CliCurrentTest, CompareWithAFullHarvestFindsEveryChange) { ExpectComparison(World->Full1, false); }

// The update fetches only the new cards and takes the others over: compared with the harvest it
// updates, it shows exactly the new, the gone and the activity changes.
TEST_F(CliCurrentTest, UpdateTakesKnownRowsOverAndFetchesTheNewCards) {
  EXPECT_EQ(RowsWithoutOrigin(World->Update1), ExpectedUpdateRows());
  int known = 0, added = 0;
  const QString dump = QString::fromUtf8(ReadFile(World->Work.path() + QStringLiteral("/expected1.tsv")));
  for (const QString& raw : dump.split(u'\n')) {
    if (raw.isEmpty() || raw.startsWith(u'#')) continue;
    const QStringList c = raw.split(u'\t');
    (World->Dumps[0].count(KeyOf(c[8])) ? known : added) += c[4].toInt();
  }
  EXPECT_TRUE(World->UpdateLog.contains(QStringLiteral(": Из файла %1 взято строк: %2, загружаем карточек: %3\n")
                                            .arg(World->Harvest0)
                                            .arg(known)
                                            .arg(added)))
      << World->UpdateLog.toStdString();
  // Only the new cards were fetched.
  EXPECT_EQ(World->UpdateLog.count(QRegularExpression(QStringLiteral("/show_supplier/\\d+: успешно\n"))), added);
  ExpectComparison(World->Update1, true);
}

// An update killed in its card phase is finished by a plain --resume of its new file: the file
// then holds the rows of an update that was not interrupted.
TEST_F(CliCurrentTest, AKilledUpdateIsFinishedByResume) {
  // A slow portal at revision 1 keeps the fetches of the new cards going while the kill comes.
  TQtChildProcess slow(kBin + QStringLiteral("/demo-portal"),
                       PortalArgs(1) + QStringList{QStringLiteral("--fault-slow"), QStringLiteral("600")},
                       World->Work.path());
  static const QRegularExpression listening(QStringLiteral("listening on (https://\\S+)"));
  ASSERT_TRUE(slow.WaitUntil([&] { return listening.match(slow.Out()).hasMatch(); }, 20000));
  const QString origin = listening.match(slow.Out()).captured(1);
  const QString dir = World->Work.path() + QStringLiteral("/killed/");
  ASSERT_TRUE(QDir().mkpath(dir));
  const QStringList mode{QStringLiteral("--origin"), origin, QStringLiteral("--output-dir"), dir, QStringLiteral("--quiet"),
                         QStringLiteral("--separate"), QStringLiteral("--active"), QStringLiteral("--inactive")};
  {
    TQtChildProcess first(kCli, mode + QStringList{QStringLiteral("--update"), World->Harvest0}, World->Work.path());
    static const QRegularExpression fetched(QStringLiteral("/show_supplier/\\d+: успешно\n"));
    ASSERT_TRUE(first.WaitUntil([&] { return first.Out().count(fetched) >= 1; }, 120000)) << first.Out().toStdString();
    first.Signal(SIGKILL);
    ASSERT_FALSE(first.Finish(10000));
  }
  const QStringList csvs = QDir(dir).entryList({QStringLiteral("data*.csv")}, QDir::Files);
  ASSERT_EQ(csvs.size(), 1);
  const QString path = dir + csvs[0];
  ASSERT_LT(RowsWithoutOrigin(path).size(), ExpectedUpdateRows().size());

  TQtChildProcess resumed(kCli, mode + QStringList{QStringLiteral("--resume"), path}, World->Work.path());
  ASSERT_TRUE(resumed.Finish());
  EXPECT_EQ(resumed.ExitCode(), 0) << resumed.Err().toStdString();
  EXPECT_EQ(QDir(dir).entryList({QStringLiteral("data*.csv")}, QDir::Files), csvs);
  EXPECT_EQ(RowsWithoutOrigin(path), RowsWithoutOrigin(World->Update1));

  // --update with --resume is refused before anything is written.
  const QStringList before = exporttest::Entries(dir);
  TQtChildProcess both(kCli, mode + QStringList{QStringLiteral("--update"), World->Harvest0, QStringLiteral("--resume"), path},
                       World->Work.path());
  ASSERT_TRUE(both.Finish());
  EXPECT_EQ(both.ExitCode(), 2);
  EXPECT_EQ(both.Err().count(u'\n'), 1) << both.Err().toStdString();
  EXPECT_EQ(exporttest::Entries(dir), before);
}

// Each refusal is one stderr line and exit 2, and leaves the folder as it was.
TEST_F(CliCurrentTest, RefusalsWriteNothing) {
  const QString notes = World->Work.path() + QStringLiteral("/notes.csv");
  QFile f(notes);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("\xEF\xBB\xBF\"a\";\"b\"\r\n");
  f.close();
  const QString old = World->Harvest0, now = World->Full1;
  const QString missing = World->Work.path() + QStringLiteral("/no/such/changes.xlsx");
  const QList<QStringList> cases = {
      {QStringLiteral("--compare"), notes, now},
      {QStringLiteral("--compare"), old, notes},
      {QStringLiteral("--compare"), now, now},
      {QStringLiteral("--compare"), old, now, QStringLiteral("--output"), Out() + QStringLiteral("changes.txt")},
      {QStringLiteral("--compare"), old, now, QStringLiteral("--output"), now},
      {QStringLiteral("--compare"), old, now, QStringLiteral("--output"), missing},
      {QStringLiteral("--compare"), old},
      {QStringLiteral("--compare"), old, now, QStringLiteral("--test")},
      {QStringLiteral("--output"), Out() + QStringLiteral("c.csv")},
      {QStringLiteral("--origin"), World->Origins[1], QStringLiteral("--output-dir"), Out(), QStringLiteral("--update"), notes},
      {QStringLiteral("--origin"), World->Origins[1], QStringLiteral("--output-dir"), Out(), QStringLiteral("--update"),
       World->Work.path() + QStringLiteral("/missing.csv")},
      {QStringLiteral("--compare"), old, now, QStringLiteral("--update"), old},
  };
  const QStringList before = exporttest::Entries(Out());
  const QByteArray newBytes = ReadFile(now);
  for (const QStringList& args : cases) {
    SCOPED_TRACE(args.join(u' ').toStdString());
    auto cli = Cli(args);
    ASSERT_TRUE(cli->Finish());
    EXPECT_EQ(cli->ExitCode(), 2);
    EXPECT_EQ(cli->Err().count(u'\n'), 1) << cli->Err().toStdString();
    EXPECT_TRUE(cli->Err().startsWith(QStringLiteral("supplier-harvester-cli: "))) << cli->Err().toStdString();
    EXPECT_TRUE(cli->Out().isEmpty());
    EXPECT_EQ(exporttest::Entries(Out()), before);
    EXPECT_EQ(ReadFile(now), newBytes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
