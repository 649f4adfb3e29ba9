// The command's parts that need no run: the option parser's messages, the progress line's fit
// to a width, and the queue in front of stdout.
#include <QStringList>
#include <gtest/gtest.h>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "cli/CliOptions.h"
#include "cli/CliOutput.h"

namespace {

// Every usage message in the command's language, naming what was wrong.
TEST(CliOptions, UsageMessagesAreTheCommandsOwn) {
  struct Case {
    QStringList args;
    const char* error;  // empty: accepted
  } cases[] = {
      {{"--test"}, ""},
      {{"-test", "--resume=data1.csv"}, ""},
      {{"--resume", "--test"}, ""},  // a value may begin with a dash
      {{"--", "x"}, "лишний аргумент: x"},
      {{"x"}, "лишний аргумент: x"},
      {{"--bogus"}, "неизвестный параметр: bogus"},
      {{"--resume"}, "у параметра --resume нет значения FILE"},
      {{"--origin"}, "у параметра --origin нет значения URL"},
      {{"--resume="}, "у параметра --resume пустое значение"},
      {{"--test=1"}, "параметр --test не принимает значения"},
      {{"--resume", "a", "--resume", "b"}, "параметр --resume указан дважды"},
      {{"--origin", "https://[::1]:8443"},
       "--origin ждёт адрес вида https://host[:port] без пути (адрес IPv6 в скобках не поддерживается): "
       "https://[::1]:8443"},
  };
  for (const Case& c : cases) {
    cli::TCliOptions options;
    QString error;
    const bool ok = cli::ParseCommandLine(QStringList{"supplier-harvester-cli"} + c.args, options, error);
    EXPECT_EQ(error.toStdString(), c.error) << c.args.join(' ').toStdString();
    EXPECT_EQ(ok, *c.error == 0) << c.args.join(' ').toStdString();
  }
}

TEST(CliOptions, OriginIsKeptInItsOneSpelling) {
  cli::TCliOptions options;
  QString error;
  ASSERT_TRUE(cli::ParseCommandLine({"supplier-harvester-cli", "--origin", "HTTPS://LocalHost:08443"}, options, error));
  EXPECT_EQ(options.Origin.toStdString(), "https://localhost:8443");
}

// The line keeps its figures as long as it can: the words shrink first, then the least
// needed figures go, and only a width below the bare count cuts it.
TEST(CliProgress, LineFitsTheWidth) {
  cli::TProgressFigures f;
  f.Phase = QStringLiteral("карточки");
  f.Position = 12345;
  f.Max = 300000;
  f.ElapsedMs = (1 * 3600 + 23 * 60 + 45) * 1000;
  f.RemainingMs = (12 * 3600 + 34 * 60 + 56) * 1000;
  struct Case {
    int width;
    const char* line;
  } cases[] = {
      {0, "карточки: 12345 из 300000, осталось 287655 (4%), прошло 1:23:45, ещё ~12:34:56"},
      {200, "карточки: 12345 из 300000, осталось 287655 (4%), прошло 1:23:45, ещё ~12:34:56"},
      {78, "карточки: 12345 из 300000, осталось 287655 (4%), прошло 1:23:45, ещё ~12:34:56"},
      {77, "карточки: 12345 из 300000, ост. 287655 (4%), 1:23:45, ~12:34:56"},
      {63, "карточки: 12345 из 300000, ост. 287655 (4%), 1:23:45, ~12:34:56"},
      {62, "карточки: 12345/300000 (4%) 1:23:45 ~12:34:56"},
      {44, "карточки: 12345/300000 4% ~12:34:56"},
      {34, "12345/300000 4%"},
      {14, "12345/300000"},
      {8, "12345/30"},
  };
  for (const Case& c : cases) {
    const QString line = cli::FitProgressLine(f, c.width);
    EXPECT_EQ(line.toStdString(), c.line) << c.width;
    if (c.width > 0) {
      EXPECT_LE(line.size(), c.width);
    }
  }
  f.Paused = true;
  f.RemainingMs = -1;
  f.Phase = QStringLiteral("список участников");
  EXPECT_EQ(cli::FitProgressLine(f, 0).toStdString(),
            "список участников: 12345 из 300000, осталось 287655 (4%), прошло 1:23:45, пауза");
  EXPECT_EQ(cli::FitProgressLine(f, 40).toStdString(), "список: 12345/300000 (4%) 1:23:45 пауза");
}

// A reader that takes nothing fills the queue: what does not fit is refused at once instead of
// waiting, and the end waits only as long as the writer is stuck. A reader that went away
// takes the rest with it.
TEST(CliOutputQueue, NeverWaitsForItsReader) {
  ::signal(SIGPIPE, SIG_IGN);  // as the command ignores it
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_GT(::fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
  {
    cli::TOutputQueue queue(fds[1], 16384);
    const QByteArray line(1000, 'x');
    int accepted = 0;
    while (queue.Write(line)) ++accepted;
    // The pipe holds 4 KiB, the queue 16 KiB on top of what the stuck write took.
    EXPECT_GE(accepted, 16);
    EXPECT_LE(accepted, 16 + 5);
    EXPECT_FALSE(queue.Drain(200));
    // The reader goes away: the stuck write fails and nothing is held for it any more.
    ::close(fds[0]);
    EXPECT_TRUE(queue.Drain(2000));
    EXPECT_TRUE(queue.Write(line));
  }
  ::close(fds[1]);

  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  {
    cli::TOutputQueue queue(fds[1], 1 << 20);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue.Write(QByteArray("line\n")));
    EXPECT_TRUE(queue.Drain(2000));
    char buf[64];
    EXPECT_EQ(::read(fds[0], buf, sizeof buf), 15);
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
