#pragma once
// What a run is made of, the same for every front end: the portal it is built for, the program
// folder convention, the mode fix-up and the engine configuration built from them.
#include <QString>
#include <functional>

#include "engine/EngineConfig.h"
#include "engine/RunOptions.h"

namespace run {

// The portal origin the program is built for (PORTAL_ORIGIN when configured), in the form
// CanonicalPortalOrigin gives it.
QString CompiledPortalOrigin();

// The one spelling of a portal origin that the portal's own card links carry: "https://" and
// the host in lower case, then ":" and the port without leading zeros unless it is 443.
// Accepts only "https://host" or "https://host:port" (port 1 to 65535) with no user, path,
// query or fragment, and no bracketed IPv6 literal (the transport resolves IPv4 names only).
// Returns an empty text for anything else.
QString CanonicalPortalOrigin(const QString& origin);

// True when CanonicalPortalOrigin accepts `origin`.
bool IsPortalOrigin(const QString& origin);

// Program folders are kept with a trailing separator ("/opt/harvester/"); file names are
// appended to them directly. This gives that form to a folder written either way.
QString FolderWithSeparator(const QString& dir);

// The engine names its files as folder + "/" + name: the folder without its trailing separator.
QString EngineFolder(const QString& programDir);

// The start's mode fix-up: the separate mode with neither "Активных" nor "Неактивных" falls
// back to all suppliers in one pass. True when the options were changed.
bool FixUpMode(engine::TRunOptions& options);

// The engine configuration of a run from the program folder (with its trailing separator),
// the portal origin and the result file's open action.
engine::TEngineConfig EngineConfig(const QString& programDir, const QString& portalOrigin,
                                   std::function<void(const QString& path)> openDocument);

}  // namespace run
