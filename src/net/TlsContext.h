#pragma once
// TLS settings of one fetch worker and the OpenSSL context made from them. The OpenSSL context
// is created lazily, at the first handshake (InitContext), so the certificate and key files are
// read when the worker's first connection is made; it is then reused by every later connection
// of the worker. OpenSSL is linked at build time.
//
// Making an OpenSSL context costs more CPU than the handshake it serves, and every worker makes
// one; so the context of a destroyed TTlsContext is parked, and the next TTlsContext made from
// the same settings and the same unchanged files takes it over (TlsCache.h). A context belongs to
// one TTlsContext at a time: every connection made on it holds it too (NewSsl), and it is parked
// only when the last of them lets go, whichever goes first.
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace net {

class TSharedSslContext;

enum TTlsVersionMethod {
  sslV2, sslV2_CLIENT, sslV2_SERVER,
  sslV3, sslV3_CLIENT, sslV3_SERVER,
  sslTLS_V1, sslTLS_V1_CLIENT, sslTLS_V1_SERVER,
  sslV23, sslV23_CLIENT, sslV23_SERVER,
  sslTLS_V1_1, sslTLS_V1_1_CLIENT, sslTLS_V1_1_SERVER,
  sslTLS_V1_2, sslTLS_V1_2_CLIENT, sslTLS_V1_2_SERVER,
  sslBestVer, sslBestVer_CLIENT, sslBestVer_SERVER,
};
enum TTlsVersionBound { sslVerSSL3, sslVerTLS1, sslVerTLS1_1, sslVerTLS1_2, sslVerTLS1_3, sslVerMax };
// OpenSSL security levels 0-5.
enum TTlsSecLevel {
  sslSecLevelAny, sslSecLevel80bits, sslSecLevel112bits,
  sslSecLevel128bits, sslSecLevel192bits, sslSecLevel256bits,
};
enum TTlsVerifyPeerMode { SslVerifyMode_PEER = 1, SslVerifyMode_FAIL_IF_NO_PEER_CERT = 2,
                          SslVerifyMode_CLIENT_ONCE = 4 };

class ETlsContextException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why the library the loader picked cannot be used: its version, the accepted window, its file.
std::string UnsupportedVersionText(unsigned long version);

class TTlsContext {
 public:
  TTlsContext();
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  // Properties. Every change takes the context's lock. Changing the certificate or key file
  // after the OpenSSL context exists loads the new file into it at once.
  std::string SslCertFile() const;
  void SetSslCertFile(const std::string& name);
  std::string SslPrivKeyFile() const;
  void SetSslPrivKeyFile(const std::string& name);
  std::string SslPassPhrase() const;
  void SetSslPassPhrase(const std::string& phrase);
  bool SslVerifyPeer() const;
  void SetSslVerifyPeer(bool on);
  int SslVerifyPeerModes() const;
  void SetSslVerifyPeerModes(int modes);
  int SslVerifyDepth() const;
  void SetSslVerifyDepth(int depth);
  TTlsVersionMethod SslVersionMethod() const;
  void SetSslVersionMethod(TTlsVersionMethod m);
  TTlsVersionBound SslMinVersion() const;
  void SetSslMinVersion(TTlsVersionBound v);
  TTlsVersionBound SslMaxVersion() const;
  void SetSslMaxVersion(TTlsVersionBound v);
  std::string SslCipherList() const;
  void SetSslCipherList(const std::string& list);
  TTlsSecLevel SslSecLevel() const;
  void SetSslSecLevel(TTlsSecLevel level);
  std::string SslCAFile() const;
  void SetSslCAFile(const std::string& name);
  std::string SslCAPath() const;
  void SetSslCAPath(const std::string& path);

  // Creates and configures the OpenSSL context. Raises ETlsContextException; after a failure
  // nothing is kept, so the next call tries the whole set-up again.
  void InitContext();
  bool Initialized() const;
  // The OpenSSL context, set up first if needed, to look at. Borrowed: valid while this
  // TTlsContext lives. A connection is made with NewSsl, never on this pointer, which does not
  // keep the context from being parked for another TTlsContext once this one is gone.
  SSL_CTX* Handle();
  // A new connection object on the OpenSSL context, set up first if needed; null when OpenSSL
  // cannot make one. Made under this context's lock and the process-wide creation lock. The
  // caller owns the SSL object, and holder receives a reference to the OpenSSL context that the
  // caller keeps at least as long as the SSL object: while it is held, the context is neither
  // freed nor handed to another TTlsContext, even after this one is gone. Raises
  // ETlsContextException when the set-up fails.
  SSL* NewSsl(std::shared_ptr<TSharedSslContext>& holder);

  // The OpenSSL error queue as text, one line per error, lines separated by CR LF; clears it.
  static std::string ErrorQueueText();

 private:
  friend int TlsPassPhraseCallback(char* buf, int size, int rwflag, void* userdata);
  [[noreturn]] void RaiseOpenSsl(const std::string& message) const;
  void InitContextLocked();
  void LoadPrivateKeyLocked();
  void LoadCertificateLocked();
  // Sets a key or certificate file name; on a set-up context loads it at once with `load`.
  void SetFile(std::string& field, const std::string& name, void (TTlsContext::*load)());
  std::string RecipeLocked() const;
  void AttachLocked();

  mutable std::recursive_mutex lock_;
  // The OpenSSL context, shared with the connections made on it; its recipe says what it was
  // made from (the settings and the identities of the files it read) while it may be parked for
  // another context after this one.
  std::shared_ptr<TSharedSslContext> shared_;
  SSL_CTX* ctx_ = nullptr;  // shared_'s, borrowed; null without one
  bool libraryRef_ = false;

  std::string certFile_;
  std::string privKeyFile_;
  std::string passPhrase_;  // cleansed when replaced and when the context goes
  bool verifyPeer_ = false;
  int verifyPeerModes_ = SslVerifyMode_PEER;
  int verifyDepth_ = 9;
  TTlsVersionMethod versionMethod_ = sslBestVer;
  TTlsVersionBound minVersion_ = sslVerSSL3;
  TTlsVersionBound maxVersion_ = sslVerMax;
  std::string cipherList_ = "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH";
  TTlsSecLevel secLevel_ = sslSecLevel80bits;
  std::string caFile_;
  std::string caPath_;
};

}  // namespace net
