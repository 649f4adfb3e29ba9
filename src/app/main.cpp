// The program entry: the one window and its event loop.
#include <QApplication>

#include "app/uMain.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);  // also takes the user's regional settings
  app::TMainFormSettings settings = app::DefaultSettings();
  QApplication::setApplicationName(app::ApplicationTitle(settings.PortalOrigin));
  QApplication::setApplicationDisplayName(app::ApplicationTitle(settings.PortalOrigin));
  app::TMainForm form(std::move(settings));
  form.show();
  const int exitCode = QApplication::exec();
  // A run may still be going on its own threads (closing the window ends it with the program);
  // its result rows are already on disk, flushed after each write. Leave without tearing down
  // objects those threads may still be using.
  app::EndProcessNow(exitCode);
}
