#include "TlsCache.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <vector>

#include "base/TickCount.h"
#include "TlsContext.h"

namespace net {

namespace {

// --- Library binding ---
std::mutex gBindingLock;
int gBindingRefs = 0;  // under gBindingLock
bool gBound = false;   // under gBindingLock
// Written once, under gBindingLock, before gBound is set; read after a BindTlsLibrary that
// returned, which took the same lock.
int gContextSlot = -1;

constexpr unsigned long kLowestVersion = 0x30000000UL;
constexpr unsigned long kHighestVersion = 0x3FFFFFFFUL;

std::string Hex8(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lX", v & 0xFFFFFFFFUL);
  return buf;
}

// --- Trust store ---
// Reading the system's store means parsing every certificate of the system bundle (about 20 ms
// of CPU), and every worker makes a context of its own; the contexts share the one store, which
// OpenSSL reference-counts and locks.
//
// The store holds the library's default bundle file and its hashed certificate folder (both
// following SSL_CERT_FILE and SSL_CERT_DIR), as the default verify paths do. It leaves out their
// third source, the folder opened as a certificate store: that one lists the whole folder on
// every issuer lookup, and a handshake with the client certificate looks up its issuer to
// complete the chain it sends, so the listing cost about 2 ms of CPU per connection while adding
// nothing the two other sources do not hold.
std::mutex gTrustStoreLock;
X509_STORE* gTrustStore = nullptr;  // under gTrustStoreLock; kept until the process ends

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

// --- Decoded keys and chains ---
// Decoding the pass-phrase protected key alone costs about 1 ms of CPU (the key derivation, the
// decoder set-up and the key's blinding values); a context whose file is the same file,
// unchanged, with the same pass phrase gets the key already decoded.
struct TDecodedKey {
  TTlsFileId file;
  std::string passDigest;
  EVP_PKEY* key = nullptr;  // one reference, the cache's
};
struct TDecodedChain {
  TTlsFileId file;
  std::vector<X509*> certs;  // the leaf first, then the chain as the file lists it; the cache's
};

constexpr std::size_t kDecodedFiles = 4;  // a program uses one key and one certificate
std::mutex gDecodedLock;
// Under gDecodedLock. Never destroyed: the keys and certificates stay reachable to the end, and
// no static destructor frees the lists under a late handshake.
std::vector<TDecodedKey>& gKeys = *new std::vector<TDecodedKey>;
std::vector<TDecodedChain>& gChains = *new std::vector<TDecodedChain>;

template <typename T, typename F>
void Remember(std::vector<T>& cache, T entry, F release) {
  if (cache.size() >= kDecodedFiles) {
    release(cache.front());
    cache.erase(cache.begin());
  }
  cache.push_back(std::move(entry));
}

// --- Parked contexts ---
// The most recently parked last. At most as many as a run has workers at once; each entry holds
// the pool's one reference to its context. Under gParkingLock; never destroyed, like the lists
// above.
struct TParkedContext {
  std::string recipe;
  SSL_CTX* ctx = nullptr;
};
constexpr std::size_t kParkedContexts = 24;
std::mutex gParkingLock;
std::vector<TParkedContext>& gParked = *new std::vector<TParkedContext>;

}  // namespace

std::string UnsupportedVersionText(unsigned long version) {
  return "Unsupported OpenSSL version (0x" + Hex8(version) + ") !\r\nSupported versions are 0x" +
         Hex8(kLowestVersion) + " - 0x" + Hex8(kHighestVersion) + "\r\nFileName: libcrypto.so." +
         std::to_string(OPENSSL_VERSION_MAJOR);
}

void BindTlsLibrary() {
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
    gContextSlot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    if (gContextSlot < 0) throw ETlsContextException("Unable to initialise OpenSSL");
    gBound = true;
  }
  ++gBindingRefs;
}

void ReleaseTlsLibrary() {
  std::lock_guard<std::mutex> g(gBindingLock);
  if (gBindingRefs > 0) --gBindingRefs;
}

int TlsContextSlot() { return gContextSlot; }

bool UseDefaultTrustStore(SSL_CTX* ctx) {
  std::lock_guard<std::mutex> g(gTrustStoreLock);
  if (!gTrustStore) {
    X509_STORE* store = X509_STORE_new();
    if (!store) return false;
    if (!SetDefaultPaths(store)) {
      X509_STORE_free(store);
      return false;
    }
    gTrustStore = store;
  }
  SSL_CTX_set1_cert_store(ctx, gTrustStore);
  return true;
}

bool IdentifyTlsFile(const std::string& name, TTlsFileId& id) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id = {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
        st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
  return true;
}

