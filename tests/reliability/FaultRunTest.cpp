// Whole runs of the engine (in harvest-harness) against the demo portal playing its faults:
// nothing the portal served is lost or doubled, nothing malformed is written, every card that
// failed for good is logged, and a run killed outright leaves only whole rows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "DemoPortal.h"

namespace {

using testsupport::TChildProcess;
using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}


// One card of the portal's --dump-expected file.
struct TDumpCard {
  QString Address;
  bool Gone = false;
  int Links = 1;
  int Year = 0;
  int Page = 0;
  QString Row;  // its result row in the all-in-a-row mode, without the line end
};

std::vector<TDumpCard> ReadDump(const QString& path) {
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
  std::vector<TDumpCard> cards;
  for (const QByteArray& raw : f.readAll().split('\n')) {
    if (raw.isEmpty() || raw.startsWith('#')) continue;
    const QStringList cols = QString::fromUtf8(raw).split('\t');
    EXPECT_EQ(cols.size(), 9 + 31) << raw.toStdString();
    if (cols.size() != 40) continue;
    TDumpCard c;
    c.Gone = cols[3] == "404";
    c.Links = cols[4].toInt();
    c.Year = cols[5].toInt();
    c.Page = cols[6].toInt();
    c.Address = cols[8];
    c.Row = "\"" + c.Address + "\";\"N/A\"";
    for (int i = 9; i < 40; ++i) c.Row += ";\"" + cols[i] + "\"";
    cards.push_back(c);
  }
  return cards;
}

// A result row: 33 quoted values separated by ";", no quote inside a value.
const QRegularExpression kRow(QStringLiteral("^\"[^\"]*\"(;\"[^\"]*\"){32}$"));
const QByteArray kHead = QByteArray("\xEF\xBB\xBF\"URL карточки\";\"Активный/Неактивный\";");

// The data rows of the folder's one result file; fails the test on any line that is not a
// whole row.
QStringList ResultRows(const QString& folder) {
  const QStringList files = QDir(folder).entryList({"data*.csv"});
  EXPECT_EQ(files.size(), 1);
  if (files.size() != 1) return {};
  QFile f(QDir(folder).filePath(files[0]));
  EXPECT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray bytes = f.readAll();
  EXPECT_TRUE(bytes.startsWith(kHead));
  EXPECT_TRUE(bytes.endsWith("\r\n")) << "the file ends inside a row";
  QStringList lines = QString::fromUtf8(bytes.mid(3)).split("\r\n");
  lines.removeFirst();  // the header
  lines.removeLast();   // after the last line end
  for (const QString& line : lines) EXPECT_TRUE(kRow.match(line).hasMatch()) << line.toStdString();
  return lines;
}

std::map<QString, int> Tally(const QStringList& rows) {
  std::map<QString, int> n;
  for (const QString& r : rows) ++n[r];
  return n;
}

QString ReadText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QTemporaryDir* gCerts = nullptr;  // the demo PKI: also the current folder of every child

class FaultRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gCerts = new QTemporaryDir;
    const std::string cmd =
        std::string("bash '") + DEMO_MAKE_CERTS + "' '" + gCerts->path().toStdString() + "' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  static void TearDownTestSuite() {
    delete gCerts;
    gCerts = nullptr;
  }

  void StartPortal(std::vector<std::string> options) {
    std::vector<std::string> argv{"--origin-host", "127.0.0.1", "--years", "2016-2016",
                                  "--threads", "16", "--dump-expected", Dump().toStdString()};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(portal_.Start(DEMO_PORTAL_BIN, argv, gCerts->path().toStdString(),
                              dir_.filePath("portal.out").toStdString()))
        << portal_.Error();
    origin_ = QString::fromStdString(portal_.Origin());
  }

  std::unique_ptr<TChildProcess> StartHarness(const std::string& mode, int attempts, int timeout) {
    return std::make_unique<TChildProcess>(
        std::vector<std::string>{HARVEST_HARNESS_BIN, "--origin", origin_.toStdString(), "--program-dir",
                                 dir_.path().toStdString(), "--mode", mode, "--attempts",
                                 std::to_string(attempts), "--timeout", std::to_string(timeout),
                                 "--last-year", "2016"},
        gCerts->path().toStdString(), HarnessOut().toStdString());
  }

  QString Dump() const { return dir_.filePath("expected.tsv"); }
  QString HarnessOut() const { return dir_.filePath("harness.out"); }

  QTemporaryDir dir_;
  QString origin_;
  testsupport::TDemoPortal portal_;
};

}  // namespace

