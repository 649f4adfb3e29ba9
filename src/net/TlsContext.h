#pragma once
// TLS settings of one fetch worker and the OpenSSL context made from them. The OpenSSL context
// is created lazily, at the first handshake (InitContext), so the certificate and key files are
// read when the worker's first connection is made; it is then reused by every later connection
// of the worker. OpenSSL is linked at build time.
//
// Making an OpenSSL context costs more CPU than the handshake it serves (the library looks up
// every cipher, group and signature algorithm it offers), and every worker makes one. So the
// context of a destroyed TTlsContext is kept idle, and the next TTlsContext made from the same
// settings and the same unchanged files takes it instead of making its own. A context belongs to
// one TTlsContext at a time; nothing of it is shared between live ones.
#include <mutex>
#include <stdexcept>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace net {

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
  // The OpenSSL context for a new connection, set up first if needed. The caller takes a
  // reference (SSL_new does) before the context may change again.
  SSL_CTX* Handle();

  // The OpenSSL error queue as text, one line per error, lines separated by CR LF; clears it.
  static std::string ErrorQueueText();

 private:
  friend int TlsPassPhraseCallback(char* buf, int size, int rwflag, void* userdata);
  [[noreturn]] void RaiseOpenSsl(const std::string& message) const;
  void InitContextLocked();
  void LoadPrivateKeyLocked();
  void LoadCertificateLocked();
  std::string RecipeLocked() const;
  void AttachLocked();

  mutable std::recursive_mutex lock_;
  SSL_CTX* ctx_ = nullptr;
  bool libraryRef_ = false;
  // What ctx_ was made from (the settings and the identities of the files it read), when it may
  // be kept for another context after this one; empty when it may not.
  std::string recipe_;

  std::string certFile_;
  std::string privKeyFile_;
  std::string passPhrase_;
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

// Process-wide lock taken around the creation of each connection object (SSL_new).
std::mutex& TlsObjectCreationLock();

}  // namespace net
