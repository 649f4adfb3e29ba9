#pragma once
// Bounds the client sets against hostile servers, and the error raised when one is broken.
#include <cstddef>
#include <stdexcept>

namespace net {

// A response broke one of the client's bounds (header size, chunk size, body size).
class ELimitExceeded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxHeaderBytes = 1024u * 1024u;       // one response's header block
inline constexpr std::size_t kMaxDecodedBody = 256u * 1024u * 1024u;  // a body, coded or decoded

}  // namespace net
