#include "engine/Resume.h"

namespace engine {

QString CheckResumeFile(const QString& path, const TRunOptions&) {
  return QStringLiteral("Продолжение выгрузки не поддерживается: ") + path;
}

}  // namespace engine
