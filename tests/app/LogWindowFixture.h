#pragma once
// The real window for the log control's tests: its program folder, its seams and its log.
#include <QTest>
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "app/LogMemo.h"
#include "run/LogFormat.h"

namespace apptest {

class TLogWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
    Memo = Find<app::TLogMemo>(Form, "LogsMemo");
  }
  // Where the window saves its log at the end of the run.
  QString LogPath() const { return Dir.Path() + run::LogFileName(Seams.Tick); }

  TProgramDir Dir;
  TSeams Seams;
  app::TMainForm Form{TestSettings(Seams, Dir.Path())};
  app::TLogMemo* Memo = nullptr;
};

}  // namespace apptest
