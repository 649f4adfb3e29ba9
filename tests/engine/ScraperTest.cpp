#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <future>

#include "FakeEngineWorld.h"
#include "VirtualClock.h"
#include "engine/ListCrawl.h"
#include "engine/ProxySettings.h"
#include "engine/Resume.h"
#include "engine/EngineConfig.h"
#include "text/ResultFile.h"

using namespace engine;
using namespace enginetest;

namespace {

const QString kOrigin = QStringLiteral("https://p.test");

QString Card(const QString& id) { return CardUrlPrefix(kOrigin) + id; }
QString Year(int year, int page = 1) { return ListPageUrl(kOrigin, QString::number(year), page); }
QString Inactive(const char* type, int year) {
  return InactivePageUrl(kOrigin, QLatin1String(type), QString::number(year), 1);
}

QByteArray ListPage(const QStringList& ids, int count = 0) {
  QString page = "<html><body>";
  for (const QString& id : ids) page += "<a href=\"" + Card(id) + "\">" + id + "</a>";
  if (count > 0)
    page += "<a href=\"?page=" + QString::number(count) + "\" aria-label=\"Назад\">&raquo;</a>";
  return (page + "</body></html>").toUtf8();
}
QByteArray CardPage(const QString& id) { return ("<html>карточка " + id + "</html>").toUtf8(); }

QStringList Sorted(QStringList l) {
  l.sort();
  return l;
}

// A small register: 2016 has two pages (c1 c2 | c3), 2017 one (c2 again, and c404 which is
// gone); the inactive lists of 2016 hold c2 (type 8) and c5 (type 9).
class ScraperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    portal_->SetPage(Year(2016), ListPage({"c1", "c2"}, 2));
    portal_->SetPage(Year(2016, 2), ListPage({"c3"}, 2));
    portal_->SetPage(Year(2017), ListPage({"c2", "c404"}));
    portal_->SetPage(Inactive("8", 2016), ListPage({"c2"}));
    portal_->SetPage(Inactive("9", 2016), ListPage({"c5"}));
    portal_->SetPage(Inactive("10", 2016), ListPage({}));
    for (const char* id : {"c1", "c2", "c3", "c5"}) portal_->SetPage(Card(id), CardPage(id));
    SetProxySettings({});
  }
  void TearDown() override { SetProxySettings({}); }

  TEngineConfig Config() {
    TEngineConfig c;
    c.ProgramDir = dir_.path();
    c.PortalOrigin = kOrigin;
    c.Timing.AttemptCount = 2;  // the program's pacing otherwise, on a virtual clock
    c.Clock = clock_;
    c.CurrentYear = 2017;
    c.FetcherFactory = portal_->Factory(portal_);
    c.ResultSinkFactory = RecordingSinkFactory(sink_);
    c.OpenDocument = [this](const QString& path) { opened_.append(path); };
    return c;
  }

  std::shared_ptr<IRunDriver> Run(const TRunOptions& options, const TEngineConfig& config) {
    auto driver = window_->Start(options, config);
    EXPECT_TRUE(WaitUntil([&] { return driver->Finished(); }));
    return driver;
  }
  std::shared_ptr<IRunDriver> Run(const TRunOptions& options) { return Run(options, Config()); }

  static QStringList Rows(std::initializer_list<std::pair<const char*, bool>> cards) {
    QStringList rows;
    for (const auto& [id, inactive] : cards)
      rows << Card(id) + (inactive ? "|inactive|" : "|active|") + "<html>карточка " + id + "</html>";
    return Sorted(rows);
  }

  QTemporaryDir dir_;
  std::shared_ptr<TFakeWindow> window_ = std::make_shared<TFakeWindow>();
  std::shared_ptr<TFakePortal> portal_ = std::make_shared<TFakePortal>();
  std::shared_ptr<TSinkRecord> sink_ = std::make_shared<TSinkRecord>();
  std::shared_ptr<TVirtualClock> clock_ = std::make_shared<TVirtualClock>();
  QStringList opened_;
};

const TRunOptions kAllInARow{false, true, false, false, false};

}  // namespace

