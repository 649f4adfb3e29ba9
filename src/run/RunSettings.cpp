#include "run/RunSettings.h"

#include <QUrl>

namespace run {

// The built-in origin is the build's PORTAL_ORIGIN (the top CMakeLists.txt), written there only.
#ifndef SH_PORTAL_ORIGIN
#error "SH_PORTAL_ORIGIN comes from the build (PORTAL_ORIGIN)"
#endif

QString CompiledPortalOrigin() { return CanonicalPortalOrigin(QStringLiteral(SH_PORTAL_ORIGIN)); }

QString CanonicalPortalOrigin(const QString& origin) {
  const QString scheme = QStringLiteral("https://");
  if (!origin.startsWith(scheme, Qt::CaseInsensitive)) return {};
  const QString authority = origin.mid(scheme.size());
  // A bracketed IPv6 literal: the transport could not connect to it.
  if (authority.startsWith(u'[')) return {};
  QString host = authority;
  QString port;
  const qsizetype colon = authority.lastIndexOf(u':');
  if (colon >= 0) {
    host = authority.left(colon);
    port = authority.mid(colon + 1);
    if (port.isEmpty()) return {};
    for (const QChar c : port)
      if (c < u'0' || c > u'9') return {};
    while (port.size() > 1 && port.startsWith(u'0')) port.remove(0, 1);
    if (port.size() > 5 || port.toInt() < 1 || port.toInt() > 65535) return {};
  }
  if (host.isEmpty()) return {};
  const QUrl url(scheme + host, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty() || url.port() != -1 || !url.userInfo().isEmpty() || !url.path().isEmpty() ||
      url.hasQuery() || url.hasFragment())
    return {};
  QString canonical = scheme + url.host(QUrl::FullyEncoded).toLower();
  if (!port.isEmpty() && port != QLatin1String("443")) canonical += u':' + port;
  return canonical;
}

bool IsPortalOrigin(const QString& origin) { return !CanonicalPortalOrigin(origin).isEmpty(); }

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
