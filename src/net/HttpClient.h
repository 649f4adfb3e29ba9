#pragma once
// The synchronous HTTP client: one GET at a time into a caller-owned stream, over a socket that
// runs on the calling thread's own event loop. Parses the address, connects (directly or through
// a SOCKS proxy, with TLS for https), sends an HTTP/1.0 request, frames the response, decodes the
// body, follows relocations, and reports the outcome through StatusCode, ReasonPhrase and
// EHttpException.
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ContentCoding.h"
#include "base/MemoryStream.h"
#include "NetErrors.h"
#include "ResponseFramer.h"
#include "SocksAuthentication.h"
#include "TcpSocket.h"

namespace net {

enum THttpClientOption { httpoNoBasicAuth, httpoNoNTLMAuth, httpoBandwidthControl, httpoEnableContentCoding, httpoUseQuality, httpoNoDigestAuth };
using THttpClientOptions = std::set<THttpClientOption>;

enum THttpState { httpReady, httpNotConnected, httpConnected, httpDnsLookup, httpDnsLookupDone, httpWaitingHeader, httpWaitingBody, httpBodyReceived, httpWaitingProxyConnect, httpClosing, httpAborting };

// The enumerator's name, for traces.
const char* StateName(THttpState s);

class EHttpException : public std::runtime_error {
 public:
  EHttpException(const std::string& msg, std::uint16_t code) : std::runtime_error(msg), ErrorCode(code) {}
  std::uint16_t ErrorCode;
};


// The parts of an address: scheme "://" [user [":" password] "@"] host [":" port] [path].
struct THttpUrl {
  std::string Scheme, User, Password, Host, Port, Path;
};
THttpUrl ParseHttpUrl(const std::string& url);

// Where a "location" field sends the next request of a client that asked for url and now
// talks to hostName about path: a path on the same host, a name relative to the current path,
// or an absolute http/https address naming its own host, scheme and port.
struct TLocationTarget {
  bool Absolute = false;         // the fields below the path are set only for an absolute one
  std::string Path, Location;
  std::string HostName, Protocol, Port, TargetPort;
};
TLocationTarget ResolveLocation(const std::string& url, const std::string& hostName,
                                const std::string& path, const std::string& value);

class THttpClient {
 public:
  THttpClient();
  virtual ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // --- properties the system sets ---
  std::string URL;
  std::string Reference;
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string Agent = "Mozilla/4.0";
  std::uint32_t Timeout = 30;  // seconds of silence
  THttpClientOptions Options;
  bool MultiThreaded = false;
  base::TMemoryStream* RcvdStream = nullptr;
  std::string SocksServer, SocksPort, SocksLevel, SocksUsercode, SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  std::function<void(THttpClient& sender, const std::string& method, std::vector<std::string>& headerLines)> OnBeforeHeaderSend;

  // --- properties the system leaves at their defaults ---
  std::string Name;  // component name, in the busy message
  std::string RequestVer = "1.0";
  bool FollowRelocation = true;
  int LocationChangeMaxCount = 5;
  std::string Connection, ProxyConnection;
  std::string Sender, AcceptLanguage, Cookie, ContentRangeBegin, ContentRangeEnd;
  bool NoCache = false;
  std::vector<std::string> ExtraHeaders;
  // Limits against hostile servers.
  std::size_t MaxHeaderBytes = kMaxHeaderBytes;
  std::size_t MaxBodyBytes = kMaxDecodedBody;
  // Wait granularity of Get, in milliseconds.
  int WaitGranularityMs = 1000;

  // --- requests ---
  void Get();  // throws EHttpException
  void Abort();

  // --- results ---
  std::int32_t StatusCode() const { return FResponse.StatusCode; }
  const std::string& ReasonPhrase() const { return FResponse.ReasonPhrase; }
  THttpState State() const { return FState; }
  const std::vector<std::string>& RcvdHeader() const { return FResponse.RcvdHeader; }
  std::int64_t ContentLength() const { return FResponse.ContentLength; }
  const std::string& ContentType() const { return FResponse.ContentType; }
  const std::string& TransferEncoding() const { return FResponse.TransferEncoding; }
  const std::string& ContentEncoding() const { return FResponse.ContentEncoding; }
  const std::string& Location() const { return FLocation; }
  int RequestDoneError() const { return FRequestDoneError; }
  std::uint64_t RcvdCount() const { return FFramer.RcvdCount(); }
  int LocationChangeCurCount() const { return FLocationChangeCurCount; }
  const std::string& ResponseVer() const { return FResponse.ResponseVer; }

  TTcpSocket& ConnSocket() { return *FSocket; }

 protected:
  // Protocol layers for a new connection. A null TLS layer makes an https request fail cleanly
  // ("Connection aborted on request"); a null SOCKS layer fails a proxied connect with the
  // SOCKS internal error. TTlsHttpClient supplies its TLS layer here.
  virtual std::unique_ptr<TFilter> MakeTlsFilter(const std::string& serverName);
  virtual std::unique_ptr<TFilter> MakeSocksFilter(const std::string& targetHost, std::uint16_t targetPort);
  // The TLS layer failed its handshake or asked for the connection to be dropped.
  virtual void TlsFailed(TFilter& tls);

  // Ends the request at once: State httpAborting, StatusCode 404, the reason and code given,
  // the connection dropped, State httpReady.
  void AbortRequest(const std::string& reason, int code);
  // Fails the request: StatusCode status, ReasonPhrase reason and, unless code is 0, the
  // request's error code. The request goes on to its end as the caller arranges.
  void FailRequest(int code, const std::string& reason, std::int32_t status = 404);
  // Every change of State; traced old -> new by name in debug builds.
  void SetState(THttpState s);

  // Per-request fields.
  std::string FTargetHost, FTargetPort, FHostName, FPort, FProtocol, FPath;
  std::string FCurrentHost, FCurrentPort, FCurrentProtocol;
  std::string FMethod = "GET";
  std::string FLocation;
  int FRequestDoneError = 0;
  bool FLocationFlag = false;
  int FLocationChangeCurCount = 0;
  THttpState FState = httpReady;
  TFilter* FTlsFilter = nullptr;  // the TLS layer of the current connection, owned by the socket

 private:
  void StartRequest();
  void ResetResponse(bool keepLocation);
  void StartConnection();
  void SocketDnsLookupDone(int error);
  void LookupDone(int error, const std::string& address);
  void SocketSessionConnected(int error);
  void SocketDataAvailable();
  void SocketSessionClosed(int error);
  void SendRequest();
  void ProcessReceived();
  void AfterHeader();
  void DocumentEnd();
  void AfterDocument();
  void SetReady();
  void StartRelocation();
  void RelocateAfterClose();
  void PrepareRelocatedRequest();
  // Counts one relocation; false when it is past the limit and the request completed instead.
  bool CountRelocation();
  void SetLocationTarget(const std::string& value);
  void Post(std::function<void()> fn);
  void Guarded(const std::function<void()>& fn);
  bool InRequest() const { return FState != httpReady && FState != httpAborting; }

  std::unique_ptr<TTcpSocket> FSocket;
  THttpResponse FResponse;
  TResponseFramer FFramer{FResponse};
  TContentDecoder FDecoder;
  std::vector<char> FReceiveBuffer;
  std::size_t FReceiveLen = 0;
  std::size_t FRcvdStreamStartSize = 0;
  bool FBodyBegan = false;
  std::uint64_t FSerial = 0;  // bumped by every request start and abort: stale events drop
};

}  // namespace net