TEST_F(ScraperTest, AllInARowRunLogsEveryStepAndWritesEveryFetchedCard) {
  TEngineConfig config = Config();
  config.CurrentYear = 2016;  // one listing, consumed page after page: a fixed log order
  portal_->SetPage(Year(2016, 2), ListPage({"c3", "c404"}, 2));
  Run(kAllInARow, config);

  const QStringList log = window_->DriverLog();
  const QStringList listPart{
      Year(2016) + ": успешно",
      "Найдено 2 карточек",
      Year(2016, 2) + ": успешно",
      "Найдено 4 карточек",
      "Всего карточек: 4",
      "Данные будут записываться в файл /tmp/data5.csv",
  };
  ASSERT_GE(log.size(), listPart.size() + 6);
  EXPECT_EQ(log.mid(0, listPart.size()), listPart);
  // The card lines follow the order in which the fetches finished; c404 fails twice.
  EXPECT_EQ(Sorted(log.mid(listPart.size())),
            Sorted({Card("c1") + ": успешно", Card("c2") + ": успешно", Card("c3") + ": успешно",
                    "ERROR_Not Found для " + Card("c404"), "ERROR_Not Found для " + Card("c404"),
                    Card("c404") + ": ERROR_Not Found"}));

  const QStringList events = window_->Events();
  EXPECT_EQ(events.first(), "state:running");
  EXPECT_EQ(events.last(), "state:idle");
  EXPECT_EQ(events.filter("outcome:"), QStringList({"outcome:ok"}));
  EXPECT_EQ(portal_->Fetches(Card("c404")), 2);
  EXPECT_EQ(Sorted(sink_->Rows()), Rows({{"c1", false}, {"c2", false}, {"c3", false}}));
  EXPECT_EQ(sink_->opens, 1);
  EXPECT_EQ(sink_->closes, 1);

  // Progress: list phase 1/1 then 2/2, totals to 0, card phase 1..4 of 4, closing to 0.
  const auto progress = window_->Progress();
  const std::vector<std::pair<std::int32_t, std::int32_t>> expected{
      {1, 1}, {2, 2}, {0, 2}, {1, 4}, {2, 4}, {3, 4}, {4, 4}, {0, 4}};
  EXPECT_EQ(progress, expected);
}

TEST_F(ScraperTest, ACardLinkedTwiceIsWrittenTwice) {
  Run(kAllInARow);
  EXPECT_TRUE(window_->Logged("Всего карточек: 5"));
  EXPECT_EQ(Sorted(sink_->Rows()),
            Rows({{"c1", false}, {"c2", false}, {"c2", false}, {"c3", false}}));
  EXPECT_EQ(portal_->Fetches(Card("c2")), 2);
}

TEST_F(ScraperTest, SeparateModeChoosesCardsByItsBoxes) {
  struct Case {
    const char* name;
    bool active, inactive;
    QStringList rows;
    int fetchedCards;
  } cases[] = {
      {"both boxes", true, true,
       Rows({{"c1", false}, {"c2", true}, {"c2", true}, {"c3", false}}), 5},
      {"only inactive", false, true, Rows({{"c2", true}, {"c5", true}}), 2},
      {"only active", true, false, Rows({{"c1", false}, {"c3", false}}), 3},
  };
  for (const auto& c : cases) {
    SetUp();
    window_ = std::make_shared<TFakeWindow>();
    sink_ = std::make_shared<TSinkRecord>();
    TEngineConfig config = Config();
    config.CurrentYear = 2016;
    portal_->SetPage(Year(2016, 2), ListPage({"c3", "c2"}, 2));
    Run({false, false, true, c.active, c.inactive}, config);
    EXPECT_EQ(Sorted(sink_->Rows()).join('\n').toStdString(), c.rows.join('\n').toStdString()) << c.name;
    EXPECT_TRUE(window_->Logged("Всего карточек: 4")) << c.name;
    EXPECT_TRUE(window_->Logged("Всего неактивных карточек: 2")) << c.name;
    EXPECT_TRUE(window_->Logged("Найдено 2 неактивных карточек")) << c.name;
    // Dropped cards still advance the progress: the card phase ends at its maximum.
    const auto progress = window_->Progress();
    ASSERT_GE(progress.size(), 2u);
    const auto last = progress[progress.size() - 2];
    EXPECT_EQ(last.first, last.second) << c.name;
    EXPECT_EQ(last.second, c.inactive && !c.active ? 2 : 4) << c.name;
  }
}

// The host hears of each phase as it begins: the card phase before the result file is opened,
// the inactive list only when the two are harvested separately, no card phase without cards.
TEST_F(ScraperTest, TheHostIsToldEachPhaseAsItBegins) {
  using P = TRunPhase;
  struct Case {
    const char* name;
    TRunOptions options;
    bool noCards;
    std::vector<P> phases;
  } cases[] = {
      {"all in a row", kAllInARow, false, {P::List, P::Card}},
      {"separate", {false, false, true, true, true}, false, {P::List, P::Inactive, P::Card}},
      {"no card found", kAllInARow, true, {P::List}},
  };
  for (const auto& c : cases) {
    SetUp();
    window_ = std::make_shared<TFakeWindow>();
    sink_ = std::make_shared<TSinkRecord>();
    TEngineConfig config = Config();
    config.CurrentYear = 2016;
    if (c.noCards) portal_->SetPage(Year(2016), ListPage({}));
    Run(c.options, config);
    const QStringList events = window_->Events();
    std::vector<P> told;
    for (const auto& [phase, before] : window_->Phases()) {
      told.push_back(phase);
      const QString next = events.value(before);
      if (phase == P::Card)
        EXPECT_EQ(next, "log:Данные будут записываться в файл /tmp/data5.csv") << c.name;
      else if (phase == P::Inactive)
        EXPECT_TRUE(events.value(before - 1).startsWith("log:Всего карточек: ")) << c.name;
      else
        EXPECT_EQ(events.value(before - 1), "state:running") << c.name;
    }
    EXPECT_EQ(told, c.phases) << c.name;
  }
}

