// supplier-harvester-cli from outside: whole runs against the demo portal, the signals, bad
// usage and refusals, and the progress display on a terminal.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

#include "DemoPortal.h"
#include "QtChildProcess.h"
#include "XlsxTestSupport.h"
#include "text/Codeset.h"


namespace {

const QString kBin = QStringLiteral(SH_BIN_DIR);
// The command under test: the build's, or another copy of it (the release checks run the one
// unpacked from the archive) named by SH_CLI_UNDER_TEST.
const QString kCli = qEnvironmentVariableIsEmpty("SH_CLI_UNDER_TEST")
                         ? kBin + QStringLiteral("/supplier-harvester-cli")
                         : qEnvironmentVariable("SH_CLI_UNDER_TEST");

using TProcess = testsupport::TQtChildProcess;

QStringList Lines(const QString& text) { return text.split(u'\n', Qt::SkipEmptyParts); }

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The demo portal on a free loopback port, a working folder holding the client certificate
// (opened from the current folder) and an empty output folder.
class CliDemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"supplier-harvester-cli", "demo-portal", "server-cert.pem", "01cert.pem", "01key.pem"})
      ASSERT_TRUE(QFileInfo::exists(kBin + u'/' + QString::fromLatin1(f))) << "missing " << f;  // the build makes it
    ASSERT_TRUE(Work.isValid());
    ASSERT_TRUE(QDir().mkpath(OutDir()));
    for (const char* f : {"01cert.pem", "01key.pem"})
      ASSERT_TRUE(QFile::copy(kBin + u'/' + QString::fromLatin1(f), Work.path() + u'/' + QString::fromLatin1(f)));
  }

  void StartPortal(const QStringList& faults = {}) {
    const QString dump = Work.path() + QStringLiteral("/expected.tsv");
    std::vector<std::string> args{"--cert", kBin.toStdString() + "/server-cert.pem", "--key",
                                  kBin.toStdString() + "/server-key.pem", "--ca", kBin.toStdString() + "/ca.pem",
                                  "--threads", "16", "--dump-expected", dump.toStdString()};
    for (const QString& f : faults) args.push_back(f.toStdString());
    ASSERT_TRUE(Portal.Start(kBin.toStdString() + "/demo-portal", args, Work.path().toStdString())) << Portal.Error();
    Origin = QString::fromStdString(Portal.Origin());
    ReadExpectedRows(dump);
  }

  // The rows a test export writes: every card of the first list page of 2016, in the result
  // file's layout (address, "N/A", the 31 values).
  void ReadExpectedRows(const QString& dump) {
    for (const QString& raw : QString::fromUtf8(ReadFile(dump)).split(u'\n')) {
      if (raw.isEmpty() || raw.startsWith(u'#')) continue;
      const QStringList c = raw.split(u'\t');
      ASSERT_EQ(c.size(), 9 + 31);
      Activity.insert(c[8], c[1]);
      if (c[5] != QStringLiteral("2016") || c[6] != QStringLiteral("1")) continue;
      const QString row = u'"' + c[8] + QStringLiteral("\";\"N/A\";\"") + c.mid(9).join(QStringLiteral("\";\"")) + u'"';
      if (!FirstPageRows.contains(row)) FirstPageRows.append(row);
    }
    FirstPageRows.sort();
  }

  std::unique_ptr<TProcess> RunCli(const QStringList& args) {
    return std::make_unique<TProcess>(kCli, QStringList{QStringLiteral("--origin"), Origin,
                                                        QStringLiteral("--output-dir"), OutDir()} + args,
                                      Work.path());
  }

  QString OutDir() const { return Work.path() + QStringLiteral("/out/"); }
  QStringList OutFiles(const QString& pattern = QStringLiteral("*")) const {
    return QDir(OutDir()).entryList({pattern}, QDir::Files);
  }

  // The log file of the run is what stdout showed, line for line, with CR LF.
  void ExpectLogFileIsStdout(const TProcess& cli) {
    const QStringList logs = OutFiles(QStringLiteral("log-*.txt"));
    ASSERT_EQ(logs.size(), 1);
    const QString path = OutDir() + logs[0];
    QString expected = cli.Out();
    expected.replace(u'\n', QStringLiteral("\r\n"));
    EXPECT_EQ(QString::fromUtf8(ReadFile(path)), expected);
    EXPECT_TRUE(Lines(cli.Out()).last().endsWith(QStringLiteral(": Работа завершена, лог записан в ") + path))
        << cli.Out().toStdString();
  }

  // A --test run whose stderr is a pseudo-terminal of `size` (null: the default), stdout going
  // elsewhere. Returns the child, with the terminal's side in `master`.
  pid_t StartOnTerminal(int& master, const winsize* size) {
    const QByteArray program = kCli.toLocal8Bit();
    const QByteArray origin = Origin.toLocal8Bit();
    const QByteArray out = OutDir().toLocal8Bit();
    const QByteArray dir = Work.path().toLocal8Bit();
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, size);
    if (pid == 0) {
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      if (::chdir(dir.constData()) != 0) ::_exit(126);
      const char* argv[] = {program.constData(), "--test", "--origin", origin.constData(),
                            "--output-dir", out.constData(), nullptr};
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(127);
    }
    return pid;
  }

  // What the terminal shows until the child closes it or `ms` pass; `seen` is told after each
  // read.
  static QByteArray ReadTerminal(int master, int ms, const std::function<void(const QByteArray&)>& seen = {}) {
    QByteArray screen;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;  // EIO once the child has closed the terminal
      screen.append(buf, n);
      if (seen) seen(screen);
    }
    ::close(master);
    return screen;
  }

  QTemporaryDir Work{QStringLiteral(SH_TEST_WORK_DIR "/cli-work-XXXXXX")};
  testsupport::TDemoPortal Portal;
  QString Origin;
  QStringList FirstPageRows;
  QHash<QString, QString> Activity;  // card address -> "active" or "inactive", from the dump
};

