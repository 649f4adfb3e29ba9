#pragma once
// The HTTP client every fetch worker owns: THttpClient with TLS for https addresses (the
// worker's TTlsContext, not owned) and SOCKS5 through the socket's protocol layers.
#include "HttpClient.h"
#include "TlsContext.h"

namespace net {

class TTlsHttpClient : public THttpClient {
 public:
  TTlsContext* SslContext = nullptr;

 protected:
  std::unique_ptr<TFilter> MakeTlsFilter(const std::string& serverName) override;
  std::unique_ptr<TFilter> MakeSocksFilter(const std::string& targetHost,
                                           std::uint16_t targetPort) override;
  // A context that cannot be set up aborts the request ("Connection aborted on request"); a
  // failed handshake ends it with "SSL handshake failed - " + the layer's description.
  void TlsFailed(TFilter& tls) override;
};

}  // namespace net
