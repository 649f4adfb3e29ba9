// The SOCKS5 layer fed a hostile proxy's replies, in pieces: it fails with a SOCKS code, or
// opens the tunnel and passes what follows through; it never builds an oversized request.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "net/SocksLayer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  net::TSocksSettings s;
  s.TargetHost = in.ConsumeRandomLengthString(140);
  s.TargetPort = in.ConsumeIntegral<std::uint16_t>();
  if (in.ConsumeBool()) {
    s.SocksAuthentication = net::socksAuthenticateUsercode;
    s.SocksUsercode = in.ConsumeRandomLengthString(160);
    s.SocksPassword = in.ConsumeRandomLengthString(160);
  }
  const bool early = in.ConsumeBool();  // the application writes before the tunnel is up
  net::TSocksLayer layer(s);
  layer.Start();
  if (early) layer.FromAbove("GET / HTTP/1.0\r\n\r\n", 18);
  std::string down = layer.TakeForBelow();
  std::string up;
  while (in.remaining_bytes() > 0) {
    const std::string piece = in.ConsumeRandomLengthString(64);
    layer.FromBelow(piece.data(), piece.size());
    down += layer.TakeForBelow();
    up += layer.TakeForAbove();
    if (layer.Status() == net::TFilter::TStatus::Failed) {
      if (!net::IsSocksErrorCode(layer.ErrorCode()) || layer.ErrorText().empty()) std::abort();
      break;
    }
  }
  if (layer.Status() == net::TFilter::TStatus::Negotiating) {
    layer.BelowClosed();
    if (layer.Status() != net::TFilter::TStatus::Failed) std::abort();
  }
  // Greeting, authentication and CONNECT stay within their bounded sizes.
  if (down.size() > 4 + 3 + 2 * 255 + 7 + 255 + 18) std::abort();
  if (layer.Status() != net::TFilter::TStatus::Established && !up.empty()) std::abort();
  return 0;
}
