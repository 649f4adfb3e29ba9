// Prints the X11 primary selection as another program on the display gets it.
#include <QClipboard>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  const QByteArray text = QGuiApplication::clipboard()->text(QClipboard::Selection).toUtf8();
  std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
  return 0;
}
