#pragma once
// The process-wide state behind every TTlsContext, in one place: the library binding, the
// system's trust store, the key and certificate files already decoded, and the OpenSSL contexts
// left by destroyed TTlsContexts. Each of them has a lock of its own, taken inside the functions
// below and never held when one returns; no function here takes two of them or calls back into a
// TTlsContext. A caller may hold its TTlsContext's lock, so the order is always a context's lock
// first, then one of these.
//
// What is shared is shared safely: the trust store, the decoded keys and the certificates are
// never changed after they are made, and OpenSSL counts and locks the references to them. An
// OpenSSL context is the one thing that is changed after it is made (a TTlsContext loads a new key
// or certificate file into its own), so it serves one TTlsContext and that context's connections
// only: a TSharedSslContext hands it back to the pool when the last of them lets go, not before.
#include <sys/types.h>

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct evp_pkey_st EVP_PKEY;

namespace net {

class TTlsContext;

// --- Library binding --------------------------------------------------------------------------
// OpenSSL is linked at build time, so binding means checking that the library the loader picked
// is of the major version the program was built against and initialising it once. The library is
// never cleaned up explicitly: OpenSSL 3 cannot be initialised again after OPENSSL_cleanup, and
// it frees itself at process exit.

// Takes one reference to the binding, binding the library with the first. Takes the binding
// lock. Raises ETlsContextException when the library is unsuitable or cannot be initialised;
// then no reference is taken.
void BindTlsLibrary();
// Gives back a reference taken by BindTlsLibrary. Takes the binding lock.
void ReleaseTlsLibrary();
// The index of the OpenSSL context's slot that points at its TTlsContext; valid once the
// library is bound, and never changing after. Takes no lock.
int TlsContextSlot();

// --- Trust store ------------------------------------------------------------------------------
// Gives ctx the system's default trust store, read once for the whole process; false when it
// cannot be read (the OpenSSL error queue holds the reason), and the next call tries again.
// Takes the trust store lock. ctx takes its own reference to the store; the store itself
// belongs to this file and lives until the process ends.
bool UseDefaultTrustStore(SSL_CTX* ctx);

// --- Decoded keys and certificate chains ----------------------------------------------------
// A file is known by its device, inode, size and modification and change times, so a replaced
// or rewritten file is read again.
struct TTlsFileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
  bool operator==(const TTlsFileId&) const = default;
};
// Fills id for a regular file; false when there is none by that name. Takes no lock.
bool IdentifyTlsFile(const std::string& name, TTlsFileId& id);

// A digest of the pass phrase under a random value made once per process, so a cache can tell
// pass phrases apart without keeping any of them: 32 bytes, never the phrase itself. The buffer
// it works in is cleansed before it returns. Takes no lock of this file.
std::string PassPhraseDigest(const std::string& phrase);

// Gives ctx the key decoded earlier from the file id with the pass phrase of passDigest; false
// when there is none (ctx is then unchanged). Takes the decoded files lock. The cache keeps its
// reference; ctx takes one of its own. The caller holds the lock of the TTlsContext owning ctx.
bool UseDecodedKey(SSL_CTX* ctx, const TTlsFileId& id, const std::string& passDigest);
// Remembers key, decoded from the file id with the pass phrase of passDigest, taking a reference
// of its own (the caller keeps its reference). The oldest entry gives way when the cache is full.
// Takes the decoded files lock.
void RememberDecodedKey(const TTlsFileId& id, const std::string& passDigest, EVP_PKEY* key);
// Gives ctx the certificate and chain read earlier from the file id; false when there is none,
// or when ctx refused it (the error queue is then cleared; the caller reads the file). Takes
// the decoded files lock; ctx takes its own references. The caller holds the lock of the
// TTlsContext owning ctx.
bool UseDecodedChain(SSL_CTX* ctx, const TTlsFileId& id);
// Remembers the certificate and chain that ctx holds now, read from the file id, taking its own
// references to them. Takes the decoded files lock.
void RememberDecodedChain(const TTlsFileId& id, SSL_CTX* ctx);

// --- Parked OpenSSL contexts --------------------------------------------------------------------
// Making an OpenSSL context costs more CPU than the handshake it serves, and every worker makes
// one; so the context of a destroyed TTlsContext is parked, and the next TTlsContext made from
// the same recipe (the settings and file identities the context was made from) takes it over.
//
// An OpenSSL context is held through a TSharedSslContext: the TTlsContext it belongs to holds
// one reference and every connection made on it holds another for as long as its SSL object
// lives. The context is parked, or freed when it has no recipe, by the destructor, that is when
// the last holder lets go. So a context still in use by a connection cannot be handed to another
// TTlsContext, whichever of the TTlsContext and the connection goes first.
class TSharedSslContext {
 public:
  // Parks the context under its recipe, or frees it when the recipe is empty. Parking takes the
  // parking lock and frees the oldest parked context when the pool is full.
  ~TSharedSslContext();
  TSharedSslContext(const TSharedSslContext&) = delete;
  TSharedSslContext& operator=(const TSharedSslContext&) = delete;

  // Borrowed: valid as long as the caller holds a reference to this object.
  SSL_CTX* Get() const { return ctx_; }

 private:
  // Only a TTlsContext makes, unparks and changes one; a connection only holds it.
  friend class TTlsContext;

  // Takes over ctx with the caller's reference to it; no recipe, so it is not parked unless
  // SetRecipe gives it one.
  static std::shared_ptr<TSharedSslContext> Adopt(SSL_CTX* ctx);
  // The most recently parked context made from recipe, unparked, with that recipe; null when
  // none is parked or recipe is empty. Takes the parking lock. The returned holder is the
  // context's only one.
  static std::shared_ptr<TSharedSslContext> TakeParked(const std::string& recipe);

  // What the context was made from; empty when it may not be parked (a file was loaded into it
  // after its set-up). The owning TTlsContext sets it under its own lock while it holds a
  // reference; the destructor alone reads it, after every holder has let go.
  void SetRecipe(std::string recipe) { recipe_ = std::move(recipe); }

  // Detaches the context from the TTlsContext that owned it (the pass-phrase callback's data and
  // the context's slot), which may be gone before the context's last connection. The owner calls
  // it under its own lock as it lets go; parking detaches again.
  void Detach();

  TSharedSslContext(SSL_CTX* ctx, std::string recipe) : ctx_(ctx), recipe_(std::move(recipe)) {}

  SSL_CTX* ctx_;
  std::string recipe_;
};

}  // namespace net