TEST_F(CliDemoTest, TestExportWritesTheRowsAndTheLogAsStdout) {
  StartPortal();
  auto cli = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet")});
  ASSERT_TRUE(cli->Finish()) << cli->Err().toStdString();
  EXPECT_EQ(cli->ExitCode(), 0) << cli->Err().toStdString();

  const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
  ASSERT_EQ(csvs.size(), 1) << OutFiles().join(u' ').toStdString();
  const QByteArray bytes = ReadFile(OutDir() + csvs[0]);
  ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
  ASSERT_TRUE(bytes.endsWith("\r\n"));
  QStringList rows = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  ASSERT_FALSE(rows.isEmpty());
  EXPECT_TRUE(rows.takeFirst().startsWith(QStringLiteral("\"URL карточки\";\"Активный/Неактивный\";")));
  rows.sort();
  ASSERT_FALSE(FirstPageRows.isEmpty());
  EXPECT_EQ(rows, FirstPageRows);

  const QStringList out = Lines(cli->Out());
  ASSERT_FALSE(out.isEmpty());
  EXPECT_TRUE(out.first().endsWith(QStringLiteral(": Начинаем работу по выгрузке")));
  EXPECT_TRUE(cli->Out().contains(QStringLiteral(": Сбор данных завершен\n")));
  ExpectLogFileIsStdout(*cli);
  // --quiet leaves stderr with the result file's name alone.
  EXPECT_EQ(cli->Err(), QStringLiteral("Файл результата: ") + OutDir() + csvs[0] + u'\n');
}

// A reader of stdout that goes away (as `| head` does once it has its lines) does not end the
// run: the log file still gets every line.
TEST_F(CliDemoTest, ClosedStdoutLeavesTheRunAndItsLogFileWhole) {
  StartPortal();
  const QByteArray program = kCli.toLocal8Bit();
  const QByteArray origin = Origin.toLocal8Bit();
  const QByteArray out = OutDir().toLocal8Bit();
  const QByteArray dir = Work.path().toLocal8Bit();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(fds[1], 1);
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 2);
    ::close(fds[0]);
    ::close(fds[1]);
    if (::chdir(dir.constData()) != 0) ::_exit(126);
    const char* argv[] = {program.constData(), "--test", "--quiet", "--origin", origin.constData(),
                          "--output-dir", out.constData(), nullptr};
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(fds[0]);  // nobody reads: the first line written meets a closed pipe
  ::close(fds[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const QStringList logs = OutFiles(QStringLiteral("log-*.txt"));
  ASSERT_EQ(logs.size(), 1);
  const QString log = QString::fromUtf8(ReadFile(OutDir() + logs[0]));
  EXPECT_TRUE(log.contains(QStringLiteral(": Сбор данных завершен\r\n")));
  EXPECT_TRUE(log.endsWith(QStringLiteral(": Работа завершена, лог записан в ") + OutDir() + logs[0] + QStringLiteral("\r\n")));
  EXPECT_EQ(OutFiles(QStringLiteral("data*.csv")).size(), 1);
}

// The mode options as the window's controls: a box alone selects the separate mode, and the
// separate mode with no box falls back to all in one pass, saying so.
TEST_F(CliDemoTest, ModeOptionsChooseTheCards) {
  StartPortal();
  struct Case {
    QStringList args;
    bool fallsBack;
    QString activity;  // of every row
    QString dumpActivity;
  } cases[] = {
      {{QStringLiteral("--separate")}, true, QStringLiteral("N/A"), QString()},
      {{QStringLiteral("--inactive")}, false, QStringLiteral("Неактивный"), QStringLiteral("inactive")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(u' ').toStdString());
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
    auto cli = RunCli(QStringList{QStringLiteral("--test"), QStringLiteral("--quiet")} + c.args);
    ASSERT_TRUE(cli->Finish()) << cli->Err().toStdString();
    EXPECT_EQ(cli->ExitCode(), 0) << cli->Err().toStdString();
    EXPECT_EQ(cli->Err().contains(QStringLiteral("--separate без --active и --inactive: выгружаем всех подряд\n")),
              c.fallsBack)
        << cli->Err().toStdString();
    const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
    ASSERT_EQ(csvs.size(), 1);
    QStringList rows = QString::fromUtf8(ReadFile(OutDir() + csvs[0]).mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    rows.removeFirst();
    ASSERT_FALSE(rows.isEmpty());
    for (const QString& row : rows) {
      const QStringList fields = row.mid(1, row.size() - 2).split(QStringLiteral("\";\""));
      ASSERT_EQ(fields.size(), 33) << row.toStdString();
      EXPECT_EQ(fields[1], c.activity) << row.toStdString();
      if (!c.dumpActivity.isEmpty()) {
        EXPECT_EQ(Activity.value(fields[0]), c.dumpActivity) << row.toStdString();
      }
    }
  }
}

// SIGUSR1 pauses and resumes as the pause button does; SIGINT or SIGTERM stops as the stop
// button does, the run ends through its end and the log file is complete. A second stop signal
// ends the process at once; the rows written by then are whole.
TEST_F(CliDemoTest, SignalsPauseAndStopTheRun) {
  // Slow answers keep the card phase going while the signals arrive.
  StartPortal({QStringLiteral("--fault-slow"), QStringLiteral("300")});
  struct Case {
    int signal;
    bool twice;
  } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGINT, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "signal " << c.signal << (c.twice ? " twice" : ""));
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
    auto cli = RunCli({QStringLiteral("--test")});
    ASSERT_TRUE(cli->WaitForStdout(QStringLiteral("/show_supplier/"))) << cli->Out().toStdString();
    if (!c.twice) {
      cli->Signal(SIGUSR1);
      ASSERT_TRUE(cli->WaitForStdout(QStringLiteral(": Включаем паузу\n")));
      cli->Signal(SIGUSR1);
      ASSERT_TRUE(cli->WaitForStdout(QStringLiteral(": Отключаем паузу, продолжаем работу\n")));
    }
    cli->Signal(c.signal);
    if (c.twice) cli->Signal(c.signal);
    ASSERT_TRUE(cli->Finish(30000)) << cli->Out().toStdString();
    EXPECT_EQ(cli->ExitCode(), 130) << cli->Err().toStdString();
    const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
    ASSERT_EQ(csvs.size(), 1);
    EXPECT_TRUE(ReadFile(OutDir() + csvs[0]).endsWith("\r\n"));  // no row cut in half
    if (c.twice) continue;  // ended at once: the log stops where it was
    EXPECT_TRUE(cli->Out().contains(QStringLiteral(": Останавливаем работу\n")));
    EXPECT_FALSE(cli->Out().contains(QStringLiteral(": Сбор данных завершен")));
    ExpectLogFileIsStdout(*cli);
    EXPECT_TRUE(Lines(cli->Err()).last().startsWith(QStringLiteral("Файл результата: ")));
  }
}

