#include "ResponseFramer.h"

#include <cstring>

#include "NetText.h"

namespace net {
namespace {

std::string TrimBlanks(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// A signed 64-bit decimal; false when the text is not one.
bool ParseInt64(const std::string& s, std::int64_t& out) {
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i == s.size()) return false;
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    const unsigned d = static_cast<unsigned>(s[i] - '0');
    if (v > (static_cast<std::uint64_t>(INT64_MAX) - d) / 10) return false;
    v = v * 10 + d;
  }
  out = neg ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void TResponseFramer::Begin(const std::string& requestVer, bool head) {
  requestVer_ = requestVer;
  head_ = head;
  phase_ = TPhase::Header;
  headerBegun_ = headerEnded_ = bodyFollows_ = chunked_ = false;
  headerLineCount_ = 0;
  bodyLineCount_ = 0;
  headerBytes_ = 0;
  rcvdCount_ = 0;
  chunkState_ = httpChunkGetSize;
  chunkLength_ = chunkRcvd_ = 0;
}

void TResponseFramer::NewConnection() {
  trailerPending_ = false;
  trailerLineLen_ = trailerBytes_ = 0;
  Begin(requestVer_, head_);
}

std::size_t TResponseFramer::Feed(const char* data, std::size_t len) {
  std::size_t used = 0;
  if (trailerPending_ && phase_ != TPhase::Body) used = SkipTrailer(data, len);
  while (used < len && phase_ != TPhase::Complete) {
    if (phase_ == TPhase::Body) {
      used += DeliverBody(data + used, len - used);
      continue;
    }
    const char* p = data + used;
    const std::size_t avail = len - used;
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', avail));
    if (!lf) {
      if (headerBytes_ + avail > MaxHeaderBytes) throw ELimitExceeded("Response header too large");
      break;
    }
    const std::size_t lineLen = static_cast<std::size_t>(lf - p);
    headerBytes_ += lineLen + 1;
    if (headerBytes_ > MaxHeaderBytes) throw ELimitExceeded("Response header too large");
    std::size_t l = lineLen;
    if (l > 0 && p[l - 1] == '\r') --l;
    used += lineLen + 1;
    HeaderLine(std::string(p, l));
  }
  return used;
}

void TResponseFramer::HeaderLine(const std::string& line) {
  // -1 marks the end of an interim 100 response: the next line is a status line again, and
  // the header stays begun (it is one header block for the bound and for a close inside it).
  if (headerLineCount_ == 0) headerBegun_ = true;
  else if (headerLineCount_ == -1) headerLineCount_ = 0;
  ++headerLineCount_;
  if (line.empty()) {
    EndOfHeader();
    return;
  }
  r_.RcvdHeader.push_back(line);
  if (headerLineCount_ == 1) StatusLine(line);
  else HeaderField(line);
}

void TResponseFramer::StatusLine(const std::string& line) {
  if (line.compare(0, 8, "HTTP/1.0") != 0 && line.compare(0, 8, "HTTP/1.1") != 0) return;
  r_.ResponseVer = line.substr(5, 3);
  if (requestVer_ == "1.1" && r_.ResponseVer == "1.0") r_.CloseReq = true;
  else if (requestVer_ == "1.0") r_.CloseReq = true;
  else if (requestVer_ == "1.1") r_.CloseReq = false;
  std::size_t p = 9;
  while (p < line.size() && !(line[p] >= '0' && line[p] <= '9')) ++p;
  if (p >= line.size()) {
    r_.StatusCode = 0;
    r_.ReasonPhrase.clear();
    return;
  }
  const std::string code = line.substr(p, 3);
  bool digits = true;
  for (char c : code) digits = digits && c >= '0' && c <= '9';
  r_.StatusCode = digits ? std::stoi(code) : 0;
  r_.ReasonPhrase = p + 4 < line.size() ? line.substr(p + 4) : std::string();
}

void TResponseFramer::HeaderField(const std::string& line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  const std::string name = AsciiLower(line.substr(0, colon));
  std::size_t v = colon + 1;
  while (v < line.size() && line[v] == ' ') ++v;
  const std::string value = line.substr(v);
  if (name == "location") {
    if (Sink.OnLocation) Sink.OnLocation(value);
  } else if (name == "content-length") {
    std::int64_t n = -1;
    r_.ContentLength = ParseInt64(TrimBlanks(value), n) ? n : -1;
  } else if (name == "transfer-encoding") {
    r_.TransferEncoding = AsciiLower(value);
  } else if (name == "content-type") {
    r_.ContentType = AsciiLower(value);
  } else if (name == "content-encoding") {
    r_.ContentEncoding = value;
  } else if (name == "connection" || name == "proxy-connection") {
    const std::string v2 = AsciiLower(TrimBlanks(value));
    if (v2 == "close") r_.CloseReq = true;
    else if (v2 == "keep-alive") r_.CloseReq = false;
  } else if (name == "www-authenticate" || name == "proxy-authenticate") {
    r_.AuthChallenges.push_back(value);
  }
}

void TResponseFramer::EndOfHeader() {
  if (r_.ResponseVer == "1.1" && r_.StatusCode == 100) {
    r_.RcvdHeader.clear();
    headerLineCount_ = -1;  // see HeaderLine
    return;
  }
  headerBegun_ = false;
  headerEnded_ = true;
  const std::int32_t sc = r_.StatusCode;
  const bool isChunked = r_.TransferEncoding == "chunked";
  const bool noBody = (r_.ContentLength == -1 && !isChunked &&
                       (sc < 200 || sc == 204 || sc == 301 || sc == 302 || sc == 304)) ||
                      (r_.ContentLength == 0 && !isChunked) || head_;
  if (noBody) {
    phase_ = TPhase::Complete;
    return;
  }
  bodyFollows_ = true;
  chunked_ = isChunked;
  phase_ = TPhase::Body;
}

std::size_t TResponseFramer::DeliverBody(const char* data, std::size_t len) {
  std::size_t n = len;
  // A chunked body is framed by its chunks alone, whatever a content-length says.
  if (!chunked_ && r_.ContentLength >= 0 &&
      static_cast<std::uint64_t>(r_.ContentLength) < rcvdCount_ + n)
    n = static_cast<std::size_t>(static_cast<std::uint64_t>(r_.ContentLength) - rcvdCount_);
  if (n == 0) {
    Complete();
    return 0;
  }
  return Body(data, n);
}

std::size_t TResponseFramer::Body(const char* data, std::size_t len) {
  if (bodyLineCount_ == 0) {
    chunkLength_ = chunkRcvd_ = 0;
    chunkLineBytes_ = 0;
    chunkState_ = httpChunkGetSize;
    if (Sink.OnBodyBegin) Sink.OnBodyBegin();
  }
  ++bodyLineCount_;
  if (!chunked_) {
    if (Sink.OnBodyData) Sink.OnBodyData(data, len);
    rcvdCount_ += len;
    if (r_.ContentLength >= 0 && rcvdCount_ == static_cast<std::uint64_t>(r_.ContentLength)) Complete();
    return len;
  }
  return Chunks(data, len);
}

std::size_t TResponseFramer::Chunks(const char* data, std::size_t len) {
  std::size_t i = 0;
  while (i < len && chunkState_ != httpChunkDone) {
    switch (chunkState_) {
      case httpChunkGetSize: {
        const int d = HexDigit(data[i]);
        if (d < 0) {
          chunkState_ = httpChunkGetExt;  // not consumed
          break;
        }
        chunkLength_ = chunkLength_ * 16 + static_cast<unsigned>(d);
        if (chunkLength_ > kMaxChunkSize) throw ELimitExceeded("Chunk size too large");
        CountChunkLine(1);  // leading zeros without end
        ++i;
        break;
      }
      case httpChunkGetExt:
        if (SkipChunkLine(data, len, i)) chunkState_ = chunkLength_ == 0 ? httpChunkDone : httpChunkGetData;
        break;
      case httpChunkGetData: {
        std::size_t take = len - i;
        if (take > chunkLength_ - chunkRcvd_) take = static_cast<std::size_t>(chunkLength_ - chunkRcvd_);
        if (take > 0 && Sink.OnBodyData) Sink.OnBodyData(data + i, take);
        rcvdCount_ += take;
        chunkRcvd_ += take;
        i += take;
        if (chunkRcvd_ == chunkLength_) chunkState_ = httpChunkSkipDataEnd;
        break;
      }
      case httpChunkSkipDataEnd:
        if (SkipChunkLine(data, len, i)) {
          chunkLength_ = chunkRcvd_ = 0;
          chunkState_ = httpChunkGetSize;
        }
        break;
      case httpChunkDone:
        break;
    }
  }
  if (chunkState_ != httpChunkDone) return len;
  Complete();
  // The document is complete at the last chunk; its trailer lines and blank line are skipped
  // here or, when they arrive later, in front of the next response.
  trailerPending_ = true;
  trailerLineLen_ = 0;
  trailerBytes_ = 0;
  return i + SkipTrailer(data + i, len - i);
}

bool TResponseFramer::SkipChunkLine(const char* data, std::size_t len, std::size_t& i) {
  const char* lf = static_cast<const char*>(std::memchr(data + i, '\n', len - i));
  if (!lf) {
    CountChunkLine(len - i);
    i = len;
    return false;
  }
  CountChunkLine(static_cast<std::size_t>(lf - (data + i)));  // however it was split
  i = static_cast<std::size_t>(lf - data) + 1;
  chunkLineBytes_ = 0;
  return true;
}

void TResponseFramer::CountChunkLine(std::size_t bytes) {
  // A chunk-size line (size, extensions, the line end after the data) that never ends would
  // keep the request alive without a byte of body: bounded like a header.
  chunkLineBytes_ += bytes;
  if (chunkLineBytes_ > MaxHeaderBytes) throw ELimitExceeded("Chunk line too large");
}

std::size_t TResponseFramer::SkipTrailer(const char* data, std::size_t len) {
  std::size_t i = 0;
  while (i < len && trailerPending_) {
    // Trailer lines are never read, but a trailer that never ends is bounded like a header.
    if (++trailerBytes_ > MaxHeaderBytes) throw ELimitExceeded("Trailer too large");
    const char c = data[i++];
    if (c == '\n') {
      if (trailerLineLen_ == 0) trailerPending_ = false;  // the blank line ends the trailer
      trailerLineLen_ = 0;
    } else if (c != '\r') {
      ++trailerLineLen_;
    }
  }
  return i;
}

void TResponseFramer::Complete() {
  bodyLineCount_ = 0;
  phase_ = TPhase::Complete;
}

bool TResponseFramer::CompleteOnClose() {
  if (phase_ != TPhase::Body || bodyLineCount_ == 0) return false;
  Complete();
  return true;
}

}  // namespace net