std::string PassPhraseDigest(const std::string& phrase) {
  // Made once; a failed draw leaves it zero, which only makes the digest unsalted.
  static const std::array<unsigned char, 32> salt = [] {
    std::array<unsigned char, 32> s{};
    if (RAND_bytes(s.data(), static_cast<int>(s.size())) != 1) s.fill(0);
    return s;
  }();
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_MD_CTX* c = EVP_MD_CTX_new();
  const bool ok = c && EVP_DigestInit_ex(c, EVP_sha256(), nullptr) == 1 &&
                  EVP_DigestUpdate(c, salt.data(), salt.size()) == 1 &&
                  EVP_DigestUpdate(c, phrase.data(), phrase.size()) == 1 &&
                  EVP_DigestFinal_ex(c, md, &len) == 1;
  EVP_MD_CTX_free(c);  // cleanses the digest's state
  std::string digest = ok ? std::string(reinterpret_cast<const char*>(md), len) : std::string();
  OPENSSL_cleanse(md, sizeof md);
  return digest;
}

bool UseDecodedKey(SSL_CTX* ctx, const TTlsFileId& id, const std::string& passDigest) {
  if (passDigest.empty()) return false;  // pass phrases cannot be told apart
  std::lock_guard<std::mutex> g(gDecodedLock);
  for (const TDecodedKey& k : gKeys)
    if (k.file == id && k.passDigest == passDigest && SSL_CTX_use_PrivateKey(ctx, k.key) == 1)
      return true;
  return false;
}

void RememberDecodedKey(const TTlsFileId& id, const std::string& passDigest, EVP_PKEY* key) {
  if (passDigest.empty() || !key || EVP_PKEY_up_ref(key) != 1) return;
  std::lock_guard<std::mutex> g(gDecodedLock);
  Remember(gKeys, TDecodedKey{id, passDigest, key}, [](TDecodedKey& k) { EVP_PKEY_free(k.key); });
}

bool UseDecodedChain(SSL_CTX* ctx, const TTlsFileId& id) {
  std::lock_guard<std::mutex> g(gDecodedLock);
  for (const TDecodedChain& c : gChains) {
    if (!(c.file == id)) continue;
    bool ok = SSL_CTX_use_certificate(ctx, c.certs.front()) == 1 &&
              SSL_CTX_clear_chain_certs(ctx) == 1;
    for (std::size_t i = 1; ok && i < c.certs.size(); ++i)
      ok = SSL_CTX_add1_chain_cert(ctx, c.certs[i]) == 1;
    if (ok) return true;
    ERR_clear_error();  // the caller reads the file after all: its errors are the ones to report
    return false;
  }
  return false;
}

void RememberDecodedChain(const TTlsFileId& id, SSL_CTX* ctx) {
  X509* leaf = SSL_CTX_get0_certificate(ctx);
  STACK_OF(X509)* chain = nullptr;
  if (!leaf || SSL_CTX_get0_chain_certs(ctx, &chain) != 1) return;
  TDecodedChain entry{id, {}};
  X509_up_ref(leaf);
  entry.certs.push_back(leaf);
  for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
    X509* c = sk_X509_value(chain, i);
    X509_up_ref(c);
    entry.certs.push_back(c);
  }
  std::lock_guard<std::mutex> g(gDecodedLock);
  Remember(gChains, std::move(entry), [](TDecodedChain& c) {
    for (X509* x : c.certs) X509_free(x);
  });
}

std::shared_ptr<TSharedSslContext> TSharedSslContext::Adopt(SSL_CTX* ctx) {
  return std::shared_ptr<TSharedSslContext>(new TSharedSslContext(ctx, {}));
}

std::shared_ptr<TSharedSslContext> TSharedSslContext::TakeParked(const std::string& recipe) {
  if (recipe.empty()) return nullptr;
  SSL_CTX* ctx = nullptr;
  {
    std::lock_guard<std::mutex> g(gParkingLock);
    for (auto it = gParked.rbegin(); it != gParked.rend(); ++it) {
      if (it->recipe != recipe) continue;
      ctx = it->ctx;
      gParked.erase(std::next(it).base());
      break;
    }
  }
  if (!ctx) return nullptr;
  return std::shared_ptr<TSharedSslContext>(new TSharedSslContext(ctx, recipe));
}

void TSharedSslContext::Detach() {
  SSL_CTX_set_default_passwd_cb_userdata(ctx_, nullptr);
  if (gContextSlot >= 0) SSL_CTX_set_ex_data(ctx_, gContextSlot, nullptr);
}

TSharedSslContext::~TSharedSslContext() {
  if (!ctx_) return;
  if (recipe_.empty()) {
    SSL_CTX_free(ctx_);
    return;
  }
  Detach();  // nothing of the TTlsContext it served stays attached
  SSL_CTX* evicted = nullptr;
  {
    std::lock_guard<std::mutex> g(gParkingLock);
    if (gParked.size() >= kParkedContexts) {
      evicted = gParked.front().ctx;
      gParked.erase(gParked.begin());
    }
    gParked.push_back({std::move(recipe_), ctx_});
  }
  SSL_CTX_free(evicted);  // no lock needed: nothing else holds it
}

}  // namespace net
