#pragma once
// Continuing an interrupted harvest: the result file of an earlier run is checked before the
// run starts, and the run then appends to it, fetching only the cards it does not hold yet.
#include <QString>

#include "engine/WindowBridge.h"

namespace engine {

// Checks, without changing it, that the result file at `path` can be continued by a run with
// `options`: a result file of this program, whose activity column fits the mode, and that no
// running harvest holds. Returns an empty text when it can, otherwise one line saying why.
QString CheckResumeFile(const QString& path, const TRunOptions& options);

}  // namespace engine
