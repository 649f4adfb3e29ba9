// Response framing fed byte sequences: every case is run whole, split in two at every byte
// boundary, and byte by byte, and must give the same result each way.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ResponseFramer.h"

namespace {

using net::ELimitExceeded;
using net::THttpResponse;
using net::TResponseFramer;

struct TOutcome {
  int Status = 0;
  std::string Reason;
  std::string Body;
  std::string Leftover;       // bytes the framer left unconsumed
  bool Complete = false;      // complete without the connection closing
  bool BodyFollows = false;
  bool CloseReq = true;
  std::int64_t ContentLength = -1;
  std::size_t HeaderLines = 0;
  std::string Locations;
  std::string Error;
};

bool operator==(const TOutcome& a, const TOutcome& b) {
  return a.Status == b.Status && a.Reason == b.Reason && a.Body == b.Body && a.Leftover == b.Leftover &&
         a.Complete == b.Complete && a.BodyFollows == b.BodyFollows && a.CloseReq == b.CloseReq &&
         a.ContentLength == b.ContentLength && a.HeaderLines == b.HeaderLines &&
         a.Locations == b.Locations && a.Error == b.Error;
}

std::ostream& operator<<(std::ostream& os, const TOutcome& o) {
  return os << "{status " << o.Status << " reason [" << o.Reason << "] body [" << o.Body << "] left [" << o.Leftover
            << "] complete " << o.Complete << " bodyFollows " << o.BodyFollows << " close " << o.CloseReq
            << " len " << o.ContentLength << " lines " << o.HeaderLines << " loc [" << o.Locations << "] error ["
            << o.Error << "]}";
}

struct TCase {
  const char* Name;
  std::string Bytes;
  TOutcome Expected;
  std::string RequestVer = "1.0";
  bool Head = false;
  std::size_t MaxHeader = net::kMaxHeaderBytes;
};

// Feeds the pieces the way the client does: unconsumed bytes stay in front of the next piece.
TOutcome Frame(const TCase& c, const std::vector<std::string>& pieces) {
  THttpResponse r;
  r.CloseReq = c.RequestVer == "1.0";
  TResponseFramer f(r);
  f.MaxHeaderBytes = c.MaxHeader;
  TOutcome out;
  f.Sink.OnBodyData = [&](const char* d, std::size_t n) { out.Body.append(d, n); };
  f.Sink.OnLocation = [&](const std::string& v) { out.Locations += v + ";"; };
  f.Begin(c.RequestVer, c.Head);
  std::string buf;
  try {
    for (const std::string& p : pieces) {
      buf += p;
      buf.erase(0, f.Feed(buf.data(), buf.size()));
    }
  } catch (const ELimitExceeded& e) {
    TOutcome failed;  // only the error matters after a failure
    failed.Error = e.what();
    return failed;
  }
  out.Complete = f.Phase() == TResponseFramer::TPhase::Complete;
  out.Status = r.StatusCode;
  out.Reason = r.ReasonPhrase;
  out.Leftover = buf;
  out.BodyFollows = f.BodyFollows();
  out.CloseReq = r.CloseReq;
  out.ContentLength = r.ContentLength;
  out.HeaderLines = r.RcvdHeader.size();
  return out;
}

TOutcome O(int status, std::string reason, std::string body, bool complete, bool bodyFollows,
           std::int64_t len, std::size_t lines, std::string leftover = "", bool closeReq = true) {
  TOutcome o;
  o.Status = status;
  o.Reason = std::move(reason);
  o.Body = std::move(body);
  o.Complete = complete;
  o.BodyFollows = bodyFollows;
  o.ContentLength = len;
  o.HeaderLines = lines;
  o.Leftover = std::move(leftover);
  o.CloseReq = closeReq;
  return o;
}

TOutcome Err(std::string text) {
  TOutcome o;
  o.Error = std::move(text);
  return o;
}

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";

std::vector<TCase> Cases() {
  std::vector<TCase> v = {
      {"length shorter than the data", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloXYZ",
       O(200, "OK", "hello", true, true, 5, 2, "XYZ")},
      {"interim 100 skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi",
       O(200, "OK", "hi", true, true, 2, 2)},
      {"chunked with an extension",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;name=value\r\n" + kAlphabet + "\r\n0\r\n\r\n",
       O(200, "OK", kAlphabet, true, true, -1, 2)},
      {"chunk sizes in upper case, several chunks",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n1A\r\n" + kAlphabet + "\r\n3\r\nxyz\r\n0\r\n\r\n",
       O(200, "OK", kAlphabet + "xyz", true, true, -1, 2)},
      {"chunked wins over a content-length",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       O(200, "OK", "abc", true, true, 2, 3)},
      {"chunked wins over a content-length of 0",
       "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       O(200, "OK", "abc", true, true, 0, 3)},
      {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\nXX", O(204, "No Content", "", true, false, -1, 1, "XX")},
      {"302 without length has no body", "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n",
       [] { TOutcome o = O(302, "Found", "", true, false, -1, 2); o.Locations = "/x;"; return o; }()},
      {"303 without length runs to the close", "HTTP/1.1 303 See Other\r\n\r\nabc",
       O(303, "See Other", "abc", false, true, -1, 1)},
      {"HTTP/1.0 body runs to the close", "HTTP/1.0 200 OK\r\n\r\nhello world",
       O(200, "OK", "hello world", false, true, -1, 1)},
      {"blank before the colon is another field", "HTTP/1.1 200 OK\r\nContent-Length : 3\r\n\r\nabcdef",
       O(200, "OK", "abcdef", false, true, -1, 2)},
      {"lines ended by LF alone", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", O(200, "OK", "abc", true, true, 3, 2)},
      {"404 without a reason", "HTTP/1.1 404\r\nContent-Length: 1\r\n\r\nx", O(404, "", "x", true, true, 1, 2)},
      {"extra blanks before the code", "HTTP/1.1   404 Not Found\r\nContent-Length: 0\r\n\r\n",
       O(404, "Not Found", "", true, false, 0, 2)},
      {"not an HTTP status line", "FOO 200 OK\r\nContent-Length: 2\r\n\r\nab", O(0, "", "ab", true, true, 2, 2)},
      {"content-length that is not a number", "HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\nab",
       O(200, "OK", "ab", false, true, -1, 2)},
      {"keep-alive keeps the connection", "HTTP/1.1 200 OK\r\nConnection: Keep-Alive \r\nContent-Length: 1\r\n\r\nz",
       O(200, "OK", "z", true, true, 1, 3, "", false)},
      {"close after keep-alive", "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nProxy-Connection: close\r\nContent-Length: 0\r\n\r\n",
       O(200, "OK", "", true, false, 0, 4)},
  };
  {
    TCase c{"HEAD has no body", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", O(200, "OK", "", true, false, 5, 2)};
    c.Head = true;
    v.push_back(c);
  }
  {
    TCase c{"1.1 request to a 1.1 server keeps the connection", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nq",
            O(200, "OK", "q", true, true, 1, 2, "", false)};
    c.RequestVer = "1.1";
    v.push_back(c);
  }
  {
    TCase c{"header block above the cap", "HTTP/1.1 200 OK\r\nX-Fill: " + std::string(100, 'a') + "\r\n\r\n",
            Err("Response header too large")};
    c.MaxHeader = 64;
    v.push_back(c);
  }
  {
    TCase c{"endless header line above the cap", "HTTP/1.1 200 OK\r\nX-Fill: " + std::string(100, 'a'),
            Err("Response header too large")};
    c.MaxHeader = 64;
    v.push_back(c);
  }
  // Chunk lines that never end are bounded like a header line.
  for (const auto& [name, tail] : std::vector<std::pair<const char*, std::string>>{
           {"endless chunk extension", "5;ext=" + std::string(100, 'a')},
           {"endless leading zeros of a chunk size", std::string(100, '0')},
           {"chunk data without its line end", "1\r\nx" + std::string(100, ' ')},
           {"chunk extension above the cap that ends", "5;ext=" + std::string(100, 'a') + "\r\nhello\r\n0\r\n\r\n"}}) {
    TCase c{name, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + tail, Err("Chunk line too large")};
    c.MaxHeader = 64;
    v.push_back(c);
  }
  // So is the trailer behind the last chunk, as a whole.
  std::string shortLines;
  for (int i = 0; i < 40; ++i) shortLines += "t: x\r\n";
  for (const auto& [name, trailer] : std::vector<std::pair<const char*, std::string>>{
           {"endless trailer line", "X-T: " + std::string(100, 'a')},
           {"trailer of many short lines", shortLines + "\r\n"}}) {
    TCase c{name, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n" + trailer,
            Err("Trailer too large")};
    c.MaxHeader = 64;
    v.push_back(c);
  }
  v.push_back({"chunk size beyond 32 bits",
               "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\nabc", Err("Chunk size too large")});
  return v;
}

TEST(ResponseFramer, SameResultWhereverTheBytesAreSplit) {
  for (const TCase& c : Cases()) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Frame(c, {c.Bytes}), c.Expected) << "whole";
    for (std::size_t k = 1; k < c.Bytes.size(); ++k) {
      const TOutcome got = Frame(c, {c.Bytes.substr(0, k), c.Bytes.substr(k)});
      ASSERT_EQ(got, c.Expected) << "split at " << k;
    }
    std::vector<std::string> bytes;
    for (char ch : c.Bytes) bytes.emplace_back(1, ch);
    EXPECT_EQ(Frame(c, bytes), c.Expected) << "byte by byte";
  }
}

TEST(ResponseFramer, CloseCompletesBodiesWithoutLength) {
  THttpResponse r;
  TResponseFramer f(r);
  std::string body;
  f.Sink.OnBodyData = [&](const char* d, std::size_t n) { body.append(d, n); };
  f.Begin("1.0", false);
  const std::string bytes = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
  EXPECT_EQ(f.Feed(bytes.data(), bytes.size()), bytes.size());
  EXPECT_TRUE(f.CompleteOnClose());  // the short body is kept
  EXPECT_EQ(body, "abc");
  EXPECT_FALSE(f.CompleteOnClose());

  // A close inside the header completes nothing.
  f.Begin("1.0", false);
  const std::string part = "HTTP/1.1 200 OK\r\nServer: x\r\n";
  f.Feed(part.data(), part.size());
  EXPECT_TRUE(f.HeaderBegun());
  EXPECT_FALSE(f.HeaderEnded());
  EXPECT_FALSE(f.CompleteOnClose());
}

TEST(ResponseFramer, TrailerIsSkippedAndWhatFollowsStaysForTheNextResponse) {
  THttpResponse r;
  TResponseFramer f(r);
  std::string body;
  f.Sink.OnBodyData = [&](const char* d, std::size_t n) { body.append(d, n); };
  f.Begin("1.0", false);
  const std::string bytes =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nTrailer: x\r\n\r\nJUNK";
  EXPECT_EQ(f.Feed(bytes.data(), bytes.size()), bytes.size() - 4);
  EXPECT_EQ(body, "ok");
  EXPECT_EQ(f.Phase(), TResponseFramer::TPhase::Complete);

  // The final CR LF arriving behind the completing delivery is not taken for the next
  // response's end of header.
  f.Begin("1.0", false);
  const std::string first = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n";
  f.Feed(first.data(), first.size());
  ASSERT_EQ(f.Phase(), TResponseFramer::TPhase::Complete);
  f.Begin("1.0", false);
  const std::string next = "\r\nHTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(f.Feed(next.data(), next.size()), next.size());
  EXPECT_EQ(r.StatusCode, 201);
}

}  // namespace
