#include "HttpClient.h"

#include <cstring>
#include <iterator>

#include "NetText.h"
#include "SocketErrors.h"
#include "SocksLayer.h"
#include "Trace.h"

namespace net {
namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return s.size() >= n && AsciiLower(s.substr(0, n)) == prefix;
}

// A byte that would end a line or smuggle one onto the wire.
bool HasControl(const std::string& s, bool allowTab) {
  for (unsigned char c : s) {
    if (c == '\t' && allowTab) continue;
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string DefaultPort(const std::string& scheme) { return scheme == "https" ? "443" : "80"; }

// A socket or SOCKS error as the reason phrase carries it.
std::string SocketErrorText(int code) { return ErrorDesc(code) + " (Error #" + std::to_string(code) + ")"; }


}  // namespace

const char* StateName(THttpState s) {
  static constexpr const char* kNames[] = {
      "httpReady",       "httpNotConnected", "httpConnected",  "httpDnsLookup",
      "httpDnsLookupDone", "httpWaitingHeader", "httpWaitingBody", "httpBodyReceived",
      "httpWaitingProxyConnect", "httpClosing", "httpAborting"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(httpAborting) + 1, "one name per state");
  return kNames[s];
}

THttpUrl ParseHttpUrl(const std::string& url) {
  THttpUrl u;
  std::string rest;
  const std::size_t sep = url.find("://");
  if (sep == std::string::npos) {
    if (!url.empty() && url[0] == '/') {
      u.Scheme = "http";
      u.Path = url;
      return u;
    }
    rest = url;
  } else {
    u.Scheme = AsciiLower(url.substr(0, sep));
    rest = url.substr(sep + 3);
  }
  const std::size_t end = rest.find_first_of("/?");
  std::string auth = rest.substr(0, end);
  if (end != std::string::npos) u.Path = rest.substr(end);
  const std::size_t at = auth.rfind('@');
  if (at != std::string::npos) {
    const std::string info = auth.substr(0, at);
    const std::size_t colon = info.find(':');
    u.User = info.substr(0, colon);
    if (colon != std::string::npos) u.Password = info.substr(colon + 1);
    auth = auth.substr(at + 1);
  }
  if (!auth.empty() && auth[0] == '[') {
    const std::size_t close = auth.find(']');
    u.Host = auth.substr(0, close == std::string::npos ? auth.size() : close + 1);
    if (close != std::string::npos && close + 1 < auth.size() && auth[close + 1] == ':')
      u.Port = auth.substr(close + 2);
    return u;
  }
  const std::size_t colon = auth.rfind(':');
  if (colon == std::string::npos) {
    u.Host = auth;
  } else {
    u.Host = auth.substr(0, colon);
    u.Port = auth.substr(colon + 1);
  }
  return u;
}

THttpClient::THttpClient() : FSocket(std::make_unique<TTcpSocket>()) {
  FSocket->OnDnsLookupDone = [this](int e) { Guarded([&] { SocketDnsLookupDone(e); }); };
  FSocket->OnSessionConnected = [this](int e) { Guarded([&] { SocketSessionConnected(e); }); };
  FSocket->OnDataAvailable = [this] { Guarded([&] { SocketDataAvailable(); }); };
  FSocket->OnSessionClosed = [this](int e) { Guarded([&] { SocketSessionClosed(e); }); };
  FSocket->OnLayerException = [this](const std::exception&) {
    if (InRequest()) Abort();
  };
  FDecoder.Stream = [this] { return RcvdStream; };
  FFramer.Sink.OnLocation = [this](const std::string& v) {
    if (!FollowRelocation || FMethod == "PUT" || FMethod == "PATCH") return;
    FLocationFlag = true;
    SetLocationTarget(v);
  };
  FFramer.Sink.OnBodyBegin = [this] {
    FDecoder.Prepare(FResponse.ContentEncoding);
    FRcvdStreamStartSize = RcvdStream ? RcvdStream->Size() : 0;
    FBodyBegan = true;
  };
  FFramer.Sink.OnBodyData = [this](const char* d, std::size_t n) { FDecoder.Write(d, n); };
}

THttpClient::~THttpClient() {
  FSocket->Loop().Cancel(this);
  FSocket.reset();
}

std::unique_ptr<TFilter> THttpClient::MakeTlsFilter(const std::string&) { return nullptr; }

std::unique_ptr<TFilter> THttpClient::MakeSocksFilter(const std::string&, std::uint16_t) { return nullptr; }

void THttpClient::TlsFailed(TFilter& tls) {
  const std::string text = tls.ErrorText();
  // A phrase left by an earlier response would hide why this connection failed.
  FailRequest(httperrAborted, "SSL handshake failed - " + (text.empty() ? std::string("SSL custom abort") : text));
}

void THttpClient::FailRequest(int code, const std::string& reason, std::int32_t status) {
  FResponse.StatusCode = status;
  FResponse.ReasonPhrase = reason;
  if (code != 0) FRequestDoneError = code;
}

void THttpClient::SetState(THttpState s) {
#ifndef NDEBUG
  if (s != FState) NetTrace("http", StateName(FState), StateName(s));
#endif
  FState = s;
}

void THttpClient::Post(std::function<void()> fn) {
  FSocket->Loop().Post(this, [this, fn = std::move(fn)] { Guarded(fn); });
}

void THttpClient::Guarded(const std::function<void()>& fn) {
  // A failure inside the event processing ends the request as an abort: the fixed reason
  // "Connection aborted on request" is what the caller gets, whatever the exception said,
  // so a text from deep inside (a decoder, a layer) never becomes the request's reason. Only
  // the bounds against hostile servers keep their own text, to say which bound was broken.
  try {
    fn();
  } catch (const ELimitExceeded& e) {
    if (InRequest()) AbortRequest(e.what(), httperrAborted);
  } catch (...) {
    if (InRequest()) Abort();
  }
}

// --- request cycle ---

void THttpClient::Get() {
  if (FState != httpReady) throw EHttpException("HTTP component " + Name + " is busy", httperrBusy);
  FLocationChangeCurCount = 0;
  FMethod = "GET";
  StartRequest();
  FSocket->NoteSend();
  TEventLoop& loop = FSocket->Loop();
  const auto& inbox = loop.Inbox();
  while (FState != httpReady) {
    loop.RunOnce(WaitGranularityMs);
    if (FState == httpReady) break;
    if (inbox->QuitRequested()) {
      AbortRequest("Request aborted", httperrAborted);
      break;
    }
    if (FSocket->IdleMs() >= static_cast<std::uint64_t>(Timeout) * 1000u) {
      AbortRequest("Request aborted on timeout", httperrTimeout);
      break;
    }
  }
  if (FRequestDoneError != 0)
    throw EHttpException(FResponse.ReasonPhrase, static_cast<std::uint16_t>(FRequestDoneError));
  if (FResponse.StatusCode >= 400 && FResponse.StatusCode != 401 && FResponse.StatusCode != 407)
    throw EHttpException(FResponse.ReasonPhrase, static_cast<std::uint16_t>(FResponse.StatusCode));
}

void THttpClient::Abort() {
  if (FState == httpReady) {
    FSocket->Abort();
    return;
  }
  AbortRequest("Connection aborted on request", httperrAborted);
}

void THttpClient::AbortRequest(const std::string& reason, int code) {
  SetState(httpAborting);
  FailRequest(code, reason);
  ++FSerial;
  FSocket->Abort();  // a name lookup in progress is cancelled too
  FReceiveLen = 0;
  FDecoder.Reset();
  FLocationFlag = false;
  SetState(httpReady);
}

void THttpClient::ResetResponse(bool keepLocation) {
  FResponse.RcvdHeader.clear();
  FRequestDoneError = 0;
  FResponse.StatusCode = 0;
  FResponse.ContentLength = -1;
  FResponse.ContentType.clear();
  FResponse.TransferEncoding.clear();
  FResponse.ContentEncoding.clear();
  FResponse.AuthChallenges.clear();
  if (!keepLocation) FLocation = URL;
  FResponse.CloseReq = RequestVer == "1.0";
  FFramer.MaxHeaderBytes = MaxHeaderBytes;
  FFramer.Begin(RequestVer, FMethod == "HEAD");
  FBodyBegan = false;
}

void THttpClient::StartRequest() {
  ++FSerial;
  ResetResponse(false);
  FDecoder.Reset();
  FLocationFlag = false;
  if (HasControl(URL, false)) {
    FailRequest(httperrAborted, "Invalid character in URL");
    SetState(httpReady);
    return;
  }
  const THttpUrl u = ParseHttpUrl(URL);
  FTargetHost = u.Host;
  FPath = u.Path;
  FProtocol = u.Scheme.empty() ? "http" : u.Scheme;
  const std::string port = u.Port.empty() ? DefaultPort(u.Scheme) : u.Port;
  FTargetPort = port;
  if (FPath.empty()) FPath = "/";
  FHostName = u.Host;
  FPort = port;

  if (FSocket->Connected() && FHostName == FCurrentHost && FPort == FCurrentPort &&
      FProtocol == FCurrentProtocol) {
    SetState(httpConnected);  // passed through, as on a new connection
    SetState(httpWaitingHeader);
    Guarded([this] { SendRequest(); });
    return;
  }
  if (FSocket->State() != TSocketState::Closed) FSocket->Abort();
  SetState(httpNotConnected);
  Guarded([this] { StartConnection(); });
}

void THttpClient::StartConnection() {
  SetState(httpDnsLookup);
  // Nothing of the previous connection's bytes or framing carries over.
  FReceiveLen = 0;
  FFramer.NewConnection();
  FSocket->LocalAddr = "0.0.0.0";
  FSocket->Addr = FHostName;
  if (!SocksServer.empty() && SocksLevel != "4") {
    // The proxy resolves the name.
    LookupDone(0, FHostName);
    return;
  }
  try {
    FSocket->DnsLookup(FHostName);
  } catch (const std::exception& e) {
    FailRequest(0, e.what());  // no code: the status stands for it
    SetReady();
  }
}

void THttpClient::SocketDnsLookupDone(int error) { LookupDone(error, FSocket->DnsResult()); }

void THttpClient::LookupDone(int error, const std::string& address) {
  if (FState != httpDnsLookup) return;
  if (error != 0) {
    FailRequest(error, "can't resolve hostname to IP address");
    SocketSessionClosed(0);
    return;
  }
  SetState(httpDnsLookupDone);
  FCurrentHost = FHostName;
  FCurrentPort = FPort;
  FCurrentProtocol = FProtocol;
  if (FProtocol != "http" && FProtocol != "https") {
    FailRequest(0, "Protocol \"" + FProtocol + "\" not implemented", 501);
    SocketSessionClosed(0);
    return;
  }

  std::vector<std::unique_ptr<TFilter>> filters;
  FTlsFilter = nullptr;
  const bool socks = !SocksServer.empty();
  if (socks) {
    const int port = DecimalPort(FPort);
    std::unique_ptr<TFilter> f = port > 0 ? MakeSocksFilter(FHostName, static_cast<std::uint16_t>(port)) : nullptr;
    if (!f) {
      FailRequest(socksInternalError, SocketErrorText(socksInternalError));
      SocketSessionClosed(0);
      return;
    }
    filters.push_back(std::move(f));
  }
  if (FProtocol == "https") {
    std::unique_ptr<TFilter> t = MakeTlsFilter(FTargetHost);
    if (!t) throw std::runtime_error("SSL requires a context object");
    FTlsFilter = t.get();
    filters.push_back(std::move(t));
  }
  FSocket->SetFilters(std::move(filters));
  FSocket->Addr = socks ? SocksServer : address;
  FSocket->Port = socks ? SocksPort : FPort;
  try {
    FSocket->Connect();
  } catch (const ESocketException&) {
    const int code = FSocket->LastError();
    FailRequest(code, "can't connect: " + SocketErrorText(code));
    SocketSessionClosed(0);
  }
}

void THttpClient::SocketSessionConnected(int error) {
  if (FState != httpDnsLookupDone) return;
  if (error != 0) {
    TFilter* failed = FSocket->FailedFilter();
    if (failed && failed == FTlsFilter) {
      TlsFailed(*failed);
      return;  // the socket reports the close next
    }
    FailRequest(error, SocketErrorText(error));
    return;
  }
  SetState(httpConnected);  // passed through on the way to the request
  SetState(httpWaitingHeader);
  SendRequest();
}

void THttpClient::SendRequest() {
  FDecoder.Enabled = Options.count(httpoEnableContentCoding) != 0;
  FDecoder.UseQuality = Options.count(httpoUseQuality) != 0;
  FDecoder.MaxDecodedBytes = MaxBodyBytes;
  std::vector<std::string> lines;
  lines.push_back(FMethod + " " + FPath + " HTTP/" + RequestVer);
  if (!Sender.empty()) lines.push_back("From: " + Sender);
  if (!Accept.empty()) lines.push_back("Accept: " + Accept);
  if (!Reference.empty()) lines.push_back("Referer: " + Reference);
  if (!Connection.empty()) lines.push_back("Connection: " + Connection);
  if (!AcceptLanguage.empty()) lines.push_back("Accept-Language: " + AcceptLanguage);
  if (!FDecoder.HeaderText().empty() && FMethod != "HEAD") lines.push_back("Accept-Encoding: gzip, deflate, br");
  if (!Agent.empty()) lines.push_back("User-Agent: " + Agent);
  if (FTargetPort == "80" || FTargetPort == "443" || FTargetPort.empty())
    lines.push_back("Host: " + FTargetHost);
  else
    lines.push_back("Host: " + FTargetHost + ":" + FTargetPort);
  if (NoCache) lines.push_back("Pragma: no-cache");
  if (!ProxyConnection.empty()) lines.push_back("Proxy-Connection: " + ProxyConnection);
  if (!Cookie.empty()) lines.push_back("Cookie: " + Cookie);
  if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty())
    lines.push_back("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
  for (const std::string& h : ExtraHeaders) {
    const std::size_t p = h.find(": ");
    if (p != std::string::npos && p > 0) lines.push_back(h);
  }
  if (OnBeforeHeaderSend) OnBeforeHeaderSend(*this, FMethod, lines);

  std::string buf;
  for (const std::string& l : lines) {
    if (HasControl(l, true)) {
      AbortRequest("Invalid character in request header", httperrAborted);
      return;
    }
    buf += l;
    buf += "\r\n";
  }
  buf += "\r\n";
  FFramer.MaxHeaderBytes = MaxHeaderBytes;
  FFramer.Begin(RequestVer, FMethod == "HEAD");
  FBodyBegan = false;
  FSocket->Send(buf.data(), buf.size());
  // Bytes that arrived behind the previous response on this connection are read now.
  if (FReceiveLen > 0 || FSocket->PendingReceive() > 0) {
    const std::uint64_t s = FSerial;
    Post([this, s] {
      if (s != FSerial) return;
      if (FReceiveLen > 0) ProcessReceived();
      SocketDataAvailable();
    });
  }
}

void THttpClient::SocketDataAvailable() {
  const std::uint64_t s = FSerial;
  while (InRequest() && s == FSerial && (FState == httpWaitingHeader || FState == httpWaitingBody) &&
         FFramer.Phase() != TResponseFramer::TPhase::Complete) {
    if (FReceiveBuffer.size() < FReceiveLen + 8192 + 1) FReceiveBuffer.resize(FReceiveLen + 8193);
    const int n = FSocket->Receive(FReceiveBuffer.data() + FReceiveLen, FReceiveBuffer.size() - FReceiveLen - 1);
    if (n <= 0) return;
    FReceiveLen += static_cast<std::size_t>(n);
    FReceiveBuffer[FReceiveLen] = 0;
    ProcessReceived();
  }
}

void THttpClient::ProcessReceived() {
  const bool inHeader = !FFramer.HeaderEnded();
  const bool complete = FFramer.Phase() == TResponseFramer::TPhase::Complete;
  const std::size_t used = FFramer.Feed(FReceiveBuffer.data(), FReceiveLen);
  if (used > 0) {
    std::memmove(FReceiveBuffer.data(), FReceiveBuffer.data() + used, FReceiveLen - used);
    FReceiveLen -= used;
    FReceiveBuffer[FReceiveLen] = 0;
  }
  if (inHeader && FFramer.HeaderEnded()) {
    if (!FFramer.BodyFollows()) {
      AfterHeader();
      return;
    }
    SetState(httpWaitingBody);
  }
  if (!complete && FFramer.BodyFollows() && FFramer.Phase() == TResponseFramer::TPhase::Complete) {
    DocumentEnd();
    if (FResponse.CloseReq) FSocket->Close();
    AfterDocument();
  }
}

void THttpClient::AfterHeader() {
  // No body follows.
  if (FLocationFlag) StartRelocation();
  else if (FResponse.CloseReq) FSocket->Close();  // the close completes the request
  else SetReady();
}

void THttpClient::DocumentEnd() {
  SetState(httpBodyReceived);
  FDecoder.Complete();
}

void THttpClient::AfterDocument() {
  if (FLocationFlag) StartRelocation();
  else SetReady();
}

void THttpClient::SetReady() {
  const std::uint64_t s = FSerial;
  FSocket->Loop().Post(this, [this, s] {
    if (s == FSerial) SetState(httpReady);
  });
}

void THttpClient::SocketSessionClosed(int error) {
  if (!InRequest()) return;
  FReceiveLen = 0;
  TFilter* failed = FSocket->FailedFilter();
  if (error != 0 && failed && failed == FTlsFilter && FState != httpDnsLookupDone) {
    TlsFailed(*failed);  // the TLS layer dropped an established session
    error = httperrAborted;
  }
  if (error != 0) FRequestDoneError = error;
  if (FFramer.HeaderBegun() && !FFramer.HeaderEnded()) {
    // Closed inside the header: only a relocation, or the time-out, ends the request.
    if (FLocationFlag) RelocateAfterClose();
    return;
  }
  if (FFramer.CompleteOnClose()) DocumentEnd();
  if (FLocationFlag) {
    RelocateAfterClose();
    return;
  }
  if (FResponse.StatusCode == 0 && FRequestDoneError == 0) {
    FRequestDoneError = httperrNoStatusCode;
    FResponse.ReasonPhrase = "HTTP no status code (connection closed prematurely)";
  } else if (FResponse.StatusCode == 0 && error != 0) {
    // Reset before any status line: say so, rather than leave an earlier response's phrase.
    FResponse.ReasonPhrase = SocketErrorText(error);
  }
  SetReady();
}

// --- relocation ---

TLocationTarget ResolveLocation(const std::string& url, const std::string& hostName,
                                const std::string& path, const std::string& value) {
  TLocationTarget t;
  t.HostName = hostName;
  std::string urlScheme = ParseHttpUrl(url).Scheme;
  if (urlScheme.empty()) urlScheme = "http";
  if (!value.empty() && value[0] == '/') {
    t.Path = value;
    t.Location = urlScheme + "://" + hostName + t.Path;
  } else if (!StartsWithNoCase(value, "http://") && !StartsWithNoCase(value, "https://")) {
    std::string base = path.substr(0, path.find('?'));
    const std::size_t cut = base.find_last_of("/:");
    base = cut == std::string::npos ? std::string() : base.substr(0, cut + 1);
    t.Path = base + value;
    t.Location = urlScheme + "://" + hostName + t.Path;
  } else {
    const THttpUrl u = ParseHttpUrl(value);
    t.Absolute = true;
    t.HostName = u.Host;
    t.Protocol = u.Scheme;
    t.Port = u.Port.empty() ? DefaultPort(u.Scheme) : u.Port;
    // Without a port the Host line names none: the old port belonged to the old address.
    t.TargetPort = u.Port;
    t.Path = u.Path.empty() ? "/" : u.Path;
    t.Location = t.Protocol + "://" + t.HostName + (u.Port.empty() ? "" : ":" + u.Port) + t.Path;
  }
  return t;
}

void THttpClient::SetLocationTarget(const std::string& value) {
  const TLocationTarget t = ResolveLocation(URL, FHostName, FPath, value);
  FPath = t.Path;
  FLocation = t.Location;
  if (t.Absolute) {
    FHostName = FTargetHost = t.HostName;
    FProtocol = t.Protocol;
    FPort = t.Port;
    FTargetPort = t.TargetPort;
  }
}

void THttpClient::PrepareRelocatedRequest() {
  const std::int32_t status = FResponse.StatusCode;
  if (status == 303 && FMethod != "HEAD") FMethod = "GET";
  if ((status == 301 || status == 302) && FMethod == "POST") FMethod = "GET";
  if (FBodyBegan && RcvdStream && RcvdStream->Size() > FRcvdStreamStartSize)
    RcvdStream->SetSize(FRcvdStreamStartSize);
  // A new response starts from nothing, so that a target that fails cannot pass for the
  // relocation response (the reason phrase stays until a new status line or failure).
  ResetResponse(true);
  FDecoder.Reset();
}

bool THttpClient::CountRelocation() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount > LocationChangeMaxCount) {
    // Past the limit the relocation response itself is the result.
    FLocationFlag = false;
    SetReady();
    return false;
  }
  PrepareRelocatedRequest();
  return true;
}

void THttpClient::StartRelocation() {
  if (FHostName == FCurrentHost && FPort == FCurrentPort && FProtocol == FCurrentProtocol &&
      !FResponse.CloseReq && FSocket->Connected()) {
    if (!CountRelocation()) return;
    const std::uint64_t s = FSerial;
    Post([this, s] {
      if (s != FSerial) return;
      FLocationFlag = false;
      SetState(httpWaitingHeader);
      SendRequest();
    });
    return;
  }
  FSocket->Close();  // the close carries the relocation out
}

void THttpClient::RelocateAfterClose() {
  if (!CountRelocation()) return;
  const std::uint64_t s = FSerial;
  Post([this, s] {
    if (s != FSerial) return;
    FLocationFlag = false;
    FSocket->Abort();
    SetState(httpNotConnected);
    StartConnection();
  });
}

}  // namespace net
