#include "TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "NetText.h"
#include "SocketErrors.h"
#include "base/TickCount.h"

namespace net {
namespace {

// Received application bytes held for the client before the socket stops reading.
constexpr std::size_t kRxHighWater = 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

bool IsDottedIpv4(const std::string& host, in_addr* out) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  if (out) *out = a;
  return true;
}

// Blocking IPv4 lookup: the first address of the name.
int ResolveIpv4(const std::string& host, std::string& ipv4) {
  if (host.empty()) return sockErrHostNotFound;  // nothing to ask a name server about
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) return SocketErrorFromGai(rc, errno);
  int code = sockErrNoData;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) {
      ipv4 = buf;
      code = 0;
      break;
    }
  }
  freeaddrinfo(res);
  return code;
}

// Threads that run the blocking name lookups for every socket of the process. A lookup never
// waits for a busy thread: when none is idle a new one starts, so a lookup that hangs holds up
// only itself. An idle thread stays for a while, so that the lookups of a paced run, one every
// few hundred milliseconds, do not each start a thread of their own.
class TLookupThreads {
 public:
  static TLookupThreads& Instance() {
    // Never destroyed: its threads may still be waiting or looking up when the process exits.
    static TLookupThreads* const threads = new TLookupThreads;
    return *threads;
  }

  void Run(std::function<void()> job) {
    std::lock_guard<std::mutex> g(lock_);
    jobs_.push_back(std::move(job));
    if (idle_ >= jobs_.size()) {
      wake_.notify_one();
      return;
    }
    std::thread([this] { Serve(); }).detach();
  }

 private:
  static constexpr std::chrono::seconds kIdleLife{30};

  void Serve() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      if (jobs_.empty()) {
        ++idle_;
        const bool got = wake_.wait_for(g, kIdleLife, [this] { return !jobs_.empty(); });
        --idle_;
        if (!got) return;
      }
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      g.unlock();
      job();
      job = nullptr;  // what the job holds goes before the thread waits again
      g.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::size_t idle_ = 0;  // threads waiting for a job
};

// A port given as a number or a service name; -1 when neither.
int ResolvePort(const std::string& text) {
  if (text.empty()) return -1;
  if (text.find_first_not_of("0123456789") == std::string::npos) return DecimalPort(text);
  servent se{};
  servent* result = nullptr;
  char buf[1024];
  if (getservbyname_r(text.c_str(), "tcp", &se, buf, sizeof buf, &result) != 0 || !result) return -1;
  return ntohs(static_cast<std::uint16_t>(result->s_port));
}

}  // namespace

struct TTcpSocket::TResolveJob {
  TTcpSocket* socket = nullptr;  // cleared when the lookup is cancelled; loop thread only
};

TTcpSocket::TTcpSocket() : loop_(TEventLoop::ForCurrentThread()) {}

TTcpSocket::~TTcpSocket() {
  Abort();
  loop_->Cancel(this);
}

std::uint32_t TTcpSocket::Now() const { return TickSource ? TickSource() : base::GetTickCount32(); }

std::uint32_t TTcpSocket::IdleMs() const {
  const std::uint32_t now = Now();
  std::uint32_t best = UINT32_MAX;
  auto consider = [&](bool has, std::uint32_t t) {
    if (!has) return;
    const std::uint32_t e = base::TicksElapsed(t, now);
    if (e < best) best = e;
  };
  consider(hasConnect_, lastConnect_);
  consider(hasSend_, lastSend_);
  consider(hasRecv_, lastRecv_);
  return best;
}

void TTcpSocket::SetFilters(std::vector<std::unique_ptr<TFilter>> filters) {
  failedFilter_ = nullptr;
  filters_ = std::move(filters);
  established_ = 0;
}

void TTcpSocket::PostEvent(std::function<void()> fn) {
  const std::uint64_t gen = generation_;
  loop_->Post(this, [this, gen, fn = std::move(fn)] {
    if (gen == generation_) fn();
  });
}

// --- name lookup ---

