#include "run/RunSettings.h"

#include <QUrl>

namespace run {

#ifndef SH_PORTAL_ORIGIN
#define SH_PORTAL_ORIGIN "https://localhost:8443"
#endif

QString CompiledPortalOrigin() { return QStringLiteral(SH_PORTAL_ORIGIN); }

bool IsPortalOrigin(const QString& origin) {
  if (!origin.startsWith(QLatin1String("https://"))) return false;
  const QUrl url(origin, QUrl::StrictMode);
  if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
    return false;
  if (!url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment())
    return false;
  // QUrl takes "https://host:" as having no port; the engine would not.
  const QString authority = origin.mid(8);
  if (authority.endsWith(u':')) return false;
  const int port = url.port();
  if (authority.contains(u':') && !authority.startsWith(u'[') && port < 1) return false;
  return port == -1 || (port >= 1 && port <= 65535);
}

QString FolderWithSeparator(const QString& dir) {
  if (dir.isEmpty() || dir.endsWith(u'/')) return dir;
  return dir + u'/';
}

QString EngineFolder(const QString& programDir) {
  QString dir = programDir;
  if (dir.size() > 1 && dir.endsWith(u'/')) dir.chop(1);
  return dir;
}

bool FixUpMode(engine::TRunOptions& options) {
  if (!options.Separate || options.Active || options.Inactive) return false;
  options.Separate = false;
  options.AllInARow = true;
  return true;
}

engine::TEngineConfig EngineConfig(const QString& programDir, const QString& portalOrigin,
                                   std::function<void(const QString& path)> openDocument) {
  engine::TEngineConfig config;
  config.ProgramDir = EngineFolder(programDir);
  config.PortalOrigin = portalOrigin;
  config.OpenDocument = std::move(openDocument);
  return config;
}

}  // namespace run
