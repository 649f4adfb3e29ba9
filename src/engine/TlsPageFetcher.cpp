#include <stdexcept>

#include "engine/PageFetcher.h"

namespace engine {

std::unique_ptr<IPageFetcher> CreateTlsPageFetcher(const TProxySettings&) {
  throw std::runtime_error("HTTPS client not available in this build");
}

}  // namespace engine