// A run killed outright in its card phase, the kind of end a power cut gives, is finished by
// --resume: the one result file then holds exactly the rows of an uninterrupted run. The
// second case also leaves half a row behind, as a crash in the middle of a write would.
TEST_F(CliDemoTest, ResumeFinishesAKilledRun) {
  StartPortal({QStringLiteral("--fault-slow"), QStringLiteral("300")});
  for (const bool cutRow : {false, true}) {
    SCOPED_TRACE(cutRow ? "a row cut short" : "whole rows");
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
    auto first = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet")});
    // Killed once a few cards are in the file.
    ASSERT_TRUE(first->WaitUntil([&] { return first->Out().count(QStringLiteral(": успешно\n")) >= 5; }))
        << first->Out().toStdString();
    first->Signal(SIGKILL);
    ASSERT_FALSE(first->Finish(10000));
    const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
    ASSERT_EQ(csvs.size(), 1);
    const QString path = OutDir() + csvs[0];
    if (cutRow) {
      QFile f(path);
      ASSERT_TRUE(f.open(QIODevice::Append));
      f.write("\"https://cut/show_supplier/1\";\"N/A\";\"ТОО");
    }
    const qsizetype rowsBefore = ReadFile(path).count("\r\n") - 1;
    ASSERT_LT(rowsBefore, FirstPageRows.size());
    for (const QString& log : OutFiles(QStringLiteral("log-*.txt"))) QFile::remove(OutDir() + log);

    auto resumed = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--resume"), path});
    ASSERT_TRUE(resumed->Finish()) << resumed->Err().toStdString();
    EXPECT_EQ(resumed->ExitCode(), 0) << resumed->Err().toStdString();
    EXPECT_EQ(OutFiles(QStringLiteral("data*.csv")), csvs);  // no second result file
    EXPECT_EQ(resumed->Out().contains(QStringLiteral(": Удалена оборванная последняя строка файла ") + path), cutRow);
    EXPECT_TRUE(resumed->Out().contains(QStringLiteral(": В файле ") + path + QStringLiteral(" уже строк: ") +
                                        QString::number(rowsBefore) + QStringLiteral(", осталось карточек: ") +
                                        QString::number(FirstPageRows.size() - rowsBefore)))
        << resumed->Out().toStdString();
    const QByteArray bytes = ReadFile(path);
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    QStringList rows = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_FALSE(rows.isEmpty());
    rows.removeFirst();  // the header, written once
    rows.sort();
    EXPECT_EQ(rows, FirstPageRows);
    ExpectLogFileIsStdout(*resumed);
  }
}

