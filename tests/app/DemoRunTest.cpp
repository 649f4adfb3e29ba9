// Whole test exports through the window against the bundled demo portal on loopback: directly,
// and with the card pages fetched through microsocks named in proxy.txt.
#include <QCheckBox>
#include <QDirIterator>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <gtest/gtest.h>

#include "AppFixture.h"
#include "DemoPortal.h"

namespace {

using namespace apptest;

const QString kBin = QStringLiteral(SH_BIN_DIR);

int FreePort() {
  QTcpServer s;
  s.listen(QHostAddress::LocalHost, 0);
  return s.serverPort();
}

// A child process stopped and reaped when the object goes.
class TChild {
 public:
  TChild(const QString& program, const QStringList& args) {
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.start(program, args);
    FProcess.waitForStarted(10000);
  }
  ~TChild() {
    if (FProcess.state() != QProcess::NotRunning) {
      FProcess.terminate();
      if (!FProcess.waitForFinished(5000)) {
        FProcess.kill();
        FProcess.waitForFinished(5000);
      }
    }
  }
  // Output so far (read from the event loop's side).
  QString Output() {
    FOutput += QString::fromUtf8(FProcess.readAll());
    return FOutput;
  }
  bool Running() const { return FProcess.state() == QProcess::Running; }

 private:
  QProcess FProcess;
  QString FOutput;
};

class DemoRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The build makes all of these: one missing is a fault of the build, not a reason to skip.
    for (const char* f : {"demo-portal", "server-cert.pem", "server-key.pem", "ca.pem", "01cert.pem", "01key.pem"})
      ASSERT_TRUE(QFileInfo::exists(kBin + u'/' + QString::fromLatin1(f))) << "missing " << f;
    // The certificate files are opened from the current folder.
    ASSERT_TRUE(QFile::copy(kBin + QStringLiteral("/01cert.pem"), Work.path() + QStringLiteral("/01cert.pem")));
    ASSERT_TRUE(QFile::copy(kBin + QStringLiteral("/01key.pem"), Work.path() + QStringLiteral("/01key.pem")));
    FOldCurrent = QDir::currentPath();
    QDir::setCurrent(Work.path());

