// The window-thread bridge: blocking calls from other threads, failures handed back, calls on
// the window thread itself, queued calls served while UpdateProgress processes events, and a
// window that goes away under a waiting caller.
#include <QPushButton>
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "app/WindowBridge.h"

namespace {

using namespace apptest;

class BridgeTest : public ::testing::Test {
 protected:
  TProgramDir Dir;
  TSeams Seams;
  std::unique_ptr<app::TMainForm> Form =
      std::make_unique<app::TMainForm>(TestSettings(Seams, Dir.Path()));
  app::TWindowBridge& Bridge() { return Form->WindowBridge(); }
};

TEST_F(BridgeTest, CallFromAnotherThreadRunsOnWindowThreadWhileCallerWaits) {
  const std::thread::id windowThread = std::this_thread::get_id();
  std::atomic<bool> opDone{false}, callerSawDone{false}, callerReturned{false};
  std::thread::id ranOn;
  std::thread caller([&] {
    Bridge().RunOnWindowThread([&] {
      ranOn = std::this_thread::get_id();
      opDone = true;
    });
    callerSawDone = opDone.load();
    callerReturned = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return callerReturned.load(); }));
  caller.join();
  EXPECT_EQ(ranOn, windowThread);
  EXPECT_TRUE(callerSawDone);
}

TEST_F(BridgeTest, FailureIsRaisedAgainInTheCaller) {
  std::atomic<bool> finished{false};
  std::string caught;
  std::thread caller([&] {
    try {
      Bridge().RunOnWindowThread([] { throw std::invalid_argument("сломалось"); });
    } catch (const std::invalid_argument& e) {
      caught = e.what();
    }
    finished = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return finished.load(); }));
  caller.join();
  EXPECT_EQ(caught, "сломалось");
}

TEST_F(BridgeTest, CallOnWindowThreadRunsAtOnce) {
  bool ran = false;
  Bridge().RunOnWindowThread([&] { ran = true; });  // no event loop needed
  EXPECT_TRUE(ran);
  EXPECT_THROW(Bridge().RunOnWindowThread([] { throw std::runtime_error("x"); }), std::runtime_error);
  Bridge().AppendLog(QStringLiteral("сразу"));
  EXPECT_EQ(LogLines(*Form).last(), QStringLiteral("09.12.2024 9:05:07: сразу"));
}

TEST_F(BridgeTest, CallsFromOneThreadKeepTheirOrder) {
  std::atomic<bool> finished{false};
  std::thread caller([&] {
    for (int i = 0; i < 50; ++i) Bridge().AppendLog(QString::number(i));
    finished = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return finished.load(); }));
  caller.join();
  const QStringList lines = LogLines(*Form);
  ASSERT_EQ(lines.size(), 50);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(lines[i].endsWith(QStringLiteral(": %1").arg(i)));
}

TEST_F(BridgeTest, UpdateProgressServesOtherThreadsQueuedCalls) {
  // The driver is inside its UpdateProgress call when a worker logs: the worker's line must be
  // appended from within the driver's call, not after it.
  std::atomic<bool> driverDone{false};
  bool workerLineSeenInside = false;
  std::thread worker;
  std::thread driver([&] {
    Bridge().RunOnWindowThread([&] {
      worker = std::thread([&] { Bridge().AppendLog(QStringLiteral("от потока")); });
      for (int i = 0; i < 2000 && !workerLineSeenInside; ++i) {
        Form->UpdateProgress(i, 2000);
        workerLineSeenInside = LogLines(*Form).last().endsWith(QStringLiteral("от потока"));
        if (!workerLineSeenInside) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    driverDone = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return driverDone.load(); }));
  driver.join();
  worker.join();
  EXPECT_TRUE(workerLineSeenInside);
}

TEST_F(BridgeTest, CallerWaitingWhenTheWindowGoesAwayIsReleased) {
  std::atomic<int> closedErrors{0};
  std::atomic<bool> finished{false};
  std::thread caller([&] {
    try {
      Bridge().AppendLog(QStringLiteral("никогда"));
    } catch (const app::EWindowClosed&) {
      ++closedErrors;
    }
    finished = true;
  });
  // Give the caller time to queue its call; the window thread processes no events meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::shared_ptr<engine::IRunHost> kept = Form->Bridge();
  Form.reset();
  caller.join();
  EXPECT_EQ(closedErrors.load(), 1);
  EXPECT_THROW(kept->AppendLog(QStringLiteral("после")), app::EWindowClosed);
}

TEST_F(BridgeTest, LogFileFailureReachesTheDriverAndFreesTheWindow) {
  TSeams seams;
  app::TMainForm form(TestSettings(seams, QStringLiteral("/nonexistent-folder/sub/")));
  form.UpdateRunState(true);
  std::atomic<bool> finished{false};
  std::string caught;
  std::thread driver([&] {
    try {
      form.WindowBridge().UpdateRunState(false);
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    finished = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return finished.load(); }));
  driver.join();
  EXPECT_NE(caught.find("log-123456.txt"), std::string::npos) << caught;
  // The failure is in the log too, right after the line that names the file.
  const QStringList lines = LogLines(form);
  ASSERT_GE(lines.size(), 2);
  EXPECT_TRUE(lines[lines.size() - 2].contains(QStringLiteral("лог записан в /nonexistent-folder/sub/")));
  EXPECT_TRUE(lines.last().startsWith(QStringLiteral("09.12.2024 9:05:07: Ошибка: ")));
  EXPECT_TRUE(Find<QPushButton>(form, "StartButton")->isEnabled());
  EXPECT_FALSE(form.RunActive());
}

}  // namespace
