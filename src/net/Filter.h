#pragma once
// A protocol layer that sits between the TCP connection and the HTTP client and needs no socket
// of its own. It is fed the bytes that arrived from the layer below and the bytes the layer above
// wants carried, and hands back what must go down and what goes up. SOCKS5 and TLS are such
// layers; the socket stacks them (TCP -> SOCKS5 -> TLS -> HTTP) and drives them from its events.
#include <cstddef>
#include <string>

namespace net {

class TFilter {
 public:
  enum class TStatus {
    Idle,          // Start() not called yet
    Negotiating,   // exchange in progress (SOCKS greeting/CONNECT, TLS handshake)
    Established,   // tunnel or session up: application bytes flow
    Failed,        // exchange failed: ErrorCode()/ErrorText() tell why
    Closed         // the peer ended the session cleanly inside this layer (TLS close_notify)
  };

  virtual ~TFilter() = default;

  // The layer below is connected: start the exchange (SOCKS greeting, TLS ClientHello).
  virtual void Start() = 0;
  // Bytes that arrived from below, in order. Short pieces are normal.
  virtual void FromBelow(const char* data, std::size_t len) = 0;
  // Application bytes from above. Before Established they are queued and sent, in order,
  // once the layer is established.
  virtual void FromAbove(const char* data, std::size_t len) = 0;
  // Takes (and clears) the bytes waiting to go down to the layer below.
  virtual std::string TakeForBelow() = 0;
  // Takes (and clears) the bytes waiting to go up to the layer above. Bytes that arrived
  // right behind the end of the exchange come first.
  virtual std::string TakeForAbove() = 0;

  virtual TStatus Status() const = 0;
  // After Failed: the error code (SOCKS 20001-20017, TLS 3 ...) and its text.
  virtual int ErrorCode() const = 0;
  virtual std::string ErrorText() const = 0;

  // Starts an orderly close of this layer (TLS close_notify); no-op where there is none.
  virtual void Shutdown() {}

  // The layer below closed the connection / failed a read with an OS error code. A layer still
  // negotiating turns either into Failed with its own error; an established one ignores them.
  virtual void BelowClosed() {}
  virtual void BelowError(int /*code*/) {}
};

}  // namespace net