    const QString dump = Work.path() + QStringLiteral("/expected.tsv");
    ASSERT_TRUE(Portal.Start(kBin.toStdString() + "/demo-portal",
                             {"--cert", kBin.toStdString() + "/server-cert.pem", "--key",
                              kBin.toStdString() + "/server-key.pem", "--ca", kBin.toStdString() + "/ca.pem",
                              "--threads", "16", "--dump-expected", dump.toStdString()},
                             Work.path().toStdString()))
        << Portal.Error();
    Origin = QString::fromStdString(Portal.Origin());
    ReadExpected(dump);
  }

  void TearDown() override {
    Form.reset();
    Portal.Stop();
    if (!FOldCurrent.isEmpty()) QDir::setCurrent(FOldCurrent);
  }

  // Names of the cards a test export takes: the first list page of 2016.
  void ReadExpected(const QString& dump) {
    QFile f(dump);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    while (!f.atEnd()) {
      QString line = QString::fromUtf8(f.readLine());
      while (line.endsWith(u'\n') || line.endsWith(u'\r')) line.chop(1);
      if (line.startsWith(u'#') || line.isEmpty()) continue;
      const QStringList c = line.split(u'\t');
      ASSERT_GE(c.size(), 9 + 31);
      if (c[5] == QStringLiteral("2016") && c[6] == QStringLiteral("1")) FirstPageCards.push_back(c[9]);
    }
  }

  void StartTestExport() {
    app::TMainFormSettings s = TestSettings(Seams, Dir.Path());
    s.PortalOrigin = Origin;
    s.OpenDocument = [this](const QString& path) { Opened.push_back(path); };
    s.CreateDriver = &engine::CreateScraper;
    Form = std::make_unique<app::TMainForm>(s);
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    Find<QCheckBox>(*Form, "CheckBox1")->setChecked(true);
    QTest::mouseClick(Find<QPushButton>(*Form, "StartButton"), Qt::LeftButton);
    ASSERT_NE(Form->CurrentScraper(), nullptr);
  }

  bool WaitForRunEnd() {
    return WaitUntil([&] { return Form->CurrentScraper()->Finished(); }, 50000);
  }

  QString FindFile(const QString& pattern) {
    const QStringList files = QDir(Dir.Path()).entryList({pattern}, QDir::Files);
    return files.size() == 1 ? Dir.Path() + files[0] : QString();
  }

  // Checks the result file, the log control and the log file of a finished test export.
  void CheckFinishedExport() {
    ASSERT_FALSE(FirstPageCards.isEmpty());
    const QString csvPath = FindFile(QStringLiteral("data*.csv"));
    ASSERT_FALSE(csvPath.isEmpty()) << QDir(Dir.Path()).entryList().join(u' ').toStdString();
    QFile csv(csvPath);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QByteArray bytes = csv.readAll();
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    const QString text = QString::fromUtf8(bytes.mid(3));
    const QStringList rows = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    EXPECT_EQ(rows.size(), FirstPageCards.size() + 1);  // header and one row per card
    for (const QString& name : FirstPageCards) EXPECT_TRUE(text.contains(name)) << name.toStdString();
    EXPECT_EQ(Opened, std::vector<QString>{csvPath});

    const QStringList lines = LogLines(*Form);
    EXPECT_TRUE(lines.first().endsWith(QStringLiteral(": Начинаем работу по выгрузке")));
    EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral(": Сбор данных завершен")));
    const QString logPath = FindFile(QStringLiteral("log-*.txt"));
    ASSERT_FALSE(logPath.isEmpty());
    int endLine = -1;
    for (int i = 0; i < lines.size(); ++i)
      if (lines[i].contains(QStringLiteral(": Работа завершена, лог записан в ") + logPath)) endLine = i;
    ASSERT_GE(endLine, 0);
    QFile log(logPath);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QStringList saved = lines.mid(0, endLine + 1);
    EXPECT_EQ(log.readAll(), run::EncodeLogText(saved.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"), "CP1251"));
    EXPECT_TRUE(Find<QPushButton>(*Form, "StartButton")->isEnabled());
    EXPECT_TRUE(Find<QCheckBox>(*Form, "CheckBox1")->isEnabled());
  }

  QTemporaryDir Work{QStringLiteral(SH_TEST_WORK_DIR "/demo-work-XXXXXX")};
  TProgramDir Dir;
  TSeams Seams;
  testsupport::TDemoPortal Portal;
  std::unique_ptr<app::TMainForm> Form;
  QString Origin;
  QStringList FirstPageCards;
  std::vector<QString> Opened;

 private:
  QString FOldCurrent;
};

TEST_F(DemoRunTest, TestExportThroughTheWindow) {
  Seams.Now = QDateTime::currentDateTime();
  StartTestExport();
  ASSERT_TRUE(WaitForRunEnd()) << LogLines(*Form).join(u'\n').toStdString();
  CheckFinishedExport();
  EXPECT_FALSE(LogLines(*Form).join(u'\n').contains(QStringLiteral("прокси")));
}

