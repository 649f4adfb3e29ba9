#pragma once
// Traces of the transport's state machines, one line "layer: old -> new" on stderr. Compiled
// into debug builds only, and written there when SH_NET_TRACE is set in the environment.
#include <cstdio>
#include <cstdlib>

namespace net {

inline void NetTrace(const char* layer, const char* from, const char* to) {
  static const bool on = std::getenv("SH_NET_TRACE") != nullptr;
  if (on) std::fprintf(stderr, "%s: %s -> %s\n", layer, from, to);
}

}  // namespace net