void TTcpSocket::DnsLookup(const std::string& host) {
  CancelDnsLookup();
  dnsResult_.clear();
  state_ = TSocketState::DnsLookup;
  auto job = std::make_shared<TResolveJob>();
  job->socket = this;
  job_ = job;
  auto finish = [job](int code, std::string ip) {
    TTcpSocket* s = job->socket;
    if (!s) return;  // cancelled, or the socket is gone
    s->job_.reset();
    s->state_ = TSocketState::Closed;
    s->dnsResult_ = std::move(ip);
    s->SetLastError(code);
    if (s->OnDnsLookupDone) s->OnDnsLookupDone(code);
  };
  in_addr a{};
  if (!Resolver && IsDottedIpv4(host, &a)) {
    // A dotted address needs no lookup; it still completes as an event.
    loop_->Post(this, [finish, host] { finish(0, host); });
    return;
  }
  std::weak_ptr<TLoopInbox> inbox = loop_->Inbox();
  auto resolver = Resolver;
  TLookupThreads::Instance().Run([inbox, resolver, host, finish] {
    std::string ip;
    const int code = resolver ? resolver(host, ip) : ResolveIpv4(host, ip);
    if (auto in = inbox.lock()) in->Post([finish, code, ip] { finish(code, ip); });
  });
}

void TTcpSocket::CancelDnsLookup() {
  if (job_) {
    job_->socket = nullptr;
    job_.reset();
  }
  if (state_ == TSocketState::DnsLookup) state_ = TSocketState::Closed;
}

// --- connection ---

void TTcpSocket::Connect() {
  Abort();
  ++generation_;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  in_addr a{};
  if (!IsDottedIpv4(Addr, &a)) {
    // The SOCKS server's own name is resolved here, blocking the thread.
    std::string ip;
    const int code = Resolver ? Resolver(Addr, ip) : ResolveIpv4(Addr, ip);
    if (code != 0 || !IsDottedIpv4(ip, &a)) {
      SetLastError(code ? code : sockErrHostNotFound);
      throw ESocketException(lastError_, "Connect: " + ErrorDesc(lastError_));
    }
  }
  sa.sin_addr = a;
  const int port = ResolvePort(Port);
  if (port < 0) {
    SetLastError(sockErrInvalidArg);
    throw ESocketException(lastError_, "Connect: invalid port \"" + Port + "\"");
  }
  sa.sin_port = htons(static_cast<std::uint16_t>(port));

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(SocketErrorFromErrno(errno));
    throw ESocketException(lastError_, "Connect: " + ErrorDesc(lastError_));
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!LocalAddr.empty() && LocalAddr != "0.0.0.0") {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (!IsDottedIpv4(LocalAddr, &local.sin_addr) ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      SetLastError(errno ? SocketErrorFromErrno(errno) : sockErrInvalidArg);
      close(fd);
      throw ESocketException(lastError_, "Connect: " + ErrorDesc(lastError_));
    }
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
    const int err = errno;
    close(fd);
    // A refusal the kernel knows at once is reported like one that arrives later.
    if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH) {
      state_ = TSocketState::Connecting;
      Fail(SocketErrorFromErrno(err), nullptr);
      return;
    }
    SetLastError(SocketErrorFromErrno(err));
    throw ESocketException(lastError_, "Connect: " + ErrorDesc(lastError_));
  }
  fd_ = fd;
  state_ = TSocketState::Connecting;
  failedFilter_ = nullptr;
  established_ = 0;
  peerDone_ = false;
  peerError_ = 0;
  writeFailed_ = false;
  closing_ = false;
  closePosted_ = false;
  SetLastError(0);
  watch_ = loop_->Watch(
      fd_, [this] { return Interest(); }, [this](short revents) { OnReady(revents); });
}

short TTcpSocket::Interest() const {
  if (fd_ < 0) return 0;
  if (state_ == TSocketState::Connecting) return POLLOUT;
  short ev = 0;
  if (!peerDone_ && PendingReceive() < kRxHighWater) ev |= POLLIN;
  if (!tx_.empty()) ev |= POLLOUT;
  return ev;
}

void TTcpSocket::OnReady(short revents) {
  const std::uint64_t gen = generation_;
  try {
    if (state_ == TSocketState::Connecting) {
      FinishConnect();
      return;
    }
    if (revents & POLLOUT) FlushTx();
    if (gen != generation_) return;
    if (revents & (POLLIN | POLLHUP | POLLERR)) ReadFromFd();
  } catch (const std::exception& e) {
    DropFd();
    state_ = TSocketState::Closed;
    if (OnLayerException) OnLayerException(e);
  }
}

