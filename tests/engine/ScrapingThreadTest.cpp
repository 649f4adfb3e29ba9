#include <gtest/gtest.h>

#include "FakeEngineWorld.h"
#include "VirtualClock.h"
#include "engine/ProxySettings.h"
#include "engine/ScrapingThread.h"

using namespace engine;
using namespace enginetest;

namespace {

const QString kCard = QStringLiteral("https://p.test/ru/registry/show_supplier/7");
const QString kList = QStringLiteral("https://p.test/ru/registry/supplierreg?filter=1");
const QByteArray kGood = "<html><body>ok</body></html>";

struct WorkerRig {
  std::shared_ptr<TFakeWindow> window = std::make_shared<TFakeWindow>();
  std::shared_ptr<TFakePortal> portal = std::make_shared<TFakePortal>();
  std::shared_ptr<TWorkerLists> lists =
      std::make_shared<TWorkerLists>(std::make_shared<std::mutex>());
  std::shared_ptr<TVirtualClock> clock = std::make_shared<TVirtualClock>();
  TWorkerSettings settings;

  WorkerRig() {
    settings.Timing.AttemptCount = 4;  // the program's waits otherwise, on a virtual clock
    settings.Clock = clock;
    settings.FetcherFactory = portal->Factory(portal);
  }

  std::shared_ptr<TScrapingThread> Launch(const QString& url) {
    auto worker = std::make_shared<TScrapingThread>(window, settings);
    {
      std::lock_guard<std::mutex> guard(*lists->WorkerListLock);
      lists->RunningList.push_back(worker);
    }
    worker->Lists = lists;
    worker->url = url;
    worker->Start();
    return worker;
  }
  bool HandedOff(const std::shared_ptr<TScrapingThread>& w) {
    std::lock_guard<std::mutex> guard(*lists->WorkerListLock);
    for (auto& f : lists->FinishedList)
      if (f == w) return true;
    return false;
  }
  bool Running(const std::shared_ptr<TScrapingThread>& w) {
    std::lock_guard<std::mutex> guard(*lists->WorkerListLock);
    for (auto& r : lists->RunningList)
      if (r == w) return true;
    return false;
  }
};

}  // namespace

TEST(ScrapingThread, AttemptOutcomesAndLogLines) {
  using A = TAnswer;
  struct Case {
    const char* name;
    QString url;
    std::vector<TAnswer> answers;
    int result;
    QString status;
    int fetches;
    QStringList log;
  } cases[] = {
      {"first attempt succeeds", kCard, {A::Page(kGood)}, 1, "успешно", 1,
       {"Загружаем карточку..."}},
      {"list pages log as lists", kList, {A::Page(kGood)}, 1, "успешно", 1,
       {"Загружаем список..."}},
      {"cut page retried", kCard, {A::Page("<html><body>cut"), A::Page(kGood)}, 1, "успешно", 2,
       {"Загружаем карточку...", "ERROR_Broken для " + kCard, "Загружаем карточку..."}},
      {"429 page retried even with </html>", kCard,
       {A::Page("<html><h1>429</h1></html>"), A::Page(kGood)}, 1, "успешно", 2,
       {"Загружаем карточку...", "ERROR_429 для " + kCard, "Загружаем карточку..."}},
      {"404 every time", kCard, {A::Error("Not Found", 404)}, -1, "ERROR_Not Found", 4,
       {"Загружаем карточку...", "ERROR_Not Found для " + kCard, "Загружаем карточку...",
        "ERROR_Not Found для " + kCard, "Загружаем карточку...", "ERROR_Not Found для " + kCard,
        "Загружаем карточку...", "ERROR_Not Found для " + kCard}},
      {"empty reason gives the status code", kCard,
       {A::Error("", 503), A::Error("", 503), A::Error("", 503), A::Error("", 502)}, -1,
       "ERROR_502", 4, {}},
      {"client failure then success", kCard,
       {A::Error("Connection refused", 0), A::Page(kGood)}, 1, "успешно", 2,
       {"Загружаем карточку...", "ERROR_Connection refused для " + kCard,
        "Загружаем карточку..."}},
  };
  for (const auto& c : cases) {
    WorkerRig rig;
    rig.portal->Set(c.url, c.answers);
    auto worker = rig.Launch(c.url);
    ASSERT_TRUE(WaitUntil([&] { return rig.HandedOff(worker); })) << c.name;
    worker->WaitFor();
    EXPECT_FALSE(rig.Running(worker)) << c.name;
    EXPECT_EQ(worker->result, c.result) << c.name;
    EXPECT_EQ(worker->statusText, c.status) << c.name;
    EXPECT_EQ(rig.portal->Fetches(c.url), c.fetches) << c.name;
    if (!c.log.isEmpty()) {
      QStringList expected;
      for (const QString& line : c.log) expected << "log:" + line;
      EXPECT_EQ(rig.window->Events(), expected) << c.name;
    }
    if (c.result == 1) {
      EXPECT_EQ(worker->html, kGood) << c.name;
    }
  }
}