TEST_F(FaultRun, EveryServedCardIsWrittenAsOftenAsListedAndEveryLostCardIsLogged) {
  struct TCase {
    const char* name;
    const char* mode;
    std::vector<std::string> wire;
  } cases[] = {
      {"all cards, plain bodies", "all", {}},
      {"all cards, gzip in chunks", "all", {"--gzip", "--chunked"}},
      {"test export", "test", {"--gzip"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> options{"--pages-per-year", "2", "--cards-per-page", "12",
                                     "--duplicate-links", "2", "--fault-404", "0.15",
                                     "--fault-429", "0.15", "--fault-cut", "0.15",
                                     "--fault-drop", "0.15", "--fault-stall", "0.15",
                                     "--stall-ms", "4000", "--fault-slow", "20",
                                     "--faulty-attempts", "2"};
    options.insert(options.end(), c.wire.begin(), c.wire.end());
    StartPortal(options);
    for (const QString& f : QDir(dir_.path()).entryList({"data*.csv"})) QDir(dir_.path()).remove(f);

    // Transient faults strike the first two attempts of an address: six attempts get through
    // even when a loaded machine adds a spurious time-out.
    auto harness = StartHarness(c.mode, 6, 2);
    ASSERT_TRUE(harness->Wait(180s)) << "the run did not end";
    ASSERT_TRUE(WIFEXITED(harness->Status()) && WEXITSTATUS(harness->Status()) == 0);
    const QString log = ReadText(HarnessOut());

    const std::vector<TDumpCard> cards = ReadDump(Dump());
    ASSERT_FALSE(cards.empty());
    const bool test = std::string(c.mode) == "test";
    QStringList expected;
    int gone = 0;
    for (const TDumpCard& card : cards) {
      if (test && card.Page != 1) continue;
      if (card.Gone) {
        ++gone;
        EXPECT_TRUE(log.contains("log: " + card.Address + ": ERROR_Not Found\n")) << card.Address.toStdString();
        continue;
      }
      for (int i = 0; i < (test ? 1 : card.Links); ++i) expected << card.Row;
    }
    EXPECT_GT(gone, 0);
    const QStringList rows = ResultRows(dir_.path());
    EXPECT_EQ(rows.size(), expected.size());
    EXPECT_TRUE(Tally(rows) == Tally(expected)) << "rows lost, doubled or changed";

    // The plan really played: rate limits, cut pages and time-outs were all retried.
    EXPECT_TRUE(log.contains("ERROR_429 для ")) << log.toStdString();
    EXPECT_TRUE(log.contains("ERROR_Broken для ")) << log.toStdString();
    EXPECT_TRUE(log.contains("outcome: ok")) << log.toStdString();
    if (!test) {
      EXPECT_TRUE(log.contains("Request aborted on timeout")) << log.toStdString();
    }
    portal_.Stop();
  }
}

TEST_F(FaultRun, KilledInTheCardPhaseLeavesOnlyWholeRows) {
  // Slow answers keep the card phase going long enough to be killed in the middle of it.
  StartPortal({"--pages-per-year", "1", "--cards-per-page", "60", "--duplicate-links", "0",
               "--fault-slow", "60"});
  for (const int rowsBeforeKill : {1, 7, 20}) {
    SCOPED_TRACE(rowsBeforeKill);
    for (const QString& f : QDir(dir_.path()).entryList({"data*.csv"})) QDir(dir_.path()).remove(f);
    auto harness = StartHarness("all", 5, 30);
    const auto rowsWritten = [&] {
      const QStringList files = QDir(dir_.path()).entryList({"data*.csv"});
      if (files.isEmpty()) return 0;
      QFile f(QDir(dir_.path()).filePath(files[0]));
      if (!f.open(QIODevice::ReadOnly)) return 0;
      return static_cast<int>(f.readAll().count("\r\n")) - 1;
    };
    ASSERT_TRUE(WaitUntil([&] { return rowsWritten() >= rowsBeforeKill; }, 90s));
    harness->Kill();
    ASSERT_TRUE(WIFSIGNALED(harness->Status()));

    QStringList all;
    for (const TDumpCard& card : ReadDump(Dump())) all << card.Row;
    const QStringList rows = ResultRows(dir_.path());
    EXPECT_GE(rows.size(), rowsBeforeKill);
    EXPECT_LT(rows.size(), 60) << "the run was not killed in its card phase";
    for (const QString& row : rows) EXPECT_TRUE(all.contains(row)) << row.toStdString();
  }
}