void TTcpSocket::FinishConnect() {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    Fail(SocketErrorFromErrno(err), nullptr);
    return;
  }
  const std::uint32_t now = Now();
  lastConnect_ = now;
  hasConnect_ = true;
  hasSend_ = hasRecv_ = false;
  if (filters_.empty()) {
    state_ = TSocketState::Connected;
    ReportConnected(0);
    return;
  }
  state_ = TSocketState::Negotiating;
  filters_[0]->Start();
  Pump();
}

void TTcpSocket::ReportConnected(int error) {
  PostEvent([this, error] {
    if (OnSessionConnected) OnSessionConnected(error);
  });
}

void TTcpSocket::Fail(int error, TFilter* filter) {
  failedFilter_ = filter;
  SetLastError(error);
  DropFd();
  state_ = TSocketState::Closed;
  ReportConnected(error);
  closePosted_ = true;
  PostEvent([this, error] {
    if (OnSessionClosed) OnSessionClosed(error);
  });
}

void TTcpSocket::ReadFromFd() {
  const std::uint64_t gen = generation_;
  char buf[kReadChunk];
  bool got = false;
  while (!peerDone_ && PendingReceive() < kRxHighWater) {
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      got = true;
      lastRecv_ = Now();
      hasRecv_ = true;
      if (filters_.empty()) {
        rx_.append(buf, static_cast<std::size_t>(n));
      } else {
        filters_[0]->FromBelow(buf, static_cast<std::size_t>(n));
        Pump();
        if (gen != generation_) return;
      }
      if (static_cast<std::size_t>(n) < sizeof buf) break;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    peerDone_ = true;
    peerError_ = n == 0 ? 0 : SocketErrorFromErrno(errno);
    for (auto& f : filters_) {
      if (peerError_) f->BelowError(peerError_);
      else f->BelowClosed();
    }
    if (!filters_.empty()) {
      Pump();
      if (gen != generation_) return;
    }
  }
  if (got && state_ == TSocketState::Connected && PendingReceive() > 0 && OnDataAvailable) {
    OnDataAvailable();
    if (gen != generation_) return;
  }
  if (peerDone_ && PendingReceive() == 0) {
    if (state_ == TSocketState::Negotiating)
      Fail(peerError_ ? peerError_ : SocketErrorFromErrno(ECONNABORTED), nullptr);
    else if (state_ == TSocketState::Connected)
      BeginClose(peerError_);
  }
}

void TTcpSocket::Pump() {
  const std::size_t n = filters_.size();
  bool moved = true;
  while (moved && fd_ >= 0) {
    moved = false;
    // Down: what each layer wants sent goes to the one below, the lowest to the descriptor.
    for (std::size_t i = n; i-- > 0;) {
      std::string s = filters_[i]->TakeForBelow();
      if (s.empty()) continue;
      moved = true;
      if (i == 0) WriteToFd(s.data(), s.size());
      else filters_[i - 1]->FromAbove(s.data(), s.size());
      if (fd_ < 0) return;
    }
    // Start each layer once the one below is up.
    while (established_ < n && filters_[established_]->Status() == TFilter::TStatus::Established) {
      ++established_;
      if (established_ < n) filters_[established_]->Start();
      moved = true;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (filters_[i]->Status() == TFilter::TStatus::Failed) {
        TFilter* f = filters_[i].get();
        const int code = f->ErrorCode() ? f->ErrorCode() : SocketErrorFromErrno(ECONNABORTED);
        if (state_ == TSocketState::Negotiating) {
          Fail(code, f);
        } else {
          failedFilter_ = f;
          BeginClose(code);
        }
        return;
      }
    }
    // Up: a started layer takes what the one below hands up; the top feeds the client.
    for (std::size_t i = 0; i < n; ++i) {
      // Layers 0..established_ have been started (each is started once the one below it is
      // established), so layer i+1 may be fed once i+1 <= established_. Above the top layer is
      // the client, which gets bytes only when every layer is established.
      const bool nextStarted = i + 1 < n ? i + 1 <= established_ : established_ == n;
      if (!nextStarted) break;
      std::string s = filters_[i]->TakeForAbove();
      if (s.empty()) continue;
      moved = true;
      if (i + 1 < n) filters_[i + 1]->FromBelow(s.data(), s.size());
      else rx_.append(s);
    }
    if (filters_[n - 1]->Status() == TFilter::TStatus::Closed && !peerDone_) {
      peerDone_ = true;  // the session ended cleanly inside the top layer
      peerError_ = 0;
    }
  }
  if (state_ == TSocketState::Negotiating && established_ == n && fd_ >= 0) {
    state_ = TSocketState::Connected;
    ReportConnected(0);
  }
}

