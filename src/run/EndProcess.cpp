#include "run/EndProcess.h"

#include <cstdio>
#include <unistd.h>

namespace run {

void EndProcessNow(int status) {
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace run
