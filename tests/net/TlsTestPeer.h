#pragma once
// Test helpers for the TLS layer: the throwaway PKI made by tools/demo-portal/make-certs.sh,
// and an in-process TLS server over memory buffers that requires the client certificate, so
// handshakes run with no sockets at all.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "net/Filter.h"

namespace testpki {

inline std::string Dir() { return TEST_PKI_DIR; }
inline std::string File(const std::string& name) { return Dir() + "/" + name; }

}  // namespace testpki

class TMemTlsServer {
 public:
  struct Options {
    std::string cert = "server-cert.pem", key = "server-key.pem";
    bool requireClientCert = true;
    int minVersion = 0, maxVersion = 0;
  };
  TMemTlsServer() : TMemTlsServer(Options{}) {}
  explicit TMemTlsServer(const Options& o) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, testpki::File(o.cert).c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, testpki::File(o.key).c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_min_proto_version(ctx_, o.minVersion);
    SSL_CTX_set_max_proto_version(ctx_, o.maxVersion);
    if (o.requireClientCert) {
      SSL_CTX_load_verify_locations(ctx_, testpki::File("ca.pem").c_str(), nullptr);
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    SSL_CTX_set_session_id_context(ctx_, reinterpret_cast<const unsigned char*>("t"), 1);
    NewConnection();
  }
  ~TMemTlsServer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  // Starts over with a fresh connection object on the same server context.
  void NewConnection() {
    if (ssl_) SSL_free(ssl_);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
    received_.clear();
    failed_ = false;
  }
  void Feed(const std::string& bytes) {
    if (!bytes.empty()) BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    Drive();
  }
  void Send(const std::string& text) {
    SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
  }
  void CloseNotify() { SSL_shutdown(ssl_); }
  std::string TakeOut() {
    std::string s(BIO_ctrl_pending(out_), '\0');
    if (!s.empty()) s.resize(static_cast<std::size_t>(BIO_read(out_, s.data(), static_cast<int>(s.size()))));
    return s;
  }
  bool Established() const { return SSL_is_init_finished(ssl_); }
  bool GotCloseNotify() const { return (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0; }
  bool Failed() const { return failed_; }
  std::string ServerName() const {
    const char* n = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    return n ? n : "";
  }
  int Version() const { return SSL_version(ssl_); }
  bool Reused() const { return SSL_session_reused(ssl_) == 1; }
  std::string ClientSubject() const {
    X509* c = SSL_get1_peer_certificate(ssl_);
    if (!c) return "";
    char buf[256];
    X509_NAME_oneline(X509_get_subject_name(c), buf, sizeof buf);
    X509_free(c);
    return buf;
  }
  const std::string& Received() const { return received_; }

 private:
  void Drive() {
    if (failed_) return;
    if (!SSL_is_init_finished(ssl_)) {
      const int r = SSL_do_handshake(ssl_);
      if (r != 1) {
        const int e = SSL_get_error(ssl_, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) failed_ = true;
        ERR_clear_error();
        return;
      }
    }
    char buf[4096];
    int n;
    while ((n = SSL_read(ssl_, buf, sizeof buf)) > 0) received_.append(buf, static_cast<std::size_t>(n));
    ERR_clear_error();
  }
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  std::string received_;
  bool failed_ = false;
};

// Moves bytes between a client layer and the server until neither has anything to say.
// serverChunk > 0 hands the server's bytes to the client in pieces of that size.
inline void Pump(net::TFilter& client, TMemTlsServer& server, std::size_t serverChunk = 0) {
  for (int round = 0; round < 100; ++round) {
    const std::string up = client.TakeForBelow();
    server.Feed(up);
    const std::string down = server.TakeOut();
    if (up.empty() && down.empty()) return;
    if (serverChunk == 0) {
      client.FromBelow(down.data(), down.size());
    } else {
      for (std::size_t i = 0; i < down.size(); i += serverChunk)
        client.FromBelow(down.data() + i, std::min(serverChunk, down.size() - i));
    }
  }
}
