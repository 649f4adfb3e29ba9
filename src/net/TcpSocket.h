#pragma once
// The client's control socket: a non-blocking IPv4 TCP connection with an ordered stack of
// protocol layers above it (SOCKS5 when a proxy is used, then TLS for https). The socket drives
// the layers: it starts the lowest one when TCP connects, passes received bytes up through them
// and written bytes down, starts each layer once the one below is established, and reports
// "connected" upward only when all are. A failed layer becomes the socket's connect error.
// All events arrive through the owning thread's event loop.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Filter.h"

namespace net {

// A failure raised by a socket call (connect set-up, a bad port): a socket error code and text.
class ESocketException : public std::runtime_error {
 public:
  ESocketException(int code, const std::string& msg) : std::runtime_error(msg), ErrorCode(code) {}
  int ErrorCode;
};

enum class TSocketState { Closed, DnsLookup, Connecting, Negotiating, Connected };

class TTcpSocket {
 public:
  TTcpSocket();
  ~TTcpSocket();
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;

  // --- set-up, before Connect ---
  std::string LocalAddr = "0.0.0.0";
  std::string Addr;  // dotted IPv4 address or host name of the peer (or of the SOCKS server)
  std::string Port;  // number or service name
  // Protocol layers, lowest first. Replaced for every connection.
  void SetFilters(std::vector<std::unique_ptr<TFilter>> filters);
  std::size_t FilterCount() const { return filters_.size(); }
  TFilter* Filter(std::size_t i) const { return filters_[i].get(); }
  // After a failed connect: the layer that failed (nullptr when TCP itself failed).
  TFilter* FailedFilter() const { return failedFilter_; }

  // --- name lookup: does not block; OnDnsLookupDone(error) arrives as an event ---
  void DnsLookup(const std::string& host);
  void CancelDnsLookup();
  bool DnsLookupInProgress() const { return state_ == TSocketState::DnsLookup; }
  const std::string& DnsResult() const { return dnsResult_; }
  // Replaceable lookup (tests): fills the dotted IPv4 address, returns 0 or a socket error code.
  // Runs on a helper thread; must not touch shared state.
  std::function<int(const std::string& host, std::string& ipv4)> Resolver;

  // --- connection ---
  // Starts the connect to Addr:Port. Throws ESocketException when it cannot even start; the
  // code is then also LastError().
  void Connect();
  // Hands bytes to the top layer (or the descriptor); returns len, or -1 when not connected.
  int Send(const char* data, std::size_t len);
  // Takes up to len received application bytes; returns the count, 0 when none are waiting.
  int Receive(char* buf, std::size_t len);
  std::size_t PendingReceive() const { return rx_.size() - rxPos_; }
  // Orderly close: pending bytes are flushed as far as possible, layers shut down;
  // OnSessionClosed(0) follows as an event.
  void Close();
  // Drops the connection (and a name lookup) at once; no event follows.
  void Abort();
  bool Connected() const { return state_ == TSocketState::Connected && !closing_; }
  TSocketState State() const { return state_; }
  int LastError() const { return lastError_; }

  // Runs the thread's pending events once, without waiting.
  void ProcessPendingEvents();
  TEventLoop& Loop() const { return *loop_; }

  // --- activity record for the inactivity time-out; a zero Has* means "never" ---
  std::function<std::uint32_t()> TickSource;  // defaults to base::GetTickCount32
  std::uint32_t Now() const;
  void NoteSend() { lastSend_ = Now(); hasSend_ = true; }
  // Milliseconds since the latest of connect, send and receive (UINT32_MAX when none).
  std::uint32_t IdleMs() const;

  // --- events, all delivered on the owning thread ---
  std::function<void(int error)> OnDnsLookupDone;
  std::function<void(int error)> OnSessionConnected;
  std::function<void()> OnDataAvailable;
  std::function<void(int error)> OnSessionClosed;
  // A layer threw while the socket was driving it (a TLS context that cannot be set up).
  // The connection is already dropped when this is called.
  std::function<void(const std::exception& e)> OnLayerException;

 private:
  struct TResolveJob;

  void SetLastError(int code) { lastError_ = code; }
  short Interest() const;
  void OnReady(short revents);
  void FinishConnect();
  void ReadFromFd();
  void Pump();
  void WriteToFd(const char* data, std::size_t len);
  void FlushTx();
  void Fail(int error, TFilter* filter);
  void BeginClose(int error);
  void FinishClose();
  void DropFd();
  void PostEvent(std::function<void()> fn);
  void ReportConnected(int error);

  std::shared_ptr<TEventLoop> loop_;
  TEventLoop::TWatchId watch_ = 0;
  int fd_ = -1;
  TSocketState state_ = TSocketState::Closed;
  std::uint64_t generation_ = 0;  // bumped by every connect, close and abort: stale events drop
  std::vector<std::unique_ptr<TFilter>> filters_;
  std::size_t established_ = 0;  // layers established so far
  TFilter* failedFilter_ = nullptr;
  std::shared_ptr<TResolveJob> job_;
  std::string dnsResult_;
  int lastError_ = 0;
  std::string tx_;          // bytes waiting for the descriptor
  std::string rx_;          // application bytes waiting for Receive
  std::size_t rxPos_ = 0;
  bool peerDone_ = false;   // end of stream (or a read error) seen below
  int peerError_ = 0;
  bool writeFailed_ = false;  // a write failed: the peer is gone, reading tells how
  bool closing_ = false;    // the close is decided; only delivery of waiting bytes remains
  bool closePosted_ = false;
  std::uint32_t lastConnect_ = 0, lastSend_ = 0, lastRecv_ = 0;
  bool hasConnect_ = false, hasSend_ = false, hasRecv_ = false;
};

}  // namespace net
