#pragma once
// Child programs for tests and benchmarks that need a real peer on loopback (the demo portal,
// microsocks, the harvest harness): a free port, a test that the port accepts, and a child
// process that is stopped (SIGTERM, then SIGKILL) when its object goes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A port nobody listens on right now on 127.0.0.1, for a peer that binds only there (microsocks
// with -i 127.0.0.1). The demo portal binds ::1 as well and picks its own port (DemoPortal.h).
inline int FreeLoopbackPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// True when something accepts connections on the loopback port.
inline bool LoopbackAccepts(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

// A child program started in a folder, its standard output optionally sent to a file.
class TChildProcess {
 public:
  TChildProcess(const std::vector<std::string>& argv, const std::string& dir,
                const std::string& stdoutFile = {}) {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      if (!stdoutFile.empty()) {
        const int fd = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) ::dup2(fd, 1);
      }
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess() { Stop(); }

  // True when the child has ended within timeout; Status() then holds its wait status.
  bool Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!Reaped()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Asks the child to end (SIGTERM) and waits for it; kills it when it takes too long.
  void Stop() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGTERM);
    if (!Wait(std::chrono::seconds(5))) Kill();
  }
  void Kill() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    exited_ = true;
  }
  int Status() const { return status_; }

 private:
  bool Reaped() {
    if (!exited_ && pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_ || pid_ <= 0;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace testsupport