TEST_F(ScraperTest, TestExportFetchesFirstPageOf2016AndAtMost100Cards) {
  QStringList ids;
  for (int i = 0; i < 120; ++i) ids << QString("t%1").arg(i);
  portal_->SetPage(Year(2016), ListPage(ids, 37));
  for (const QString& id : ids) portal_->SetPage(Card(id), CardPage(id));
  Run({true, true, false, false, false});

  EXPECT_EQ(portal_->Fetches(Year(2016)), 1);
  EXPECT_EQ(portal_->Fetches(Year(2016, 2)), 0);  // planned, not fetched
  EXPECT_EQ(portal_->Fetches(Year(2017)), 0);
  EXPECT_EQ(window_->Progress().front(), std::make_pair(1, 1));
  EXPECT_EQ(sink_->Rows().size(), 100);
  EXPECT_EQ(portal_->Fetches(Card("t99")), 1);
  EXPECT_EQ(portal_->Fetches(Card("t100")), 0);
}

TEST_F(ScraperTest, LimitRisesWithFoundCardsAndCapsRunningWorkers) {
  QStringList many;
  for (int i = 0; i < 10001; ++i) many << QString::number(i);
  TEngineConfig config = Config();
  config.CurrentYear = 2025;  // ten first pages
  portal_->SetPage(Year(2016), ListPage(many, 30));
  portal_->HoldWhere([](const QString&) { return true; });
  auto driver = CreateScraper(window_, kAllInARow, config);
  driver->Start();

  ASSERT_TRUE(WaitUntil([&] { return portal_->InFlight() == 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(portal_->MaxInFlight(), 5);  // Limit 5: the sixth waits for a hand-off

  const QString first = Year(2016);
  portal_->HoldWhere([first](const QString& url) { return url != first; });
  ASSERT_TRUE(WaitUntil([&] { return portal_->InFlight() == 10; }));
  EXPECT_TRUE(window_->Logged("Найдено 10001 карточек"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(portal_->MaxInFlight(), 10);

  // A stop in the list phase: no totals, no outcome, no result file, the end still runs.
  driver->Terminate();
  ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
  const QStringList events = window_->Events();  // the held workers have logged nothing more
  portal_->Release();
  EXPECT_FALSE(events.join("\n").contains("Всего карточек"));
  EXPECT_TRUE(events.filter("outcome:").isEmpty());
  EXPECT_EQ(events.last(), "state:idle");
  EXPECT_EQ(sink_->opens, 0);
}

TEST_F(ScraperTest, StopInTheInactiveAndCardPhases) {
  {  // inactive-list phase
    portal_->HoldWhere([](const QString& url) { return url.contains("type"); });
    auto driver = CreateScraper(window_, {false, false, true, true, true}, Config());
    driver->Start();
    ASSERT_TRUE(WaitUntil([&] { return portal_->InFlight() >= 1; }));
    driver->Terminate();
    ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
    const QStringList events = window_->Events();
    portal_->Release();
    EXPECT_TRUE(events.contains("log:Всего карточек: 5"));
    EXPECT_FALSE(events.join("\n").contains("Всего неактивных"));
    EXPECT_EQ(sink_->opens, 0);
    EXPECT_EQ(events.last(), "state:idle");
  }
  {  // card phase: rows so far stay, the file is closed and handed over, no "ok"
    window_ = std::make_shared<TFakeWindow>();
    const QString c1 = Card("c1");
    portal_->HoldWhere([c1](const QString& url) { return url.contains("show_supplier") && url != c1; });
    auto driver = CreateScraper(window_, kAllInARow, Config());
    driver->Start();
    ASSERT_TRUE(WaitUntil([&] { return sink_->Rows().size() == 1; }));
    driver->Terminate();
    ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
    const QStringList events = window_->Events();
    portal_->Release();
    EXPECT_EQ(Sorted(sink_->Rows()), Rows({{"c1", false}}));
    EXPECT_EQ(sink_->closes, 1);
    EXPECT_TRUE(events.filter("outcome:").isEmpty());
    EXPECT_EQ(window_->Progress().back().first, 0);
    EXPECT_EQ(events.last(), "state:idle");
  }
}

TEST_F(ScraperTest, ErrorInAPhaseIsReportedPausesAndTheRunGoesOn) {
  bool thrown = false;
  window_->OnLog = [&thrown](const QString& m) {
    if (!thrown && m == "Найдено 2 карточек") {
      thrown = true;
      throw std::runtime_error("окно не ответило");
    }
  };
  sink_->failOpen = true;
  Run(kAllInARow);

  const QStringList events = window_->Events();
  const auto at = [&](const QString& e) { return events.indexOf(e); };
  // List phase: error report, the pause holds the driver until resumed, then the totals.
  ASSERT_GE(at("outcome:ERROR_окно не ответило"), 0);
  EXPECT_LT(at("outcome:ERROR_окно не ответило"), at("resume"));
  EXPECT_LT(at("resume"), at("log:Всего карточек: 2"));
  // Card phase: the file cannot be created: error report, pause, then "ok"; nothing opened.
  const qsizetype cardError = at("outcome:ERROR_Cannot create file \"/ro/data5.csv\"");
  ASSERT_GE(cardError, 0);
  EXPECT_LT(cardError, events.lastIndexOf("resume"));
  EXPECT_LT(events.lastIndexOf("resume"), at("outcome:ok"));
  EXPECT_EQ(window_->Pauses(), 2);
  // The run rules' own report: the message, the automatic pause, and the timer that ended it.
  const QStringList rules = window_->RuleLines();
  const auto ruleLine = [&](const QString& tail) {
    return std::count_if(rules.cbegin(), rules.cend(), [&](const QString& l) { return l.endsWith(tail); });
  };
  EXPECT_EQ(ruleLine(": Ошибка: окно не ответило"), 1);
  EXPECT_EQ(ruleLine(": Включаем паузу на 30 секунд"), 2);
  EXPECT_EQ(ruleLine(": Отключаем паузу, продолжаем работу"), 2);
  EXPECT_EQ(sink_->closes, 1);
  EXPECT_TRUE(sink_->Rows().isEmpty());
  EXPECT_EQ(portal_->Fetches(Card("c1")), 0);
  EXPECT_EQ(events.last(), "state:idle");
}

TEST_F(ScraperTest, NoCardFoundEndsWithoutResultFileOrOutcome) {
  portal_->SetPage(Year(2016), ListPage({}));
  portal_->SetPage(Year(2017), "<html>cut");  // fails every attempt
  Run(kAllInARow);
  EXPECT_TRUE(window_->Logged("Всего карточек: 0"));
  EXPECT_TRUE(window_->Logged(Year(2017) + ": ERROR_Broken"));
  EXPECT_EQ(sink_->opens, 0);
  EXPECT_TRUE(window_->Events().filter("outcome:").isEmpty());
  EXPECT_TRUE(opened_.isEmpty());
}

TEST_F(ScraperTest, ProxyFileRoutesTheCardPhaseAndCarriesIntoTheNextRun) {
  TEngineConfig config = Config();
  config.CurrentYear = 2016;
  {
    QFile f(dir_.filePath("proxy.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("  u:pw123456@127.0.0.1:1080  \r\nignored\r\n");
  }
  Run(kAllInARow, config);
  EXPECT_TRUE(window_->Logged("Используем прокси 127.0.0.1:1080, login u, password pw123***"));
  auto seen = portal_->ProxiesSeen();
  ASSERT_EQ(seen.size(), 2u + 3u);  // two list pages without, three cards through the proxy
  EXPECT_TRUE(seen[0].ProxyHost.isEmpty());
  EXPECT_EQ(seen[4].ProxyHost, "127.0.0.1");
  EXPECT_EQ(seen[4].ProxyUser, "u");

  // A second run in the same process: its list phase still uses the proxy of the first run;
  // with the file gone, the card selection clears the settings.
  QFile::remove(dir_.filePath("proxy.txt"));
  window_ = std::make_shared<TFakeWindow>();
  sink_ = std::make_shared<TSinkRecord>();
  config.ResultSinkFactory = RecordingSinkFactory(sink_);
  Run(kAllInARow, config);
  seen = portal_->ProxiesSeen();
  ASSERT_EQ(seen.size(), 10u);
  EXPECT_EQ(seen[5].ProxyHost, "127.0.0.1");
  EXPECT_TRUE(seen[9].ProxyHost.isEmpty());
  EXPECT_FALSE(window_->Events().join("\n").contains("Используем прокси"));
  EXPECT_EQ(sink_->Rows().size(), 3);

  // A folder named proxy.txt is no proxy file: the card phase runs without a proxy.
  ASSERT_TRUE(QDir().mkpath(dir_.filePath("proxy.txt")));
  window_ = std::make_shared<TFakeWindow>();
  sink_ = std::make_shared<TSinkRecord>();
  config.ResultSinkFactory = RecordingSinkFactory(sink_);
  Run(kAllInARow, config);
  EXPECT_EQ(sink_->Rows().size(), 3);
  EXPECT_EQ(window_->Events().filter("outcome:"), QStringList({"outcome:ok"}));
  EXPECT_TRUE(window_->Events().filter("log:ERROR_").isEmpty());

  // An unreadable proxy file (the kernel's write-only file stands for one, since a file
  // without read permission is readable to root) ends the run before the card phase: no
  // outcome, no result file.
  config.ProxyFilePath = QStringLiteral("/proc/self/clear_refs");
  window_ = std::make_shared<TFakeWindow>();
  sink_ = std::make_shared<TSinkRecord>();
  config.ResultSinkFactory = RecordingSinkFactory(sink_);
  Run(kAllInARow, config);
  EXPECT_EQ(sink_->opens, 0);
  EXPECT_TRUE(window_->Events().filter("outcome:").isEmpty());
  EXPECT_EQ(window_->Events().filter(QRegularExpression("^log:ERROR_Cannot (open|read) file")).size(), 1);
  EXPECT_EQ(window_->Events().last(), "state:idle");
}

TEST_F(ScraperTest, PausedDriverMakesNoProgressUntilResumed) {
  auto driver = CreateScraper(window_, kAllInARow, Config());
  driver->Pause();
  driver->Start();
  ASSERT_TRUE(WaitUntil([&] { return window_->Events().contains("state:running"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(driver->Paused());
  EXPECT_EQ(portal_->Fetches(Year(2016)), 0);
  driver->Resume();
  ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
  EXPECT_EQ(sink_->Rows().size(), 4);
}

TEST_F(ScraperTest, PauseDuringTheLaunchPauseHoldsBeforeTheTakeStep) {
  // The pause is clicked while the driver sleeps after its first launch, and that worker hands
  // itself over meanwhile: the paused driver must not take it.
  auto driver = CreateScraper(window_, kAllInARow, Config());
  IRunDriver* target = driver.get();
  std::atomic<bool> first{true};
  clock_->SetOnSleep([&, target](std::uint32_t) {
    if (!first.exchange(false)) return;  // the driver's first sleep is its launch pause
    target->Pause();
    WaitUntil([&] { return portal_->Fetches(Year(2016)) == 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  driver->Start();
  ASSERT_TRUE(WaitUntil([&] { return !first.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(window_->Logged(Year(2016) + ": успешно"));
  driver->Resume();
  ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); }));
  clock_->SetOnSleep({});
  EXPECT_TRUE(window_->Logged(Year(2016) + ": успешно"));
}

TEST_F(ScraperTest, PauseHoldsAStoppingDriverUntilResumed) {
  // The stop lands while the driver waits for its log call of the first list page; a stop
  // does not lift the pause, whichever came first, nor one clicked after the driver's last
  // gate of the loop (during its cycle sleep, with no window call left before the end).
  enum class TPause { BeforeStop, AfterStop, InCycleSleep };
  struct Case {
    const char* name;
    TPause pause;
  } cases[] = {{"pause, then stop", TPause::BeforeStop},
               {"stop, then pause", TPause::AfterStop},
               {"stop, then pause during the cycle sleep", TPause::InCycleSleep}};
  const std::uint32_t cycleSleep = Config().Timing.CycleSleepMs;
  for (const auto& c : cases) {
    window_ = std::make_shared<TFakeWindow>();
    auto entered = std::make_shared<std::promise<void>>();
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    const QString held = Year(2016) + ": успешно";
    // Shared with the hooks, which a worker left behind by the stop may still call.
    struct TSleepPause {
      std::atomic<std::thread::id> driverThread{};
      std::atomic<bool> armed{false};
    };
    auto sleepPause = std::make_shared<TSleepPause>();
    window_->OnLog = [entered, released, held, sleepPause](const QString& m) {
      if (m != held) return;
      sleepPause->driverThread.store(std::this_thread::get_id());
      entered->set_value();
      released.wait();
    };
    auto driver = CreateScraper(window_, kAllInARow, Config());
    std::weak_ptr<IRunDriver> target = driver;
    clock_->SetOnSleep([sleepPause, target, cycleSleep](std::uint32_t ms) {
      if (ms != cycleSleep || std::this_thread::get_id() != sleepPause->driverThread.load()) return;
      if (!sleepPause->armed.exchange(false)) return;
      if (const auto d = target.lock()) d->Pause();
    });
    driver->Start();
    ASSERT_EQ(entered->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << c.name;
    if (c.pause == TPause::BeforeStop) driver->Pause();
    driver->Terminate();
    if (c.pause == TPause::AfterStop) driver->Pause();
    if (c.pause == TPause::InCycleSleep) sleepPause->armed.store(true);
    release->set_value();
    if (c.pause == TPause::InCycleSleep) {
      ASSERT_TRUE(WaitUntil([&] { return !sleepPause->armed.load(); })) << c.name;
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(driver->Finished()) << c.name;
    EXPECT_FALSE(window_->Events().contains("state:idle")) << c.name;
    driver->Resume();
    ASSERT_TRUE(WaitUntil([&] { return driver->Finished(); })) << c.name;
    const QStringList events = window_->Events();
    EXPECT_FALSE(events.join("\n").contains("Всего карточек")) << c.name;
    EXPECT_TRUE(events.filter("outcome:").isEmpty()) << c.name;
    EXPECT_TRUE(events.contains("state:idle")) << c.name;  // stopped workers may log after it
    clock_->SetOnSleep({});
  }
}

TEST_F(ScraperTest, DriverReleasesItselfWhenItsRunEnds) {
  std::weak_ptr<IRunDriver> weak;
  {
    auto driver = CreateScraper(window_, kAllInARow, Config());
    weak = driver;
    driver->Start();
  }
  ASSERT_TRUE(WaitUntil([&] { return weak.expired(); }));
  EXPECT_EQ(window_->Events().last(), "state:idle");
  EXPECT_EQ(sink_->Rows().size(), 4);
}

namespace {

QByteArray FileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The rows of a result file's bytes, each without its CR LF, sorted; a line cut short counts.
QStringList SortedRows(const QByteArray& bytes) {
  QStringList rows;
  for (const QByteArray& line : bytes.split('\n').mid(1)) {
    if (!line.isEmpty()) rows << QString::fromUtf8(line);
  }
  return Sorted(rows);
}

// Runs that continue result files: an uninterrupted run writes the program's own file, a copy
// of it is cut where a killed run could have left it, and a resumed run completes the copy.
class ScraperResumeTest : public ScraperTest {
 protected:
  // The bytes of the one result file an uninterrupted run leaves.
  QByteArray FullRun(const TRunOptions& options, TEngineConfig config) {
    window_ = std::make_shared<TFakeWindow>();
    config.ResultSinkFactory = {};
    config.ProgramDir = Folder("full");
    Run(options, config);
    const QStringList files = QDir(config.ProgramDir).entryList({"data*.csv"});
    EXPECT_EQ(files.size(), 1);
    if (files.size() != 1) return {};
    const QString path = QDir(config.ProgramDir).filePath(files[0]);
    const QByteArray bytes = FileBytes(path);
    QFile::remove(path);
    return bytes;
  }

  // A run that continues `path`. It creates no file of its own.
  void ResumeRun(const TRunOptions& options, TEngineConfig config, const QString& path) {
    window_ = std::make_shared<TFakeWindow>();
    opened_.clear();
    config.ResultSinkFactory = {};
    config.ProgramDir = Folder("resumed");
    config.ResumeFile = path;
    Run(options, config);
    EXPECT_TRUE(QDir(config.ProgramDir).entryList({"data*.csv"}).isEmpty());
  }

  // A copy of a result file with its first `rows` rows and `extra` bytes of the next one.
  QString CutCopy(const QByteArray& full, int rows, int extra) {
    qsizetype end = full.indexOf("\r\n") + 2;
    for (int i = 0; i < rows; ++i) end = full.indexOf("\r\n", end) + 2;
    const QString path = Folder("cut") + QStringLiteral("/data%1.csv").arg(++copies_);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(full.left(end + extra));
    return path;
  }

  // Bytes of the row after the first `rows` rows.
  static int RowSize(const QByteArray& full, int rows) {
    qsizetype begin = full.indexOf("\r\n") + 2;
    for (int i = 0; i < rows; ++i) begin = full.indexOf("\r\n", begin) + 2;
    return static_cast<int>(full.indexOf("\r\n", begin) + 2 - begin);
  }

  QString Folder(const char* name) {
    const QString path = dir_.filePath(QString::fromLatin1(name));
    EXPECT_TRUE(QDir().mkpath(path));
    return path;
  }

  int copies_ = 0;
};

}  // namespace

TEST_F(ScraperResumeTest, ContinuedFileHoldsTheRowsOfOneUninterruptedRun) {
  // The register's cards: c1 c2 c3 c2 c404 (gone) in the list, c2 c5 inactive.
  const struct {
    const char* name;
    TRunOptions options;
    int selected;  // cards the card selection chooses
  } cases[] = {
      {"all in a row", kAllInARow, 5},
      {"separate, both boxes", {false, false, true, true, true}, 5},
      {"separate, only active", {false, false, true, true, false}, 5},
      {"separate, only inactive", {false, false, true, false, true}, 2},
  };
  for (const auto& c : cases) {
    const QByteArray full = FullRun(c.options, Config());
    const int rowCount = static_cast<int>(SortedRows(full).size());
    ASSERT_GE(rowCount, 2) << c.name;
    for (int k = 0; k <= rowCount; ++k) {
      // Killed after k rows, or while writing row k + 1.
      std::vector<int> extras{0};
      if (k < rowCount) extras.insert(extras.end(), {RowSize(full, k) / 2, RowSize(full, k) - 1});
      for (const int extra : extras) {
        SCOPED_TRACE(std::string(c.name) + ", rows " + std::to_string(k) + ", cut " + std::to_string(extra));
        const QString path = CutCopy(full, k, extra);
        ResumeRun(c.options, Config(), path);
        const QByteArray resumed = FileBytes(path);
        EXPECT_EQ(SortedRows(resumed), SortedRows(full));
        EXPECT_TRUE(resumed.endsWith("\r\n"));
        EXPECT_EQ(resumed.left(full.indexOf("\r\n")), full.left(full.indexOf("\r\n")));  // one header
        const QStringList log = window_->DriverLog();
        ASSERT_FALSE(log.isEmpty());
        const QString cutLine = "Удалена оборванная последняя строка файла " + path;
        EXPECT_EQ(log.first() == cutLine, extra > 0);
        EXPECT_EQ(log.count(cutLine), extra > 0 ? 1 : 0);
        EXPECT_TRUE(window_->Logged(QStringLiteral("В файле %1 уже строк: %2, осталось карточек: %3")
                                        .arg(path)
                                        .arg(k)
                                        .arg(c.selected - k)));
        // Nothing left to fetch or not, the file is the run's result: reported and handed over.
        const int remaining = c.selected - k;
        EXPECT_TRUE(window_->Logged("Данные будут дописываться в файл " + path));
        EXPECT_EQ(opened_, QStringList({path}));
        EXPECT_EQ(window_->Events().filter("outcome:"), QStringList({"outcome:ok"}));
        if (remaining == 0) continue;
        const auto progress = window_->Progress();
        ASSERT_GE(progress.size(), 2u);
        EXPECT_EQ(progress[progress.size() - 2], std::make_pair(remaining, remaining));
      }
    }
  }
}

TEST_F(ScraperResumeTest, ResumedTestExportFetchesTheRestOfItsHundred) {
  QStringList ids;
  for (int i = 0; i < 120; ++i) ids << QString("t%1").arg(i);
  portal_->SetPage(Year(2016), ListPage(ids, 37));
  for (const QString& id : ids) portal_->SetPage(Card(id), CardPage(id));
  const TRunOptions testExport{true, true, false, false, false};
  const QByteArray full = FullRun(testExport, Config());
  ASSERT_EQ(SortedRows(full).size(), 100);

  const QString path = CutCopy(full, 40, RowSize(full, 40) / 3);
  ResumeRun(testExport, Config(), path);
  EXPECT_EQ(SortedRows(FileBytes(path)), SortedRows(full));
  EXPECT_TRUE(window_->Logged("В файле " + path + " уже строк: 40, осталось карточек: 60"));
  for (int i = 100; i < 120; ++i) EXPECT_EQ(portal_->Fetches(Card(QString("t%1").arg(i))), 0) << i;
}

TEST_F(ScraperResumeTest, CheckRefusesWhatARunWithTheseOptionsCannotContinue) {
  const TRunOptions both{false, false, true, true, true};
  const TRunOptions onlyActive{false, false, true, true, false};
  const TRunOptions onlyInactive{false, false, true, false, true};
  const QByteArray allRows = FullRun(kAllInARow, Config());
  const QByteArray mixedRows = FullRun(both, Config());
  const QString all = CutCopy(allRows, 3, 0);
  const QString allCut = CutCopy(allRows, 2, 9);
  const QString mixed = CutCopy(mixedRows, 4, 0);
  const QString headerOnly = CutCopy(mixedRows, 0, 0);
  const QString missing = Folder("cut") + "/absent.csv";
  const QString notOurs = Folder("cut") + "/notes.csv";
  {
    QFile f(notOurs);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\"URL\";\"Заголовок\"\r\n");
  }
  const struct {
    const char* name;
    QString path;
    TRunOptions options;
    QString refusal;  // part of the one line, empty: the file can be continued
  } cases[] = {
      {"same mode", all, kAllInARow, ""},
      {"same mode, last line cut short", allCut, kAllInARow, ""},
      {"both boxes", mixed, both, ""},
      {"header only", headerOnly, onlyInactive, ""},
      {"all-in-a-row file, separate run", all, both,
       " выгружен в другом режиме: в строке 2 столбец \"Активный/Неактивный\" содержит \"N/A\""},
      {"separate file, all-in-a-row run", mixed, kAllInARow, " выгружен в другом режиме: в строке 2 "},
      {"inactive rows, only active run", mixed, onlyActive, "содержит \"Неактивный\""},
      {"active rows, only inactive run", mixed, onlyInactive, "содержит \"Активный\""},
      {"missing file", missing, kAllInARow, "Не удалось открыть файл " + missing + ": No such file or directory"},
      {"not a result file", notOurs, kAllInARow, " не является файлом результатов выгрузки: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QByteArray before = FileBytes(c.path);
    const QString answer = CheckResumeFile(c.path, c.options);
    EXPECT_EQ(FileBytes(c.path), before);  // the check changes nothing
    if (c.refusal.isEmpty()) {
      EXPECT_EQ(answer, "");
      continue;
    }
    EXPECT_TRUE(answer.contains(c.refusal)) << answer.toStdString();
    EXPECT_TRUE(answer.contains(c.path)) << answer.toStdString();
    EXPECT_FALSE(answer.contains('\n'));
  }
}

// A file the front end took over (locked and read once at its start) stays locked through the
// whole run, list phase included, so that a second harvest of it is refused; the card phase
// appends through the held lock, and the lock goes with the run's end.
TEST_F(ScraperResumeTest, ATakenOverFileIsHeldFromTheStartToTheEnd) {
  const QByteArray full = FullRun(kAllInARow, Config());
  const QString path = CutCopy(full, 1, 20);
  const QString busy = "Файл " + path + " сейчас пишет другая выгрузка";
  int shared = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(shared, 0);
  ASSERT_EQ(::flock(shared, LOCK_SH | LOCK_NB), 0);
  EXPECT_EQ(CheckResumeFile(path, kAllInARow), busy);  // a reader's shared lock is enough
  ::close(shared);

  TEngineConfig config = Config();
  config.ResultSinkFactory = {};
  config.ProgramDir = Folder("resumed");
  config.ResumeTaken = std::make_shared<TResumeFile>(OpenResumeFile(path, kAllInARow));
  int lost = 0;
  config.OnLostWork = [&lost] { ++lost; };
  window_ = std::make_shared<TFakeWindow>();
  opened_.clear();
  QStringList checks;
  window_->OnLog = [&checks, path](const QString& m) {
    if (m.startsWith("Всего карточек") || m.startsWith("Данные будут дописываться"))
      checks.append(CheckResumeFile(path, kAllInARow));
  };
  Run(kAllInARow, config);
  EXPECT_EQ(checks, QStringList({busy, busy}));
  EXPECT_EQ(SortedRows(FileBytes(path)), SortedRows(full));
  EXPECT_EQ(window_->DriverLog().first(), "Удалена оборванная последняя строка файла " + path);
  EXPECT_EQ(opened_, QStringList({path}));
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(CheckResumeFile(path, kAllInARow), "");  // released with the run

  // A failure outside the phases (a proxy file that cannot be read) ends the run early, with
  // no outcome: it is told as lost work.
  TEngineConfig broken = Config();
  broken.ProxyFilePath = "/proc/self/mem";  // a read fails even for root
  broken.OnLostWork = [&lost] { ++lost; };
  window_ = std::make_shared<TFakeWindow>();
  Run(kAllInARow, broken);
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(window_->DriverLog().last().startsWith("ERROR_Cannot read file")) << window_->DriverLog().last().toStdString();
}

TEST_F(ScraperResumeTest, AFileThatAnotherRunWritesIsLeftAlone) {
  const QByteArray full = FullRun(kAllInARow, Config());
  const QString path = CutCopy(full, 1, 20);
  const QByteArray before = FileBytes(path);
  const QString busy = "Файл " + path + " сейчас пишет другая выгрузка";
  {
    // A harvest holding the file, as the result file's writer holds it while open.
    text::TResultFile holder(Folder("cut"), {}, {}, [this] { return static_cast<std::uint32_t>(copies_); });
    holder.OpenAppend(path, before.size());
    EXPECT_EQ(CheckResumeFile(path, kAllInARow), busy);
    // A run started all the same ends at once, before its list phase, naming the reason.
    ResumeRun(kAllInARow, Config(), path);
    EXPECT_EQ(window_->DriverLog().first(), "ERROR_" + busy);
    EXPECT_FALSE(window_->Events().join('\n').contains("Всего карточек"));
    EXPECT_TRUE(window_->Events().filter("outcome:").isEmpty());
    EXPECT_EQ(window_->Events().last(), "state:idle");
    EXPECT_EQ(FileBytes(path), before);
    holder.Close();
  }
  EXPECT_EQ(CheckResumeFile(path, kAllInARow), "");

  // Written to by someone else between the run's start and its card phase: the card phase
  // refuses to append and reports it; the file keeps what the other writer left.
  const QByteArray foreign = full.mid(full.indexOf("\r\n") + 2, RowSize(full, 0));
  TEngineConfig config = Config();
  window_ = std::make_shared<TFakeWindow>();
  opened_.clear();
  window_->OnLog = [path, foreign](const QString& m) {
    if (!m.startsWith("Всего карточек")) return;
    QFile f(path);
    if (f.open(QIODevice::Append)) f.write(foreign);
  };
  config.ResultSinkFactory = {};
  config.ProgramDir = Folder("resumed");
  config.ResumeFile = path;
  Run(kAllInARow, config);
  const QByteArray taken = before.left(before.lastIndexOf("\r\n") + 2);  // the cut line removed
  EXPECT_EQ(FileBytes(path), taken + foreign);
  EXPECT_TRUE(window_->Events().contains("outcome:ERROR_Не удалось дописать файл " + path +
                                         ": файл изменился с начала выгрузки"));
  EXPECT_TRUE(opened_.isEmpty());
}
