#include "TlsContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "TickCount.h"

namespace net {

namespace {

// Process-wide binding of the library. OpenSSL is linked at build time, so binding means
// checking that the library the loader picked is of the major version the program was built
// against and initialising it once. The library is never cleaned up explicitly: OpenSSL 3
// cannot be initialised again after OPENSSL_cleanup, and it frees itself at process exit.
std::mutex gBindingLock;
int gBindingRefs = 0;
bool gBound = false;
int gCtxExIndex = -1;

// Guards the pass-phrase callback.
std::mutex gPassPhraseLock;

constexpr unsigned long kLowestVersion = 0x30000000UL;
constexpr unsigned long kHighestVersion = 0x3FFFFFFFUL;

std::string Hex8(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lX", v & 0xFFFFFFFFUL);
  return buf;
}

void BindLibrary() {
  std::lock_guard<std::mutex> g(gBindingLock);
  if (!gBound) {
    const unsigned long version = OpenSSL_version_num();
    if (version < kLowestVersion || version > kHighestVersion)
      throw ETlsContextException("Unsupported OpenSSL version (0x" + Hex8(version) +
                                 ") !\r\nSupported versions are " + Hex8(kLowestVersion) +
                                 " - " + Hex8(kHighestVersion) + "\r\nFileName: libcrypto.so." +
                                 std::to_string(OPENSSL_VERSION_MAJOR));
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
      throw ETlsContextException("Unable to initialise OpenSSL");
    const std::uint32_t tick = GetTickCount32();
    RAND_seed(&tick, sizeof tick);
    gCtxExIndex = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    if (gCtxExIndex < 0) throw ETlsContextException("Unable to initialise OpenSSL");
    gBound = true;
  }
  ++gBindingRefs;
}

void ReleaseLibrary() {
  std::lock_guard<std::mutex> g(gBindingLock);
  if (gBindingRefs > 0) --gBindingRefs;
}

bool FileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void SessionRemoved(SSL_CTX*, SSL_SESSION*) {}

int ProtoVersion(TTlsVersionBound b) {
  switch (b) {
    case sslVerSSL3: return SSL3_VERSION;
    case sslVerTLS1: return TLS1_VERSION;
    case sslVerTLS1_1: return TLS1_1_VERSION;
    case sslVerTLS1_2: return TLS1_2_VERSION;
    case sslVerTLS1_3: return TLS1_3_VERSION;
    case sslVerMax: break;
  }
  return 0;  // the highest the library supports
}

}  // namespace

int TlsPassPhraseCallback(char* buf, int size, int /*rwflag*/, void* userdata) {
  auto* self = static_cast<TTlsContext*>(userdata);
  std::lock_guard<std::mutex> g(gPassPhraseLock);
  if (!self || !buf) return 0;
  std::lock_guard<std::recursive_mutex> c(self->lock_);
  const std::string& phrase = self->passPhrase_;
  if (phrase.empty() || size < 0 || static_cast<std::size_t>(size) < phrase.size() + 1) return 0;
  std::memcpy(buf, phrase.data(), phrase.size());
  buf[phrase.size()] = '\0';
  return static_cast<int>(phrase.size());
}

TTlsContext::TTlsContext() = default;

TTlsContext::~TTlsContext() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (ctx_) SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  if (libraryRef_) ReleaseLibrary();
}

#define SH_TLS_PROPERTY(Type, Name, field)                 \
  Type TTlsContext::Name() const {                         \
    std::lock_guard<std::recursive_mutex> g(lock_);        \
    return field;                                          \
  }                                                        \
  void TTlsContext::Set##Name(const Type& v) {             \
    std::lock_guard<std::recursive_mutex> g(lock_);        \
    field = v;                                             \
  }
#define SH_TLS_PROPERTY_V(Type, Name, field)               \
  Type TTlsContext::Name() const {                         \
    std::lock_guard<std::recursive_mutex> g(lock_);        \
    return field;                                          \
  }                                                        \
  void TTlsContext::Set##Name(Type v) {                    \
    std::lock_guard<std::recursive_mutex> g(lock_);        \
    field = v;                                             \
  }

SH_TLS_PROPERTY(std::string, SslPassPhrase, passPhrase_)
SH_TLS_PROPERTY(std::string, SslCipherList, cipherList_)
SH_TLS_PROPERTY(std::string, SslCAFile, caFile_)
SH_TLS_PROPERTY(std::string, SslCAPath, caPath_)
SH_TLS_PROPERTY_V(bool, SslVerifyPeer, verifyPeer_)
SH_TLS_PROPERTY_V(int, SslVerifyPeerModes, verifyPeerModes_)
SH_TLS_PROPERTY_V(int, SslVerifyDepth, verifyDepth_)
SH_TLS_PROPERTY_V(TTlsVersionMethod, SslVersionMethod, versionMethod_)
SH_TLS_PROPERTY_V(TTlsVersionBound, SslMinVersion, minVersion_)
SH_TLS_PROPERTY_V(TTlsVersionBound, SslMaxVersion, maxVersion_)
SH_TLS_PROPERTY_V(TTlsSecLevel, SslSecLevel, secLevel_)
#undef SH_TLS_PROPERTY
#undef SH_TLS_PROPERTY_V

