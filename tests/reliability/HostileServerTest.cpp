// The bare client against servers that never stop or barely send: its memory stays bounded and
// each request ends with a clear error or its time-out, without waiting for the server to give up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "net/HttpClient.h"
#include "base/MemoryStream.h"

namespace {

using namespace std::chrono_literals;

// Serves one connection: reads the request header, then sends what the generator makes, piece
// by piece, until the client goes, the generator says stop, or a cap on bytes or time is hit.
class THostileServer {
 public:
  // Returns the next piece to send, or an empty string to stop; may sleep.
  using TGenerator = std::function<std::string(std::size_t sentSoFar)>;

  explicit THostileServer(TGenerator generate) : generate_(std::move(generate)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~THostileServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  std::size_t Sent() const { return sent_; }

 private:
  void Serve() {
    const int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<std::size_t>(n));
    }
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!stop_ && sent_ < kMaxBytes && std::chrono::steady_clock::now() < end) {
      const std::string piece = generate_(sent_);
      if (piece.empty()) break;
      const ssize_t n = ::send(c, piece.data(), piece.size(), MSG_NOSIGNAL);
      if (n <= 0) break;  // the client closed
      sent_ += static_cast<std::size_t>(n);
    }
    ::close(c);
  }

  static constexpr std::size_t kMaxBytes = 1u << 30;
  TGenerator generate_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

// Resident memory of this process in bytes.
std::size_t Rss() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::string Deflated(std::size_t zeros) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  const std::string chunk(1 << 20, '\0');
  std::string out;
  char buf[1 << 16];
  for (std::size_t done = 0; done < zeros; done += chunk.size()) {
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.data()));
    zs.avail_in = static_cast<uInt>(chunk.size());
    const int flush = done + chunk.size() >= zeros ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(buf);
      zs.avail_out = sizeof buf;
      deflate(&zs, flush);
      out.append(buf, sizeof buf - zs.avail_out);
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  return out;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep freed memory: RSS tells nothing
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

TEST(HostileServer, EndlessOrBloatedResponsesEndWithALimitError) {
  constexpr std::size_t kBodyLimit = 8u << 20;
  const std::string filler(8192, 'a');
  static const std::string bomb = Deflated(256u << 20);  // 256 MiB of zeros in about 0.25 MiB
  struct TCase {
    const char* name;
    THostileServer::TGenerator generate;
    const char* error;
  } cases[] = {
      {"a header of endless lines",
       [&](std::size_t sent) { return sent == 0 ? "HTTP/1.1 200 OK\r\n" : "X-Filler: " + filler + "\r\n"; },
       "Response header too large"},
      {"a header line that never ends",
       [&](std::size_t sent) { return sent == 0 ? "HTTP/1.1 200 OK\r\nX-Filler: " : filler; },
       "Response header too large"},
      {"an endless chunked body",
       [&](std::size_t sent) {
         return sent == 0 ? std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
                          : "2000\r\n" + filler + "\r\n";
       },
       "Decoded body too large"},
      {"an endless chunk size",
       [&](std::size_t sent) {
         return sent == 0 ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" : std::string(4096, 'f');
       },
       "Chunk size too large"},
      {"an endless chunk extension",
       [&](std::size_t sent) {
         return sent == 0 ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=" : filler;
       },
       "Chunk line too large"},
      {"an endless body until the close",
       [&](std::size_t sent) { return sent == 0 ? "HTTP/1.0 200 OK\r\n\r\n" : filler; },
       "Decoded body too large"},
      {"a gzip bomb",
       [&](std::size_t sent) {
         return sent == 0 ? "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                std::to_string(bomb.size()) + "\r\n\r\n" + bomb
                          : std::string();
       },
       "Decoded body too large"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t rssBefore = Rss();
    std::size_t sent = 0;
    {
      THostileServer server(c.generate);
      base::TMemoryStream stream;
      net::THttpClient client;
      client.RcvdStream = &stream;
      client.MultiThreaded = true;
      client.Timeout = 10;
      client.Options = {net::httpoEnableContentCoding};
      client.MaxBodyBytes = kBodyLimit;
      client.URL = server.Url();
      std::string message;
      try {
        client.Get();
      } catch (const net::EHttpException& e) {
        message = e.what();
      }
      EXPECT_EQ(message, c.error);
      EXPECT_LE(stream.Size(), kBodyLimit);
      sent = server.Sent();
    }
    // The client hung up soon after its bound: the server got rid of little more than it
    // (what sits in the socket buffers).
    EXPECT_LT(sent, 48u << 20) << sent;
    if (!kSanitized) {
      const std::size_t rssAfter = Rss();
      EXPECT_LT(rssAfter, rssBefore + (64u << 20)) << rssBefore << " -> " << rssAfter;
    }
  }
}

TEST(HostileServer, ATrickleSlowerThanTheTimeoutEndsByTimeoutAndOneWithinItCompletes) {
  const std::string response = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody";
  struct TCase {
    const char* name;
    std::chrono::milliseconds gap;
    const char* error;  // empty: the response completes
  } cases[] = {
      {"a byte every 2.5 s, time-out 1 s", 2500ms, "Request aborted on timeout"},
      {"a byte every 0.1 s, time-out 1 s", 100ms, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    THostileServer server([&](std::size_t sent) {
      if (sent >= response.size()) return std::string();
      if (sent > 0) std::this_thread::sleep_for(c.gap);
      return response.substr(sent, 1);
    });
    base::TMemoryStream stream;
    net::THttpClient client;
    client.RcvdStream = &stream;
    client.MultiThreaded = true;
    client.Timeout = 1;
    client.URL = server.Url();
    std::string message;
    try {
      client.Get();
    } catch (const net::EHttpException& e) {
      message = e.what();
    }
    EXPECT_EQ(message, c.error);
    if (!*c.error) {
      EXPECT_EQ(stream.Data(), "body");
    }
  }
}
