#pragma once
// The TLS client session of one connection as a protocol layer of the socket: OpenSSL runs over
// a pair of memory buffers, so the same layer works on a plain TCP connection and inside the
// SOCKS tunnel. Each connection gets a fresh SSL object; no earlier session is offered.
#include <functional>
#include <memory>
#include <string>

#include "Filter.h"
#include "NetErrors.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace net {

class TTlsContext;
class TSharedSslContext;

enum TTlsState {
  sslNone, sslHandshakeInit, sslHandshakeStarted, sslHandshakeFailed,
  sslEstablished, sslInShutdown, sslShutdownComplete,
};

// Its error codes (ErrorCode() after Failed), tlsErrHandshake and tlsErrContext, are in NetErrors.def.

class TTlsLayer final : public TFilter {
 public:
  // serverName is sent as server name indication when not empty.
  TTlsLayer(TTlsContext* context, std::string serverName);
  ~TTlsLayer() override;
  TTlsLayer(const TTlsLayer&) = delete;
  TTlsLayer& operator=(const TTlsLayer&) = delete;

  // TFilter
  void Start() override;  // the connection below is up: build the session, send the hello
  void FromBelow(const char* data, std::size_t len) override;
  void FromAbove(const char* data, std::size_t len) override;
  std::string TakeForBelow() override;
  std::string TakeForAbove() override;
  TStatus Status() const override { return status_; }
  int ErrorCode() const override { return errorCode_; }
  std::string ErrorText() const override { return errorText_; }
  void Shutdown() override;  // sends close_notify once established
  void BelowClosed() override;
  void BelowError(int code) override;

  // Handshake done: the error code (0 on success) and a flag the receiver may set to have the
  // connection dropped; a drop without an error leaves ErrorText() empty.
  std::function<void(int error, bool& disconnect)> OnHandshakeDone;

  TTlsState TlsState() const { return tlsState_; }
  // The context could not be set up (missing files, wrong pass phrase ...).
  bool ContextFailed() const { return contextFailed_; }
  // Subject line of the server certificate once established; empty if none.
  std::string PeerSubject() const;

 private:
  void Drive();           // runs OpenSSL on what has arrived and moves bytes along
  void HandshakeFailed(unsigned long err, bool closedEarly);
  void FlushPending();
  void DrainWbio();
  void Fail(int code, std::string text);

  TTlsContext* context_;  // not owned; read only by Start
  std::string serverName_;
  // The OpenSSL context ssl_ was made on, held for as long as ssl_ lives, so that it is not
  // parked for another TTlsContext while this connection still uses it.
  std::shared_ptr<TSharedSslContext> sslContext_;
  SSL* ssl_ = nullptr;
  BIO* netBio_ = nullptr;  // OpenSSL writes records here; we read them out to go below
  BIO* inBio_ = nullptr;   // bytes from below are written here for OpenSSL to read
  TStatus status_ = TStatus::Idle;
  TTlsState tlsState_ = sslNone;
  bool contextFailed_ = false;
  bool belowClosed_ = false;  // the connection below has ended
  std::string pendingUp_;  // application bytes written before the session was up
  std::string earlyIn_;    // bytes from below that came before Start
  std::string forBelow_;
  std::string forAbove_;
  int errorCode_ = 0;
  std::string errorText_;
};

}  // namespace net
