// Whole runs of the engine against the bundled demo portal on loopback: HTTPS with the client
// certificate, the real result file, and a real SOCKS5 proxy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DemoPortal.h"
#include "FakeEngineWorld.h"
#include "Register.h"
#include "VirtualClock.h"
#include "engine/ProxySettings.h"
#include "engine/Resume.h"
#include "engine/EngineConfig.h"

using namespace engine;
using namespace enginetest;
using testsupport::TChildProcess;

namespace {

// The demo PKI, made once for the whole suite; also the current directory of every run.
QTemporaryDir* gCerts = nullptr;

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gCerts = new QTemporaryDir;
    const std::string cmd =
        std::string("bash '") + DEMO_MAKE_CERTS + "' '" + gCerts->path().toStdString() + "' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(QDir::setCurrent(gCerts->path()));
  }
  static void TearDownTestSuite() {
    delete gCerts;
    gCerts = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(program_.isValid());
    SetProxySettings({});
  }
  void TearDown() override { SetProxySettings({}); }

  // Starts the portal with the register's shape plus extra options.
  void StartPortal(const demo::TRegisterOptions& shape, std::vector<std::string> extra = {}) {
    std::vector<std::string> options{"--origin-host", "127.0.0.1",
                                     "--years", std::to_string(shape.FirstYear) + "-" +
                                                    std::to_string(shape.LastYear),
                                     "--pages-per-year", std::to_string(shape.PagesPerYear),
                                     "--cards-per-page", std::to_string(shape.CardsPerPage),
                                     "--inactive-per-type", std::to_string(shape.InactivePerType),
                                     "--duplicate-links", std::to_string(shape.DuplicateLinks),
                                     "--fault-404", std::to_string(shape.Gone),
                                     "--threads", "16"};
    options.insert(options.end(), extra.begin(), extra.end());
    ASSERT_TRUE(portal_.Start(DEMO_PORTAL_BIN, options, gCerts->path().toStdString())) << portal_.Error();
    origin_ = QString::fromStdString(portal_.Origin());
    shape_ = shape;
    shape_.Origin = portal_.Origin();
  }

  TEngineConfig Config() {
    TEngineConfig c;
    c.ProgramDir = program_.path();
    c.PortalOrigin = origin_;
    c.Timing.AttemptCount = 5;  // the program's pacing otherwise, on a virtual clock
    c.Clock = std::make_shared<TVirtualClock>();
    c.CurrentYear = shape_.LastYear;
    c.OpenDocument = [this](const QString& path) { opened_.append(path); };
    return c;
  }

  void Run(const TRunOptions& options, const TEngineConfig& config) {
    window_ = std::make_shared<TFakeWindow>();
    opened_.clear();
    for (const QString& f : QDir(program_.path()).entryList({"data*.csv"})) QDir(program_.path()).remove(f);
    auto driver = window_->Start(options, config);
    ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }, std::chrono::seconds(50)));
  }

  // The rows of the one result file, without its BOM and header, sorted.
  QStringList CsvRows() {
    const QStringList files = QDir(program_.path()).entryList({"data*.csv"});
    EXPECT_EQ(files.size(), 1);
    if (files.size() != 1) return {};
    QFile f(QDir(program_.path()).filePath(files[0]));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF\"URL карточки\";\"Активный/Неактивный\";"));
    EXPECT_TRUE(bytes.endsWith("\r\n"));
    QStringList lines = QString::fromUtf8(bytes.mid(3)).split("\r\n");
    lines.removeFirst();  // header
    lines.removeLast();   // after the last CR LF
    lines.sort();
    EXPECT_EQ(opened_, QStringList({f.fileName()}));
    return lines;
  }

  // Expected rows for the given card identifiers.
  QStringList Rows(const std::vector<std::int64_t>& ids,
                   const std::function<QString(const demo::TCardInfo&)>& activity) {
    const demo::TRegister reg(shape_);
    QStringList rows;
    for (const std::int64_t id : ids) {
      const auto card = reg.Card(id);
      if (!card || card->Gone) continue;
      QString row = "\"" + QString::fromStdString(reg.CardUrl(id)) + "\";\"" + activity(*card) + "\"";
      for (const std::string& v : reg.CardPage(*card).Expected) row += ";\"" + QString::fromStdString(v) + "\"";
      rows << row;
    }
    rows.sort();
    return rows;
  }
  std::vector<std::int64_t> Listed(int type) {
    const demo::TRegister reg(shape_);
    std::vector<std::int64_t> ids;
    for (int year = shape_.FirstYear; year <= shape_.LastYear; ++year)
      for (int page = 1; page <= reg.PageCount(type, year); ++page)
        for (auto id : reg.ListIds(type, year, page)) ids.push_back(id);
    return ids;
  }

  QTemporaryDir program_;
  QString origin_;
  demo::TRegisterOptions shape_;
  testsupport::TDemoPortal portal_;
  std::shared_ptr<TFakeWindow> window_;
  QStringList opened_;
};

