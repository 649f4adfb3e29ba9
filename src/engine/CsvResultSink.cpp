#include <stdexcept>

#include "engine/ResultSink.h"

namespace engine {

std::unique_ptr<IResultSink> CreateCsvResultSink(const TResultSinkContext&) {
  throw std::runtime_error("Result file writer not available in this build");
}

}  // namespace engine
