#include "NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ScriptedServer.h"

namespace nettest {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

void WriteFile(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Accepts(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool TNginxServer::Available() { return access(kNginx, X_OK) == 0; }

TNginxServer::TNginxServer(const std::map<std::string, std::string>& files) {
  char tmpl[] = "/tmp/sh-nginx-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  dir_ = tmpl;
  for (const auto& [name, data] : files) WriteFile(dir_ + "/www/" + name, data);
  port_ = FreeLoopbackPort();
  const std::string p = std::to_string(port_);
  // master_process off: one process as the current user (root in CI), no user switch needed.
  const std::string conf =
      "worker_processes 1;\n"
      "error_log " + dir_ + "/error.log;\n"
      "pid " + dir_ + "/nginx.pid;\n"
      "events { worker_connections 512; }\n"
      "http {\n"
      "  log_format conn '$connection $request';\n"
      "  access_log " + dir_ + "/access.log conn;\n"
      "  client_body_temp_path " + dir_ + "/body;\n"
      "  proxy_temp_path " + dir_ + "/proxy;\n"
      "  fastcgi_temp_path " + dir_ + "/fastcgi;\n"
      "  uwsgi_temp_path " + dir_ + "/uwsgi;\n"
      "  scgi_temp_path " + dir_ + "/scgi;\n"
      "  default_type text/html;\n"
      "  types { text/html html; text/plain txt; }\n"
      "  gzip on;\n"
      "  gzip_http_version 1.0;\n"
      "  gzip_min_length 1;\n"
      "  gzip_types text/plain;\n"
      "  keepalive_timeout 30;\n"
      "  server {\n"
      "    listen 127.0.0.1:" + p + ";\n"
      "    root " + dir_ + "/www;\n"
      "    location = /redirect { return 301 /page.html; }\n"
      "    location = /absolute { return 302 http://127.0.0.1:" + p + "/page.html; }\n"
      "  }\n"
      "}\n";
  WriteFile(dir_ + "/nginx.conf", conf);
  pid_ = fork();
  if (pid_ == 0) {
    const int devnull = ::open("/dev/null", 0);
    if (devnull >= 0) {
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    execl(kNginx, kNginx, "-p", dir_.c_str(), "-c", (dir_ + "/nginx.conf").c_str(), "-g",
          "daemon off; master_process off;", static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port_)) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) break;  // nginx gave up
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

TNginxServer::~TNginxServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    bool reaped = false;
    for (int i = 0; i < 250 && !reaped; ++i) {
      reaped = waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string TNginxServer::AccessLog() const { return ReadFile(dir_ + "/access.log"); }
std::string TNginxServer::ErrorLog() const { return ReadFile(dir_ + "/error.log"); }

}  // namespace nettest
