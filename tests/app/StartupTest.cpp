// The start-up refusals and the introduction, with the program folder injected.
#include <QFileInfo>
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "run/StartupChecks.h"

namespace {

using run::TRefusal;
using namespace apptest;

TEST(StartupChecks, RefusalsInOrder) {
  TProgramDir good;  // holds libcrypto.so.3
  const QString lib = QStringLiteral("libcrypto.so.3");
  struct Case {
    QString dir;
    QString libFile;
    TRefusal expected;
  } cases[] = {
      {good.Path(), lib, TRefusal::rfNone},
      // The archive check comes first, whatever else is wrong.
      {QStringLiteral("/home/x/Temp/Rar$EXa1.234/"), lib, TRefusal::rfArchive},
      {QStringLiteral("/home/x/Rar$EXa1.234/"), lib, TRefusal::rfArchive},
      // "rar$" in lower case is no archive; a folder named temp in any case is.
      {QStringLiteral("/home/x/TEMP/rar$ex/"), lib, TRefusal::rfTempFolder},
      {QStringLiteral("/home/x/rar$ex/"), lib, TRefusal::rfMissingLibrary},
      {QStringLiteral("/tmp/"), lib, TRefusal::rfTempFolder},
      {QStringLiteral("/var/Tmp/prog/"), lib, TRefusal::rfTempFolder},
      {QStringLiteral("/home/x/temp/"), lib, TRefusal::rfTempFolder},
      // Only a whole folder name matches.
      {QStringLiteral("/home/x/Temporary/"), lib, TRefusal::rfMissingLibrary},
      {QStringLiteral("/home/x/mytmp/tmpfiles/"), lib, TRefusal::rfMissingLibrary},
      // The library must be in the program folder itself.
      {good.Path(), QStringLiteral("libcrypto.so.1.1"), TRefusal::rfMissingLibrary},
      {good.Path(), QString(), TRefusal::rfMissingLibrary},
  };
  for (const Case& c : cases)
    EXPECT_EQ(run::CheckProgramFolder(c.dir, c.libFile), c.expected) << c.dir.toStdString();
}

TEST(StartupChecks, LibraryFolderNamedLikeTheLibraryIsNotTheLibrary) {
  TProgramDir dir;
  QDir(dir.Path()).mkdir(QStringLiteral("libssl.so.3"));
  EXPECT_EQ(run::CheckProgramFolder(dir.Path(), QStringLiteral("libssl.so.3")),
            TRefusal::rfMissingLibrary);
}

TEST(StartupChecks, LinkedCryptoLibraryIsNamedBySoname) {
  const QString name = run::LinkedCryptoLibraryFile();
  EXPECT_TRUE(name.startsWith(QStringLiteral("libcrypto.so."))) << name.toStdString();
}

TEST(StartupChecks, RefusalTexts) {
  EXPECT_EQ(run::RefusalTitle(), QStringLiteral("Внимание!"));
  EXPECT_TRUE(run::RefusalText(TRefusal::rfArchive)
                  .startsWith(QStringLiteral("Вы запустили программу изнутри архива!\r\nДля корректной")));
  EXPECT_TRUE(run::RefusalText(TRefusal::rfTempFolder)
                  .startsWith(QStringLiteral("Программа запущена из временной папки!\r\nСкорее всего")));
  EXPECT_TRUE(run::RefusalText(TRefusal::rfMissingLibrary)
                  .startsWith(QStringLiteral("Программа не обнаружила необходимые для работы файлы!\r\n"
                                             "Вероятно, Вы запустили программу изнутри архива!\r\n")));
  for (TRefusal r : {TRefusal::rfArchive, TRefusal::rfTempFolder, TRefusal::rfMissingLibrary})
    EXPECT_TRUE(run::RefusalText(r).endsWith(QStringLiteral("выбрав пункт меню \"Извлечь все\"")));
  EXPECT_TRUE(run::RefusalText(TRefusal::rfNone).isEmpty());
}

// The window's first show runs the checks: a refusal shows one box and ends the program with
// exit code 0 before anything is written; a pass writes the eight introductory lines.
TEST(StartupWindow, FirstShowRefusesOrIntroduces) {
  TProgramDir good;
  struct Case {
    QString dir;
    TRefusal refusal;
  } cases[] = {
      {QStringLiteral("/x/Rar$EX1/"), TRefusal::rfArchive},
      {QStringLiteral("/x/tmp/prog/"), TRefusal::rfTempFolder},
      {QStringLiteral("/x/nowhere-such/"), TRefusal::rfMissingLibrary},
      {good.Path(), TRefusal::rfNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir.toStdString());
    TSeams seams;
    app::TMainForm form(TestSettings(seams, c.dir));
    form.show();
    form.hide();
    form.show();  // shown again: the checks ran once
    if (c.refusal == TRefusal::rfNone) {
      EXPECT_TRUE(seams.Messages.empty());
      EXPECT_TRUE(seams.Exits.empty());
      const QStringList lines = LogLines(form);
      ASSERT_EQ(lines.size(), 8);
      EXPECT_EQ(lines, run::IntroductionLines());
      EXPECT_TRUE(lines[1].isEmpty());
      EXPECT_TRUE(lines[4].isEmpty());
      for (const QString& l : lines) EXPECT_FALSE(l.contains(QStringLiteral("2024")));
    } else {
      ASSERT_EQ(seams.Messages.size(), 1u);
      EXPECT_EQ(seams.Messages[0].first, run::RefusalTitle());
      EXPECT_EQ(seams.Messages[0].second, run::RefusalText(c.refusal));
      EXPECT_EQ(seams.Exits, std::vector<int>{0});
      EXPECT_TRUE(Find<app::TLogMemo>(form, "LogsMemo")->toPlainText().isEmpty());
    }
  }
}

}  // namespace
