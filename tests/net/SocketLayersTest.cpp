// The socket's driving of its protocol layers, proved with a small greeting layer: it sends a
// greeting, waits for "OK\n", then passes bytes through. Two of them stand where SOCKS and TLS
// stand in the program.
#include <gtest/gtest.h>

#include "HttpClient.h"
#include "ScriptedServer.h"

namespace {

using namespace nettest;
using net::TFilter;

class TGreetingLayer : public TFilter {
 public:
  TGreetingLayer(std::string greeting, int failCode, bool throwOnStart = false)
      : greeting_(std::move(greeting)), failCode_(failCode), throwOnStart_(throwOnStart) {}

  void Start() override {
    if (throwOnStart_) throw std::runtime_error("layer set-up failed");
    status_ = TStatus::Negotiating;
    below_ += greeting_;
  }
  void FromBelow(const char* d, std::size_t n) override {
    if (status_ == TStatus::Established) {
      above_.append(d, n);
      return;
    }
    reply_.append(d, n);
    const std::size_t lf = reply_.find('\n');
    if (lf == std::string::npos) return;
    if (reply_.compare(0, lf + 1, "OK\n") == 0) {
      status_ = TStatus::Established;
      above_ += reply_.substr(lf + 1);  // bytes right behind the reply come first
      below_ += queued_;
      queued_.clear();
    } else {
      status_ = TStatus::Failed;
      text_ = "refused: " + reply_.substr(0, lf);
    }
  }
  void FromAbove(const char* d, std::size_t n) override {
    if (status_ == TStatus::Established) below_.append(d, n);
    else queued_.append(d, n);
  }
  std::string TakeForBelow() override { return std::exchange(below_, std::string()); }
  std::string TakeForAbove() override { return std::exchange(above_, std::string()); }
  TStatus Status() const override { return status_; }
  int ErrorCode() const override { return failCode_; }
  std::string ErrorText() const override { return text_; }
  void BelowClosed() override {
    if (status_ == TStatus::Negotiating) {
      status_ = TStatus::Failed;
      text_ = "closed during the greeting";
    }
  }

 private:
  std::string greeting_, reply_, below_, above_, queued_, text_;
  int failCode_;
  bool throwOnStart_;
  TStatus status_ = TStatus::Idle;
};

// A client whose proxy layer and TLS layer are greeting layers.
class TLayeredClient : public net::THttpClient {
 public:
  bool ThrowOnTlsStart = false;
  std::string TargetSeen;