// The proxy settings stay with the process after this run, as they do in the program: a later
// run in the same process would start its list phase through this (then stopped) proxy. CTest
// runs every test in a process of its own.
TEST_F(DemoRunTest, TestExportThroughSocksProxy) {
  ASSERT_TRUE(QFileInfo::exists(QStringLiteral("/usr/bin/microsocks")))
      << "microsocks is missing; scripts/install-deps.sh installs it";
  const int port = FreePort();
  TChild socks(QStringLiteral("/usr/bin/microsocks"),
               {QStringLiteral("-i"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port),
                QStringLiteral("-u"), QStringLiteral("harvest"), QStringLiteral("-P"), QStringLiteral("s3cret")});
  ASSERT_TRUE(WaitUntil([&] {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return probe.waitForConnected(200);
  }));
  QFile proxy(Dir.Path() + QStringLiteral("proxy.txt"));
  ASSERT_TRUE(proxy.open(QIODevice::WriteOnly));
  proxy.write(QStringLiteral("harvest:s3cret@127.0.0.1:%1\r\n").arg(port).toUtf8());
  proxy.close();

  StartTestExport();
  ASSERT_TRUE(WaitForRunEnd()) << LogLines(*Form).join(u'\n').toStdString();
  CheckFinishedExport();
  EXPECT_TRUE(LogLines(*Form).join(u'\n').contains(QStringLiteral("Используем прокси 127.0.0.1:%1").arg(port)));
}

}  // namespace

namespace {

using namespace apptest;

// Closing the window in the middle of a run: the program ends at once, cleanly, with the rows
// already written intact in the result file and no log file.
TEST(DemoRunClose, ClosingTheWindowDuringARunEndsTheProgram) {
  const QString bin = QStringLiteral(SH_BIN_DIR);
  for (const char* f : {"demo-portal", "close_during_run_helper", "server-cert.pem", "01cert.pem"})
    ASSERT_TRUE(QFileInfo::exists(bin + u'/' + QString::fromLatin1(f))) << "missing " << f;
  QTemporaryDir work(QStringLiteral(SH_TEST_WORK_DIR "/close-work-XXXXXX"));
  TProgramDir dir;
  QFile::copy(bin + QStringLiteral("/01cert.pem"), work.path() + QStringLiteral("/01cert.pem"));
  QFile::copy(bin + QStringLiteral("/01key.pem"), work.path() + QStringLiteral("/01key.pem"));

  // Slow answers keep the card phase going while the window is closed.
  testsupport::TDemoPortal portal;
  ASSERT_TRUE(portal.Start(bin.toStdString() + "/demo-portal",
                           {"--cert", bin.toStdString() + "/server-cert.pem", "--key",
                            bin.toStdString() + "/server-key.pem", "--ca", bin.toStdString() + "/ca.pem",
                            "--fault-slow", "150", "--threads", "16"},
                           work.path().toStdString()))
      << portal.Error();
  const QString origin = QString::fromStdString(portal.Origin());

  QProcess helper;
  helper.setWorkingDirectory(work.path());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  helper.setProcessEnvironment(env);
  helper.start(bin + QStringLiteral("/close_during_run_helper"), {origin, dir.Path()});
  const bool ended = helper.waitForFinished(50000);
  portal.Stop();
  ASSERT_TRUE(ended);
  const QString stdoutText = QString::fromUtf8(helper.readAllStandardOutput());
  const QString stderrText = QString::fromUtf8(helper.readAllStandardError());
  EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit) << stderrText.toStdString();
  EXPECT_EQ(helper.exitCode(), 0) << stderrText.toStdString();
  EXPECT_TRUE(stdoutText.contains(QStringLiteral("closing with rows written"))) << stdoutText.toStdString();
  EXPECT_FALSE(stderrText.contains(QStringLiteral("terminate"))) << stderrText.toStdString();
  EXPECT_FALSE(stderrText.contains(QStringLiteral("Abort"))) << stderrText.toStdString();

  const QStringList csvs = QDir(dir.Path()).entryList({QStringLiteral("data*.csv")}, QDir::Files);
  ASSERT_EQ(csvs.size(), 1);
  QFile csv(dir.Path() + csvs[0]);
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  const QByteArray bytes = csv.readAll();
  EXPECT_TRUE(bytes.endsWith("\r\n"));  // no row cut in half
  const QList<QByteArray> rows = bytes.mid(3).split('\n');
  EXPECT_GE(rows.size() - 1, 3);
  EXPECT_TRUE(QDir(dir.Path()).entryList({QStringLiteral("log-*.txt")}, QDir::Files).isEmpty());
}

}  // namespace
