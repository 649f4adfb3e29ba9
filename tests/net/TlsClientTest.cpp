// HTTPS and SOCKS5 through the whole client, against real peers on loopback (nginx requiring a
// client certificate, openssl s_server, microsocks) and scripted ones.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "TlsRealPeers.h"
#include "net/TlsHttpClient.h"

namespace net {
namespace {

using peers::TScriptedPeer;
namespace fs = std::filesystem;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// A fetch worker's TLS settings and client, pointed at the test PKI.
struct TWorker {
  TTlsContext ctx;
  TTlsHttpClient http;
  base::TMemoryStream body;
  explicit TWorker(const std::string& url) {
    ctx.SetSslCertFile(testpki::File("01cert.pem"));
    ctx.SetSslPrivKeyFile(testpki::File("01key.pem"));
    ctx.SetSslPassPhrase("quorvelt");
    ctx.SetSslVerifyPeer(false);
    ctx.SetSslVersionMethod(sslTLS_V1_2_CLIENT);
    http.SslContext = &ctx;
    http.MultiThreaded = true;
    http.Timeout = 30;
    http.RcvdStream = &body;
    http.URL = url;
  }
  void UseProxy(int port, const std::string& user = "", const std::string& pass = "") {
    http.SocksServer = "127.0.0.1";
    http.SocksPort = std::to_string(port);
    http.SocksLevel = "5";
    http.SocksUsercode = user;
    http.SocksPassword = pass;
    http.SocksAuthentication = user.empty() ? socksNoAuthentication : socksAuthenticateUsercode;
  }
  // Runs Get; returns "" on success, else "<code>|<message>".
  std::string Fetch() {
    try {
      http.Get();
      return "";
    } catch (const EHttpException& e) {
      return std::to_string(e.ErrorCode) + "|" + e.what();
    }
  }
};

std::string Https(int port, const std::string& host = "localhost") {
  return "https://" + host + ":" + std::to_string(port) + "/";
}

TEST(TlsClient, NginxDirectAndThroughMicrosocks) {
  peers::TNginx nginx("e2e");
  ASSERT_TRUE(nginx.Ready()) << nginx.ErrorLog();
  peers::TMicrosocks socks("harvest", "s3cret");
  ASSERT_TRUE(socks.Ready());

  TWorker direct(Https(nginx.Port()));
  EXPECT_EQ(direct.Fetch(), "");
  EXPECT_EQ(direct.http.StatusCode(), 200);
  EXPECT_EQ(direct.body.Data(), "hello from nginx\n");
  // A second request on a new connection of the same worker.
  direct.body.Clear();
  EXPECT_EQ(direct.Fetch(), "");
  EXPECT_EQ(direct.body.Data(), "hello from nginx\n");

  TWorker proxied(Https(nginx.Port()));
  proxied.UseProxy(socks.Port(), "harvest", "s3cret");
  EXPECT_EQ(proxied.Fetch(), "");
  EXPECT_EQ(proxied.http.StatusCode(), 200);
  EXPECT_EQ(proxied.body.Data(), "hello from nginx\n");

  // The proxy named by its host name, which the client resolves itself before connecting.
  TWorker named(Https(nginx.Port()));
  named.UseProxy(socks.Port(), "harvest", "s3cret");
  named.http.SocksServer = "localhost";
  EXPECT_EQ(named.Fetch(), "");

  // Through the proxy with a dotted address: sent to the proxy as a name, and as server name.
  TWorker dotted(Https(nginx.Port(), "127.0.0.1"));
  dotted.UseProxy(socks.Port(), "harvest", "s3cret");
  EXPECT_EQ(dotted.Fetch(), "");

  const std::string log = nginx.AccessLog(5);
  const std::string line = "localhost|CN=Harvester Client,O=Harvester Test|GET / HTTP/1.0\n";
  EXPECT_NE(log.find(line + line + line + line), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1|CN=Harvester Client"), std::string::npos) << log;

  TWorker wrong(Https(nginx.Port()));
  wrong.UseProxy(socks.Port(), "harvest", "nope");
  EXPECT_EQ(wrong.Fetch(), "20015|SOCKS - Authentication Failed (Error #20015)");
  EXPECT_EQ(wrong.http.StatusCode(), 404);

  // microsocks insists on a password: a greeting without one is refused with method 0xFF.
  TWorker anonymous(Https(nginx.Port()));
  anonymous.UseProxy(socks.Port());
  EXPECT_EQ(anonymous.Fetch(), "20003|SOCKS - Authentication Method Error (Error #20003)");
}

TEST(TlsClient, ContextFailuresAbortEveryAttempt) {
  peers::TNginx nginx("ctx");
  ASSERT_TRUE(nginx.Ready()) << nginx.ErrorLog();
  struct Case {
    const char* name;
    void (*change)(TTlsContext&);
  } cases[] = {
      {"no key file", [](TTlsContext& c) { c.SetSslPrivKeyFile(testpki::File("missing-key.pem")); }},
      {"no cert file", [](TTlsContext& c) { c.SetSslCertFile(testpki::File("missing-cert.pem")); }},
      {"wrong pass phrase", [](TTlsContext& c) { c.SetSslPassPhrase("wrong"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWorker w(Https(nginx.Port()));
    c.change(w.ctx);
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(w.Fetch(), "3|Connection aborted on request");
      EXPECT_EQ(w.http.StatusCode(), 404);
      EXPECT_EQ(w.http.State(), httpReady);
    }
  }
}

TEST(TlsClient, CertificateFilesFromCurrentDirectory) {
  peers::TNginx nginx("cwd");
  ASSERT_TRUE(nginx.Ready()) << nginx.ErrorLog();
  char old[4096];
  ASSERT_NE(::getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(::chdir(testpki::Dir().c_str()), 0);
  TWorker w(Https(nginx.Port()));
  w.ctx.SetSslCertFile("01cert.pem");
  w.ctx.SetSslPrivKeyFile("01key.pem");
  const std::string outcome = w.Fetch();
  ASSERT_EQ(::chdir(old), 0);
  EXPECT_EQ(outcome, "");
}

TEST(TlsClient, OpenSslServerOutcomes) {
  {
    SCOPED_TRACE("requires a client certificate");
    peers::TSServer server("plain");
    ASSERT_TRUE(server.Ready()) << server.Log();
    TWorker w(Https(server.Port()));
    EXPECT_EQ(w.Fetch(), "");
    EXPECT_EQ(w.http.StatusCode(), 200);
    EXPECT_NE(w.body.Data().find("Harvester Client"), std::string::npos);  // s_server's page
    EXPECT_NE(w.body.Data().find("TLSv1.2"), std::string::npos);
  }
  {
    SCOPED_TRACE("self-signed server certificate");
    peers::TSServer server("selfsigned", {}, "selfsigned.pem", "selfsigned.key.pem");
    ASSERT_TRUE(server.Ready()) << server.Log();
    TWorker w(Https(server.Port()));
    EXPECT_EQ(w.Fetch(), "");
  }
  {
    SCOPED_TRACE("refuses TLS 1.2");
    peers::TSServer server("tls13", {"-tls1_3"});
    ASSERT_TRUE(server.Ready()) << server.Log();
    TWorker w(Https(server.Port()));
    const std::string outcome = w.Fetch();
    EXPECT_EQ(outcome.rfind("3|SSL handshake failed - ", 0), 0u) << outcome;
    EXPECT_NE(outcome.find("protocol version"), std::string::npos) << outcome;
    EXPECT_EQ(w.http.StatusCode(), 404);
  }
}

TEST(TlsClient, PlainHttpOnTheTlsPort) {
  TScriptedPeer server({{5, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", false}});
  TWorker w(Https(server.Port(), "127.0.0.1"));
  const std::string outcome = w.Fetch();
  EXPECT_TRUE(outcome == "3|SSL handshake failed - Error, wrong SSL version" ||
              outcome == "3|SSL handshake failed - Error, unknown SSL protocol")
      << outcome;
}

TEST(TlsClient, ServerClosingDuringHandshake) {
  TScriptedPeer server({{5, "", true}});
  TWorker w(Https(server.Port(), "127.0.0.1"));
  EXPECT_EQ(w.Fetch(), "3|SSL handshake failed - Error, connection closed unexpectedly");
}

// Scripted proxies: each row is the proxy's answers, and the outcome the client must report.
TEST(TlsClient, ScriptedSocksOutcomes) {
  const std::string connect = B({5, 1, 0, 3, 14}) + "portal.example" + B({1, 0xBB});
  struct Case {
    const char* name;
    std::vector<TScriptedPeer::Step> script;
    std::string user;
    std::string outcome;
    std::string sent;  // what the proxy must have received
  } cases[] = {
      {"method 0xFF", {{3, B({5, 0xFF})}}, "",
       "20003|SOCKS - Authentication Method Error (Error #20003)", B({5, 1, 0})},
      {"wrong version", {{3, B({4, 0})}}, "", "20002|SOCKS - Version Error (Error #20002)",
       B({5, 1, 0})},
      {"close after greeting", {{3, "", true}}, "",
       "20004|SOCKS - General Failure (Error #20004)", B({5, 1, 0})},
      {"credentials rejected", {{3, B({5, 2})}, {8, B({1, 1})}}, "bob",
       "20015|SOCKS - Authentication Failed (Error #20015)", B({5, 1, 2, 1, 3}) + "bob" + B({2}) + "pw"},
      {"connect refused", {{3, B({5, 0})}, {connect.size(), B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}}, "",
       "20008|SOCKS - Connection Refused (Error #20008)", B({5, 1, 0}) + connect},
      {"IPv6 bound address",
       {{3, B({5, 0})}, {connect.size(), B({5, 0, 0, 4}) + std::string(16, '\0') + B({1, 0xBB})}}, "",
       "20011|SOCKS - Unknown Address Type (Error #20011)", B({5, 1, 0}) + connect},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedPeer proxy(c.script);
    TWorker w("https://portal.example/");
    w.UseProxy(proxy.Port(), c.user, c.user.empty() ? "" : "pw");
    EXPECT_EQ(w.Fetch(), c.outcome);
    EXPECT_EQ(w.http.StatusCode(), 404);
    EXPECT_EQ(proxy.Received(), c.sent);
  }
}

TEST(TlsClient, OtherSocksVersionsAreRefused) {
  TScriptedPeer proxy({{3, B({5, 0})}});
  TWorker w("https://portal.example/");
  w.UseProxy(proxy.Port());
  w.http.SocksLevel = "4A";
  EXPECT_EQ(w.Fetch(), "20013|SOCKS - Internal Error (Error #20013)");
  EXPECT_EQ(proxy.Received(), "");
}

TEST(TlsClient, FiftyWorkersAtOnceAgainstNginx) {
  peers::TNginx nginx("many");
  ASSERT_TRUE(nginx.Ready()) << nginx.ErrorLog();
  constexpr int kWorkers = 50;
  std::atomic<int> ok{0};
  std::vector<std::string> failures(kWorkers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) {
    threads.emplace_back([&, i] {
      TWorker w(Https(nginx.Port()));
      for (int round = 0; round < 2; ++round) {
        w.body.Clear();
        const std::string outcome = w.Fetch();
        if (outcome.empty() && w.body.Data() == "hello from nginx\n") ++ok;
        else failures[i] = outcome;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kWorkers * 2);
  for (const auto& f : failures)
    if (!f.empty()) ADD_FAILURE() << f;
}

// Contexts made one after another share what they read of the key and certificate files, but
// never past a change: another pass phrase, a rewritten or replaced file, a file gone.
TEST(TlsClient, KeyAndCertificateFollowTheirFiles) {
  const fs::path dir = peers::ScratchDir("files");
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  auto place = [&](const std::string& certSource, const std::string& keySource) {
    fs::copy_file(testpki::File(certSource), cert, fs::copy_options::overwrite_existing);
    // Written to a new file and renamed over the old one, as an editor or a deploy does.
    fs::copy_file(testpki::File(keySource), key + ".new", fs::copy_options::overwrite_existing);
    fs::rename(key + ".new", key);
  };
  // Loads a fresh context; "" and the certificate it holds, or the error.
  auto load = [&](const std::string& phrase, std::string& holds) -> std::string {
    TTlsContext ctx;
    ctx.SetSslCertFile(cert);
    ctx.SetSslPrivKeyFile(key);
    ctx.SetSslPassPhrase(phrase);
    ctx.SetSslVersionMethod(sslTLS_V1_2_CLIENT);
    try {
      SSL_CTX* h = ctx.Handle();
      if (SSL_CTX_check_private_key(h) != 1) return "key and certificate differ";
      char name[256] = {};
      X509_NAME_oneline(X509_get_subject_name(SSL_CTX_get0_certificate(h)), name, sizeof name);
      holds = name;
      return "";
    } catch (const ETlsContextException& e) {
      return e.what();
    }
  };
  const std::string keyError = "Can't load private key file \"" + key + "\"";
  struct Step {
    const char* what;
    std::function<void()> change;
    std::string phrase, error, subject;
  } steps[] = {
      {"first load", [&] { place("01cert.pem", "01key.pem"); }, "quorvelt", "", "Harvester Client"},
      {"wrong pass phrase after a good load", [] {}, "wrong", keyError, ""},
      {"right pass phrase again", [] {}, "quorvelt", "", "Harvester Client"},
      {"both files replaced", [&] { place("server-cert.pem", "server-key.pem"); }, "", "", "localhost"},
      {"key file gone", [&] { fs::remove(key); }, "", "File not found \"" + key + "\"", ""},
      {"key file back", [&] { place("server-cert.pem", "server-key.pem"); }, "", "", "localhost"},
  };
  for (Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    std::string holds;
    const std::string error = load(step.phrase, holds);
    if (step.error.empty()) {
      EXPECT_EQ(error, "");
      EXPECT_NE(holds.find("CN=" + step.subject), std::string::npos) << holds;
    } else {
      EXPECT_NE(error.find(step.error), std::string::npos) << error;  // with OpenSSL's text
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace net
