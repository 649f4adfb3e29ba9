#include "TlsLayer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <utility>

#include "TlsContext.h"

namespace net {

TTlsLayer::TTlsLayer(TTlsContext* context, std::string serverName)
    : context_(context), serverName_(std::move(serverName)) {}

TTlsLayer::~TTlsLayer() {
  if (ssl_) SSL_free(ssl_);  // frees both buffers; sslContext_ lets go after it
}

void TTlsLayer::Fail(int code, std::string text) {
  if (tlsState_ != sslEstablished && tlsState_ != sslInShutdown) tlsState_ = sslHandshakeFailed;
  status_ = TStatus::Failed;
  errorCode_ = code;
  errorText_ = std::move(text);
  pendingUp_.clear();
}

void TTlsLayer::Start() {
  if (status_ != TStatus::Idle) return;
  status_ = TStatus::Negotiating;
  tlsState_ = sslHandshakeInit;
  // Set-up failures end the connection with "aborted"; they are not handshake failures.
  const auto setupFailed = [this](std::string text) {
    contextFailed_ = true;
    Fail(tlsErrContext, std::move(text));
  };
  if (!context_) return setupFailed("SSL requires a context object");
  try {
    ssl_ = context_->NewSsl(sslContext_);
  } catch (const std::exception& e) {
    return setupFailed(e.what());
  }
  if (!ssl_) return setupFailed("Error on creating the Ssl object");
  inBio_ = BIO_new(BIO_s_mem());
  netBio_ = BIO_new(BIO_s_mem());
  if (!inBio_ || !netBio_) {
    BIO_free(inBio_);
    BIO_free(netBio_);
    inBio_ = netBio_ = nullptr;
    return setupFailed("Creating Read/Write BIOs failed");
  }
  BIO_set_mem_eof_return(inBio_, -1);  // empty means "more to come", not end of stream
  SSL_set_bio(ssl_, inBio_, netBio_);
  if (SSL_set_session(ssl_, nullptr) != 1) return setupFailed("Unable to set session");
  if (!serverName_.empty()) {
    if (SSL_set_tlsext_host_name(ssl_, serverName_.c_str()) != 1)
      return setupFailed("Unable to set TLS servername extension");
    X509_VERIFY_PARAM_set1_host(SSL_get0_param(ssl_), serverName_.c_str(), 0);
  }
  SSL_set_connect_state(ssl_);
  tlsState_ = sslHandshakeStarted;
  if (!earlyIn_.empty()) {
    BIO_write(inBio_, earlyIn_.data(), static_cast<int>(earlyIn_.size()));
    earlyIn_.clear();
  }
  Drive();
}

void TTlsLayer::FromBelow(const char* data, std::size_t len) {
  if (len == 0) return;
  if (status_ == TStatus::Idle) {
    earlyIn_.append(data, len);
    return;
  }
  if (status_ != TStatus::Negotiating && status_ != TStatus::Established) return;
  while (len > 0) {
    const int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    if (BIO_write(inBio_, data, chunk) != chunk) return Fail(tlsErrHandshake, "Out of memory");
    data += chunk;
    len -= static_cast<std::size_t>(chunk);
  }
  Drive();
}

void TTlsLayer::FromAbove(const char* data, std::size_t len) {
  if (status_ == TStatus::Idle || status_ == TStatus::Negotiating) {
    pendingUp_.append(data, len);  // sent, in order, once the handshake is done
    return;
  }
  if (status_ != TStatus::Established || tlsState_ != sslEstablished) return;
  pendingUp_.append(data, len);
  FlushPending();
  DrainWbio();
}

std::string TTlsLayer::TakeForBelow() { return std::exchange(forBelow_, {}); }
std::string TTlsLayer::TakeForAbove() { return std::exchange(forAbove_, {}); }

void TTlsLayer::Shutdown() {
  if (!ssl_ || tlsState_ != sslEstablished || status_ != TStatus::Established) return;
  tlsState_ = sslInShutdown;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  DrainWbio();
}

void TTlsLayer::BelowClosed() {
  if (status_ == TStatus::Negotiating) {
    if (tlsState_ == sslHandshakeStarted) {
      Drive();  // an alert that came just before the close explains more than the close
      if (status_ != TStatus::Negotiating) return;
    }
    HandshakeFailed(0, true);
    return;
  }
  if (status_ == TStatus::Established && inBio_) {
    belowClosed_ = true;
    BIO_set_mem_eof_return(inBio_, 0);  // what is buffered is still decrypted
    Drive();
  }
}

void TTlsLayer::BelowError(int code) {
  (void)code;
  if (status_ == TStatus::Negotiating) HandshakeFailed(0, true);
}

std::string TTlsLayer::PeerSubject() const {
  if (!ssl_) return {};
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (!cert) return {};
  char buf[512];
  X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
  X509_free(cert);
  return buf;
}

void TTlsLayer::HandshakeFailed(unsigned long err, bool closedEarly) {
  std::string text;
  if (closedEarly && err == 0) {
    text = "Error, connection closed unexpectedly";
  } else {
    switch (ERR_GET_REASON(err)) {
      case 155: text = "Error, HTTPS proxy request, no SSL handshake"; break;
      case 156: text = "Error, HTTP request, no SSL handshake"; break;
      case 252: text = "Error, unknown SSL protocol"; break;
      case 267: text = "Error, wrong SSL version"; break;
      default: text = TTlsContext::ErrorQueueText(); break;
    }
    if (text.empty()) text = "Error, connection closed unexpectedly";
  }
  ERR_clear_error();
  DrainWbio();  // our alert still goes to the peer
  Fail(tlsErrHandshake, std::move(text));
  if (OnHandshakeDone) {
    bool disconnect = true;
    OnHandshakeDone(errorCode_, disconnect);
  }
}

void TTlsLayer::FlushPending() {
  std::size_t done = 0;
  while (done < pendingUp_.size()) {
    const std::size_t left = pendingUp_.size() - done;
    const int chunk = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    ERR_clear_error();
    const int n = SSL_write(ssl_, pendingUp_.data() + done, chunk);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
    pendingUp_.erase(0, done);
    Fail(tlsErrHandshake, TTlsContext::ErrorQueueText());
    return;
  }
  pendingUp_.erase(0, done);
}

void TTlsLayer::DrainWbio() {
  if (!netBio_) return;
  for (;;) {
    const std::size_t pending = BIO_ctrl_pending(netBio_);
    if (pending == 0) return;
    const std::size_t old = forBelow_.size();
    const int chunk = pending > INT_MAX ? INT_MAX : static_cast<int>(pending);
    forBelow_.resize(old + static_cast<std::size_t>(chunk));
    const int n = BIO_read(netBio_, forBelow_.data() + old, chunk);
    forBelow_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n <= 0) return;
  }
}

