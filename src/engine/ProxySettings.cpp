#include "engine/ProxySettings.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <mutex>
#include <stdexcept>

#include "text/Codeset.h"
#include "text/uLib.h"

namespace engine {

namespace {

// Never destroyed: workers left running at exit may still read it.
std::mutex& SettingsLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

TProxySettings& Settings() {
  static auto* settings = new TProxySettings;
  return *settings;
}

// Splits at the first occurrence of sep: (before, after), or (all, "") without one.
std::pair<QString, QString> SplitAtFirst(const QString& text, QChar sep) {
  const qsizetype at = text.indexOf(sep);
  if (at < 0) return {text, QString()};
  return {text.left(at), text.mid(at + 1)};
}

}  // namespace

TProxySettings ParseProxyLine(const QString& line) {
  TProxySettings proxy;
  if (line.isEmpty()) return proxy;
  QString hostPart = line;
  QString userPart;
  const qsizetype at = line.indexOf(QLatin1Char('@'));
  if (at >= 0) {
    userPart = line.left(at);
    hostPart = line.mid(at + 1);
  }
  std::tie(proxy.ProxyHost, proxy.ProxyPort) = SplitAtFirst(hostPart, QLatin1Char(':'));
  std::tie(proxy.ProxyUser, proxy.ProxyPassword) = SplitAtFirst(userPart, QLatin1Char(':'));
  return proxy;
}

QString ProxyLogText(const TProxySettings& proxy) {
  QString text = QStringLiteral("Используем прокси ") + proxy.ProxyHost + QLatin1Char(':') +
                 proxy.ProxyPort;
  if (!proxy.ProxyUser.isEmpty()) {
    text += QStringLiteral(", login ") + proxy.ProxyUser + QStringLiteral(", password ") +
            proxy.ProxyPassword.left(5) + QStringLiteral("***");
  }
  return text;
}

QString ReadProxyLine(const QString& path, const QByteArray& codeset) {
  if (!QFileInfo(path).isFile()) return QString();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error(QStringLiteral("Cannot open file \"%1\". %2")
                                 .arg(path, file.errorString())
                                 .toStdString());
  }
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    throw std::runtime_error(QStringLiteral("Cannot read file \"%1\". %2")
                                 .arg(path, file.errorString())
                                 .toStdString());
  }
  const auto bom = QStringConverter::encodingForData(bytes);
  const QString text = bom ? QString(QStringDecoder(*bom).decode(bytes))
                           : text::DecodeFromCodeset(bytes, codeset);
  if (text.isEmpty()) return QString();
  // Lines end at CR LF, CR or LF; only the first one counts.
  qsizetype end = 0;
  while (end < text.size() && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
    ++end;
  return text::Trim(text.left(end));
}

TProxySettings CurrentProxySettings() {
  std::lock_guard<std::mutex> guard(SettingsLock());
  return Settings();
}

void SetProxySettings(const TProxySettings& proxy) {
  std::lock_guard<std::mutex> guard(SettingsLock());
  Settings() = proxy;
}

}  // namespace engine
