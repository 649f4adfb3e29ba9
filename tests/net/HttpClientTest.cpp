// The request cycle against a scripted loopback server: request bytes, outcomes, relocations,
// persistence, time-outs and the bounds against hostile servers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "Compress.h"
#include "HttpClient.h"
#include "ScriptedServer.h"
#include "SocketErrors.h"

namespace {

using namespace nettest;
using net::EHttpException;
using net::THttpClient;
using base::TMemoryStream;

std::string Origin(const TScriptedServer& s) { return "http://127.0.0.1:" + std::to_string(s.Port()); }

struct TOutcome {
  bool Raised = false;
  std::string Message;
  int Code = 0;
  int Status = 0;
  std::string Body;
};

TOutcome RunGet(THttpClient& c, TMemoryStream& stream) {
  TOutcome o;
  try {
    c.Get();
  } catch (const EHttpException& e) {
    o.Raised = true;
    o.Message = e.what();
    o.Code = e.ErrorCode;
  }
  o.Status = c.StatusCode();
  o.Body = stream.Data();
  return o;
}

void ConfigureClient(THttpClient& c, TMemoryStream& stream) {
  c.RcvdStream = &stream;
  c.Timeout = 2;
  c.MultiThreaded = true;
  c.Options = {net::httpoEnableContentCoding};
}

TEST(HttpClient, SendsExactRequestBytes) {
  TScriptedServer s({{ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")},
                     {ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=2016#top";
  c.Reference = c.URL;
  c.Accept = "text/html, */*";
  c.Agent = "Mozilla/5.0 (X11)";
  EXPECT_FALSE(RunGet(c, stream).Raised);
  // Without a path, without content coding, on the default port's host form.
  c.URL = "http://localhost:" + std::to_string(s.Port());
  c.Reference.clear();
  c.Options.clear();
  EXPECT_FALSE(RunGet(c, stream).Raised);
  s.Stop();
  const auto req = s.Requests();
  ASSERT_EQ(req.size(), 2u);
  const std::string port = std::to_string(s.Port());
  EXPECT_EQ(req[0],
            "GET /ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=2016#top HTTP/1.0\r\n"
            "Accept: text/html, */*\r\n"
            "Referer: " + Origin(s) + "/ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=2016#top\r\n"
            "Accept-Encoding: gzip, deflate, br\r\n"
            "User-Agent: Mozilla/5.0 (X11)\r\n"
            "Host: 127.0.0.1:" + port + "\r\n\r\n");
  EXPECT_EQ(req[1], "GET / HTTP/1.0\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/5.0 (X11)\r\nHost: localhost:" +
                        port + "\r\n\r\n");
}

struct TCase {
  const char* Name;
  TScript Script;
  TOutcome Expected;
  std::function<void(THttpClient&)> Setup = nullptr;
};

TOutcome Ok(int status, std::string body) { return {false, "", 0, status, std::move(body)}; }
TOutcome Raise(std::string msg, int code, int status, std::string body = "") {
  return {true, std::move(msg), code, status, std::move(body)};
}

std::string Resp(const std::string& head, const std::string& body) { return head + "\r\n\r\n" + body; }

TEST(HttpClient, OutcomeOfEachResponse) {
  const std::string plain = SampleText(20000);
  const std::string gz = Gzip(plain);
  const std::string len = "Content-Length: ";
  const std::vector<TCase> cases = {
      {"200 with a length", {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\n" + len + "5", "hello"))}, Ok(200, "hello")},
      {"404 with a reason", {ReadRequest(), Send(Resp("HTTP/1.1 404 Not Found\r\n" + len + "4", "gone"))},
       Raise("Not Found", 404, 404, "gone")},
      {"404 without a reason", {ReadRequest(), Send(Resp("HTTP/1.1 404\r\n" + len + "0", ""))}, Raise("", 404, 404)},
      {"401 returns", {ReadRequest(), Send(Resp("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n" + len + "0", ""))},
       Ok(401, "")},
      {"500 raises", {ReadRequest(), Send(Resp("HTTP/1.0 500 Internal Server Error", "oops")), Close()},
       Raise("Internal Server Error", 500, 500, "oops")},
      {"closed before the status line", {ReadRequest(), Close()},
       Raise("HTTP no status code (connection closed prematurely)", 9, 0)},
      // Closing with the request unread makes the server's kernel answer with a reset.
      {"closed with the request unread", {Pause(300), Close()},
       Raise("Winsock - Connection reset by peer (Error #10054)", 10054, 0)},
      {"interim 100", {ReadRequest(), Send("HTTP/1.1 100 Continue\r\n\r\n"), Pause(20),
                       Send(Resp("HTTP/1.1 200 OK\r\n" + len + "2", "hi"))}, Ok(200, "hi")},
      {"chunked with an extension, split writes",
       Join({{ReadRequest()},
             SendSplit("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n"
                       "1A\r\nABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n0\r\n\r\n", 7, 2)}),
       Ok(200, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")},
      {"length shorter than the data", {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\n" + len + "5", "helloXYZ"))},
       Ok(200, "hello")},
      {"length longer than the data", {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\n" + len + "50", "short")), Close()},
       Ok(200, "short")},
      {"body until the close", {ReadRequest(), Send(Resp("HTTP/1.0 200 OK", "all of it")), Pause(30), Send(" and more"), Close()},
       Ok(200, "all of it and more")},
      {"204 without body", {ReadRequest(), Send(Resp("HTTP/1.1 204 No Content", "")), WaitClose(3000)}, Ok(204, "")},
      {"303 without length runs to the close",
       {ReadRequest(), Send(Resp("HTTP/1.1 303 See Other", "body")), Close()}, Ok(303, "body")},
      {"reset during the body",
       {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\n" + len + "100", "part")), Pause(50), Reset()},
       Raise("OK", 10054, 200, "part")},
      {"gzip", {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n" + len + std::to_string(gz.size()), gz))},
       Ok(200, plain)},
      {"deflate with zlib wrapper", {ReadRequest(), Send(Resp("HTTP/1.0 200 OK\r\nContent-Encoding: deflate", ZlibWrap(plain))), Close()},
       Ok(200, plain)},
      {"raw deflate", {ReadRequest(), Send(Resp("HTTP/1.0 200 OK\r\nContent-Encoding: deflate", RawDeflate(plain))), Close()},
       Ok(200, plain)},
      {"br stored as received", {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\nContent-Encoding: br\r\n" + len + "4", std::string("\x1b\x03\x00\x01", 4)))},
       Ok(200, std::string("\x1b\x03\x00\x01", 4))},
      {"gzip, br stored as received",
       {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\nContent-Encoding: gzip, br\r\n" + len + std::to_string(gz.size()), gz))},
       Ok(200, gz)},
      {"identity", {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n" + len + "3", "abc"))},
       Ok(200, "abc")},
      {"cut gzip body", {ReadRequest(), Send(Resp("HTTP/1.0 200 OK\r\nContent-Encoding: gzip", gz.substr(0, gz.size() / 2))), Close()},
       Raise("Connection aborted on request", 3, 404, "")},
      {"header above the cap", {ReadRequest(), Send("HTTP/1.1 200 OK\r\nX-Fill: " + std::string(5000, 'x') + "\r\n\r\n")},
       Raise("Response header too large", 3, 404), [](THttpClient& c) { c.MaxHeaderBytes = 4096; }},
      {"chunk size above 32 bits", {ReadRequest(), Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFF\r\n")},
       Raise("Chunk size too large", 3, 404)},
      {"decoded body above the cap",
       {ReadRequest(), Send(Resp("HTTP/1.0 200 OK\r\nContent-Encoding: gzip", Gzip(std::string(1 << 20, 'a')))), Close()},
       Raise("Decoded body too large", 3, 404), [](THttpClient& c) { c.MaxBodyBytes = 64 * 1024; }},
  };
  for (const TCase& tc : cases) {
    SCOPED_TRACE(tc.Name);
    TScriptedServer s({tc.Script});
    TMemoryStream stream;
    THttpClient c;
    ConfigureClient(c, stream);
    if (tc.Setup) tc.Setup(c);
    c.URL = Origin(s) + "/page";
    const TOutcome got = RunGet(c, stream);
    EXPECT_EQ(got.Raised, tc.Expected.Raised);
    EXPECT_EQ(got.Message, tc.Expected.Message);
    EXPECT_EQ(got.Code, tc.Expected.Code);
    EXPECT_EQ(got.Status, tc.Expected.Status);
    if (!tc.Expected.Body.empty() || !tc.Expected.Raised) {
      EXPECT_TRUE(got.Body == tc.Expected.Body) << got.Body.size();
    }
    EXPECT_EQ(c.State(), net::httpReady);
    s.Stop();
    EXPECT_TRUE(s.Errors().empty());
  }
}

TEST(HttpClient, SilenceEndsTheRequestByTimeout) {
  struct TRow {
    const char* Name;
    TScript Script;
  };
  const std::vector<TRow> rows = {
      {"server never answers", {ReadRequest(), Pause(2500)}},
      {"closed inside the header", {ReadRequest(), Send("HTTP/1.1 200 OK\r\nServer: x\r\nX-A: b\r\n"), Close()}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TScriptedServer s({row.Script});
    TMemoryStream stream;
    THttpClient c;
    ConfigureClient(c, stream);
    c.Timeout = 1;
    c.URL = Origin(s) + "/";
    const auto t0 = std::chrono::steady_clock::now();
    const TOutcome got = RunGet(c, stream);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    EXPECT_EQ(got.Message, "Request aborted on timeout");
    EXPECT_EQ(got.Code, 8);
    EXPECT_EQ(got.Status, 404);
  }
}

TEST(HttpClient, TimeoutCountsAcrossAWrapOfTheTickCounter) {
  TScriptedServer s({{ReadRequest(), Pause(2500)}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.Timeout = 1;
  const auto start = std::chrono::steady_clock::now();
  c.ConnSocket().TickSource = [start] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return static_cast<std::uint32_t>(0xFFFFFE00u + static_cast<std::uint32_t>(ms.count()));
  };
  c.URL = Origin(s) + "/";
  const TOutcome got = RunGet(c, stream);
  EXPECT_EQ(got.Message, "Request aborted on timeout");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HttpClient, DataKeepsASlowTransferAlive) {
  // Timeout 1 s, a byte every 400 ms for 2 s: no time-out.
  TScriptedServer s({Join({{ReadRequest()}, SendSplit(Resp("HTTP/1.0 200 OK", "abcde"), 4, 400), {Close()}})});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.Timeout = 1;
  c.URL = Origin(s) + "/";
  const TOutcome got = RunGet(c, stream);
  EXPECT_FALSE(got.Raised) << got.Message;
  EXPECT_EQ(got.Body, "abcde");
}

TEST(HttpClient, FollowsRelocations) {
  struct TRow {
    const char* Name;
    std::string StartPath;
    std::string Location;  // @PORT@ is the server's port
    std::string SecondRequestLine;
    std::string FinalLocation;  // @PORT@ as above
  };
  const std::vector<TRow> rows = {
      {"absolute", "/a/b", "http://127.0.0.1:@PORT@/x/y?q=1", "GET /x/y?q=1 HTTP/1.0", "http://127.0.0.1:@PORT@/x/y?q=1"},
      {"absolute path", "/a/b?z", "/c", "GET /c HTTP/1.0", "http://127.0.0.1/c"},
      {"relative", "/a/b?z=/w", "d?e", "GET /a/d?e HTTP/1.0", "http://127.0.0.1/a/d?e"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TScriptedServer s({{ReadRequest(), Send("HTTP/1.1 302 Found\r\nLocation: " + row.Location +
                                            "\r\nContent-Length: 4\r\n\r\nmove"), Close()},
                       {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\nContent-Length: 4", "here")), Close()}});
    TMemoryStream stream;
    THttpClient c;
    ConfigureClient(c, stream);
    c.URL = Origin(s) + row.StartPath;
    const TOutcome got = RunGet(c, stream);
    EXPECT_FALSE(got.Raised) << got.Message;
    EXPECT_EQ(got.Status, 200);
    EXPECT_EQ(got.Body, "here");  // the relocation's own body is cut away
    s.Stop();
    const auto req = s.Requests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[1].substr(0, req[1].find("\r\n")), row.SecondRequestLine);
    std::string want = row.FinalLocation;
    if (auto p = want.find("@PORT@"); p != std::string::npos) want.replace(p, 6, std::to_string(s.Port()));
    EXPECT_EQ(c.Location(), want);
  }
}

TEST(HttpClient, SixthRelocationIsTheResult) {
  std::vector<TScript> scripts;
  for (int i = 1; i <= 6; ++i)
    scripts.push_back({ReadRequest(), Send("HTTP/1.1 302 Found\r\nLocation: /hop" + std::to_string(i) + "\r\n\r\n"), WaitClose(3000)});
  TScriptedServer s(scripts);
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/start";
  const TOutcome got = RunGet(c, stream);
  EXPECT_FALSE(got.Raised) << got.Message;
  EXPECT_EQ(got.Status, 302);
  EXPECT_EQ(c.LocationChangeCurCount(), 6);
  s.Stop();
  EXPECT_EQ(s.Accepted(), 6);
  EXPECT_EQ(s.Requests().back().substr(0, 19), "GET /hop5 HTTP/1.0\r");
}

TEST(HttpClient, RelocationToATargetThatFailsIsAFailure) {
  TScriptedServer s({{ReadRequest(), Send("HTTP/1.1 301 Moved\r\nLocation: /next\r\n\r\n"), WaitClose(3000)},
                     {ReadRequest(), Close()}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/";
  const TOutcome got = RunGet(c, stream);
  EXPECT_TRUE(got.Raised);
  EXPECT_EQ(got.Code, 9);
}

TEST(HttpClient, KeepAliveReusesTheConnection) {
  const std::string keep = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\n";
  TScriptedServer s({{ReadRequest(), Send(keep + "one"), ReadRequest(),
                      Send("HTTP/1.1 302 Found\r\nConnection: keep-alive\r\nLocation: /moved\r\nContent-Length: 1\r\n\r\nx"),
                      ReadRequest(), Send(keep + "two"), Pause(200), Close()}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/1";
  EXPECT_EQ(RunGet(c, stream).Body, "one");
  c.URL = Origin(s) + "/2";
  stream.Clear();
  const TOutcome second = RunGet(c, stream);
  EXPECT_FALSE(second.Raised) << second.Message;
  EXPECT_EQ(second.Body, "two");
  // The server has closed the kept connection meanwhile: the next request on it fails.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const TOutcome third = RunGet(c, stream);
  EXPECT_EQ(third.Message, "HTTP no status code (connection closed prematurely)");
  EXPECT_EQ(third.Code, 9);
  s.Stop();
  EXPECT_EQ(s.Accepted(), 1);
  ASSERT_EQ(s.Requests().size(), 3u);
  EXPECT_EQ(s.Requests()[2].substr(0, 20), "GET /moved HTTP/1.0\r");
}

TEST(HttpClient, RelocationNamedBeforeACloseInsideTheHeaderIsFollowed) {
  TScriptedServer s({{ReadRequest(), Send("HTTP/1.1 302 Found\r\nLocation: /there\r\n"), Close()},
                     {ReadRequest(), Send(Resp("HTTP/1.0 200 OK", "arrived")), Close()}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/here";
  const TOutcome got = RunGet(c, stream);
  EXPECT_FALSE(got.Raised) << got.Message;
  EXPECT_EQ(got.Body, "arrived");
}

// A chunked response whose last-chunk line ends exactly where one 8 KiB read of the client
// ends, its final CR LF behind it unread when the connection closes. Whatever that response
// left unfinished must not eat into the next connection's response.
std::string ChunkedEndingAtReadBoundary(const std::string& head) {
  for (std::size_t n = 1;; ++n) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", n);
    const std::string r = head + "\r\nTransfer-Encoding: chunked\r\n\r\n" + size + "\r\n" +
                          std::string(n, 'c') + "\r\n0\r\n";
    if (r.size() == 8192) return r + "\r\n";
  }
}

TEST(HttpClient, UnfinishedChunkedEndDoesNotReachTheNextConnection) {
  const std::string next = Resp("HTTP/1.0 200 OK\r\nContent-Length: 5", "fresh");
  struct TRow {
    const char* Name;
    std::string First;  // the chunked response of the first connection
    int Gets;           // 2: a second Get on the same client; 1: a relocation does it
  };
  const std::vector<TRow> rows = {
      {"next Get", ChunkedEndingAtReadBoundary("HTTP/1.0 200 OK"), 2},
      {"relocation", ChunkedEndingAtReadBoundary("HTTP/1.0 302 Found\r\nLocation: /next"), 1},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TScriptedServer s({{ReadRequest(), Send(row.First), Close()}, {ReadRequest(), Send(next), Close()}});
    TMemoryStream stream;
    THttpClient c;
    ConfigureClient(c, stream);
    c.URL = Origin(s) + "/";
    TOutcome got = RunGet(c, stream);
    if (row.Gets == 2) {
      EXPECT_FALSE(got.Raised) << got.Message;
      stream.Clear();
      got = RunGet(c, stream);
    }
    EXPECT_FALSE(got.Raised) << got.Message;
    EXPECT_EQ(got.Status, 200);
    EXPECT_EQ(got.Body, "fresh");
  }
}

TEST(HttpClient, PendingEventsLetAClosedKeptConnectionFinishClosing) {
  const std::string keep = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok";
  TScriptedServer s({{ReadRequest(), Send(keep), Close()}, {ReadRequest(), Send(keep), Close()}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/";
  EXPECT_FALSE(RunGet(c, stream).Raised);
  // Between attempts the worker runs the pending events: the close the server sent is seen,
  // so the next request opens a new connection instead of failing on the dead one.
  for (int i = 0; i < 100 && c.ConnSocket().Connected(); ++i) {
    c.ConnSocket().ProcessPendingEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(c.ConnSocket().Connected());
  stream.Clear();
  const TOutcome second = RunGet(c, stream);
  EXPECT_FALSE(second.Raised) << second.Message;
  EXPECT_EQ(second.Body, "ok");
  s.Stop();
  EXPECT_EQ(s.Accepted(), 2);
}

TEST(HttpClient, FailuresBeforeAnyResponse) {
  const std::uint16_t closedPort = FreeLoopbackPort();
  struct TRow {
    const char* Name;
    std::string URL;
    std::function<void(THttpClient&)> Setup;
    TOutcome Expected;
  };
  const std::vector<TRow> rows = {
      {"connection refused", "http://127.0.0.1:" + std::to_string(closedPort) + "/", nullptr,
       Raise("Winsock - Connection refused (Error #10061)", 10061, 404)},
      {"name not found", "http://no-such-host.test/",
       [](THttpClient& c) { c.ConnSocket().Resolver = [](const std::string&, std::string&) { return 11001; }; },
       Raise("can't resolve hostname to IP address", 11001, 404)},
      {"a path without a host", "/page", nullptr, Raise("can't resolve hostname to IP address", 11001, 404)},
      {"unknown scheme", "ftp://127.0.0.1/file", nullptr, Raise("Protocol \"ftp\" not implemented", 501, 501)},
      {"https without a TLS layer", "https://127.0.0.1:" + std::to_string(closedPort) + "/", nullptr,
       Raise("Connection aborted on request", 3, 404)},
      {"bad port", "http://127.0.0.1:http-nope/", nullptr,
       Raise("can't connect: Winsock - Invalid argument (Error #10022)", 10022, 404)},
      {"line break in the URL", "http://127.0.0.1/a\r\nX-Injected: 1", nullptr,
       Raise("Invalid character in URL", 3, 404)},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TMemoryStream stream;
    THttpClient c;
    ConfigureClient(c, stream);
    if (row.Setup) row.Setup(c);
    c.URL = row.URL;
    const TOutcome got = RunGet(c, stream);
    EXPECT_EQ(got.Raised, row.Expected.Raised);
    EXPECT_EQ(got.Message, row.Expected.Message);
    EXPECT_EQ(got.Code, row.Expected.Code);
    EXPECT_EQ(got.Status, row.Expected.Status);
  }
}

TEST(HttpClient, HeaderLineWithALineBreakIsNeverSent) {
  TScriptedServer s({{WaitClose(3000)}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/";
  c.OnBeforeHeaderSend = [](THttpClient&, const std::string&, std::vector<std::string>& lines) {
    lines.push_back("X-Note: a\r\nX-Smuggled: b");
  };
  const TOutcome got = RunGet(c, stream);
  EXPECT_EQ(got.Message, "Invalid character in request header");
  EXPECT_EQ(got.Code, 3);
  s.Stop();
  EXPECT_TRUE(s.Requests().empty());
}

TEST(HttpClient, ReusedClientKeepsTheOldReasonUntilANewStatusLine) {
  TScriptedServer s({{ReadRequest(), Send(Resp("HTTP/1.1 404 Not Found\r\nContent-Length: 0", "")), WaitClose(3000)},
                     {ReadRequest(), Send(Resp("HTTP/1.1 200 OK\r\nContent-Length: 0", "")), WaitClose(3000)}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.URL = Origin(s) + "/";
  EXPECT_EQ(RunGet(c, stream).Message, "Not Found");
  int seenStatus = -1;
  std::string seenReason, busyText;
  int busyCode = 0;
  c.OnBeforeHeaderSend = [&](THttpClient& sender, const std::string&, std::vector<std::string>&) {
    seenStatus = sender.StatusCode();
    seenReason = sender.ReasonPhrase();
    try {
      sender.Get();
    } catch (const EHttpException& e) {
      busyText = e.what();
      busyCode = e.ErrorCode;
    }
  };
  EXPECT_FALSE(RunGet(c, stream).Raised);
  EXPECT_EQ(seenStatus, 0);
  EXPECT_EQ(seenReason, "Not Found");
  EXPECT_EQ(busyText, "HTTP component  is busy");
  EXPECT_EQ(busyCode, 1);
}

TEST(HttpClient, QuitRequestAbortsTheWait) {
  TScriptedServer s({{ReadRequest(), Pause(1000)}});
  TMemoryStream stream;
  THttpClient c;
  ConfigureClient(c, stream);
  c.Timeout = 30;
  c.URL = Origin(s) + "/";
  auto inbox = c.ConnSocket().Loop().Inbox();
  std::thread stopper([inbox] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    inbox->RequestQuit();
  });
  const TOutcome got = RunGet(c, stream);
  stopper.join();
  inbox->ClearQuit();
  EXPECT_EQ(got.Message, "Request aborted");
  EXPECT_EQ(got.Code, 3);
}

TEST(HttpClient, ClientsOnManyThreadsAreIndependent) {
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<TScriptedServer>> servers;
  for (int i = 0; i < kThreads; ++i) {
    const std::string body = "body of " + std::to_string(i);
    servers.push_back(std::make_unique<TScriptedServer>(std::vector<TScript>{
        {ReadRequest(), Pause(50), Send(Resp("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()), body))}}));
  }
  std::vector<std::string> bodies(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      TMemoryStream stream;
      THttpClient c;
      ConfigureClient(c, stream);
      c.URL = Origin(*servers[i]) + "/";
      bodies[i] = RunGet(c, stream).Body;
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(bodies[i], "body of " + std::to_string(i));
}

}  // namespace