void TTlsLayer::Drive() {
  if (!ssl_) return;
  if (tlsState_ == sslHandshakeStarted) {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r != 1) {
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        DrainWbio();
        return;
      }
      const unsigned long err = ERR_peek_error();
      // An end of stream inside the handshake shows as a syscall error with an empty queue.
      HandshakeFailed(err, err == 0);
      return;
    }
    tlsState_ = sslEstablished;
    status_ = TStatus::Established;
    if (OnHandshakeDone) {
      bool disconnect = false;
      OnHandshakeDone(0, disconnect);
      if (disconnect) {
        DrainWbio();
        Fail(tlsErrHandshake, "");  // asked to drop without an error: "SSL custom abort"
        return;
      }
    }
    FlushPending();
  }
  if (status_ != TStatus::Established) {
    DrainWbio();
    return;
  }
  char buf[16384];
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buf, sizeof buf);
    if (n > 0) {
      forAbove_.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
    if (e == SSL_ERROR_ZERO_RETURN) {
      // close_notify from the peer: answer it, and the session is over.
      if (tlsState_ == sslEstablished) SSL_shutdown(ssl_);
      tlsState_ = sslShutdownComplete;
      status_ = TStatus::Closed;
      break;
    }
    const unsigned long err = ERR_peek_error();
    if (err == 0 || (belowClosed_ && ERR_GET_REASON(err) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
      // The peer closed the connection without close_notify, as many servers do after an
      // HTTP/1.0 response: what arrived stands, and the socket reports the close.
      ERR_clear_error();
      break;
    }
    Fail(tlsErrHandshake, TTlsContext::ErrorQueueText());
    break;
  }
  if (status_ == TStatus::Established && tlsState_ == sslEstablished && !pendingUp_.empty())
    FlushPending();
  DrainWbio();
}

}  // namespace net
