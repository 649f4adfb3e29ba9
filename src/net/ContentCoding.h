#pragma once
// Content decoding: a process-wide registry of codings, and per client a decoder that builds,
// for each response, a chain of decoders in the order the codings were applied, each writing into
// the next and the last into the client's RcvdStream.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Limits.h"

namespace base {
class TMemoryStream;
}

namespace net {

// Where a decoder sends its output.
using TWriteProc = std::function<void(const char* data, std::size_t len)>;

// A decompression failure; the text names the zlib result ("Data error", "Buffer error", ...).
class EDecompressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The zlib result text of the decompression error.
std::string ZlibErrorText(int result);

// One decoder instance of a response.
class TContentCoding {
 public:
  explicit TContentCoding(TWriteProc out) : out_(std::move(out)) {}
  virtual ~TContentCoding() = default;
  virtual void WriteBuffer(const char* data, std::size_t len) = 0;
  virtual void Complete() {}

 protected:
  TWriteProc out_;
};

// A coding class: its names, whether it can be used, how to make an instance.
struct TContentCodingClass {
  std::string Coding;                 // comma-separated names
  std::function<bool()> Active;       // can be used now
  std::function<std::unique_ptr<TContentCoding>(TWriteProc)> Create;
  const TContentCodingClass* Base = nullptr;  // the class it derives from
  bool DerivesFrom(const TContentCodingClass* c) const;
};

const TContentCodingClass& IdentityCodingClass();  // "identity"
const TContentCodingClass& AnyCodingClass();       // "*"
const TContentCodingClass& ZlibCodingClass();      // "gzip, deflate"

// Passes its input through unchanged.
class TIdentityCoding : public TContentCoding {
 public:
  using TContentCoding::TContentCoding;
  void WriteBuffer(const char* data, std::size_t len) override { out_(data, len); }
};

// gzip, zlib-wrapped and raw deflate: buffers the input, inflates it in one pass at Complete.
class TZlibCoding : public TContentCoding {
 public:
  // maxInput: a coded body larger than this fails with ELimitExceeded (the decoded size is
  // bounded by the decoder's direct writer).
  TZlibCoding(TWriteProc out, std::size_t maxInput);
  void WriteBuffer(const char* data, std::size_t len) override;
  void Complete() override;
  static bool IsActive();

 private:
  std::string input_;
  std::size_t maxInput_;
};

// The process-wide registry: identity (quality 0), "*" (quality 0), and zlib (quality 1.0).
struct TContentCodingEntry {
  const TContentCodingClass* Class;
  float Quality;
};
void RegisterContentCoding(const TContentCodingClass& c, float quality);
void UnregisterContentCoding(const TContentCodingClass& c);  // the class and classes derived from it
std::vector<TContentCodingEntry> ContentCodingRegistry();    // a copy, in registration order


class TContentDecoder {
 public:
  struct TItem {
    const TContentCodingClass* Class;
    bool Enabled = true;
    float Quality = 0;
  };

  TContentDecoder();  // takes the registry as it stands now

  bool Enabled = false;
  bool UseQuality = false;
  std::size_t MaxDecodedBytes = kMaxDecodedBody;
  // The stream the direct writer writes to, looked up at each write.
  std::function<base::TMemoryStream*()> Stream;
  // Given after every direct write (document data).
  std::function<void(const char* data, std::size_t len)> OnDocumentData;

  std::string HeaderText() const;
  std::vector<TItem>& Items() { return items_; }

  // Builds the chain for the response's content encoding; false when a coding is unknown
  // (the body is then stored as received).
  bool Prepare(const std::string& encodings);
  void Write(const char* data, std::size_t len);  // the input writer
  void Complete();
  void Reset();  // drops the chain
  std::size_t DecodedBytes() const { return decoded_; }
  std::size_t ChainLength() const { return chain_.size(); }

 private:
  void Direct(const char* data, std::size_t len);

  std::vector<TItem> items_;
  std::vector<std::unique_ptr<TContentCoding>> chain_;
  std::size_t decoded_ = 0;
};

// Splits a coding list at commas and blanks; a quoted token may hold either.
std::vector<std::string> SplitCodings(const std::string& text);

}  // namespace net
