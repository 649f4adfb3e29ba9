#include "TlsHttpClient.h"

#include "SocksLayer.h"
#include "TlsLayer.h"

namespace net {

std::unique_ptr<TFilter> TTlsHttpClient::MakeTlsFilter(const std::string& serverName) {
  return std::make_unique<TTlsLayer>(SslContext, serverName);
}

std::unique_ptr<TFilter> TTlsHttpClient::MakeSocksFilter(const std::string& targetHost,
                                                         std::uint16_t targetPort) {
  // Only version 5 is spoken; a proxy set up for another version is refused rather than sent
  // bytes it cannot read (the client reports the SOCKS internal error).
  if (!SocksLevel.empty() && SocksLevel != "5") return nullptr;
  TSocksSettings s;
  s.TargetHost = targetHost;
  s.TargetPort = targetPort;
  s.SocksAuthentication = SocksAuthentication;
  s.SocksUsercode = SocksUsercode;
  s.SocksPassword = SocksPassword;
  return std::make_unique<TSocksLayer>(std::move(s));
}

void TTlsHttpClient::TlsFailed(TFilter& tls) {
  const auto* layer = dynamic_cast<const TTlsLayer*>(&tls);
  if (!layer || layer->ContextFailed()) {
    // Missing certificate or key file, wrong pass phrase, no context: the set-up failed inside
    // the event processing, which aborts the request.
    AbortRequest("Connection aborted on request", httperrAborted);
    return;
  }
  THttpClient::TlsFailed(tls);  // "SSL handshake failed - " + the layer's description
}

}  // namespace net
