#pragma once
// The demo portal as a child process on a port it picks itself. A port chosen beforehand by
// the test is free only where the test looked, while the portal listens on both loopback
// addresses (127.0.0.1 and ::1); with --port 0 the portal takes a port free on both and names
// its origin on stdout ("demo-portal listening on ORIGIN"), which is read back here.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace testsupport {

class TDemoPortal {
 public:
  TDemoPortal() = default;
  TDemoPortal(const TDemoPortal&) = delete;
  TDemoPortal& operator=(const TDemoPortal&) = delete;
  ~TDemoPortal() { Stop(); }

  // Starts `program --port 0 options...` in `dir` (its standard output into `stdoutFile`, or
  // into a file of its own in `dir`) and waits until it listens. False when it ended or did
  // not listen within `timeout`; Error() then says what it printed.
  bool Start(const std::string& program, const std::vector<std::string>& options,
             const std::string& dir, std::string stdoutFile = {},
             std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    Stop();
    if (stdoutFile.empty()) {
      std::string pattern = dir + "/demo-portal-out-XXXXXX";
      const int fd = ::mkstemp(pattern.data());
      if (fd >= 0) ::close(fd);
      stdoutFile = pattern;
    }
    stdout_ = stdoutFile;
    std::ofstream(stdout_, std::ios::trunc).close();  // no line of an earlier portal is read back
    std::vector<std::string> argv{program, "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<TChildProcess>(argv, dir, stdout_);
    const std::string prefix = "demo-portal listening on ";
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const std::string out = Output();
      const auto at = out.find(prefix);
      const auto eol = at == std::string::npos ? at : out.find('\n', at);
      if (eol != std::string::npos) {
        origin_ = out.substr(at + prefix.size(), eol - at - prefix.size());
        port_ = std::atoi(origin_.substr(origin_.rfind(':') + 1).c_str());
        if (port_ > 0) return true;
        error_ = "no port in \"" + origin_ + "\"";
        return false;
      }
      if (process_->Wait(std::chrono::milliseconds(0)) || std::chrono::steady_clock::now() > end) {
        error_ = "the demo portal did not start; its stdout: " + out;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // SIGTERM, then SIGKILL when it takes too long.
  void Stop() {
    if (process_) process_->Stop();
  }

  const std::string& Origin() const { return origin_; }
  int Port() const { return port_; }
  const std::string& Error() const { return error_; }
  TChildProcess& Process() { return *process_; }

  // What the portal printed on stdout so far.
  std::string Output() const {
    std::ifstream in(stdout_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::unique_ptr<TChildProcess> process_;
  std::string stdout_;
  std::string origin_;
  int port_ = 0;
  std::string error_;
};

}  // namespace testsupport
