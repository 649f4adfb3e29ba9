#include "ContentCoding.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

#include "base/MemoryStream.h"
#include "NetText.h"

namespace net {

std::string ZlibErrorText(int result) {
  switch (result) {
    case Z_ERRNO: return "Errno";
    case Z_STREAM_ERROR: return "Stream error";
    case Z_DATA_ERROR: return "Data error";
    case Z_MEM_ERROR: return "Memory error";
    case Z_BUF_ERROR: return "Buffer error";
    case Z_VERSION_ERROR: return "Version error";
    default: return "Unknown error " + std::to_string(result);
  }
}

bool TContentCodingClass::DerivesFrom(const TContentCodingClass* c) const {
  for (const TContentCodingClass* p = this; p; p = p->Base)
    if (p == c) return true;
  return false;
}

namespace {

// A class whose codings pass their input through unchanged.
TContentCodingClass PassThroughClass(std::string name) {
  return {std::move(name), [] { return true; },
          [](TWriteProc out) -> std::unique_ptr<TContentCoding> { return std::make_unique<TIdentityCoding>(std::move(out)); },
          nullptr};
}

}  // namespace

const TContentCodingClass& IdentityCodingClass() {
  static const TContentCodingClass c = PassThroughClass("identity");
  return c;
}

const TContentCodingClass& AnyCodingClass() {
  static const TContentCodingClass c = PassThroughClass("*");
  return c;
}

const TContentCodingClass& ZlibCodingClass() {
  static const TContentCodingClass c{
      "gzip, deflate", [] { return TZlibCoding::IsActive(); },
      [](TWriteProc out) -> std::unique_ptr<TContentCoding> {
        return std::make_unique<TZlibCoding>(std::move(out), kMaxDecodedBody);
      },
      nullptr};
  return c;
}

// --- zlib ---

TZlibCoding::TZlibCoding(TWriteProc out, std::size_t maxInput)
    : TContentCoding(std::move(out)), maxInput_(maxInput) {}

bool TZlibCoding::IsActive() {
  // Any zlib of the 1.x line offers the calls used here; the build links a current one.
  const char* v = zlibVersion();
  return v && v[0] == '1' && v[1] == '.';
}

void TZlibCoding::WriteBuffer(const char* data, std::size_t len) {
  if (input_.size() + len > maxInput_) throw ELimitExceeded("Compressed body too large");
  input_.append(data, len);
}

namespace {

struct TInflateBackState {
  const unsigned char* in;
  unsigned inLen;
  bool given = false;
  TWriteProc* out;
  std::exception_ptr error;  // what the writer threw: never thrown through zlib
};

unsigned InFunc(void* desc, z_const unsigned char** buf) {
  auto* s = static_cast<TInflateBackState*>(desc);
  if (s->given) return 0;
  s->given = true;
  *buf = const_cast<unsigned char*>(s->in);
  return s->inLen;
}

int OutFunc(void* desc, unsigned char* buf, unsigned len) {
  auto* s = static_cast<TInflateBackState*>(desc);
  try {
    (*s->out)(reinterpret_cast<const char*>(buf), len);
    return 0;
  } catch (...) {
    s->error = std::current_exception();
    return 1;
  }
}

// Tries a wrapper: returns the bytes its header took, or -1 when the data does not carry it.
long TryWrapper(const std::string& input, int windowBits) {
  z_stream zs{};
  if (inflateInit2(&zs, windowBits) != Z_OK) return -1;
  unsigned char scratch[64];
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  zs.avail_in = static_cast<uInt>(input.size());
  zs.next_out = scratch;
  zs.avail_out = sizeof scratch;
  const int rc = inflate(&zs, Z_BLOCK);
  const long used = static_cast<long>(zs.total_in);
  inflateEnd(&zs);
  return rc == Z_OK ? used : -1;
}

}  // namespace

void TZlibCoding::Complete() {
  if (input_.size() > 0xFFFFFFFFu) throw EDecompressionError(ZlibErrorText(Z_BUF_ERROR));
  long offset = TryWrapper(input_, 15);
  if (offset < 0) offset = TryWrapper(input_, 31);
  if (offset < 0) offset = 0;

  z_stream zs{};
  std::unique_ptr<unsigned char[]> window(new unsigned char[32768]);
  int rc = inflateBackInit(&zs, 15, window.get());
  if (rc != Z_OK) throw EDecompressionError(ZlibErrorText(rc));
  TInflateBackState st{reinterpret_cast<const unsigned char*>(input_.data()) + offset,
                       static_cast<unsigned>(input_.size() - static_cast<std::size_t>(offset)), false,
                       &out_, nullptr};
  zs.next_in = Z_NULL;
  zs.avail_in = 0;
  rc = inflateBack(&zs, InFunc, &st, OutFunc, &st);
  inflateBackEnd(&zs);
  std::string().swap(input_);
  if (st.error) std::rethrow_exception(st.error);
  if (rc < 0) throw EDecompressionError(ZlibErrorText(rc));
}

// --- registry ---

namespace {

struct TRegistry {
  std::mutex mutex;
  std::vector<TContentCodingEntry> entries;
  TRegistry() {
    entries.push_back({&IdentityCodingClass(), 0.0f});
    entries.push_back({&AnyCodingClass(), 0.0f});
    entries.push_back({&ZlibCodingClass(), 1.0f});
  }
};

TRegistry& Registry() {
  static TRegistry r;
  return r;
}

}  // namespace

void RegisterContentCoding(const TContentCodingClass& c, float quality) {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.entries.push_back({&c, quality});
}

void UnregisterContentCoding(const TContentCodingClass& c) {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.entries.erase(std::remove_if(r.entries.begin(), r.entries.end(),
                                 [&c](const TContentCodingEntry& e) { return e.Class->DerivesFrom(&c); }),
                  r.entries.end());
}

std::vector<TContentCodingEntry> ContentCodingRegistry() {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.entries;
}

std::vector<std::string> SplitCodings(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && (c == ',' || c == ' ')) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// --- decoder ---

TContentDecoder::TContentDecoder() {
  for (const auto& e : ContentCodingRegistry()) items_.push_back(TItem{e.Class, true, e.Quality});
}

std::string TContentDecoder::HeaderText() const {
  if (!Enabled) return "";
  std::string text;
  for (const TItem& it : items_) {
    if (!it.Enabled || !it.Class->Active()) continue;
    if (UseQuality) {
      char q[32];
      std::snprintf(q, sizeof q, "%.1f", static_cast<double>(it.Quality));
      if (!text.empty()) text += ", ";
      text += it.Class->Coding + ";q=" + q;
    } else if (it.Quality > 0) {
      if (!text.empty()) text += ", ";
      text += it.Class->Coding;
    }
  }
  return text;
}

void TContentDecoder::Reset() {
  chain_.clear();
  decoded_ = 0;
}

bool TContentDecoder::Prepare(const std::string& encodings) {
  Reset();
  if (!Enabled || encodings.empty()) return true;
  for (const std::string& token : SplitCodings(encodings)) {
    const std::string want = AsciiLower(token);
    const TItem* found = nullptr;
    for (auto it = items_.rbegin(); it != items_.rend() && !found; ++it) {
      for (const std::string& name : SplitCodings(it->Class->Coding))
        if (AsciiLower(name) == want) {
          found = &*it;
          break;
        }
    }
    if (!found) {
      chain_.clear();
      return false;
    }
    TWriteProc out;
    if (chain_.empty()) {
      out = [this](const char* d, std::size_t n) { Direct(d, n); };
    } else {
      TContentCoding* next = chain_.back().get();
      out = [next](const char* d, std::size_t n) { next->WriteBuffer(d, n); };
    }
    chain_.push_back(found->Class->Create(std::move(out)));
  }
  return true;
}

void TContentDecoder::Write(const char* data, std::size_t len) {
  if (chain_.empty()) Direct(data, len);
  else chain_.back()->WriteBuffer(data, len);
}

void TContentDecoder::Complete() {
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) (*it)->Complete();
}

void TContentDecoder::Direct(const char* data, std::size_t len) {
  if (decoded_ + len > MaxDecodedBytes) throw ELimitExceeded("Decoded body too large");
  decoded_ += len;
  if (base::TMemoryStream* s = Stream ? Stream() : nullptr) s->Write(data, len);
  if (OnDocumentData) OnDocumentData(data, len);
}

}  // namespace net
