#pragma once
// Framing of one HTTP response, without sockets: fed the bytes that arrived, it reads the status
// line and the header fields into a THttpResponse, decides whether and how a body follows, hands
// body bytes to its sink and returns how many bytes it consumed. Bytes it leaves unconsumed (a
// header line not yet ended, bytes behind a body of known length) belong to the caller.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Limits.h"

namespace net {

enum THttpChunkState { httpChunkGetSize, httpChunkGetExt, httpChunkGetData, httpChunkSkipDataEnd, httpChunkDone };

// What the header of a response set. Owned by the client; the framer writes into it.
struct THttpResponse {
  std::int32_t StatusCode = 0;
  std::string ReasonPhrase;     // kept across responses until a status line sets it
  std::string ResponseVer;      // "1.0", "1.1"; kept across responses
  std::vector<std::string> RcvdHeader;
  std::int64_t ContentLength = -1;
  std::string ContentType;      // lower case
  std::string TransferEncoding; // lower case
  std::string ContentEncoding;  // as sent
  std::vector<std::string> AuthChallenges;  // www-authenticate / proxy-authenticate, not used
  bool CloseReq = true;         // the connection closes after this response
};

class TResponseFramer {
 public:
  // Limits (ELimitExceeded). A header block (all lines of one response, interim ones included) larger than
  // MaxHeaderBytes fails; a chunk size needing more than 32 bits fails, and so does a chunk
  // line (size, extensions, the line end behind the data) or a trailer longer than MaxHeaderBytes.
  std::size_t MaxHeaderBytes = kMaxHeaderBytes;
  static constexpr std::uint32_t kMaxChunkSize = 0x7FFFFFFF;

  enum class TPhase { Header, Body, Complete };

  struct TSink {
    // A "location" field, while the header is read.
    std::function<void(const std::string& value)> OnLocation;
    // The first body bytes of the response are about to be delivered.
    std::function<void()> OnBodyBegin;
    std::function<void(const char* data, std::size_t len)> OnBodyData;
  };

  explicit TResponseFramer(THttpResponse& response) : r_(response) {}

  // Starts a response to a request of the given version ("1.0"/"1.1"); head: the method is HEAD.
  // Resets the per-response counters; the response fields themselves are reset by the caller.
  void Begin(const std::string& requestVer, bool head);

  // Consumes what it can of data. Stops after the header when no body follows and after the
  // body when it is complete. Throws ELimitExceeded when a limit is broken; anything the sink
  // throws passes through.
  std::size_t Feed(const char* data, std::size_t len);

  // A new connection: what the previous one still owed (a trailer) is forgotten, and the next
  // response starts from nothing.
  void NewConnection();

  // The connection closed: for a body that runs until the close (or was cut) this completes it.
  // Returns true when the document was completed by this call.
  bool CompleteOnClose();

  TPhase Phase() const { return phase_; }
  bool HeaderBegun() const { return headerBegun_; }  // a header line arrived, the blank one not yet
  bool HeaderEnded() const { return headerEnded_; }
  bool BodyFollows() const { return bodyFollows_; }
  bool Chunked() const { return chunked_; }
  std::int32_t HeaderLineCount() const { return headerLineCount_; }
  std::int32_t BodyLineCount() const { return bodyLineCount_; }
  std::uint64_t RcvdCount() const { return rcvdCount_; }
  THttpChunkState ChunkState() const { return chunkState_; }

  TSink Sink;

 private:
  void HeaderLine(const std::string& line);
  void StatusLine(const std::string& line);
  void HeaderField(const std::string& line);
  void EndOfHeader();
  std::size_t DeliverBody(const char* data, std::size_t len);
  std::size_t Chunks(const char* data, std::size_t len);
  std::size_t Body(const char* data, std::size_t len);
  void Complete();
  std::size_t SkipTrailer(const char* data, std::size_t len);
  // Skips from data[i] up to and including the next LF, counting the bytes against the chunk
  // line bound; true when the LF was reached, false when the line goes on in the next piece.
  bool SkipChunkLine(const char* data, std::size_t len, std::size_t& i);
  void CountChunkLine(std::size_t bytes);

  THttpResponse& r_;
  std::string requestVer_ = "1.0";
  bool head_ = false;
  TPhase phase_ = TPhase::Header;
  bool headerBegun_ = false;
  bool headerEnded_ = false;
  bool bodyFollows_ = false;
  bool chunked_ = false;
  std::int32_t headerLineCount_ = 0;
  std::int32_t bodyLineCount_ = 0;
  std::size_t headerBytes_ = 0;
  std::uint64_t rcvdCount_ = 0;
  THttpChunkState chunkState_ = httpChunkGetSize;
  std::uint64_t chunkLength_ = 0;
  std::uint64_t chunkRcvd_ = 0;
  std::size_t chunkLineBytes_ = 0;
  // After the last chunk: the trailer section up to its blank line is still to be skipped, also
  // when it arrives behind the delivery that completed the document.
  bool trailerPending_ = false;
  std::size_t trailerLineLen_ = 0;
  std::size_t trailerBytes_ = 0;  // bounded by MaxHeaderBytes
};

}  // namespace net