QString Na(const demo::TCardInfo&) { return "N/A"; }
QString ByType(const demo::TCardInfo& c) { return c.Type ? "Неактивный" : "Активный"; }
QString Inactive(const demo::TCardInfo&) { return "Неактивный"; }

}  // namespace

TEST_F(EndToEnd, TestExportWritesTheFirst100CardsOfThe2016FirstPage) {
  demo::TRegisterOptions shape;
  shape.FirstYear = 2016;
  shape.LastYear = 2017;
  shape.PagesPerYear = 2;
  shape.CardsPerPage = 110;
  StartPortal(shape);
  Run({true, true, false, false, false}, Config());

  const demo::TRegister reg(shape_);
  std::vector<std::int64_t> first = reg.ListIds(0, 2016, 1);
  first.resize(100);
  EXPECT_EQ(CsvRows(), Rows(first, Na));
  const QStringList log = window_->DriverLog();
  EXPECT_TRUE(log.contains("Найдено 110 карточек"));
  EXPECT_TRUE(log.contains("Всего карточек: 110"));
  EXPECT_TRUE(log.contains("Открываем файл с результатами"));
  EXPECT_EQ(window_->Events().filter("outcome:"), QStringList({"outcome:ok"}));
}

TEST_F(EndToEnd, EachModeWritesExactlyItsCards) {
  demo::TRegisterOptions shape;
  shape.FirstYear = 2016;
  shape.LastYear = 2016;
  shape.PagesPerYear = 2;
  shape.CardsPerPage = 6;
  shape.InactivePerType = 1;
  shape.DuplicateLinks = 2;  // two cards linked twice: written twice
  StartPortal(shape, {"--gzip", "--chunked"});

  const std::vector<std::int64_t> cards = Listed(0);
  std::vector<std::int64_t> inactive;
  for (int type : {8, 9, 10})
    for (auto id : Listed(type)) inactive.push_back(id);
  std::vector<std::int64_t> active;
  for (auto id : cards)
    if (std::find(inactive.begin(), inactive.end(), id) == inactive.end()) active.push_back(id);
  ASSERT_EQ(cards.size(), 14u);
  ASSERT_EQ(inactive.size(), 3u);

  struct Case {
    const char* name;
    TRunOptions options;
    QStringList rows;
  } cases[] = {
      {"all in a row", {false, true, false, false, false}, Rows(cards, Na)},
      {"separate, both", {false, false, true, true, true}, Rows(cards, ByType)},
      {"separate, inactive", {false, false, true, false, true}, Rows(inactive, Inactive)},
      {"separate, active", {false, false, true, true, false}, Rows(active, ByType)},
  };
  for (const auto& c : cases) {
    Run(c.options, Config());
    EXPECT_EQ(CsvRows().join("\n").toStdString(), c.rows.join("\n").toStdString()) << c.name;
    EXPECT_TRUE(window_->Logged("Всего карточек: 14")) << c.name;
    if (c.options.Separate) {
      EXPECT_TRUE(window_->Logged("Всего неактивных карточек: 3")) << c.name;
    }
  }
}