// The result file as a spreadsheet: written beside it by --xlsx when the run ends, with the
// same number, or made later from the finished file by --to-xlsx. Every text cell holds the
// value of the result file exactly; only the two date columns may hold numbers.
TEST_F(CliDemoTest, XlsxOptionsWriteTheSheetBesideTheResultFile) {
  StartPortal();
  auto cli = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--xlsx")});
  ASSERT_TRUE(cli->Finish()) << cli->Err().toStdString();
  EXPECT_EQ(cli->ExitCode(), 0) << cli->Err().toStdString();
  const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
  ASSERT_EQ(csvs.size(), 1);
  const QString csv = OutDir() + csvs[0];
  QString xlsx = csv;
  xlsx.replace(QRegularExpression(QStringLiteral("\\.csv$")), QStringLiteral(".xlsx"));
  const QStringList rows = QString::fromUtf8(ReadFile(csv).mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  ASSERT_EQ(rows.size(), FirstPageRows.size() + 1);
  const QString sheetLine = QStringLiteral("Файл таблицы: %1 (строк: %2)").arg(xlsx).arg(rows.size() - 1);
  // Both files named, the result file last, as for a run without --xlsx.
  EXPECT_EQ(Lines(cli->Err()), QStringList({sheetLine, QStringLiteral("Файл результата: ") + csv}))
      << cli->Err().toStdString();

  const auto expectSheetIsTheFile = [&] {
    ASSERT_TRUE(QFileInfo::exists(xlsx)) << OutFiles().join(u' ').toStdString();
    const exporttest::TSheetXml sheet = exporttest::ReadBackXlsx(xlsx);
    EXPECT_FALSE(sheet.HasFormula);
    for (int r = 0; r < rows.size(); ++r) {
      const QStringList fields = rows[r].mid(1, rows[r].size() - 2).split(QStringLiteral("\";\""));
      ASSERT_EQ(fields.size(), 33);
      for (int c = 0; c < fields.size(); ++c) {
        const exporttest::TCell& cell = sheet.At(exporttest::Ref(c, r + 1));
        SCOPED_TRACE(exporttest::Ref(c, r + 1));
        if (fields[c].isEmpty()) continue;  // an empty value may leave no cell
        if (cell.Type.empty()) {
          EXPECT_TRUE(rows[0].split(QStringLiteral("\";\""))[c].startsWith(QStringLiteral("Дата")));
        } else {
          EXPECT_EQ(QString::fromStdString(cell.Text), fields[c]);
        }
      }
    }
  };
  expectSheetIsTheFile();

  // The same sheet from the finished file, and nothing else written.
  ASSERT_TRUE(QFile::remove(xlsx));
  const QStringList before = OutFiles();
  TProcess convert(kCli, {QStringLiteral("--to-xlsx"), csv}, Work.path());
  ASSERT_TRUE(convert.Finish());
  EXPECT_EQ(convert.ExitCode(), 0) << convert.Err().toStdString();
  EXPECT_EQ(convert.Err(), sheetLine + u'\n');
  EXPECT_TRUE(convert.Out().isEmpty());
  QStringList after = OutFiles();
  after.removeAll(QFileInfo(xlsx).fileName());
  EXPECT_EQ(after, before);
  expectSheetIsTheFile();
}

// Bad usage, unusable files and the start-up refusals: exit 2, one line on stderr saying why,
// nothing in the output folder, and a file named to be continued left as it was.
TEST_F(CliDemoTest, RefusalsWriteNothing) {
  const QString resume = Work.path() + QStringLiteral("/data123.csv");
  const QByteArray resumeBytes = "\xEF\xBB\xBF\"URL карточки\";\"Активный/Неактивный\"\r\n\"https://h/x\";\"N/A\"\r\n";
  {
    QFile f(resume);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(resumeBytes);
  }
  const QString garbage = Work.path() + QStringLiteral("/notes.txt");
  {
    QFile f(garbage);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("просто текст\n");
  }
  // Program folders the start-up checks refuse: inside an archive, a temporary folder, and a
  // folder without the crypto library beside the program.
  const QString archive = Work.path() + QStringLiteral("/Rar$EXa1.234");
  const QString temp = Work.path() + QStringLiteral("/Temp");
  const QString bare = Work.path() + QStringLiteral("/bare");
  for (const QString& dir : {archive, temp, bare}) {
    ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(QFile::copy(kCli, dir + QStringLiteral("/supplier-harvester-cli")));
  }
  // A program folder whose default proxy.txt cannot be read (a read that fails even for root).
  const QString proxied = Work.path() + QStringLiteral("/proxied");
  ASSERT_TRUE(QDir().mkpath(proxied));
  for (const QString& f : QDir(kBin).entryList({QStringLiteral("supplier-harvester-cli"), QStringLiteral("libcrypto*"),
                                                QStringLiteral("libssl*")},
                                               QDir::Files))
    ASSERT_TRUE(QFile::copy(kBin + u'/' + f, proxied + u'/' + f));
  ASSERT_TRUE(QFile::link(QStringLiteral("/proc/self/mem"), proxied + QStringLiteral("/proxy.txt")));
  // A folder the log file cannot be created in although it passes the writability check (as
  // root): the start itself refuses.
  const QString out = OutDir();
  const QString noLog = QFileInfo(QStringLiteral("/sys/kernel")).isWritable() ? QStringLiteral("/sys/kernel") : out;
  struct Case {
    QString program;
    QStringList args;
    QString says;  // part of the one stderr line
  } cases[] = {
      {kCli, {QStringLiteral("--bogus")}, QStringLiteral("неизвестный параметр: bogus")},
      {kCli, {QStringLiteral("extra")}, QStringLiteral("лишний аргумент: extra")},
      {kCli, {QStringLiteral("--origin")}, QStringLiteral("origin")},
      {kCli, {QStringLiteral("--origin"), QStringLiteral("http://localhost:8443")}, QStringLiteral("--origin")},
      {kCli, {QStringLiteral("--origin"), QStringLiteral("https://localhost:8443/ru")}, QStringLiteral("--origin")},
      {kCli, {QStringLiteral("--origin"), QStringLiteral("https://[::1]:8443")}, QStringLiteral("IPv6")},
      {kCli, {QStringLiteral("--resume")}, QStringLiteral("у параметра --resume нет значения FILE")},
      {kCli, {QStringLiteral("--test=yes")}, QStringLiteral("параметр --test не принимает значения")},
      {proxied + QStringLiteral("/supplier-harvester-cli"), {}, QStringLiteral("файл прокси не читается: Cannot read file")},
      {kCli, {QStringLiteral("--separate"), QStringLiteral("--output-dir"), noLog}, QString()},
      {kCli, {QStringLiteral("--output-dir"), Work.path() + QStringLiteral("/missing")}, QStringLiteral("нет такой папки")},
      {kCli, {QStringLiteral("--output-dir"), garbage}, QStringLiteral("нет такой папки")},
      {kCli, {QStringLiteral("--output-dir"), out, QStringLiteral("--output-dir"), out}, QStringLiteral("дважды")},
      {kCli, {QStringLiteral("--proxy-file"), Work.path() + QStringLiteral("/proxy-missing.txt")}, QStringLiteral("файл прокси")},
      {kCli, {QStringLiteral("--resume"), resume}, QString()},
      {kCli, {QStringLiteral("--resume"), garbage}, QString()},
      {kCli, {QStringLiteral("--resume"), Work.path() + QStringLiteral("/data-missing.csv")}, QString()},
      {kCli, {QStringLiteral("--resume"), resume, QStringLiteral("--separate"), QStringLiteral("--inactive")}, QString()},
      {kCli, {QStringLiteral("--to-xlsx"), resume}, QStringLiteral("не является файлом результатов")},
      {kCli, {QStringLiteral("--to-xlsx"), garbage}, QStringLiteral("не является файлом результатов")},
      {kCli, {QStringLiteral("--to-xlsx"), Work.path() + QStringLiteral("/data-missing.csv")}, QString()},
      {kCli, {QStringLiteral("--to-xlsx"), resume, QStringLiteral("--test")}, QStringLiteral("--to-xlsx не сочетается с --test")},
      {archive + QStringLiteral("/supplier-harvester-cli"), {}, QStringLiteral("изнутри архива!")},
      {temp + QStringLiteral("/supplier-harvester-cli"), {}, QStringLiteral("из временной папки!")},
      {bare + QStringLiteral("/supplier-harvester-cli"), {}, QStringLiteral("не обнаружила необходимые")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(u' ').toStdString() + " " + c.program.toStdString());
    // A conversion takes no output folder: it writes beside its file.
    const QStringList args = c.args.contains(QStringLiteral("--output-dir")) || c.args.contains(QStringLiteral("--to-xlsx"))
                                 ? c.args
                                 : QStringList{QStringLiteral("--output-dir"), out} + c.args;
    TProcess cli(c.program, args, Work.path());
    ASSERT_TRUE(cli.Finish(20000));
    EXPECT_EQ(cli.ExitCode(), 2);
    EXPECT_TRUE(cli.Out().isEmpty()) << cli.Out().toStdString();
    const QStringList err = Lines(cli.Err());
    ASSERT_EQ(err.size(), 1) << cli.Err().toStdString();
    EXPECT_TRUE(cli.Err().endsWith(u'\n'));
    EXPECT_TRUE(err[0].startsWith(QStringLiteral("supplier-harvester-cli: "))) << err[0].toStdString();
    EXPECT_TRUE(err[0].contains(QRegularExpression(QStringLiteral("[а-яА-Я]")))) << err[0].toStdString();
    EXPECT_GT(err[0].size(), 30) << err[0].toStdString();
    if (!c.says.isEmpty()) {
      EXPECT_TRUE(err[0].contains(c.says)) << err[0].toStdString();
    }
    EXPECT_EQ(OutFiles(), QStringList());
    for (const QString& dir : {archive, temp, bare})
      EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{QStringLiteral("supplier-harvester-cli")});
    EXPECT_TRUE(QDir(proxied).entryList({QStringLiteral("log-*"), QStringLiteral("data*")}, QDir::Files).isEmpty());
    EXPECT_EQ(ReadFile(resume), resumeBytes);
    EXPECT_EQ(QDir(Work.path()).entryList({QStringLiteral("*xlsx*")}, QDir::Files | QDir::Hidden), QStringList());
  }
}

