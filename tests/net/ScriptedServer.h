#pragma once
// A loopback TCP server driven by scripts: one script per accepted connection, in order. Each
// script is a list of steps (read the request, expect bytes, send bytes, pause, close). What the
// server received and every mismatch are recorded for the test to check. It runs on a thread of
// its own and stops by itself when its scripts are done, or when the object is destroyed.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

struct TStep {
  enum TKind {
    ReadRequest,   // reads up to and including the blank line after a header; records it
    Expect,        // reads exactly data.size() bytes; a difference is recorded as an error
    Send,          // writes data; @PORT@ in it becomes the server's port
    Pause,         // sleeps ms
    Close,         // closes the connection (further steps are skipped)
    Reset,         // closes with a reset (SO_LINGER 0)
    WaitClose,     // waits up to ms for the client to close, recording what arrives
  };
  TKind Kind;
  std::string Data;
  int Ms = 0;
};
using TScript = std::vector<TStep>;

// Step helpers.
inline TStep ReadRequest() { return {TStep::ReadRequest, "", 0}; }
inline TStep Expect(std::string bytes) { return {TStep::Expect, std::move(bytes), 0}; }
inline TStep Send(std::string bytes) { return {TStep::Send, std::move(bytes), 0}; }
inline TStep Pause(int ms) { return {TStep::Pause, "", ms}; }
inline TStep Close() { return {TStep::Close, "", 0}; }
inline TStep Reset() { return {TStep::Reset, "", 0}; }
inline TStep WaitClose(int ms) { return {TStep::WaitClose, "", ms}; }
// Sends bytes in pieces of `piece` bytes with `pauseMs` between them.
TScript SendSplit(const std::string& bytes, std::size_t piece, int pauseMs);
// Joins scripts (for building one connection's steps from parts).
TScript Join(std::initializer_list<TScript> parts);

class TScriptedServer {
 public:
  // Listens on 127.0.0.1 at a free port and serves the scripts, one per connection.
  explicit TScriptedServer(std::vector<TScript> connections);
  ~TScriptedServer();
  TScriptedServer(const TScriptedServer&) = delete;
  TScriptedServer& operator=(const TScriptedServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Waits for the scripts to finish (at most timeoutMs), then stops the server.
  void Stop(int timeoutMs = 10000);

  // Requests recorded by ReadRequest steps, in order, over all connections.
  std::vector<std::string> Requests() const;
  std::vector<std::string> Errors() const;
  int Accepted() const { return accepted_.load(); }

 private:
  void Run();
  void Serve(int fd, const TScript& script);
  void Record(std::vector<std::string>& list, std::string s);

  std::vector<TScript> scripts_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::string> errors_;
};

// A free loopback port: bound, read and released (for servers started as child processes).
std::uint16_t FreeLoopbackPort();

}  // namespace nettest
