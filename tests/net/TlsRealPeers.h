#pragma once
// Real peers for the TLS and SOCKS tests, started on free loopback ports and stopped by their
// destructors: nginx requiring the client certificate (logging the server name it was sent),
// `openssl s_server`, microsocks with a user and password, and a tiny plain-HTTP server.
#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TlsTestPeer.h"

namespace peers {

namespace fs = std::filesystem;

inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Whether this machine can listen on ::1 (names like localhost may resolve there first).
inline bool Ipv6LoopbackUsable(int port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<std::uint16_t>(port));
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A child process with its output in a log file; killed and reaped on destruction.
class TProcess {
 public:
  TProcess(std::vector<std::string> argv, const fs::path& log) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, 0);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~TProcess() { Stop(); }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool Running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

inline bool WaitForPort(int port, TProcess& p) {
  for (int i = 0; i < 300; ++i) {  // up to 30 s on a loaded machine
    if (PortOpen(port)) return true;
    if (!p.Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

inline fs::path ScratchDir(const std::string& name) {
  const fs::path d = fs::path(testpki::Dir()) / ".." / ("run-" + name + "-" + std::to_string(::getpid()));
  fs::create_directories(d);
  return fs::canonical(d);
}

// nginx serving https on a free port, requiring a client certificate from the test CA.
// Its access log lines read "<server name>|<client subject>|<request>".
class TNginx {
 public:
  explicit TNginx(const std::string& name, const std::string& body = "hello from nginx\n",
                  const std::string& cert = "server-cert.pem", const std::string& key = "server-key.pem")
      : dir_(ScratchDir("nginx-" + name)), port_(FreePort()) {
    fs::create_directories(dir_ / "www");
    fs::create_directories(dir_ / "logs");
    std::ofstream(dir_ / "www" / "index.html", std::ios::binary) << body;
    std::ofstream conf(dir_ / "nginx.conf");
    conf << "daemon off;\n"
         // As root, workers would run as nobody and might not reach files under the build tree.
         << (::geteuid() == 0 ? "user root;\n" : "")
         << "worker_processes 2;\n"
         << "pid " << (dir_ / "nginx.pid").string() << ";\n"
         << "error_log " << (dir_ / "logs" / "error.log").string() << " info;\n"
         << "events { worker_connections 1024; }\n"
         << "http {\n"
         << "  client_body_temp_path " << dir_.string() << "/tmp;\n"
         << "  log_format sni '$ssl_server_name|$ssl_client_s_dn|$request';\n"
         << "  access_log " << (dir_ / "logs" / "access.log").string() << " sni;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port_ << " ssl;\n"
         << (Ipv6LoopbackUsable(port_) ? "    listen [::1]:" + std::to_string(port_) + " ssl;\n" : "")
         << "    ssl_certificate " << testpki::File(cert) << ";\n"
         << "    ssl_certificate_key " << testpki::File(key) << ";\n"
         << "    ssl_client_certificate " << testpki::File("ca.pem") << ";\n"
         << "    ssl_verify_client on;\n"
         << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
         << "    root " << (dir_ / "www").string() << ";\n"
         << "    location / { index index.html; }\n"
         << "  }\n"
         << "}\n";
    conf.close();
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    proc_ = std::make_unique<TProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", dir_.string(), "-c",
                                 (dir_ / "nginx.conf").string()},
        dir_ / "logs" / "stdout.log");
    ready_ = WaitForPort(port_, *proc_);
  }
  bool Ready() const { return ready_; }
  int Port() const { return port_; }
  // The access log once it holds at least minLines lines (or after about five seconds).
  std::string AccessLog(std::size_t minLines = 1) const {
    // nginx writes a line after its response; give it a moment on a loaded machine.
    std::string log;
    for (int i = 0; i < 50; ++i) {
      log = ReadFile(dir_ / "logs" / "access.log");
      if (static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) >= minLines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return log;
  }
  std::string ErrorLog() const { return ReadFile(dir_ / "logs" / "error.log"); }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<TProcess> proc_;
  bool ready_ = false;
};

// microsocks on a free port; with a user, only user/password authentication is accepted.
class TMicrosocks {
 public:
  TMicrosocks(const std::string& user, const std::string& pass)
      : dir_(ScratchDir("socks")), port_(FreePort()) {
    std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                                     std::to_string(port_)};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", pass});
    proc_ = std::make_unique<TProcess>(argv, dir_ / "microsocks.log");
    ready_ = WaitForPort(port_, *proc_);
  }
  bool Ready() const { return ready_; }
  int Port() const { return port_; }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<TProcess> proc_;
  bool ready_ = false;
};

// `openssl s_server -www` requiring a client certificate; extra arguments limit it further.
class TSServer {
 public:
  explicit TSServer(const std::string& name, std::vector<std::string> extra = {},
                    const std::string& cert = "server-cert.pem", const std::string& key = "server-key.pem")
      : dir_(ScratchDir("s_server-" + name)), port_(FreePort()) {
    std::vector<std::string> argv = {"/usr/bin/openssl", "s_server", "-accept",
                                     "127.0.0.1:" + std::to_string(port_), "-cert",
                                     testpki::File(cert), "-key", testpki::File(key), "-CAfile",
                                     testpki::File("ca.pem"), "-Verify", "1", "-www", "-naccept",
                                     "1000"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = std::make_unique<TProcess>(argv, dir_ / "s_server.log");
    ready_ = WaitForPort(port_, *proc_);
  }
  bool Ready() const { return ready_; }
  int Port() const { return port_; }
  std::string Log() const { return ReadFile(dir_ / "s_server.log"); }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<TProcess> proc_;
  bool ready_ = false;
};

// A loopback server on its own thread that answers each connection with fixed bytes (plain
// HTTP on the TLS port, or a scripted SOCKS proxy) after reading what the client sent first.
class TScriptedPeer {
 public:
  // A step: bytes to expect (count only) and the answer; an answer of "\xFF<close>" closes.
  struct Step {
    std::size_t expect;
    std::string answer;
    bool close = false;
  };
  explicit TScriptedPeer(std::vector<Step> script) : script_(std::move(script)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TScriptedPeer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  int Port() const { return port_; }
  // What the first connection sent, in order.
  std::string Received() {
    std::lock_guard<std::mutex> g(lock_);
    return received_;
  }

 private:
  void Serve() {
    while (!stop_) {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      timeval tv{10, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      for (const Step& s : script_) {
        std::size_t got = 0;
        char buf[4096];
        while (got < s.expect) {
          const ssize_t n = ::recv(c, buf, std::min(sizeof buf, s.expect - got), 0);
          if (n <= 0) break;
          got += static_cast<std::size_t>(n);
          std::lock_guard<std::mutex> g(lock_);
          received_.append(buf, static_cast<std::size_t>(n));
        }
        if (s.close) break;
        if (!s.answer.empty()) ::send(c, s.answer.data(), s.answer.size(), MSG_NOSIGNAL);
      }
      ::shutdown(c, SHUT_WR);
      char drain[256];
      while (::recv(c, drain, sizeof drain, 0) > 0) {
      }
      ::close(c);
    }
  }
  std::vector<Step> script_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::string received_;
};

}  // namespace peers