// On a terminal the progress is one line rewritten in place; the run's end leaves the name of
// the result file as the last line.
TEST_F(CliDemoTest, ProgressOnATerminalIsOneLineRewritten) {
  StartPortal();
  int master = -1;
  const pid_t pid = StartOnTerminal(master, nullptr);
  ASSERT_GE(pid, 0);
  const QByteArray screen = ReadTerminal(master, 60000);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const QString text = QString::fromUtf8(screen);
  EXPECT_TRUE(text.contains(QStringLiteral("\rсписок участников: "))) << text.toStdString();
  static const QRegularExpression cards(QStringLiteral(
      "\rкарточки: (\\d+) из (\\d+), осталось (\\d+) \\((\\d+)%\\), прошло \\d+:\\d\\d:\\d\\d[^\r]*\x1b\\[K"));
  bool sawCount = false;
  for (auto it = cards.globalMatch(text); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    EXPECT_EQ(m.captured(1).toInt() + m.captured(3).toInt(), m.captured(2).toInt());
    if (m.captured(1).toInt() > 0) sawCount = true;
  }
  EXPECT_TRUE(sawCount) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral(", ещё ~"))) << text.toStdString();
  // The line is cleared before the last one; the terminal turns \n into \r\n.
  const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
  ASSERT_EQ(csvs.size(), 1);
  EXPECT_TRUE(text.endsWith(QStringLiteral("\r\x1b[KФайл результата: ") + OutDir() + csvs[0] + QStringLiteral("\r\n")))
      << text.right(200).toStdString();
}

// A child of the test with its stdout and stderr where the test puts them, and the environment
// given to it on top of the test's own.
pid_t Spawn(const QStringList& argv, const QString& dir, int out, int err, const QStringList& env = {}) {
  std::vector<QByteArray> args;
  for (const QString& a : argv) args.push_back(a.toLocal8Bit());
  std::vector<QByteArray> vars;
  for (const QString& v : env) vars.push_back(v.toLocal8Bit());
  const QByteArray where = dir.toLocal8Bit();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (out >= 0) ::dup2(out, 1);
  if (err >= 0) ::dup2(err, 2);
  for (QByteArray& v : vars) ::putenv(v.data());
  if (::chdir(where.constData()) != 0) ::_exit(126);
  std::vector<char*> list;
  for (QByteArray& a : args) list.push_back(a.data());
  list.push_back(nullptr);
  ::execv(list[0], list.data());
  ::_exit(127);
}

