#include "TlsContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstring>

#include "TlsCache.h"

namespace net {

namespace {

// Guards the pass-phrase callback.
std::mutex gPassPhraseLock;
// Taken around the creation of each connection object (SSL_new).
std::mutex gObjectCreationLock;

bool FileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void SessionRemoved(SSL_CTX*, SSL_SESSION*) {}

void AppendField(std::string& to, const std::string& field) {
  to += std::to_string(field.size());
  to += ':';
  to += field;
}

void AppendField(std::string& to, long long value) { AppendField(to, std::to_string(value)); }

// Appends the file's identity; false when the file cannot be identified.
bool AppendFile(std::string& to, const std::string& name) {
  AppendField(to, name);
  if (name.empty()) return true;
  TTlsFileId id;
  if (!IdentifyTlsFile(name, id)) return false;
  for (long long v : {static_cast<long long>(id.dev), static_cast<long long>(id.ino),
                      static_cast<long long>(id.size), id.mtimeSec, id.mtimeNsec, id.ctimeSec,
                      id.ctimeNsec})
    AppendField(to, v);
  return true;
}

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
  if (shared_) {
    shared_->Detach();
    shared_.reset();  // parked or freed once the last connection made on it is gone as well
  }
  ctx_ = nullptr;
  if (libraryRef_) ReleaseTlsLibrary();
  OPENSSL_cleanse(passPhrase_.data(), passPhrase_.size());
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

std::string TTlsContext::SslPassPhrase() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return passPhrase_;
}
void TTlsContext::SetSslPassPhrase(const std::string& phrase) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  OPENSSL_cleanse(passPhrase_.data(), passPhrase_.size());
  passPhrase_ = phrase;
}

std::string TTlsContext::SslCertFile() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return certFile_;
}
void TTlsContext::SetSslCertFile(const std::string& name) {
  SetFile(certFile_, name, &TTlsContext::LoadCertificateLocked);
}
std::string TTlsContext::SslPrivKeyFile() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return privKeyFile_;
}
void TTlsContext::SetSslPrivKeyFile(const std::string& name) {
  SetFile(privKeyFile_, name, &TTlsContext::LoadPrivateKeyLocked);
}
void TTlsContext::SetFile(std::string& field, const std::string& name, void (TTlsContext::*load)()) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  field = name;
  if (!ctx_) return;
  shared_->SetRecipe({});  // the context no longer is what its recipe says
  (this->*load)();
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

SSL* TTlsContext::NewSsl(std::shared_ptr<TSharedSslContext>& holder) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!ctx_) InitContextLocked();
  ERR_clear_error();
  SSL* ssl = nullptr;
  {
    std::lock_guard<std::mutex> c(gObjectCreationLock);
    ssl = SSL_new(ctx_);
  }
  if (ssl) holder = shared_;
  return ssl;
}

void TTlsContext::LoadPrivateKeyLocked() {
  if (privKeyFile_.empty()) return;
  if (!FileExists(privKeyFile_))
    throw ETlsContextException("File not found \"" + privKeyFile_ + "\"");
  ERR_clear_error();
  TTlsFileId id;
  const bool known = IdentifyTlsFile(privKeyFile_, id);
  const std::string passDigest = known ? PassPhraseDigest(passPhrase_) : std::string();
  if (known && UseDecodedKey(ctx_, id, passDigest)) return;
  if (SSL_CTX_use_PrivateKey_file(ctx_, privKeyFile_.c_str(), SSL_FILETYPE_PEM) != 1)
    RaiseOpenSsl("Can't load private key file \"" + privKeyFile_ + "\"");
  TTlsFileId after;
  if (known && IdentifyTlsFile(privKeyFile_, after) && after == id)
    RememberDecodedKey(id, passDigest, SSL_CTX_get0_privatekey(ctx_));
}

void TTlsContext::LoadCertificateLocked() {
  if (certFile_.empty()) return;
  if (!FileExists(certFile_)) throw ETlsContextException("File not found \"" + certFile_ + "\"");
  ERR_clear_error();
  TTlsFileId id;
  const bool known = IdentifyTlsFile(certFile_, id);
  if (known && UseDecodedChain(ctx_, id)) return;
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile_.c_str()) != 1)
    RaiseOpenSsl("Can't read certificate file \"" + certFile_ + "\"");
  TTlsFileId after;
  if (known && IdentifyTlsFile(certFile_, after) && after == id) RememberDecodedChain(id, ctx_);
}

// The settings the set-up reads and the identities of the files it reads; empty when the
// context it makes may not be kept for another (a file that cannot be identified, or a CA folder,
// whose certificates OpenSSL reads later, one by one, as it needs them).
std::string TTlsContext::RecipeLocked() const {
  if (!caPath_.empty()) return {};
  std::string r;
  if (!AppendFile(r, privKeyFile_) || !AppendFile(r, certFile_) || !AppendFile(r, caFile_)) return {};
  const std::string passDigest = PassPhraseDigest(passPhrase_);  // never the phrase itself
  if (passDigest.empty()) return {};
  AppendField(r, passDigest);
  AppendField(r, cipherList_);
  for (long long v : {static_cast<long long>(verifyPeer_), static_cast<long long>(verifyPeerModes_),
                      static_cast<long long>(verifyDepth_), static_cast<long long>(versionMethod_),
                      static_cast<long long>(minVersion_), static_cast<long long>(maxVersion_),
                      static_cast<long long>(secLevel_)})
    AppendField(r, v);
  return r;
}

// Attaches this context to ctx_: the pass-phrase callback's data and the context's own slot.
void TTlsContext::AttachLocked() {
  SSL_CTX_set_default_passwd_cb_userdata(ctx_, this);
  if (SSL_CTX_set_ex_data(ctx_, TlsContextSlot(), this) != 1)
    RaiseOpenSsl("SSL_CTX_set_ex_data failed");
}

void TTlsContext::InitContextLocked() {
  if (!libraryRef_) {
    BindTlsLibrary();
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

  // A context left by an earlier TTlsContext made from the same settings and files.
  const std::string recipe = RecipeLocked();
  if (std::shared_ptr<TSharedSslContext> parked = TSharedSslContext::TakeParked(recipe)) {
    shared_ = std::move(parked);
    ctx_ = shared_->Get();
    try {
      AttachLocked();
    } catch (...) {
      shared_->SetRecipe({});  // freed, not parked again
      shared_.reset();
      ctx_ = nullptr;
      throw;
    }
    return;
  }

  ERR_clear_error();
  const SSL_METHOD* method =
      role == 1 ? TLS_client_method() : role == 2 ? TLS_server_method() : TLS_method();
  SSL_CTX* made = SSL_CTX_new(method);
  if (!made) RaiseOpenSsl("Failed to initialize context");
  shared_ = TSharedSslContext::Adopt(made);  // no recipe yet: a failed set-up frees it
  ctx_ = made;
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
    } else if (!UseDefaultTrustStore(ctx_)) {
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
    AttachLocked();
    SSL_CTX_sess_set_remove_cb(ctx_, &SessionRemoved);
  } catch (...) {
    shared_.reset();
    ctx_ = nullptr;
    throw;
  }
  // Parked for another context only when no file changed while it was read.
  if (!recipe.empty() && RecipeLocked() == recipe) shared_->SetRecipe(recipe);
}

}  // namespace net
