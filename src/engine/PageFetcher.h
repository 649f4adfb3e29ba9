#pragma once
// What a fetch worker needs of its HTTP client: fetch one address into 8-bit text, and process
// the client's pending events between requests. The program's fetcher is the HTTPS client with
// the client certificate (TlsPageFetcher); tests hand the engine fakes through TEngineConfig.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace engine {

// A failed request: the client's message (the reason phrase for an error status, or the client's
// own text) and the status code it saw (0 when there was no response).
class EFetchError : public std::runtime_error {
 public:
  EFetchError(const std::string& message, int statusCode)
      : std::runtime_error(message), StatusCode(statusCode) {}
  int StatusCode;
};

// The process-wide SOCKS5 settings as one snapshot (empty host: no proxy).
struct TProxySettings {
  QString ProxyHost;
  QString ProxyPort;
  QString ProxyUser;
  QString ProxyPassword;
};

class IPageFetcher {
 public:
  virtual ~IPageFetcher() = default;
  // Fetches url (sent as the Referer too) and returns the whole received body, one char per
  // byte. Throws EFetchError (or another std::exception) when the request fails.
  virtual QByteArray Fetch(const QString& url) = 0;
  // Lets the client process its pending events; called while the worker waits.
  virtual void ProcessPendingEvents() = 0;
};

// Sets up one worker's client from the proxy settings as they stand when the worker starts.
// Called on the worker's own thread; the client lives as long as that worker's run.
using TFetcherFactory =
    std::function<std::unique_ptr<IPageFetcher>(const TProxySettings& proxy)>;

// The program's fetcher: TLS 1.2 with 01cert.pem / 01key.pem from the current directory.
// timeoutSeconds: the client's time-out of silence (tests shorten it).
std::unique_ptr<IPageFetcher> CreateTlsPageFetcher(const TProxySettings& proxy,
                                                   std::uint32_t timeoutSeconds = 120);

}  // namespace engine