TEST(ScrapingThread, StopFlagEndsWithoutHandOff) {
  {  // stop during the retry wait
    WorkerRig rig;
    rig.clock->Hold(true);  // the wait never ends by itself
    rig.portal->Set(kCard, {TAnswer::Error("Not Found", 404)});
    auto worker = rig.Launch(kCard);
    ASSERT_TRUE(WaitUntil([&] { return rig.window->Events().size() == 2; }));
    worker->Terminate();
    worker->WaitFor();
    EXPECT_FALSE(rig.HandedOff(worker));
    EXPECT_TRUE(rig.Running(worker));
    EXPECT_EQ(rig.portal->Fetches(kCard), 1);
  }
  {  // stop while the request runs: the page is fetched, then lost
    WorkerRig rig;
    rig.portal->SetPage(kCard, kGood);
    rig.portal->HoldWhere([](const QString&) { return true; });
    auto worker = rig.Launch(kCard);
    ASSERT_TRUE(WaitUntil([&] { return rig.portal->InFlight() == 1; }));
    worker->Terminate();
    rig.portal->Release();
    worker->WaitFor();
    EXPECT_FALSE(rig.HandedOff(worker));
    EXPECT_EQ(rig.portal->Fetches(kCard), 1);
  }
  {  // stop before the thread runs its first attempt
    WorkerRig rig;
    rig.portal->SetPage(kCard, kGood);
    auto worker = std::make_shared<TScrapingThread>(rig.window, rig.settings);
    worker->Lists = rig.lists;
    worker->url = kCard;
    worker->Terminate();
    worker->Start();
    worker->WaitFor();
    EXPECT_FALSE(rig.HandedOff(worker));
    EXPECT_EQ(rig.portal->Fetches(kCard), 0);
  }
}

TEST(ScrapingThread, LogFailureEndsAttemptsAndStillHandsOff) {
  WorkerRig rig;
  rig.portal->SetPage(kCard, kGood);
  rig.window->OnLog = [](const QString&) { throw std::runtime_error("log control gone"); };
  auto worker = rig.Launch(kCard);
  ASSERT_TRUE(WaitUntil([&] { return rig.HandedOff(worker); }));
  worker->WaitFor();
  EXPECT_EQ(worker->result, -1);
  EXPECT_EQ(worker->statusText, "ERROR_log control gone");
  EXPECT_EQ(rig.portal->Fetches(kCard), 0);
}

TEST(ScrapingThread, RetryWaitCountsAcrossTickWrap) {
  WorkerRig rig;
  rig.settings.Timing.AttemptCount = 1;
  rig.settings.Clock = std::make_shared<TVirtualClock>(4294967290u);
  rig.portal->Set(kCard, {TAnswer::Error("Not Found", 404)});
  auto worker = rig.Launch(kCard);
  ASSERT_TRUE(WaitUntil([&] { return rig.HandedOff(worker); }));
  worker->WaitFor();
  EXPECT_EQ(worker->statusText, "ERROR_Not Found");
}

TEST(ScrapingThread, ClientSetUpSeesProxySettingsOfItsStart) {
  WorkerRig rig;
  rig.portal->SetPage(kCard, kGood);
  SetProxySettings({"127.0.0.1", "1080", "u", "p"});
  auto worker = rig.Launch(kCard);
  ASSERT_TRUE(WaitUntil([&] { return rig.HandedOff(worker); }));
  worker->WaitFor();
  SetProxySettings({});
  ASSERT_EQ(rig.portal->ProxiesSeen().size(), 1u);
  EXPECT_EQ(rig.portal->ProxiesSeen()[0].ProxyHost, "127.0.0.1");
  EXPECT_EQ(rig.portal->ProxiesSeen()[0].ProxyPassword, "p");
}
