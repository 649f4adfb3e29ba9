// The program's page fetcher: one TLS context and one HTTPS client per worker, set up exactly
// as the portal expects, optionally through the operator's SOCKS5 proxy.
#include "net/HttpClient.h"
#include "base/MemoryStream.h"
#include "net/TlsContext.h"
#include "net/TlsHttpClient.h"
#include "engine/PageFetcher.h"
#include "text/uLib.h"

namespace engine {

namespace {

class TTlsPageFetcher : public IPageFetcher {
 public:
  TTlsPageFetcher(const TProxySettings& proxy, std::uint32_t timeoutSeconds) {
    context_.SetSslCertFile("01cert.pem");  // bare names: found in the current directory
    context_.SetSslPrivKeyFile("01key.pem");
    context_.SetSslVerifyPeer(false);
    context_.SetSslVersionMethod(net::sslTLS_V1_2_CLIENT);
    context_.SetSslPassPhrase("quorvelt");

    client_.SslContext = &context_;
    client_.MultiThreaded = true;
    client_.Accept = "text/html, */*";
    client_.Timeout = timeoutSeconds;
    client_.Agent =
        "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/109.0.0.0 Safari/537.36";
    client_.Options = {net::httpoEnableContentCoding};

    if (!proxy.ProxyHost.isEmpty()) {
      client_.SocksServer = proxy.ProxyHost.toStdString();
      client_.SocksPort = proxy.ProxyPort.toStdString();
      if (!proxy.ProxyUser.isEmpty()) {
        client_.SocksUsercode = proxy.ProxyUser.toStdString();
        client_.SocksPassword = proxy.ProxyPassword.toStdString();
        client_.SocksAuthentication = net::socksAuthenticateUsercode;
        client_.SocksLevel = "5";
      }
    }
  }

  ~TTlsPageFetcher() override { client_.RcvdStream = nullptr; }

  QByteArray Fetch(const QString& url) override {
    base::TMemoryStream stream;  // one buffer per attempt, released when the attempt ends
    client_.RcvdStream = &stream;
    struct TDetach {
      net::THttpClient& client;
      ~TDetach() { client.RcvdStream = nullptr; }
    } detach{client_};
    client_.URL = url.toStdString();
    client_.Reference = client_.URL;
    try {
      client_.Get();
    } catch (const net::EHttpException& e) {
      throw EFetchError(e.what(), client_.StatusCode());
    }
    return text::StreamToString(stream, static_cast<std::int32_t>(stream.Size()));
  }

  void ProcessPendingEvents() override { client_.ConnSocket().ProcessPendingEvents(); }

 private:
  net::TTlsContext context_;  // declared first: the client uses it until it is gone
  net::TTlsHttpClient client_;
};

}  // namespace

std::unique_ptr<IPageFetcher> CreateTlsPageFetcher(const TProxySettings& proxy,
                                                   std::uint32_t timeoutSeconds) {
  return std::make_unique<TTlsPageFetcher>(proxy, timeoutSeconds);
}

}  // namespace engine
