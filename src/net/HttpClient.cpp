#include "HttpClient.h"

#include <cctype>
#include <cstring>

#include "SocketErrors.h"

namespace net {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return s.size() >= n && Lower(s.substr(0, n)) == prefix;
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

}  // namespace

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
    u.Scheme = Lower(url.substr(0, sep));
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

THttpClient::THttpClient() : socket_(std::make_unique<TTcpSocket>()) {
  socket_->OnDnsLookupDone = [this](int e) { Guarded([&] { SocketDnsLookupDone(e); }); };
  socket_->OnSessionConnected = [this](int e) { Guarded([&] { SocketSessionConnected(e); }); };
  socket_->OnDataAvailable = [this] { Guarded([&] { SocketDataAvailable(); }); };
  socket_->OnSessionClosed = [this](int e) { Guarded([&] { SocketSessionClosed(e); }); };
  socket_->OnLayerException = [this](const std::exception&) {
    if (InRequest()) Abort();
  };
  decoder_.Stream = [this] { return RcvdStream; };
  framer_.Sink.OnLocation = [this](const std::string& v) {
    if (!FollowRelocation || FMethod == "PUT" || FMethod == "PATCH") return;
    FLocationFlag = true;
    SetLocationTarget(v);
  };
  framer_.Sink.OnBodyBegin = [this] {
    decoder_.Prepare(resp_.ContentEncoding);
    FRcvdStreamStartSize = RcvdStream ? RcvdStream->Size() : 0;
    bodyBegan_ = true;
  };
  framer_.Sink.OnBodyData = [this](const char* d, std::size_t n) { decoder_.Write(d, n); };
}

THttpClient::~THttpClient() {
  socket_->Loop().Cancel(this);
  socket_.reset();
}

std::unique_ptr<TFilter> THttpClient::MakeTlsFilter(const std::string&) { return nullptr; }

std::unique_ptr<TFilter> THttpClient::MakeSocksFilter(const std::string&, std::uint16_t) { return nullptr; }

void THttpClient::TlsFailed(TFilter& tls) {
  resp_.StatusCode = 404;
  FRequestDoneError = httperrAborted;
  const std::string text = tls.ErrorText();
  // A phrase left by an earlier response would hide why this connection failed.
  resp_.ReasonPhrase = "SSL handshake failed - " + (text.empty() ? std::string("SSL custom abort") : text);
}

void THttpClient::Post(std::function<void()> fn) {
  socket_->Loop().Post(this, [this, fn = std::move(fn)] { Guarded(fn); });
}

void THttpClient::Guarded(const std::function<void()>& fn) {
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
  socket_->NoteSend();
  TEventLoop& loop = socket_->Loop();
  const auto& inbox = loop.Inbox();
  while (FState != httpReady) {
    loop.RunOnce(WaitGranularityMs);
    if (FState == httpReady) break;
    if (inbox->QuitRequested()) {
      AbortRequest("Request aborted", httperrAborted);
      break;
    }
    if (socket_->IdleMs() >= static_cast<std::uint64_t>(Timeout) * 1000u) {
      AbortRequest("Request aborted on timeout", httperrTimeout);
      break;
    }
  }
  if (FRequestDoneError != 0)
    throw EHttpException(resp_.ReasonPhrase, static_cast<std::uint16_t>(FRequestDoneError));
  if (resp_.StatusCode >= 400 && resp_.StatusCode != 401 && resp_.StatusCode != 407)
    throw EHttpException(resp_.ReasonPhrase, static_cast<std::uint16_t>(resp_.StatusCode));
}

void THttpClient::Abort() {
  if (FState == httpReady) {
    socket_->Abort();
    return;
  }
  AbortRequest("Connection aborted on request", httperrAborted);
}

void THttpClient::AbortRequest(const std::string& reason, int code) {
  FState = httpAborting;
  resp_.StatusCode = 404;
  resp_.ReasonPhrase = reason;
  FRequestDoneError = code;
  ++serial_;
  socket_->Abort();  // a name lookup in progress is cancelled too
  FReceiveLen = 0;
  decoder_.Reset();
  FLocationFlag = false;
  FState = httpReady;
}

void THttpClient::ResetResponse(bool keepLocation) {
  resp_.RcvdHeader.clear();
  FRequestDoneError = 0;
  resp_.StatusCode = 0;
  resp_.ContentLength = -1;
  resp_.ContentType.clear();
  resp_.TransferEncoding.clear();
  resp_.ContentEncoding.clear();
  resp_.AuthChallenges.clear();
  if (!keepLocation) FLocation = URL;
  resp_.CloseReq = RequestVer == "1.0";
  framer_.MaxHeaderBytes = MaxHeaderBytes;
  framer_.Begin(RequestVer, FMethod == "HEAD");
  bodyBegan_ = false;
}

