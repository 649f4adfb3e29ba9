#pragma once
// A real web server for the tests and benchmarks: nginx from the system, started as a child
// process on a free loopback port with a throwaway configuration and document root in a temp
// folder (static pages, gzip, a redirect, a 404), stopped and removed with the object.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace nettest {

class TNginxServer {
 public:
  // files: document-root-relative name -> content.
  explicit TNginxServer(const std::map<std::string, std::string>& files);
  ~TNginxServer();
  TNginxServer(const TNginxServer&) = delete;
  TNginxServer& operator=(const TNginxServer&) = delete;

  static bool Available();  // the nginx binary exists
  bool Running() const { return pid_ > 0; }
  std::uint16_t Port() const { return port_; }
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& Dir() const { return dir_; }
  // The access log: one line per request, "connection-number request-line".
  std::string AccessLog() const;
  std::string ErrorLog() const;

 private:
  std::string dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace nettest
