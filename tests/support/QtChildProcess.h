#pragma once
// A child program for black-box tests of the command: started in a folder, its stdout and
// stderr collected as it runs, killed when its object goes if it still runs.
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <signal.h>

namespace testsupport {

class TQtChildProcess {
 public:
  TQtChildProcess(const QString& program, const QStringList& args, const QString& dir) {
    FProcess.setWorkingDirectory(dir);
    FProcess.start(program, args);
    FProcess.waitForStarted(10000);
  }
  ~TQtChildProcess() {
    if (FProcess.state() == QProcess::NotRunning) return;
    FProcess.kill();
    FProcess.waitForFinished(5000);
  }
  TQtChildProcess(const TQtChildProcess&) = delete;
  TQtChildProcess& operator=(const TQtChildProcess&) = delete;

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
  qint64 Pid() const { return FProcess.processId(); }
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

}  // namespace testsupport
