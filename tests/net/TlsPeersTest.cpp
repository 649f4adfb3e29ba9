// The SOCKS and TLS layers stacked over a plain blocking socket against real peers: nginx with
// ssl_verify_client on, directly and through microsocks. This proves the layers against code
// nobody here wrote, independent of the client's event loop.
#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <vector>

#include "TlsRealPeers.h"
#include "net/SocksLayer.h"
#include "net/TlsContext.h"
#include "net/TlsLayer.h"

namespace net {
namespace {

using S = TFilter::TStatus;

int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Drives a stack of layers (lowest first) over fd until the top one is established (or fails),
// sends `request` through it and collects the answer until the peer closes.
struct TStackResult {
  S status;
  std::string error;
  std::string answer;
};
TStackResult RunStack(int fd, std::vector<TFilter*> stack, const std::string& request) {
  stack[0]->Start();
  std::size_t started = 1;
  stack.back()->FromAbove(request.data(), request.size());
  std::string answer;
  bool eof = false;
  for (int rounds = 0; rounds < 10000 && !eof; ++rounds) {
    // Start each layer once the one below it is up; bytes it already received go up first.
    while (started < stack.size() && stack[started - 1]->Status() == S::Established) {
      stack[started]->Start();
      const std::string early = stack[started - 1]->TakeForAbove();
      stack[started]->FromBelow(early.data(), early.size());
      ++started;
    }
    // Downward: from the top through every started layer, then to the socket.
    for (std::size_t i = started - 1; i > 0; --i) {
      const std::string out = stack[i]->TakeForBelow();
      stack[i - 1]->FromAbove(out.data(), out.size());
    }
    const std::string out = stack[0]->TakeForBelow();
    if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) eof = true;
    for (TFilter* f : stack)
      if (f->Status() == S::Failed) return {S::Failed, f->ErrorText(), answer};
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    char buf[16384];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      for (std::size_t i = 0; i < started; ++i) stack[i]->BelowClosed();
      eof = true;
    } else {
      stack[0]->FromBelow(buf, static_cast<std::size_t>(n));
    }
    // Upward.
    for (std::size_t i = 0; i + 1 < started; ++i) {
      const std::string up = stack[i]->TakeForAbove();
      stack[i + 1]->FromBelow(up.data(), up.size());
    }
    if (started == stack.size()) answer += stack.back()->TakeForAbove();
    for (TFilter* f : stack)
      if (f->Status() == S::Failed) return {S::Failed, f->ErrorText(), answer};
    if (stack.back()->Status() == S::Closed) break;
  }
  return {stack.back()->Status(), stack.back()->ErrorText(), answer};
}

void Configure(TTlsContext& ctx) {
  ctx.SetSslCertFile(testpki::File("01cert.pem"));
  ctx.SetSslPrivKeyFile(testpki::File("01key.pem"));
  ctx.SetSslPassPhrase("quorvelt");
  ctx.SetSslVersionMethod(sslTLS_V1_2_CLIENT);
}

const std::string kRequest = "GET / HTTP/1.0\r\nHost: localhost\r\n\r\n";

TEST(TlsPeers, NginxDirectAndThroughMicrosocks) {
  peers::TNginx nginx("layers");
  ASSERT_TRUE(nginx.Ready()) << nginx.ErrorLog();
  peers::TMicrosocks socks("harvest", "s3cret");
  ASSERT_TRUE(socks.Ready());
  TTlsContext ctx;
  Configure(ctx);
  {
    const int fd = ConnectLoopback(nginx.Port());
    ASSERT_GE(fd, 0);
    TTlsLayer tls(&ctx, "localhost");
    const TStackResult r = RunStack(fd, {&tls}, kRequest);
    ::close(fd);
    EXPECT_NE(r.answer.find("200 OK"), std::string::npos) << r.error << r.answer;
    EXPECT_NE(r.answer.find("hello from nginx"), std::string::npos);
  }
  {
    const int fd = ConnectLoopback(socks.Port());
    ASSERT_GE(fd, 0);
    TSocksSettings s;
    s.TargetHost = "localhost";
    s.TargetPort = static_cast<std::uint16_t>(nginx.Port());
    s.SocksAuthentication = socksAuthenticateUsercode;
    s.SocksUsercode = "harvest";
    s.SocksPassword = "s3cret";
    TSocksLayer socksLayer(s);
    TTlsLayer tls(&ctx, "portal.example");  // the server name is what the URL names
    const TStackResult r = RunStack(fd, {&socksLayer, &tls}, kRequest);
    ::close(fd);
    EXPECT_NE(r.answer.find("hello from nginx"), std::string::npos) << r.error << r.answer;
  }
  const std::string log = nginx.AccessLog();
  EXPECT_NE(log.find("localhost|CN=Harvester Client,O=Harvester Test|GET / HTTP/1.0"),
            std::string::npos) << log;
  EXPECT_NE(log.find("portal.example|CN=Harvester Client,O=Harvester Test|GET / HTTP/1.0"),
            std::string::npos) << log;
}

TEST(TlsPeers, NginxRejectsAClientWithoutCertificate) {
  peers::TNginx nginx("nocert");
  ASSERT_TRUE(nginx.Ready()) << nginx.ErrorLog();
  TTlsContext bare;
  const int fd = ConnectLoopback(nginx.Port());
  ASSERT_GE(fd, 0);
  TTlsLayer tls(&bare, "localhost");
  const TStackResult r = RunStack(fd, {&tls}, kRequest);
  ::close(fd);
  // nginx finishes the handshake and answers 400 "No required SSL certificate was sent".
  EXPECT_NE(r.answer.find("400"), std::string::npos) << r.error << r.answer;
}

}  // namespace
}  // namespace net
