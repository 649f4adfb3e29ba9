// The program entry: the one window and its event loop.
#include <QApplication>

#include "app/uMain.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);  // also takes the user's regional settings
  app::RunMainWindow(app::DefaultSettings());
}