void THttpClient::StartRequest() {
  ++serial_;
  ResetResponse(false);
  decoder_.Reset();
  FLocationFlag = false;
  if (HasControl(URL, false)) {
    resp_.StatusCode = 404;
    resp_.ReasonPhrase = "Invalid character in URL";
    FRequestDoneError = httperrAborted;
    FState = httpReady;
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

  if (socket_->Connected() && FHostName == FCurrentHost && FPort == FCurrentPort &&
      FProtocol == FCurrentProtocol) {
    FState = httpConnected;
    FState = httpWaitingHeader;
    Guarded([this] { SendRequest(); });
    return;
  }
  if (socket_->State() != TSocketState::Closed) socket_->Abort();
  FState = httpNotConnected;
  Guarded([this] { StartConnection(); });
}

void THttpClient::StartConnection() {
  FState = httpDnsLookup;
  // Nothing of the previous connection's bytes or framing carries over.
  FReceiveLen = 0;
  framer_.NewConnection();
  socket_->LocalAddr = "0.0.0.0";
  socket_->Addr = FHostName;
  if (!SocksServer.empty() && SocksLevel != "4") {
    // The proxy resolves the name.
    LookupDone(0, FHostName);
    return;
  }
  try {
    socket_->DnsLookup(FHostName);
  } catch (const std::exception& e) {
    resp_.StatusCode = 404;
    resp_.ReasonPhrase = e.what();
    SetReady();
  }
}

void THttpClient::SocketDnsLookupDone(int error) { LookupDone(error, socket_->DnsResult()); }

void THttpClient::LookupDone(int error, const std::string& address) {
  if (FState != httpDnsLookup) return;
  if (error != 0) {
    FRequestDoneError = error;
    resp_.StatusCode = 404;
    resp_.ReasonPhrase = "can't resolve hostname to IP address";
    SocketSessionClosed(0);
    return;
  }
  FState = httpDnsLookupDone;
  FCurrentHost = FHostName;
  FCurrentPort = FPort;
  FCurrentProtocol = FProtocol;
  if (FProtocol != "http" && FProtocol != "https") {
    resp_.StatusCode = 501;
    resp_.ReasonPhrase = "Protocol \"" + FProtocol + "\" not implemented";
    SocketSessionClosed(0);
    return;
  }

  std::vector<std::unique_ptr<TFilter>> filters;
  FTlsFilter = nullptr;
  const bool socks = !SocksServer.empty();
  if (socks) {
    int port = 0;
    for (char c : FPort) port = (c >= '0' && c <= '9' && port < 65536) ? port * 10 + (c - '0') : 65536;
    std::unique_ptr<TFilter> f =
        port > 0 && port < 65536 ? MakeSocksFilter(FHostName, static_cast<std::uint16_t>(port)) : nullptr;
    if (!f) {
      const int code = 20013;  // the SOCKS layer's internal error
      FRequestDoneError = code;
      resp_.StatusCode = 404;
      resp_.ReasonPhrase = ErrorDesc(code) + " (Error #" + std::to_string(code) + ")";
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
  socket_->SetFilters(std::move(filters));
  socket_->Addr = socks ? SocksServer : address;
  socket_->Port = socks ? SocksPort : FPort;
  try {
    socket_->Connect();
  } catch (const ESocketException&) {
    const int code = socket_->LastError();
    FRequestDoneError = code;
    resp_.StatusCode = 404;
    resp_.ReasonPhrase = "can't connect: " + ErrorDesc(code) + " (Error #" + std::to_string(code) + ")";
    SocketSessionClosed(0);
  }
}

void THttpClient::SocketSessionConnected(int error) {
  if (FState != httpDnsLookupDone) return;
  if (error != 0) {
    TFilter* failed = socket_->FailedFilter();
    if (failed && failed == FTlsFilter) {
      TlsFailed(*failed);
      return;  // the socket reports the close next
    }
    FRequestDoneError = error;
    resp_.StatusCode = 404;
    resp_.ReasonPhrase = ErrorDesc(error) + " (Error #" + std::to_string(error) + ")";
    return;
  }
  FState = httpConnected;
  FState = httpWaitingHeader;
  SendRequest();
}

void THttpClient::SendRequest() {
  decoder_.Enabled = Options.count(httpoEnableContentCoding) != 0;
  decoder_.UseQuality = Options.count(httpoUseQuality) != 0;
  decoder_.MaxDecodedBytes = MaxBodyBytes;
  std::vector<std::string> lines;
  lines.push_back(FMethod + " " + FPath + " HTTP/" + RequestVer);
  if (!Sender.empty()) lines.push_back("From: " + Sender);
  if (!Accept.empty()) lines.push_back("Accept: " + Accept);
  if (!Reference.empty()) lines.push_back("Referer: " + Reference);
  if (!Connection.empty()) lines.push_back("Connection: " + Connection);
  if (!AcceptLanguage.empty()) lines.push_back("Accept-Language: " + AcceptLanguage);
  if (!decoder_.HeaderText().empty() && FMethod != "HEAD") lines.push_back("Accept-Encoding: gzip, deflate, br");
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
  framer_.MaxHeaderBytes = MaxHeaderBytes;
  framer_.Begin(RequestVer, FMethod == "HEAD");
  bodyBegan_ = false;
  socket_->Send(buf.data(), buf.size());
  // Bytes that arrived behind the previous response on this connection are read now.
  if (FReceiveLen > 0 || socket_->PendingReceive() > 0) {
    const std::uint64_t s = serial_;
    Post([this, s] {
      if (s != serial_) return;
      if (FReceiveLen > 0) ProcessReceived();
      SocketDataAvailable();
    });
  }
}

void THttpClient::SocketDataAvailable() {
  const std::uint64_t s = serial_;
  while (InRequest() && s == serial_ && (FState == httpWaitingHeader || FState == httpWaitingBody) &&
         framer_.Phase() != TResponseFramer::TPhase::Complete) {
    if (FReceiveBuffer.size() < FReceiveLen + 8192 + 1) FReceiveBuffer.resize(FReceiveLen + 8193);
    const int n = socket_->Receive(FReceiveBuffer.data() + FReceiveLen, FReceiveBuffer.size() - FReceiveLen - 1);
    if (n <= 0) return;
    FReceiveLen += static_cast<std::size_t>(n);
    FReceiveBuffer[FReceiveLen] = 0;
    ProcessReceived();
  }
}

void THttpClient::ProcessReceived() {
  const bool inHeader = !framer_.HeaderEnded();
  const bool complete = framer_.Phase() == TResponseFramer::TPhase::Complete;
  const std::size_t used = framer_.Feed(FReceiveBuffer.data(), FReceiveLen);
  if (used > 0) {
    std::memmove(FReceiveBuffer.data(), FReceiveBuffer.data() + used, FReceiveLen - used);
    FReceiveLen -= used;
    FReceiveBuffer[FReceiveLen] = 0;
  }
  if (inHeader && framer_.HeaderEnded()) {
    if (!framer_.BodyFollows()) {
      AfterHeader();
      return;
    }
    FState = httpWaitingBody;
  }
  if (!complete && framer_.BodyFollows() && framer_.Phase() == TResponseFramer::TPhase::Complete) {
    DocumentEnd();
    if (resp_.CloseReq) socket_->Close();
    AfterDocument();
  }
}

void THttpClient::AfterHeader() {
  // No body follows.
  if (FLocationFlag) StartRelocation();
  else if (resp_.CloseReq) socket_->Close();  // the close completes the request
  else SetReady();
}

void THttpClient::DocumentEnd() {
  FState = httpBodyReceived;
  decoder_.Complete();
}

void THttpClient::AfterDocument() {
  if (FLocationFlag) StartRelocation();
  else SetReady();
}

void THttpClient::SetReady() {
  const std::uint64_t s = serial_;
  socket_->Loop().Post(this, [this, s] {
    if (s == serial_) FState = httpReady;
  });
}

void THttpClient::SocketSessionClosed(int error) {
  if (!InRequest()) return;
  FReceiveLen = 0;
  TFilter* failed = socket_->FailedFilter();
  if (error != 0 && failed && failed == FTlsFilter && FState != httpDnsLookupDone) {
    TlsFailed(*failed);  // the TLS layer dropped an established session
    error = httperrAborted;
  }
  if (error != 0) FRequestDoneError = error;
  if (framer_.HeaderBegun() && !framer_.HeaderEnded()) {
    // Closed inside the header: only a relocation, or the time-out, ends the request.
    if (FLocationFlag) RelocateAfterClose();
    return;
  }
  if (framer_.CompleteOnClose()) DocumentEnd();
  if (FLocationFlag) {
    RelocateAfterClose();
    return;
  }
  if (resp_.StatusCode == 0 && FRequestDoneError == 0) {
    FRequestDoneError = httperrNoStatusCode;
    resp_.ReasonPhrase = "HTTP no status code (connection closed prematurely)";
  } else if (resp_.StatusCode == 0 && error != 0) {
    // Reset before any status line: say so, rather than leave an earlier response's phrase.
    resp_.ReasonPhrase = ErrorDesc(error) + " (Error #" + std::to_string(error) + ")";
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
  const std::int32_t status = resp_.StatusCode;
  if (status == 303 && FMethod != "HEAD") FMethod = "GET";
  if ((status == 301 || status == 302) && FMethod == "POST") FMethod = "GET";
  if (bodyBegan_ && RcvdStream && RcvdStream->Size() > FRcvdStreamStartSize)
    RcvdStream->SetSize(FRcvdStreamStartSize);
  // A new response starts from nothing, so that a target that fails cannot pass for the
  // relocation response (the reason phrase stays until a new status line or failure).
  ResetResponse(true);
  decoder_.Reset();
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
      !resp_.CloseReq && socket_->Connected()) {
    if (!CountRelocation()) return;
    const std::uint64_t s = serial_;
    Post([this, s] {
      if (s != serial_) return;
      FLocationFlag = false;
      FState = httpWaitingHeader;
      SendRequest();
    });
    return;
  }
  socket_->Close();  // the close carries the relocation out
}

void THttpClient::RelocateAfterClose() {
  if (!CountRelocation()) return;
  const std::uint64_t s = serial_;
  Post([this, s] {
    if (s != serial_) return;
    FLocationFlag = false;
    socket_->Abort();
    FState = httpNotConnected;
    StartConnection();
  });
}

}  // namespace net
