#include "TlsContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "base/TickCount.h"

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

}  // namespace

std::string UnsupportedVersionText(unsigned long version) {
  return "Unsupported OpenSSL version (0x" + Hex8(version) + ") !\r\nSupported versions are 0x" +
         Hex8(kLowestVersion) + " - 0x" + Hex8(kHighestVersion) + "\r\nFileName: libcrypto.so." +
         std::to_string(OPENSSL_VERSION_MAJOR);
}

namespace {

void BindLibrary() {
  std::lock_guard<std::mutex> g(gBindingLock);
  if (!gBound) {
    const unsigned long version = OpenSSL_version_num();
    if (version < kLowestVersion || version > kHighestVersion)
      throw ETlsContextException(UnsupportedVersionText(version));
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
      throw ETlsContextException("Unable to initialise OpenSSL");
    const std::uint32_t tick = base::GetTickCount32();
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

// The system's default trust store, read once for the whole process. Reading it means parsing
// every certificate of the system bundle (about 20 ms of CPU), and every worker makes a context
// of its own; the contexts share the one store, which OpenSSL reference-counts and locks.
//
// The store holds the library's default bundle file and its hashed certificate folder (both
// following SSL_CERT_FILE and SSL_CERT_DIR), as the default verify paths do. It leaves out their
// third source, the folder opened as a certificate store: that one lists the whole folder on
// every issuer lookup, and a handshake with the client certificate looks up its issuer to
// complete the chain it sends, so the listing cost about 2 ms of CPU per connection while adding
// nothing the two other sources do not hold.
std::mutex gDefaultStoreLock;
X509_STORE* gDefaultStore = nullptr;

bool SetDefaultPaths(X509_STORE* store) {
  X509_LOOKUP* file = X509_STORE_add_lookup(store, X509_LOOKUP_file());
  if (!file) return false;
  ERR_set_mark();
  X509_LOOKUP_load_file(file, nullptr, X509_FILETYPE_DEFAULT);  // a missing bundle is no error
  X509_LOOKUP* dir = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
  if (!dir) {
    ERR_clear_last_mark();
    return false;
  }
  X509_LOOKUP_add_dir(dir, nullptr, X509_FILETYPE_DEFAULT);
  ERR_pop_to_mark();  // nothing above is a failure of the store
  return true;
}

// Gives ctx the default trust store; false when it cannot be read (the OpenSSL error queue
// holds the reason). A failed read is tried again by the next context.
bool UseDefaultVerifyPaths(SSL_CTX* ctx) {
  std::lock_guard<std::mutex> g(gDefaultStoreLock);
  if (!gDefaultStore) {
    X509_STORE* store = X509_STORE_new();
    if (!store) return false;
    if (!SetDefaultPaths(store)) {
      X509_STORE_free(store);
      return false;
    }
    gDefaultStore = store;  // kept until the process ends
  }
  SSL_CTX_set1_cert_store(ctx, gDefaultStore);
  return true;
}

// Loaded key and certificate files, kept for the whole process. Every worker makes a context of
// its own, and decoding the pass-phrase protected key alone costs about 1 ms of CPU (the key
// derivation, the decoder set-up and the key's blinding values); a context whose file is the
// same file, unchanged, with the same pass phrase gets the key already decoded. A file is known
// by its device, inode, size and change time, so a replaced or rewritten file is read again.
struct TFileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
  bool operator==(const TFileId&) const = default;
};

bool IdentifyFile(const std::string& name, TFileId& id) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id = {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
        st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
  return true;
}

struct TCachedKey {
  TFileId file;
  std::string passPhrase;
  EVP_PKEY* key = nullptr;
};
struct TCachedChain {
  TFileId file;
  std::vector<X509*> certs;  // the leaf first, then the chain as the file lists it
};

constexpr std::size_t kCachedFiles = 4;  // a program uses one key and one certificate
std::mutex gLoadedFilesLock;
// Kept for the whole process and never destroyed: the loaded keys and certificates stay
// reachable to the end, and no static destructor frees the lists under a late handshake.
std::vector<TCachedKey>& gKeys = *new std::vector<TCachedKey>;
std::vector<TCachedChain>& gChains = *new std::vector<TCachedChain>;

// OpenSSL contexts left by destroyed TTlsContexts, each with its recipe (the settings and file
// identities it was made from), the most recently left last. Kept for the whole process and never
// destroyed, like the caches above. At most as many as a run has workers at once.
struct TIdleContext {
  std::string recipe;
  SSL_CTX* ctx = nullptr;
};
constexpr std::size_t kIdleContexts = 24;
std::mutex gIdleLock;
std::vector<TIdleContext>& gIdle = *new std::vector<TIdleContext>;

SSL_CTX* TakeIdleContext(const std::string& recipe) {
  std::lock_guard<std::mutex> g(gIdleLock);
  for (auto it = gIdle.rbegin(); it != gIdle.rend(); ++it) {
    if (it->recipe != recipe) continue;
    SSL_CTX* ctx = it->ctx;
    gIdle.erase(std::next(it).base());
    return ctx;
  }
  return nullptr;
}

void KeepIdleContext(std::string recipe, SSL_CTX* ctx) {
  // Nothing of the TTlsContext that leaves it stays attached.
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  SSL_CTX_set_ex_data(ctx, gCtxExIndex, nullptr);
  std::lock_guard<std::mutex> g(gIdleLock);
  if (gIdle.size() >= kIdleContexts) {
    SSL_CTX_free(gIdle.front().ctx);
    gIdle.erase(gIdle.begin());
  }
  gIdle.push_back({std::move(recipe), ctx});
}

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
  TFileId id;
  if (!IdentifyFile(name, id)) return false;
  for (long long v : {static_cast<long long>(id.dev), static_cast<long long>(id.ino),
                      static_cast<long long>(id.size), id.mtimeSec, id.mtimeNsec, id.ctimeSec,
                      id.ctimeNsec})
    AppendField(to, v);
  return true;
}

template <typename T, typename F>
void Remember(std::vector<T>& cache, T entry, F release) {
  if (cache.size() >= kCachedFiles) {
    release(cache.front());
    cache.erase(cache.begin());
  }
  cache.push_back(std::move(entry));
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
  if (ctx_ && !recipe_.empty())
    KeepIdleContext(std::move(recipe_), ctx_);
  else if (ctx_)
    SSL_CTX_free(ctx_);
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
  if (!ctx_) return;
  recipe_.clear();  // the context no longer is what its recipe says
  LoadCertificateLocked();
}
std::string TTlsContext::SslPrivKeyFile() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return privKeyFile_;
}
void TTlsContext::SetSslPrivKeyFile(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  privKeyFile_ = name;
  if (!ctx_) return;
  recipe_.clear();
  LoadPrivateKeyLocked();
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
  TFileId id;
  const bool known = IdentifyFile(privKeyFile_, id);
  if (known) {
    std::lock_guard<std::mutex> g(gLoadedFilesLock);
    for (const TCachedKey& k : gKeys) {
      if (k.file == id && k.passPhrase == passPhrase_ && SSL_CTX_use_PrivateKey(ctx_, k.key) == 1)
        return;
    }
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, privKeyFile_.c_str(), SSL_FILETYPE_PEM) != 1)
    RaiseOpenSsl("Can't load private key file \"" + privKeyFile_ + "\"");
  EVP_PKEY* key = SSL_CTX_get0_privatekey(ctx_);
  TFileId after;
  if (known && key && IdentifyFile(privKeyFile_, after) && after == id && EVP_PKEY_up_ref(key) == 1) {
    std::lock_guard<std::mutex> g(gLoadedFilesLock);
    Remember(gKeys, TCachedKey{id, passPhrase_, key}, [](TCachedKey& k) { EVP_PKEY_free(k.key); });
  }
}

