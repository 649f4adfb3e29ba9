#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace nettest {
namespace {

using Clock = std::chrono::steady_clock;

// Reads one byte with a deadline; -1 on close, error or time-out.
int ReadByte(int fd, Clock::time_point deadline, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) continue;
    unsigned char c;
    const ssize_t n = recv(fd, &c, 1, 0);
    if (n == 1) return c;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return -1;
  }
  return -1;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

constexpr int kStepTimeoutMs = 10000;

}  // namespace

TScript SendSplit(const std::string& bytes, std::size_t piece, int pauseMs) {
  TScript s;
  for (std::size_t i = 0; i < bytes.size(); i += piece) {
    if (i > 0 && pauseMs > 0) s.push_back(Pause(pauseMs));
    s.push_back(Send(bytes.substr(i, piece)));
  }
  return s;
}

TScript Join(std::initializer_list<TScript> parts) {
  TScript out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TScriptedServer::TScriptedServer(std::vector<TScript> connections) : scripts_(std::move(connections)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listenFd_, 16) != 0)
    throw std::runtime_error("bind/listen failed");
  socklen_t len = sizeof sa;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TScriptedServer::~TScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

void TScriptedServer::Stop(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // The thread ends by itself once every script ran; past the deadline it is told to stop.
  while (thread_.joinable() && Clock::now() < deadline && accepted_.load() < static_cast<int>(scripts_.size()))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (Clock::now() >= deadline) stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void TScriptedServer::Record(std::vector<std::string>& list, std::string s) {
  std::lock_guard<std::mutex> lock(mutex_);
  list.push_back(std::move(s));
}

std::vector<std::string> TScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> TScriptedServer::Errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void TScriptedServer::Run() {
  for (const TScript& script : scripts_) {
    int fd = -1;
    while (!stop_.load()) {
      pollfd p{listenFd_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) break;
      }
    }
    if (fd < 0) return;
    ++accepted_;
    Serve(fd, script);
  }
}

void TScriptedServer::Serve(int fd, const TScript& script) {
  bool open = true;
  for (const TStep& step : script) {
    if (!open || stop_.load()) break;
    switch (step.Kind) {
      case TStep::ReadRequest: {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        while (got.size() < 4 || got.compare(got.size() - 4, 4, "\r\n\r\n") != 0) {
          const int c = ReadByte(fd, deadline, stop_);
          if (c < 0) break;
          got += static_cast<char>(c);
        }
        Record(requests_, got);
        break;
      }
      case TStep::Expect: {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        while (got.size() < step.Data.size()) {
          const int c = ReadByte(fd, deadline, stop_);
          if (c < 0) break;
          got += static_cast<char>(c);
        }
        if (got != step.Data) Record(errors_, "expected [" + step.Data + "] got [" + got + "]");
        break;
      }
      case TStep::Send: {
        std::string data = step.Data;
        for (std::size_t p; (p = data.find("@PORT@")) != std::string::npos;) data.replace(p, 6, std::to_string(port_));
        if (!WriteAll(fd, data)) Record(errors_, "send failed");
        break;
      }
      case TStep::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.Ms));
        break;
      case TStep::Close:
        open = false;
        break;
      case TStep::Reset: {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        open = false;
        break;
      }
      case TStep::WaitClose: {
        const auto deadline = Clock::now() + std::chrono::milliseconds(step.Ms);
        std::string got;
        int c;
        while ((c = ReadByte(fd, deadline, stop_)) >= 0) got += static_cast<char>(c);
        if (!got.empty()) Record(requests_, got);
        open = false;
        break;
      }
    }
  }
  close(fd);
}

std::uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

}  // namespace nettest
