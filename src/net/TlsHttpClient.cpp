#include "TlsHttpClient.h"

#include "SocksLayer.h"
#include "TlsLayer.h"

namespace net {

std::unique_ptr<TFilter> TTlsHttpClient::MakeTlsFilter(const std::string& serverName) {
  return std::make_unique<TTlsLayer>(SslContext, serverName);
}

std::unique_ptr<TFilter> TTlsHttpClient::MakeSocksFilter(const std::string& targetHost,
                                                         std::uint16_t targetPort) {
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
    AbortRequest("Connection aborted on request", httperrAborted);
    return;
  }
  // The description replaces whatever phrase an earlier response of this client left: the
  // worker reuses its client, and a stale "Not Found" would misreport a TLS failure.
  const std::string desc = tls.ErrorText();
  AbortRequest("SSL handshake failed - " + (desc.empty() ? std::string("SSL custom abort") : desc),
               httperrAborted);
}

}  // namespace net