void TTlsContext::LoadCertificateLocked() {
  if (certFile_.empty()) return;
  if (!FileExists(certFile_)) throw ETlsContextException("File not found \"" + certFile_ + "\"");
  ERR_clear_error();
  TFileId id;
  const bool known = IdentifyFile(certFile_, id);
  if (known) {
    std::lock_guard<std::mutex> g(gLoadedFilesLock);
    for (const TCachedChain& c : gChains) {
      if (!(c.file == id)) continue;
      bool ok = SSL_CTX_use_certificate(ctx_, c.certs.front()) == 1 &&
                SSL_CTX_clear_chain_certs(ctx_) == 1;
      for (std::size_t i = 1; ok && i < c.certs.size(); ++i)
        ok = SSL_CTX_add1_chain_cert(ctx_, c.certs[i]) == 1;
      if (ok) return;
      ERR_clear_error();  // read the file after all: its errors are the ones to report
      break;
    }
  }
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile_.c_str()) != 1)
    RaiseOpenSsl("Can't read certificate file \"" + certFile_ + "\"");
  X509* leaf = SSL_CTX_get0_certificate(ctx_);
  STACK_OF(X509)* chain = nullptr;
  TFileId after;
  if (!known || !leaf || SSL_CTX_get0_chain_certs(ctx_, &chain) != 1 ||
      !IdentifyFile(certFile_, after) || !(after == id))
    return;
  TCachedChain entry{id, {}};
  X509_up_ref(leaf);
  entry.certs.push_back(leaf);
  for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
    X509* c = sk_X509_value(chain, i);
    X509_up_ref(c);
    entry.certs.push_back(c);
  }
  std::lock_guard<std::mutex> g(gLoadedFilesLock);
  Remember(gChains, std::move(entry), [](TCachedChain& c) {
    for (X509* x : c.certs) X509_free(x);
  });
}

// The settings the set-up reads and the identities of the files it reads; empty when the
// context it makes may not be kept for another (a file that cannot be identified, or a CA folder,
// whose certificates OpenSSL reads later, one by one, as it needs them).
std::string TTlsContext::RecipeLocked() const {
  if (!caPath_.empty()) return {};
  std::string r;
  if (!AppendFile(r, privKeyFile_) || !AppendFile(r, certFile_) || !AppendFile(r, caFile_)) return {};
  AppendField(r, passPhrase_);
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
  if (SSL_CTX_set_ex_data(ctx_, gCtxExIndex, this) != 1) RaiseOpenSsl("SSL_CTX_set_ex_data failed");
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

  // A context left by an earlier TTlsContext made from the same settings and files.
  recipe_.clear();
  const std::string recipe = RecipeLocked();
  if (!recipe.empty()) {
    if (SSL_CTX* idle = TakeIdleContext(recipe)) {
      ctx_ = idle;
      try {
        AttachLocked();
      } catch (...) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        throw;
      }
      recipe_ = recipe;
      return;
    }
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
    } else if (!UseDefaultVerifyPaths(ctx_)) {
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
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    throw;
  }
  // Kept for another context only when no file changed while it was read.
  if (!recipe.empty() && RecipeLocked() == recipe) recipe_ = recipe;
}

std::mutex& TlsObjectCreationLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace net