std::string TTlsContext::SslCertFile() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return certFile_;
}
void TTlsContext::SetSslCertFile(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  certFile_ = name;
  if (ctx_) LoadCertificateLocked();
}
std::string TTlsContext::SslPrivKeyFile() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return privKeyFile_;
}
void TTlsContext::SetSslPrivKeyFile(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  privKeyFile_ = name;
  if (ctx_) LoadPrivateKeyLocked();
}

bool TTlsContext::Initialized() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return ctx_ != nullptr;
}

std::string TTlsContext::ErrorQueueText() {
  std::string text;
  unsigned long e;
  char line[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, line, sizeof line);
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  return text;
}

void TTlsContext::RaiseOpenSsl(const std::string& message) const {
  throw ETlsContextException("\r\n" + message + "\r\n" + ErrorQueueText() + "\r\n");
}

void TTlsContext::InitContext() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (ctx_) return;
  InitContextLocked();
}

SSL_CTX* TTlsContext::Handle() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!ctx_) InitContextLocked();
  return ctx_;
}

void TTlsContext::LoadPrivateKeyLocked() {
  if (privKeyFile_.empty()) return;
  if (!FileExists(privKeyFile_))
    throw ETlsContextException("File not found \"" + privKeyFile_ + "\"");
  ERR_clear_error();
  if (SSL_CTX_use_PrivateKey_file(ctx_, privKeyFile_.c_str(), SSL_FILETYPE_PEM) != 1)
    RaiseOpenSsl("Can't load private key file \"" + privKeyFile_ + "\"");
}

void TTlsContext::LoadCertificateLocked() {
  if (certFile_.empty()) return;
  if (!FileExists(certFile_)) throw ETlsContextException("File not found \"" + certFile_ + "\"");
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile_.c_str()) != 1)
    RaiseOpenSsl("Can't read certificate file \"" + certFile_ + "\"");
}

void TTlsContext::InitContextLocked() {
  if (!libraryRef_) {
    BindLibrary();
    libraryRef_ = true;
  }
  if (versionMethod_ <= sslV2_SERVER) throw ETlsContextException("SSLv2 not supported");
  if (versionMethod_ > sslBestVer_SERVER) throw ETlsContextException("Unknown SslVersionMethod");

  // Methods of one fixed version become the bounds [v, v]; the flexible ones use
  // SslMinVersion/SslMaxVersion.
  const int role = (versionMethod_ - sslV2) % 3;  // 0 either, 1 client, 2 server
  int minProto = 0, maxProto = 0;
  switch ((versionMethod_ - sslV2) / 3) {
    case 1: minProto = maxProto = SSL3_VERSION; break;
    case 2: minProto = maxProto = TLS1_VERSION; break;
    case 4: minProto = maxProto = TLS1_1_VERSION; break;
    case 5: minProto = maxProto = TLS1_2_VERSION; break;
    default:
      minProto = ProtoVersion(minVersion_);
      maxProto = ProtoVersion(maxVersion_);
      break;
  }

  ERR_clear_error();
  const SSL_METHOD* method =
      role == 1 ? TLS_client_method() : role == 2 ? TLS_server_method() : TLS_method();
  ctx_ = SSL_CTX_new(method);
  if (!ctx_) RaiseOpenSsl("Failed to initialize context");
  try {
    SSL_CTX_set_security_level(ctx_, static_cast<int>(secLevel_));
    SSL_CTX_set_default_passwd_cb(ctx_, &TlsPassPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx_, this);

    LoadPrivateKeyLocked();  // key first, then the chain
    LoadCertificateLocked();

    if (!caFile_.empty() || !caPath_.empty()) {
      if (SSL_CTX_load_verify_locations(ctx_, caFile_.empty() ? nullptr : caFile_.c_str(),
                                        caPath_.empty() ? nullptr : caPath_.c_str()) != 1)
        RaiseOpenSsl("Error loading CA file and/or directory");
    } else if (SSL_CTX_set_default_verify_paths(ctx_) != 1) {
      RaiseOpenSsl("Error loading default CA file and/or directory");
    }

    SSL_CTX_set_mode(ctx_, SSL_MODE_AUTO_RETRY);
    if (SSL_CTX_set_min_proto_version(ctx_, minProto) != 1 ||
        SSL_CTX_set_max_proto_version(ctx_, maxProto) != 1)
      RaiseOpenSsl("Failed to set protocol version bounds");

    if (verifyPeer_) {
      SSL_CTX_set_verify(ctx_, verifyPeerModes_, nullptr);
      SSL_CTX_set_verify_depth(ctx_, verifyDepth_);
    } else {
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
      SSL_CTX_set_verify_depth(ctx_, 0);
    }

    SSL_CTX_set_options(ctx_, 0);  // no extra options

    if (cipherList_.empty()) throw ETlsContextException("Cipher list empty");
    if (SSL_CTX_set_cipher_list(ctx_, cipherList_.c_str()) != 1)
      RaiseOpenSsl("Error loading cipher list");

    // No session is ever offered again (SSL_set_session is never called with one), so no
    // client session is stored or reused; the default cache mode keeps none for clients.
    if (SSL_CTX_set_ex_data(ctx_, gCtxExIndex, this) != 1) RaiseOpenSsl("SSL_CTX_set_ex_data failed");
    SSL_CTX_sess_set_remove_cb(ctx_, &SessionRemoved);
  } catch (...) {
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    throw;
  }
}

std::mutex& TlsObjectCreationLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace net