 protected:
  std::unique_ptr<TFilter> MakeSocksFilter(const std::string& host, std::uint16_t port) override {
    TargetSeen = host + ":" + std::to_string(port);
    return std::make_unique<TGreetingLayer>("PROXY " + TargetSeen + "\n", 20005);
  }
  std::unique_ptr<TFilter> MakeTlsFilter(const std::string& serverName) override {
    return std::make_unique<TGreetingLayer>("HELLO " + serverName + "\n", 3, ThrowOnTlsStart);
  }
};

struct TOutcome {
  std::string Message;
  int Code = 0;
  int Status = 0;
  std::string Body;
};

TOutcome Fetch(TLayeredClient& c, base::TMemoryStream& s) {
  TOutcome o;
  try {
    c.Get();
  } catch (const net::EHttpException& e) {
    o.Message = e.what();
    o.Code = e.ErrorCode;
  }
  o.Status = c.StatusCode();
  o.Body = s.Data();
  return o;
}

TEST(SocketLayers, LayersNegotiateInOrderThenCarryTheRequest) {
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nthrough";
  // The TLS layer's reply arrives in one piece with the first response bytes behind it.
  TScriptedServer s({{Expect("PROXY portal.test:8443\n"), Send("OK\n"), Expect("HELLO portal.test\n"),
                      Send("OK\n" + response.substr(0, 10)), ReadRequest(), Send(response.substr(10))}});
  base::TMemoryStream stream;
  TLayeredClient c;
  c.RcvdStream = &stream;
  c.Timeout = 2;
  c.SocksServer = "127.0.0.1";
  c.SocksPort = std::to_string(s.Port());
  c.URL = "https://portal.test:8443/card?id=1";
  const TOutcome got = Fetch(c, stream);
  EXPECT_EQ(got.Message, "");
  EXPECT_EQ(got.Status, 200);
  EXPECT_EQ(got.Body, "through");
  s.Stop();
  EXPECT_TRUE(s.Errors().empty()) << s.Errors()[0];
  ASSERT_EQ(s.Requests().size(), 1u);
  EXPECT_EQ(s.Requests()[0].substr(0, 26), "GET /card?id=1 HTTP/1.0\r\nA");
  EXPECT_NE(s.Requests()[0].find("Host: portal.test:8443\r\n"), std::string::npos);
}

TEST(SocketLayers, AFailedLayerEndsTheRequest) {
  struct TRow {
    const char* Name;
    TScript Script;
    bool ThrowOnTlsStart;
    TOutcome Expected;
  };
  const std::vector<TRow> rows = {
      {"proxy layer refuses", {Expect("PROXY portal.test:443\n"), Send("NO\n"), WaitClose(3000)}, false,
       {"SOCKS - Connection Not Allowed (Error #20005)", 20005, 404, ""}},
      {"proxy closes during the greeting", {Expect("PROXY portal.test:443\n"), Close()}, false,
       {"SOCKS - Connection Not Allowed (Error #20005)", 20005, 404, ""}},
      {"TLS layer fails its handshake", {Expect("PROXY portal.test:443\n"), Send("OK\n"), Expect("HELLO portal.test\n"),
                                         Send("BAD\n"), WaitClose(3000)}, false,
       {"SSL handshake failed - refused: BAD", 3, 404, ""}},
      {"TLS layer cannot be set up", {Expect("PROXY portal.test:443\n"), Send("OK\n"), WaitClose(3000)}, true,
       {"Connection aborted on request", 3, 404, ""}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TScriptedServer s({row.Script});
    base::TMemoryStream stream;
    TLayeredClient c;
    c.RcvdStream = &stream;
    c.Timeout = 2;
    c.ThrowOnTlsStart = row.ThrowOnTlsStart;
    c.SocksServer = "127.0.0.1";
    c.SocksPort = std::to_string(s.Port());
    c.URL = "https://portal.test/";
    const TOutcome got = Fetch(c, stream);
    EXPECT_EQ(got.Message, row.Expected.Message);
    EXPECT_EQ(got.Code, row.Expected.Code);
    EXPECT_EQ(got.Status, row.Expected.Status);
    EXPECT_EQ(c.State(), net::httpReady);
  }
}

TEST(SocketLayers, EachConnectionOfARelocationRepeatsTheLayers) {
  const std::string moved = "HTTP/1.1 302 Found\r\nLocation: /second\r\n\r\n";
  TScriptedServer s({{Expect("PROXY portal.test:443\n"), Send("OK\n"), Expect("HELLO portal.test\n"), Send("OK\n"),
                      ReadRequest(), Send(moved), WaitClose(3000)},
                     {Expect("PROXY portal.test:443\n"), Send("OK\n"), Expect("HELLO portal.test\n"), Send("OK\n"),
                      ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\ndone"), Close()}});
  base::TMemoryStream stream;
  TLayeredClient c;
  c.RcvdStream = &stream;
  c.Timeout = 2;
  c.SocksServer = "127.0.0.1";
  c.SocksPort = std::to_string(s.Port());
  c.URL = "https://portal.test/first";
  const TOutcome got = Fetch(c, stream);
  EXPECT_EQ(got.Message, "");
  EXPECT_EQ(got.Body, "done");
  s.Stop();
  EXPECT_EQ(s.Accepted(), 2);
  EXPECT_TRUE(s.Errors().empty());
}

}  // namespace