// Waits up to `ms` for the child; its wait status, or -1 when it is still running (it is then
// killed).
int WaitChild(pid_t pid, int ms) {
  QElapsedTimer t;
  t.start();
  int status = 0;
  while (t.elapsed() < ms) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    ::usleep(20000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

QString LogFileOf(const QString& dir) {
  const QStringList logs = QDir(dir).entryList({QStringLiteral("log-*.txt")}, QDir::Files);
  return logs.size() == 1 ? dir + logs[0] : QString();
}

// Rows the result file was short of, as the log counts them at the card phase's end.
const QRegularExpression kLostRows(QStringLiteral(": Не записано строк в файл (\\S+): (\\d+)\r?\n"));

// A row that the result file cannot take costs the status 0: under a file size limit (SIGXFSZ
// ignored, as a shell's `ulimit -f` gives it) the run ends with 1, the log names the first
// failure once and counts the rows left out, and the file keeps whole rows only.
TEST_F(CliDemoTest, RowsThatCannotBeWrittenMakeTheStatusOne) {
  StartPortal();
  struct Case {
    const char* what;
    int limitKiB;  // 0: no limit
    int status;
  } cases[] = {{"no limit", 0, 0}, {"a limit of 10 KiB", 10, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
    const QString limit = c.limitKiB > 0 ? QStringLiteral("ulimit -f %1; ").arg(c.limitKiB) : QString();
    TProcess cli(QStringLiteral("/bin/bash"),
                 {QStringLiteral("-c"), QStringLiteral("trap '' XFSZ; ") + limit + QStringLiteral("exec \"$0\" \"$@\""),
                  kCli, QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--origin"), Origin,
                  QStringLiteral("--output-dir"), OutDir()},
                 Work.path());
    ASSERT_TRUE(cli.Finish()) << cli.Err().toStdString();
    EXPECT_EQ(cli.ExitCode(), c.status) << cli.Err().toStdString();
    const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
    ASSERT_EQ(csvs.size(), 1);
    const QString csv = OutDir() + csvs[0];
    const QByteArray bytes = ReadFile(csv);
    EXPECT_TRUE(bytes.endsWith("\r\n"));
    const int rows = static_cast<int>(bytes.count("\r\n")) - 1;
    ExpectLogFileIsStdout(cli);  // the log file itself was not cut
    const QRegularExpressionMatch lost = kLostRows.match(cli.Out());
    if (c.status == 0) {
      EXPECT_EQ(rows, FirstPageRows.size());
      EXPECT_FALSE(lost.hasMatch());
      continue;
    }
    EXPECT_LT(rows, FirstPageRows.size());
    EXPECT_EQ(cli.Out().count(QStringLiteral(": Ошибка записи в файл ") + csv + QStringLiteral(": File too large\n")), 1)
        << cli.Out().toStdString();
    ASSERT_TRUE(lost.hasMatch()) << cli.Out().toStdString();
    EXPECT_EQ(lost.captured(1), csv);
    EXPECT_EQ(lost.captured(2).toInt(), FirstPageRows.size() - rows);
  }
}

// A reader of stdout that takes nothing neither holds up the run nor its signals: the first
// SIGTERM stops the run through its end within the stop time, stdout drops what has no room
// (said once on stderr), and the log file is complete.
TEST_F(CliDemoTest, StdoutThatNobodyReadsHoldsUpNothing) {
  StartPortal();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_GT(::fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);  // the smallest pipe: filled by a few lines
  const QString errPath = Work.path() + QStringLiteral("/stderr.txt");
  const int err = ::open(errPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(err, 0);
  // A whole harvest: its log outgrows the pipe many times over.
  const pid_t pid = Spawn({kCli, QStringLiteral("--quiet"), QStringLiteral("--origin"), Origin,
                           QStringLiteral("--output-dir"), OutDir()},
                          Work.path(), fds[1], err);
  ASSERT_GT(pid, 0);
  ::close(fds[1]);
  ::close(err);
  // The run goes on although the pipe has long been full (a stalled run stops near 4 KiB).
  QElapsedTimer t;
  t.start();
  QString log;
  while (t.elapsed() < 60000 && log.size() < 12288) {
    const QString path = LogFileOf(OutDir());
    log = path.isEmpty() ? QString() : QString::fromUtf8(ReadFile(path));
    ::usleep(50000);
  }
  EXPECT_GE(log.size(), 12288) << "the log file stopped at " << log.size() << " characters";
  ::kill(pid, SIGTERM);
  const int status = WaitChild(pid, 20000);
  ::close(fds[0]);
  ASSERT_NE(status, -1) << "still running 20 s after SIGTERM";
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 130);
  const QString path = LogFileOf(OutDir());
  log = QString::fromUtf8(ReadFile(path));
  EXPECT_TRUE(log.contains(QStringLiteral(": Останавливаем работу\r\n"))) << log.toStdString();
  EXPECT_TRUE(log.endsWith(QStringLiteral(": Работа завершена, лог записан в ") + path + QStringLiteral("\r\n")));
  const QString errText = QString::fromUtf8(ReadFile(errPath));
  // Said at most once, when the queue in front of stdout overflows (its size: TOutputQueue).
  EXPECT_LE(errText.count(QStringLiteral("stdout не успевает читать")), 1) << errText.toStdString();
  EXPECT_TRUE(Lines(errText).last().startsWith(QStringLiteral("Файл результата: "))) << errText.toStdString();
}

// A pause or stop signal that comes while the start-up is still busy (here reading a long
// resume file) waits for the run instead of ending the process: the pause then holds the run.
TEST_F(CliDemoTest, SignalsDuringStartUpWaitForTheRun) {
  StartPortal();
  // A result file of many rows, so that its check takes a while.
  const QString path = Work.path() + QStringLiteral("/data77.csv");
  {
    auto first = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet")});
    ASSERT_TRUE(first->Finish());
    const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
    ASSERT_EQ(csvs.size(), 1);
    const QByteArray bytes = ReadFile(OutDir() + csvs[0]);
    const qsizetype headEnd = bytes.indexOf("\r\n") + 2;
    QByteArray many = bytes.left(headEnd);
    const QByteArray rows = bytes.mid(headEnd);
    while (many.size() < (64 << 20)) many += rows;
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(many);
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
  }
  auto cli = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--resume"), path});
  // Inside the start-up: the file is open for its check, the run (and its log file) not begun.
  const QString fds = QStringLiteral("/proc/%1/fd").arg(cli->Pid());
  const auto holdsFile = [&] {
    for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::Files | QDir::System))
      if (fd.symLinkTarget() == path) return true;
    return false;
  };
  QElapsedTimer t;
  t.start();
  while (!holdsFile() && t.elapsed() < 20000) ::usleep(1000);
  ASSERT_TRUE(holdsFile());
  cli->Signal(SIGUSR1);
  EXPECT_TRUE(OutFiles(QStringLiteral("log-*.txt")).isEmpty());
  ASSERT_TRUE(cli->WaitForStdout(QStringLiteral(": Включаем паузу\n"), 60000)) << cli->Out().toStdString();
  cli->Signal(SIGUSR1);
  ASSERT_TRUE(cli->WaitForStdout(QStringLiteral(": Отключаем паузу, продолжаем работу\n")));
  ASSERT_TRUE(cli->Finish()) << cli->Err().toStdString();
  EXPECT_EQ(cli->ExitCode(), 0) << cli->Err().toStdString();
  EXPECT_TRUE(cli->Out().indexOf(QStringLiteral(": Начинаем работу по выгрузке")) <
              cli->Out().indexOf(QStringLiteral(": Включаем паузу")));
}

// A resume file that another program holds under a lock of either kind, or that a running
// resume of it holds, is refused at the start with status 2 and nothing written.
TEST_F(CliDemoTest, AResumeFileThatIsHeldIsRefusedAtTheStart) {
  StartPortal({QStringLiteral("--fault-slow"), QStringLiteral("300")});
  auto first = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet")});
  ASSERT_TRUE(first->WaitUntil([&] { return first->Out().count(QStringLiteral(": успешно\n")) >= 5; }));
  first->Signal(SIGKILL);
  ASSERT_FALSE(first->Finish(10000));
  const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
  ASSERT_EQ(csvs.size(), 1);
  const QString path = Work.path() + u'/' + csvs[0];
  ASSERT_TRUE(QFile::rename(OutDir() + csvs[0], path));
  for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
  const QByteArray before = ReadFile(path);

  struct Case {
    const char* what;
    int lock;  // LOCK_SH or LOCK_EX held by the test as `flock -s` or `flock -x` would; 0: a running --resume
  } cases[] = {{"a shared lock", LOCK_SH}, {"an exclusive lock", LOCK_EX}, {"a running resume", 0}};
  ASSERT_TRUE(QDir().mkpath(Work.path() + QStringLiteral("/first")));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = -1;
    std::unique_ptr<TProcess> holder;
    if (c.lock != 0) {
      fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::flock(fd, c.lock | LOCK_NB), 0);
    } else {
      holder = std::make_unique<TProcess>(
          kCli,
          QStringList{QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--origin"), Origin,
                      QStringLiteral("--output-dir"), Work.path() + QStringLiteral("/first"), QStringLiteral("--resume"), path},
          Work.path());
      // Its list phase has begun: it holds the file from its start to its end.
      ASSERT_TRUE(holder->WaitForStdout(QStringLiteral("/ru/registry/"), 20000)) << holder->Err().toStdString();
    }
    const QByteArray held = ReadFile(path);
    auto second = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--resume"), path});
    ASSERT_TRUE(second->Finish(20000)) << second->Out().toStdString();
    EXPECT_EQ(second->ExitCode(), 2);
    EXPECT_EQ(second->Err(), QStringLiteral("supplier-harvester-cli: Файл ") + path +
                                 QStringLiteral(" сейчас пишет другая выгрузка\n"));
    EXPECT_TRUE(second->Out().isEmpty());
    EXPECT_EQ(OutFiles(), QStringList());
    if (fd >= 0) {
      EXPECT_EQ(ReadFile(path), held);
      ::close(fd);
    } else {
      ASSERT_TRUE(holder->Finish());
      EXPECT_EQ(holder->ExitCode(), 0) << holder->Err().toStdString();
    }
  }
  EXPECT_NE(ReadFile(path), before);  // the running resume finished the file
}