TEST_F(EndToEnd, RetriesTransientFaultsAndLeavesGoneCardsOut) {
  demo::TRegisterOptions shape;
  shape.FirstYear = 2016;
  shape.LastYear = 2016;
  shape.PagesPerYear = 2;
  shape.CardsPerPage = 8;
  shape.Gone = 0.25;
  StartPortal(shape, {"--fault-429", "0.3", "--fault-cut", "0.3", "--faulty-attempts", "2"});
  Run({false, true, false, false, false}, Config());

  const std::vector<std::int64_t> cards = Listed(0);
  EXPECT_EQ(CsvRows(), Rows(cards, Na));
  const demo::TRegister reg(shape_);
  int gone = 0;
  for (auto id : cards) {
    if (!reg.Card(id)->Gone) continue;
    ++gone;
    EXPECT_TRUE(window_->Logged(QString::fromStdString(reg.CardUrl(id)) + ": ERROR_Not Found"));
  }
  EXPECT_GT(gone, 0);
  const QString events = window_->Events().join("\n");
  EXPECT_TRUE(events.contains("ERROR_429 для "));
  EXPECT_TRUE(events.contains("ERROR_Broken для "));
}

TEST_F(EndToEnd, CardPhaseThroughASocks5Proxy) {
  demo::TRegisterOptions shape;
  shape.FirstYear = 2016;
  shape.LastYear = 2016;
  shape.PagesPerYear = 1;
  shape.CardsPerPage = 5;
  shape.DuplicateLinks = 0;
  StartPortal(shape);
  const int socksPort = testsupport::FreeLoopbackPort();
  TChildProcess socks({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(socksPort),
                       "-u", "harvest", "-P", "s3cretpass"},
                      gCerts->path().toStdString());
  ASSERT_TRUE(WaitUntil([&] { return testsupport::LoopbackAccepts(socksPort); }));
  {
    QFile f(QDir(program_.path()).filePath("proxy.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("harvest:s3cretpass@127.0.0.1:%1\r\n").arg(socksPort).toUtf8());
  }
  Run({false, true, false, false, false}, Config());
  EXPECT_EQ(CsvRows(), Rows(Listed(0), Na));
  EXPECT_TRUE(window_->Logged(
      QStringLiteral("Используем прокси 127.0.0.1:%1, login harvest, password s3cre***").arg(socksPort)));

  // A wrong password: every card attempt fails at the proxy and the file keeps its header only.
  {
    QFile f(QDir(program_.path()).filePath("proxy.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QStringLiteral("harvest:wrong@127.0.0.1:%1\r\n").arg(socksPort).toUtf8());
  }
  TEngineConfig config = Config();
  config.Timing.AttemptCount = 1;
  Run({false, true, false, false, false}, config);
  EXPECT_TRUE(CsvRows().isEmpty());
  EXPECT_EQ(window_->Events().filter(QRegularExpression("log:.*show_supplier.*: ERROR_")).size(), 5);
}

TEST_F(EndToEnd, StopInTheCardPhaseKeepsWholeRowsAndAFileThatCannotBeCreatedIsReported) {
  demo::TRegisterOptions shape;
  shape.FirstYear = 2016;
  shape.LastYear = 2016;
  shape.PagesPerYear = 1;
  shape.CardsPerPage = 30;
  shape.DuplicateLinks = 0;
  StartPortal(shape, {"--fault-slow", "150"});

  window_ = std::make_shared<TFakeWindow>();
  auto driver = window_->Start({false, true, false, false, false}, Config());
  const auto rowsWritten = [&] {
    const QStringList files = QDir(program_.path()).entryList({"data*.csv"});
    if (files.isEmpty()) return 0;
    QFile f(QDir(program_.path()).filePath(files[0]));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    return static_cast<int>(f.readAll().count("\r\n")) - 1;
  };
  ASSERT_TRUE(WaitUntil([&] { return rowsWritten() >= 2; }, std::chrono::seconds(40)));
  driver->Terminate();
  ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
  const QStringList rows = CsvRows();  // also checks that the file was handed over
  EXPECT_GE(rows.size(), 2);
  EXPECT_LT(rows.size(), 30);
  const QStringList all = Rows(Listed(0), Na);
  for (const QString& row : rows) EXPECT_TRUE(all.contains(row)) << row.toStdString();
  EXPECT_TRUE(window_->Events().filter("outcome:").isEmpty());
  EXPECT_TRUE(window_->Events().contains("state:idle"));

  // The result file cannot be created: the error is reported (with its pause), then "ok";
  // nothing is opened.
  TEngineConfig config = Config();
  config.ProgramDir = program_.path() + "/missing/folder";
  Run({false, true, false, false, false}, config);
  const QStringList outcomes = window_->Events().filter("outcome:");
  ASSERT_EQ(outcomes.size(), 2);
  EXPECT_TRUE(outcomes[0].startsWith("outcome:ERROR_")) << outcomes[0].toStdString();
  EXPECT_TRUE(outcomes[0].contains(config.ProgramDir)) << outcomes[0].toStdString();
  EXPECT_EQ(outcomes[1], "outcome:ok");
  EXPECT_TRUE(opened_.isEmpty());
}

TEST_F(EndToEnd, ARunStoppedInItsCardPhaseIsContinuedToTheRowsOfAWholeRun) {
  demo::TRegisterOptions shape;
  shape.FirstYear = 2016;
  shape.LastYear = 2016;
  shape.PagesPerYear = 2;
  shape.CardsPerPage = 12;
  shape.InactivePerType = 2;
  shape.DuplicateLinks = 3;
  StartPortal(shape, {"--fault-slow", "100"});
  const TRunOptions both{false, false, true, true, true};

  window_ = std::make_shared<TFakeWindow>();
  auto driver = window_->Start(both, Config());
  const auto file = [&] {
    const QStringList files = QDir(program_.path()).entryList({"data*.csv"});
    return files.isEmpty() ? QString() : QDir(program_.path()).filePath(files[0]);
  };
  const auto rowsWritten = [&] {
    if (file().isEmpty()) return 0;
    QFile f(file());
    return f.open(QIODevice::ReadOnly) ? static_cast<int>(f.readAll().count("\r\n")) - 1 : 0;
  };
  ASSERT_TRUE(WaitUntil([&] { return rowsWritten() >= 3; }, std::chrono::seconds(40)));
  driver->Terminate();
  ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
  ASSERT_LT(rowsWritten(), Rows(Listed(0), ByType).size());

  // Kept elsewhere, with the beginning of a row a killed run would have left behind.
  QTemporaryDir kept;
  const QString path = kept.filePath("data1.csv");
  ASSERT_TRUE(QFile::copy(file(), path));
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("\"" + origin_.toUtf8() + "/ru/registry/show_supp");
  }
  ASSERT_EQ(CheckResumeFile(path, both), "");

  TEngineConfig config = Config();
  config.ResumeFile = path;
  Run(both, config);
  EXPECT_TRUE(QDir(program_.path()).entryList({"data*.csv"}).isEmpty());
  EXPECT_TRUE(window_->Logged("Удалена оборванная последняя строка файла " + path));
  EXPECT_EQ(opened_, QStringList({path}));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QStringList rows = QString::fromUtf8(f.readAll().mid(3)).split("\r\n");
  rows.removeFirst();
  EXPECT_EQ(rows.takeLast(), "");
  rows.sort();
  EXPECT_EQ(rows.join("\n").toStdString(), Rows(Listed(0), ByType).join("\n").toStdString());
}
