// Runs the program's window the way main() does, against a given portal, starts a test export
// and closes the window as soon as the result file holds two rows. The test that launches it
// checks that the process ends promptly and cleanly and that the rows stay in the file.
// usage: close_during_run_helper ORIGIN PROGRAM_DIR
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/uMain.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: close_during_run_helper ORIGIN PROGRAM_DIR\n");
    return 2;
  }
  app::TMainFormSettings settings = app::DefaultSettings();
  settings.PortalOrigin = QString::fromLocal8Bit(argv[1]);
  settings.ProgramDir = QString::fromLocal8Bit(argv[2]);
  settings.CryptoLibraryFile = QStringLiteral("libcrypto.so.3");
  settings.ShowMessage = [](QWidget*, const QString& title, const QString& text) {
    std::fprintf(stderr, "message box: %s: %s\n", qPrintable(title), qPrintable(text));
    std::_Exit(3);
  };
  settings.OpenDocument = [](const QString&) {};
  const QString dir = settings.ProgramDir;
  app::RunMainWindow(std::move(settings), [dir](app::TMainForm& form) {
    form.findChild<QCheckBox*>(QStringLiteral("CheckBox1"))->setChecked(true);
    form.findChild<QPushButton*>(QStringLiteral("StartButton"))->click();
    auto* poll = new QTimer(&form);
    QObject::connect(poll, &QTimer::timeout, &form, [&form, dir] {
      for (const QString& name : QDir(dir).entryList({QStringLiteral("data*.csv")}, QDir::Files)) {
        QFile csv(dir + name);
        if (csv.open(QIODevice::ReadOnly) && csv.readAll().count("\r\n") >= 3) {
          std::printf("closing with rows written\n");
          std::fflush(stdout);
          form.close();
        }
      }
    });
    poll->start(20);
  });
}
