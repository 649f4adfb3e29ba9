// Response framing: the same bytes fed whole and cut at arbitrary points must frame the same
// response (status, header, body, phase) or fail with the same limit, and never read or write
// outside what they were given.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/ResponseFramer.h"

namespace {

struct TOutcome {
  net::THttpResponse Response;
  std::string Body;
  std::string Locations;
  int BodyBegins = 0;
  bool Failed = false;
  bool CompletedOnClose = false;
  net::TResponseFramer::TPhase Phase = net::TResponseFramer::TPhase::Header;
  std::size_t Left = 0;  // bytes the framer left to its caller
};

TOutcome Frame(const std::string& input, const std::vector<std::size_t>& cuts, bool head,
               const char* version, std::size_t maxHeader) {
  TOutcome o;
  net::TResponseFramer framer(o.Response);
  framer.MaxHeaderBytes = maxHeader;
  framer.Sink.OnLocation = [&](const std::string& v) { o.Locations += v + '\n'; };
  framer.Sink.OnBodyBegin = [&] { ++o.BodyBegins; };
  framer.Sink.OnBodyData = [&](const char* d, std::size_t n) { o.Body.append(d, n); };
  framer.Begin(version, head);
  std::string pending;  // what the framer left, as the client keeps it in its receive buffer
  std::size_t from = 0;
  try {
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
      const std::size_t to = i < cuts.size() ? cuts[i] : input.size();
      pending.append(input, from, to - from);
      from = to;
      const std::size_t used = framer.Feed(pending.data(), pending.size());
      if (used > pending.size()) std::abort();
      pending.erase(0, used);
      // Bytes behind a complete document are still offered: the trailer of a chunked one
      // may arrive later and is skipped then.
    }
    if (framer.Phase() != net::TResponseFramer::TPhase::Complete)
      o.CompletedOnClose = framer.CompleteOnClose();
  } catch (const net::ELimitExceeded&) {
    o.Failed = true;
  }
  o.Phase = framer.Phase();
  o.Left = pending.size() + (input.size() - from);
  return o;
}

bool Same(const TOutcome& a, const TOutcome& b) {
  if (a.Failed != b.Failed) return false;
  if (a.Failed) return true;  // where it stopped may differ by how much had arrived
  const auto& x = a.Response;
  const auto& y = b.Response;
  return a.Body == b.Body && a.Locations == b.Locations && a.BodyBegins == b.BodyBegins &&
         a.Phase == b.Phase && a.CompletedOnClose == b.CompletedOnClose && a.Left == b.Left &&
         x.StatusCode == y.StatusCode && x.ReasonPhrase == y.ReasonPhrase &&
         x.ResponseVer == y.ResponseVer && x.RcvdHeader == y.RcvdHeader &&
         x.ContentLength == y.ContentLength && x.ContentType == y.ContentType &&
         x.TransferEncoding == y.TransferEncoding && x.ContentEncoding == y.ContentEncoding &&
         x.CloseReq == y.CloseReq;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool head = in.ConsumeBool();
  const char* version = in.ConsumeBool() ? "1.1" : "1.0";
  const std::size_t maxHeader = in.ConsumeBool() ? 256 : net::kMaxHeaderBytes;
  const int cutCount = in.ConsumeIntegralInRange<int>(0, 16);
  std::vector<std::size_t> cuts;
  for (int i = 0; i < cutCount; ++i) cuts.push_back(in.ConsumeIntegral<std::uint16_t>());
  const std::string input = in.ConsumeRemainingBytesAsString();
  for (auto& c : cuts) c = input.empty() ? 0 : c % (input.size() + 1);
  std::sort(cuts.begin(), cuts.end());

  const TOutcome whole = Frame(input, {}, head, version, maxHeader);
  const TOutcome split = Frame(input, cuts, head, version, maxHeader);
  if (!Same(whole, split)) std::abort();
  return 0;
}
