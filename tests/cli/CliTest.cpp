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
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>

#include "XlsxTestSupport.h"


namespace {

const QString kBin = QStringLiteral(SH_BIN_DIR);
const QString kCli = kBin + QStringLiteral("/supplier-harvester-cli");

// A child program whose stdout and stderr are collected as it runs.
class TProcess {
 public:
  TProcess(const QString& program, const QStringList& args, const QString& dir) {
    FProcess.setWorkingDirectory(dir);
    FProcess.start(program, args);
    FProcess.waitForStarted(10000);
  }
  ~TProcess() {
    if (FProcess.state() == QProcess::NotRunning) return;
    FProcess.kill();
    FProcess.waitForFinished(5000);
  }
  // Collects output until `done` holds, the child ended or `ms` passed; true when `done` held.
  bool WaitUntil(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
      if (t.elapsed() > ms || FProcess.state() == QProcess::NotRunning) {
        Collect();
        return done();
      }
      FProcess.waitForReadyRead(20);
      Collect();
    }
    return true;
  }
  bool WaitForStdout(const QString& text, int ms = 60000) {
    return WaitUntil([&] { return FOut.contains(text); }, ms);
  }
  // Waits for the end; true when the child exited by itself within `ms`.
  bool Finish(int ms = 120000) {
    const bool ended = FProcess.waitForFinished(ms);
    Collect();
    return ended && FProcess.exitStatus() == QProcess::NormalExit;
  }
  void Signal(int sig) { ::kill(static_cast<pid_t>(FProcess.processId()), sig); }
  int ExitCode() const { return FProcess.exitCode(); }
  const QString& Out() const { return FOut; }
  const QString& Err() const { return FErr; }

 private:
  void Collect() {
    FOut += QString::fromUtf8(FProcess.readAllStandardOutput());
    FErr += QString::fromUtf8(FProcess.readAllStandardError());
  }
  QProcess FProcess;
  QString FOut, FErr;
};

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
      if (!QFileInfo::exists(kBin + u'/' + QString::fromLatin1(f))) GTEST_SKIP() << "missing " << f;
    ASSERT_TRUE(Work.isValid());
    ASSERT_TRUE(QDir().mkpath(OutDir()));
    for (const char* f : {"01cert.pem", "01key.pem"})
      ASSERT_TRUE(QFile::copy(kBin + u'/' + QString::fromLatin1(f), Work.path() + u'/' + QString::fromLatin1(f)));
  }

  void StartPortal(const QStringList& faults = {}) {
    const QString dump = Work.path() + QStringLiteral("/expected.tsv");
    QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--cert"),
                     kBin + QStringLiteral("/server-cert.pem"), QStringLiteral("--key"),
                     kBin + QStringLiteral("/server-key.pem"), QStringLiteral("--ca"),
                     kBin + QStringLiteral("/ca.pem"), QStringLiteral("--threads"), QStringLiteral("16"),
                     QStringLiteral("--dump-expected"), dump};
    Portal = std::make_unique<TProcess>(kBin + QStringLiteral("/demo-portal"), args + faults, Work.path());
    static const QRegularExpression listening(QStringLiteral("listening on (https://\\S+)"));
    ASSERT_TRUE(Portal->WaitUntil([&] { return listening.match(Portal->Out() + Portal->Err()).hasMatch(); }, 20000))
        << Portal->Err().toStdString();
    Origin = listening.match(Portal->Out() + Portal->Err()).captured(1);
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

  QTemporaryDir Work{QStringLiteral(SH_TEST_WORK_DIR "/cli-work-XXXXXX")};
  std::unique_ptr<TProcess> Portal;
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
  EXPECT_EQ(Lines(cli->Err()).last(), sheetLine) << cli->Err().toStdString();

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
  const QString out = OutDir();
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
    EXPECT_GT(err[0].size(), 30) << err[0].toStdString();
    if (!c.says.isEmpty()) {
      EXPECT_TRUE(err[0].contains(c.says)) << err[0].toStdString();
    }
    EXPECT_EQ(OutFiles(), QStringList());
    for (const QString& dir : {archive, temp, bare})
      EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{QStringLiteral("supplier-harvester-cli")});
    EXPECT_EQ(ReadFile(resume), resumeBytes);
    EXPECT_EQ(QDir(Work.path()).entryList({QStringLiteral("*xlsx*")}, QDir::Files | QDir::Hidden), QStringList());
  }
}

// On a terminal the progress is one line rewritten in place; the run's end leaves the name of
// the result file as the last line.
TEST_F(CliDemoTest, ProgressOnATerminalIsOneLineRewritten) {
  StartPortal();
  int master = -1;
  const QByteArray program = kCli.toLocal8Bit();
  const QByteArray origin = Origin.toLocal8Bit();
  const QByteArray out = OutDir().toLocal8Bit();
  const QByteArray dir = Work.path().toLocal8Bit();
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // stdout goes elsewhere: the terminal shows stderr only.
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    if (::chdir(dir.constData()) != 0) ::_exit(126);
    const char* argv[] = {program.constData(), "--test", "--origin", origin.constData(),
                          "--output-dir", out.constData(), nullptr};
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  QByteArray screen;
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 60000) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    screen.append(buf, n);
  }
  ::close(master);
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