void TTcpSocket::WriteToFd(const char* data, std::size_t len) {
  if (fd_ < 0 || len == 0 || writeFailed_) return;
  if (!tx_.empty()) {
    tx_.append(data, len);
    return;
  }
  while (len > 0) {
    const ssize_t n = send(fd_, data, len, MSG_NOSIGNAL);
    if (n > 0) {
      lastSend_ = Now();
      hasSend_ = true;
      data += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      tx_.append(data, len);
      return;
    }
    // The peer is gone. Nothing more is written; the read side reports how the connection
    // ended (a close the peer sent before it reset is an ordinary end of stream).
    writeFailed_ = true;
    tx_.clear();
    return;
  }
}

void TTcpSocket::FlushTx() {
  if (tx_.empty() || fd_ < 0) return;
  std::string pending;
  pending.swap(tx_);
  WriteToFd(pending.data(), pending.size());
}

int TTcpSocket::Send(const char* data, std::size_t len) {
  if (fd_ < 0 || (state_ != TSocketState::Connected && state_ != TSocketState::Negotiating)) return -1;
  try {
    if (filters_.empty()) {
      WriteToFd(data, len);
    } else {
      filters_.back()->FromAbove(data, len);
      Pump();
    }
  } catch (const std::exception& e) {
    DropFd();
    state_ = TSocketState::Closed;
    if (OnLayerException) OnLayerException(e);
    return -1;
  }
  if (peerDone_ && PendingReceive() == 0 && state_ == TSocketState::Connected) BeginClose(peerError_);
  return static_cast<int>(len);
}

int TTcpSocket::Receive(char* buf, std::size_t len) {
  const std::size_t n = std::min(len, PendingReceive());
  if (n > 0) {
    std::memcpy(buf, rx_.data() + rxPos_, n);
    rxPos_ += n;
    if (rxPos_ == rx_.size()) {
      rx_.clear();
      rxPos_ = 0;
    } else if (rxPos_ > 256 * 1024 && rxPos_ * 2 > rx_.size()) {
      rx_.erase(0, rxPos_);
      rxPos_ = 0;
    }
  }
  if (PendingReceive() == 0 && peerDone_ && state_ == TSocketState::Connected) BeginClose(peerError_);
  return static_cast<int>(n);
}

void TTcpSocket::BeginClose(int error) {
  if (closePosted_) return;
  closing_ = true;
  DropFd();
  state_ = TSocketState::Closed;
  closePosted_ = true;
  PostEvent([this, error] {
    if (OnSessionClosed) OnSessionClosed(error);
  });
}

void TTcpSocket::Close() {
  if (fd_ < 0) {
    if (state_ == TSocketState::DnsLookup) CancelDnsLookup();
    return;
  }
  try {
    for (std::size_t i = filters_.size(); i-- > 0;) filters_[i]->Shutdown();
    if (!filters_.empty() && state_ != TSocketState::Connecting) Pump();
  } catch (const std::exception&) {
    // closing anyway
  }
  if (fd_ >= 0 && !tx_.empty()) {
    std::string pending;
    pending.swap(tx_);
    [[maybe_unused]] ssize_t n = send(fd_, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  BeginClose(0);
}

void TTcpSocket::DropFd() {
  if (watch_) {
    loop_->Unwatch(watch_);
    watch_ = 0;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  ++generation_;
  tx_.clear();
  rx_.clear();
  rxPos_ = 0;
}

void TTcpSocket::Abort() {
  CancelDnsLookup();
  DropFd();
  state_ = TSocketState::Closed;
  closing_ = false;
  closePosted_ = false;
}

void TTcpSocket::ProcessPendingEvents() { loop_->RunOnce(0); }

}  // namespace net
