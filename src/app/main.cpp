// The program entry: the one window and its event loop.
#include <QApplication>

#include "app/uMain.h"

int main(int argc, char** argv) {
  // The program reads no command line, so the toolkit is given none either: its own options
  // (-platform, -style, -reverse, -qwindowtitle...) must not change the window. The platform can
  // still be chosen through the environment.
  static char name[] = "supplier-harvester";
  static int qtArgc = 1;
  static char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : name, nullptr};
  QApplication application(qtArgc, qtArgv);  // also takes the user's regional settings
  app::RunMainWindow(app::DefaultSettings());
}