// A resume of a file that already holds every row: nothing to fetch, yet the file is the
// run's result, named on stderr, made into a sheet by --xlsx, and the run is complete. Its
// path is logged in full however it was given; a tail of NUL bytes after the last whole line
// (a power cut on some file systems) is removed as a cut line is.
TEST_F(CliDemoTest, ResumeOfAFinishedFileReportsItAsTheResult) {
  StartPortal();
  auto first = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet")});
  ASSERT_TRUE(first->Finish());
  ASSERT_EQ(first->ExitCode(), 0);
  const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
  ASSERT_EQ(csvs.size(), 1);
  const QByteArray full = ReadFile(OutDir() + csvs[0]);
  ASSERT_TRUE(QDir().mkpath(Work.path() + QStringLiteral("/kept")));
  struct Case {
    const char* what;
    QByteArray tail;  // after the last whole line
    bool cut;         // the log says a cut line was removed
    bool viaLink;     // FILE is a symbolic link to the result file, named as the link
  } cases[] = {
      {"whole lines", {}, false, false},
      {"a tail of NUL bytes", QByteArray(4096, '\0'), true, false},
      {"a cut row with NUL bytes", QByteArray("\"https://x/show_supplier/1\";\"N/A\";\"") + QByteArray(100, '\0'), true,
       false},
      {"a symbolic link", {}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
    const QString relative = QStringLiteral("kept/data5.csv");
    const QString path = Work.path() + u'/' + relative;
    const QString target = c.viaLink ? Work.path() + QStringLiteral("/kept/target.csv") : path;
    for (const QString& old : {path, target, Work.path() + QStringLiteral("/kept/data5.xlsx")}) QFile::remove(old);
    {
      QFile f(target);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(full + c.tail);
    }
    if (c.viaLink) {
      ASSERT_TRUE(QFile::link(target, path));
    }
    auto cli = RunCli({QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--xlsx"), QStringLiteral("--resume"), relative});
    ASSERT_TRUE(cli->Finish()) << cli->Err().toStdString();
    EXPECT_EQ(cli->ExitCode(), 0) << cli->Err().toStdString();
    EXPECT_EQ(ReadFile(target), full);
    EXPECT_EQ(cli->Out().contains(QStringLiteral(": Удалена оборванная последняя строка файла ") + path + u'\n'), c.cut)
        << cli->Out().toStdString();
    EXPECT_TRUE(cli->Out().contains(QStringLiteral(": В файле ") + path + QStringLiteral(" уже строк: ") +
                                    QString::number(FirstPageRows.size()) + QStringLiteral(", осталось карточек: 0\n")))
        << cli->Out().toStdString();
    EXPECT_TRUE(cli->Out().contains(QStringLiteral(": Сбор данных завершен\n")));
    EXPECT_FALSE(cli->Out().contains(u' ' + relative)) << "a relative path in the log";
    const QStringList err = Lines(cli->Err());
    ASSERT_EQ(err.size(), 2) << cli->Err().toStdString();
    EXPECT_TRUE(err[0].startsWith(QStringLiteral("Файл таблицы: ") + Work.path() + QStringLiteral("/kept/data5.xlsx (строк: ")));
    EXPECT_EQ(err[1], QStringLiteral("Файл результата: ") + path);
    EXPECT_TRUE(QFileInfo::exists(Work.path() + QStringLiteral("/kept/data5.xlsx")));
    ExpectLogFileIsStdout(*cli);
  }
}

// Every spelling of an origin that reaches the portal finds its cards; one the transport cannot
// reach is refused at once.
TEST_F(CliDemoTest, OriginFormsFindTheCardsOrAreRefused) {
  StartPortal();
  const QString port = Origin.mid(Origin.lastIndexOf(u':') + 1);
  struct Case {
    QString origin;
    int status;
  } cases[] = {
      {Origin, 0},
      {QStringLiteral("https://LOCALHOST:") + port, 0},
      {QStringLiteral("HTTPS://LocalHost:0") + port, 0},
      {QStringLiteral("https://[::1]:") + port, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin.toStdString());
    for (const QString& f : OutFiles()) QFile::remove(OutDir() + f);
    TProcess cli(kCli, {QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--origin"), c.origin,
                        QStringLiteral("--output-dir"), OutDir()},
                 Work.path());
    ASSERT_TRUE(cli.Finish(60000)) << cli.Out().toStdString();
    EXPECT_EQ(cli.ExitCode(), c.status) << cli.Err().toStdString();
    if (c.status == 2) {
      EXPECT_EQ(Lines(cli.Err()).size(), 1);
      EXPECT_TRUE(cli.Err().contains(QStringLiteral("IPv6"))) << cli.Err().toStdString();
      EXPECT_EQ(OutFiles(), QStringList());
      continue;
    }
    EXPECT_TRUE(cli.Out().contains(QStringLiteral(": Всего карточек: %1\n").arg(FirstPageRows.size())))
        << cli.Out().toStdString();
    const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
    ASSERT_EQ(csvs.size(), 1);
    EXPECT_EQ(ReadFile(OutDir() + csvs[0]).count("\r\n") - 1, FirstPageRows.size());
  }
}

// Under a locale whose code set is not UTF-8, stdout, stderr and the log file carry the same
// bytes: the log file's code set.
TEST_F(CliDemoTest, StdoutAndStderrFollowTheLogFilesCodeSet) {
  const QString locales = Work.path() + QStringLiteral("/locales");
  ASSERT_TRUE(QDir().mkpath(locales));
  QProcess localedef;
  localedef.start(QStringLiteral("localedef"), {QStringLiteral("-i"), QStringLiteral("ru_RU"), QStringLiteral("-f"),
                                                QStringLiteral("CP1251"), locales + QStringLiteral("/ru_RU.CP1251")});
  ASSERT_TRUE(localedef.waitForFinished(120000));
  ASSERT_TRUE(QFileInfo::exists(locales + QStringLiteral("/ru_RU.CP1251"))) << localedef.readAllStandardError().toStdString();
  StartPortal();
  QProcess cli;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("LOCPATH"), locales);
  env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.CP1251"));
  cli.setProcessEnvironment(env);
  cli.setWorkingDirectory(Work.path());
  cli.start(kCli, {QStringLiteral("--test"), QStringLiteral("--quiet"), QStringLiteral("--separate"), QStringLiteral("--origin"),
                   Origin, QStringLiteral("--output-dir"), OutDir()});
  ASSERT_TRUE(cli.waitForFinished(120000));
  EXPECT_EQ(cli.exitCode(), 0);
  const QByteArray out = cli.readAllStandardOutput();
  const QByteArray err = cli.readAllStandardError();
  const QString log = LogFileOf(OutDir());
  ASSERT_FALSE(log.isEmpty());
  QByteArray expected = ReadFile(log);
  expected.replace("\r\n", "\n");
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(out.contains(text::EncodeToCodeset(QStringLiteral(": Начинаем работу по выгрузке\n"), "CP1251")));
  const QStringList csvs = OutFiles(QStringLiteral("data*.csv"));
  ASSERT_EQ(csvs.size(), 1);
  EXPECT_EQ(err, text::EncodeToCodeset(QStringLiteral("supplier-harvester-cli: --separate без --active и --inactive: "
                                                      "выгружаем всех подряд\nФайл результата: ") +
                                           OutDir() + csvs[0] + u'\n',
                                       "CP1251"));
}

// On a terminal narrower than the line, the progress is fitted to its width, and fitted again
// when the terminal is resized: shorter words first, the figures kept.
TEST_F(CliDemoTest, ProgressFitsTheTerminalsWidth) {
  StartPortal({QStringLiteral("--fault-slow"), QStringLiteral("150")});
  int master = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 60;
  const pid_t pid = StartOnTerminal(master, &size);
  ASSERT_GE(pid, 0);
  qsizetype resizedAt = -1;
  const QByteArray screen = ReadTerminal(master, 90000, [&](const QByteArray& shown) {
    static const QRegularExpression third(QStringLiteral("\rкарточки: [3-9]"));
    if (resizedAt >= 0 || !QString::fromUtf8(shown).contains(third)) return;
    size.ws_col = 30;
    if (::ioctl(master, TIOCSWINSZ, &size) == 0) resizedAt = shown.size();  // the child gets SIGWINCH
  });
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_GT(resizedAt, 0) << QString::fromUtf8(screen).toStdString();

  // Each rewrite of the line: after its \r, up to the erase to the line's end.
  static const QRegularExpression rewrite(QStringLiteral("\r([^\r\x1b]+)\x1b\\[K"));
  const QString before = QString::fromUtf8(screen.left(resizedAt));
  const QString after = QString::fromUtf8(screen.mid(resizedAt));
  int shown = 0;
  for (auto it = rewrite.globalMatch(before); it.hasNext(); ++shown) {
    const QString line = it.next().captured(1);
    EXPECT_LE(line.size(), 59) << line.toStdString();
  }
  EXPECT_GT(shown, 0);
  // Shorter words, the figures all there.
  EXPECT_TRUE(before.contains(QRegularExpression(
      QStringLiteral("\rкарточки: \\d+ из \\d+, ост. \\d+ \\(\\d+%\\), \\d+:\\d\\d:\\d\\d, ~\\d+:\\d\\d:\\d\\d\x1b"))))
      << before.toStdString();
  QStringList lastLines;
  for (auto it = rewrite.globalMatch(after); it.hasNext();) lastLines.append(it.next().captured(1));
  ASSERT_GE(lastLines.size(), 2);
  // The first rewrite may predate the resize; every one after it fits the new width.
  for (const QString& line : lastLines.mid(1)) EXPECT_LE(line.size(), 29) << line.toStdString();
  EXPECT_TRUE(lastLines.last().contains(QRegularExpression(QStringLiteral("\\d+/\\d+")))) << lastLines.last().toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
