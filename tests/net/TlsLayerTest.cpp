// The TLS context and the TLS session layer against an in-process server over memory.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "TlsTestPeer.h"
#include "net/TlsContext.h"
#include "net/SocksLayer.h"
#include "net/TlsLayer.h"

namespace net {
namespace {

using S = TFilter::TStatus;
namespace fs = std::filesystem;

// The worker's settings.
void Configure(TTlsContext& ctx) {
  ctx.SetSslCertFile(testpki::File("01cert.pem"));
  ctx.SetSslPrivKeyFile(testpki::File("01key.pem"));
  ctx.SetSslPassPhrase("quorvelt");
  ctx.SetSslVerifyPeer(false);
  ctx.SetSslVersionMethod(sslTLS_V1_2_CLIENT);
}

TEST(TlsContext, Defaults) {
  TTlsContext ctx;
  EXPECT_EQ(ctx.SslVersionMethod(), sslBestVer);
  EXPECT_EQ(ctx.SslMinVersion(), sslVerSSL3);
  EXPECT_EQ(ctx.SslMaxVersion(), sslVerMax);
  EXPECT_EQ(ctx.SslCipherList(), "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH");
  EXPECT_EQ(ctx.SslSecLevel(), sslSecLevel80bits);
  EXPECT_FALSE(ctx.SslVerifyPeer());
  EXPECT_EQ(ctx.SslVerifyDepth(), 9);
  EXPECT_FALSE(ctx.Initialized());  // nothing is read until the first handshake
  EXPECT_EQ(static_cast<int>(sslTLS_V1_2_CLIENT), 16);
  EXPECT_EQ(static_cast<int>(sslBestVer_SERVER), 20);
}

TEST(TlsLayer, HandshakeWithClientCertificateAndServerName) {
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server;
  TTlsLayer tls(&ctx, "portal.example");
  tls.FromAbove("GET / HTTP/1.0\r\n", 16);  // written before the handshake even started
  tls.Start();
  EXPECT_EQ(tls.TlsState(), sslHandshakeStarted);
  tls.FromAbove("\r\n", 2);  // and during it
  Pump(tls, server);
  ASSERT_EQ(tls.Status(), S::Established) << tls.ErrorText();
  EXPECT_EQ(tls.TlsState(), sslEstablished);
  EXPECT_TRUE(server.Established());
  EXPECT_EQ(server.ServerName(), "portal.example");
  EXPECT_EQ(server.Version(), TLS1_2_VERSION);  // the server would take 1.3
  EXPECT_NE(server.ClientSubject().find("Harvester Client"), std::string::npos);
  EXPECT_EQ(server.Received(), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_NE(tls.PeerSubject().find("localhost"), std::string::npos);

  tls.FromAbove("more", 4);
  Pump(tls, server);
  EXPECT_EQ(server.Received(), "GET / HTTP/1.0\r\n\r\nmore");

  // The answer, then close_notify, handed to the client a byte at a time.
  server.Send("HTTP/1.0 200 OK\r\n\r\nbody");
  server.CloseNotify();
  Pump(tls, server, 1);
  EXPECT_EQ(tls.TakeForAbove(), "HTTP/1.0 200 OK\r\n\r\nbody");
  EXPECT_EQ(tls.Status(), S::Closed);
  EXPECT_EQ(tls.TlsState(), sslShutdownComplete);
}

TEST(TlsLayer, CloseWithoutCloseNotifyKeepsWhatArrived) {
  // Servers often just close the connection after an HTTP/1.0 response.
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server;
  TTlsLayer tls(&ctx, "h");
  tls.Start();
  Pump(tls, server);
  ASSERT_EQ(tls.Status(), S::Established) << tls.ErrorText();
  server.Send("HTTP/1.0 200 OK\r\n\r\nall of it");
  Pump(tls, server);
  tls.BelowClosed();
  EXPECT_EQ(tls.TakeForAbove(), "HTTP/1.0 200 OK\r\n\r\nall of it");
  EXPECT_EQ(tls.Status(), S::Established) << tls.ErrorText();
}

TEST(TlsLayer, HandshakeDoneNotificationMayDropTheConnection) {
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server;
  TTlsLayer tls(&ctx, "h");
  std::vector<int> codes;
  tls.OnHandshakeDone = [&](int code, bool& disconnect) {
    codes.push_back(code);
    disconnect = true;
  };
  tls.FromAbove("never sent", 10);
  tls.Start();
  Pump(tls, server);
  EXPECT_EQ(codes, std::vector<int>{0});
  EXPECT_EQ(tls.Status(), S::Failed);
  EXPECT_EQ(tls.ErrorText(), "");
  EXPECT_EQ(server.Received(), "");
}

TEST(TlsLayer, ShutdownSendsCloseNotify) {
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server;
  TTlsLayer tls(&ctx, "h");
  tls.Shutdown();  // nothing to close yet
  EXPECT_EQ(tls.TlsState(), sslNone);
  tls.Start();
  Pump(tls, server);
  ASSERT_EQ(tls.Status(), S::Established) << tls.ErrorText();
  tls.FromAbove("last", 4);
  tls.Shutdown();
  EXPECT_EQ(tls.TlsState(), sslInShutdown);
  Pump(tls, server);
  EXPECT_EQ(server.Received(), "last");
  EXPECT_TRUE(server.GotCloseNotify());
}

TEST(TlsLayer, EmptyServerNameSendsNone) {
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server;
  TTlsLayer tls(&ctx, "");
  tls.Start();
  Pump(tls, server);
  ASSERT_EQ(tls.Status(), S::Established) << tls.ErrorText();
  EXPECT_EQ(server.ServerName(), "");
}

TEST(TlsLayer, InsideSocksTunnelWithReplyAndServerHelloInOneSegment) {
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server;
  TSocksSettings settings;
  settings.TargetHost = "portal.example";
  settings.TargetPort = 443;
  TSocksLayer socks(settings);
  TTlsLayer tls(&ctx, "portal.example");
  socks.Start();
  socks.TakeForBelow();  // greeting
  socks.FromBelow("\x05\x00", 2);
  socks.TakeForBelow();  // CONNECT
  // The socket starts TLS when the tunnel reports established; here the proxy sends its reply
  // and, in the same segment, the first bytes from the server. Those must not be lost.
  tls.FromAbove("req", 3);
  tls.Start();
  server.Feed(tls.TakeForBelow());  // the hello went through the tunnel beforehand
  const std::string segment = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x01\xbb", 10) + server.TakeOut();
  socks.FromBelow(segment.data(), segment.size());
  ASSERT_EQ(socks.Status(), S::Established);
  const std::string up = socks.TakeForAbove();
  tls.FromBelow(up.data(), up.size());
  for (int i = 0; i < 20; ++i) {  // tls -> socks -> server -> socks -> tls
    const std::string out = tls.TakeForBelow();
    socks.FromAbove(out.data(), out.size());
    server.Feed(socks.TakeForBelow());
    const std::string back = server.TakeOut();
    if (out.empty() && back.empty()) break;
    socks.FromBelow(back.data(), back.size());
    const std::string in = socks.TakeForAbove();
    tls.FromBelow(in.data(), in.size());
  }
  ASSERT_EQ(tls.Status(), S::Established) << tls.ErrorText();
  EXPECT_EQ(server.ServerName(), "portal.example");
  EXPECT_EQ(server.Received(), "req");
}

TEST(TlsLayer, SelfSignedServerCertificateIsAccepted) {
  TTlsContext ctx;
  Configure(ctx);
  TMemTlsServer server({"selfsigned.pem", "selfsigned.key.pem", true, 0, 0});
  TTlsLayer tls(&ctx, "portal.example");
  tls.Start();
  Pump(tls, server);
  EXPECT_EQ(tls.Status(), S::Established) << tls.ErrorText();
}

TEST(TlsLayer, HandshakeFailures) {
  TTlsContext ctx;
  Configure(ctx);
  {
    SCOPED_TRACE("server speaks TLS 1.3 only");
    TMemTlsServer server({"server-cert.pem", "server-key.pem", true, TLS1_3_VERSION, TLS1_3_VERSION});
    TTlsLayer tls(&ctx, "h");
    tls.Start();
    Pump(tls, server);
    EXPECT_EQ(tls.Status(), S::Failed);
    EXPECT_EQ(tls.TlsState(), sslHandshakeFailed);
    EXPECT_EQ(tls.ErrorCode(), 3);
    EXPECT_FALSE(tls.ContextFailed());
    EXPECT_NE(tls.ErrorText().find("protocol version"), std::string::npos) << tls.ErrorText();
  }
  {
    SCOPED_TRACE("server answers the hello with plain HTTP");
    TTlsLayer tls(&ctx, "h");
    tls.Start();
    const std::string http = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    tls.FromBelow(http.data(), http.size());
    EXPECT_EQ(tls.Status(), S::Failed);
    EXPECT_TRUE(tls.ErrorText() == "Error, wrong SSL version" ||
                tls.ErrorText() == "Error, unknown SSL protocol")
        << tls.ErrorText();
  }
  {
    SCOPED_TRACE("connection closed during the handshake");
    TMemTlsServer server;
    TTlsLayer tls(&ctx, "h");
    tls.Start();
    server.Feed(tls.TakeForBelow());
    tls.BelowClosed();
    EXPECT_EQ(tls.Status(), S::Failed);
    EXPECT_EQ(tls.ErrorText(), "Error, connection closed unexpectedly");
  }
  {
    SCOPED_TRACE("client without certificate, server requires one");
    TTlsContext bare;
    TMemTlsServer server;
    TTlsLayer tls(&bare, "h");
    tls.Start();
    Pump(tls, server);
    EXPECT_EQ(tls.Status(), S::Failed);  // with TLS 1.2 the server's alert ends the handshake
    EXPECT_NE(tls.ErrorText().find("alert"), std::string::npos) << tls.ErrorText();
    EXPECT_FALSE(server.Established());
  }
}

// Each setting that must stop the context set-up, and the text it gives.
TEST(TlsContext, SetUpFailures) {
  const fs::path dir = fs::path(testpki::Dir()) / "bad";
  fs::create_directories(dir);
  std::ofstream(dir / "garbage.pem") << "not a certificate\n";
  struct Case {
    const char* name;
    void (*change)(TTlsContext&, const fs::path&);
    std::string text;
  } cases[] = {
      {"no key file", [](TTlsContext& c, const fs::path& d) { c.SetSslPrivKeyFile((d / "01key.pem").string()); },
       "File not found \"" + (dir / "01key.pem").string() + "\""},
      {"no cert file", [](TTlsContext& c, const fs::path& d) { c.SetSslCertFile((d / "01cert.pem").string()); },
       "File not found \"" + (dir / "01cert.pem").string() + "\""},
      {"wrong pass phrase", [](TTlsContext& c, const fs::path&) { c.SetSslPassPhrase("wrong"); },
       "Can't load private key file \"" + testpki::File("01key.pem") + "\""},
      {"no pass phrase", [](TTlsContext& c, const fs::path&) { c.SetSslPassPhrase(""); },
       "Can't load private key file \"" + testpki::File("01key.pem") + "\""},
      {"cert file not PEM", [](TTlsContext& c, const fs::path& d) { c.SetSslCertFile((d / "garbage.pem").string()); },
       "Can't read certificate file \"" + (dir / "garbage.pem").string() + "\""},
      {"empty cipher list", [](TTlsContext& c, const fs::path&) { c.SetSslCipherList(""); }, "Cipher list empty"},
      {"bad cipher list", [](TTlsContext& c, const fs::path&) { c.SetSslCipherList("NO-SUCH-CIPHER"); },
       "Error loading cipher list"},
      {"SSLv2", [](TTlsContext& c, const fs::path&) { c.SetSslVersionMethod(sslV2_CLIENT); }, "SSLv2 not supported"},
      {"method out of range",
       [](TTlsContext& c, const fs::path&) { c.SetSslVersionMethod(static_cast<TTlsVersionMethod>(21)); },
       "Unknown SslVersionMethod"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTlsContext ctx;
    Configure(ctx);
    c.change(ctx, dir);
    try {
      ctx.InitContext();
      ADD_FAILURE() << "no exception";
    } catch (const ETlsContextException& e) {
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
    }
    EXPECT_FALSE(ctx.Initialized());
    // The layer reports it as a set-up failure, not a handshake failure, and sends nothing.
    TTlsLayer tls(&ctx, "h");
    tls.Start();
    EXPECT_EQ(tls.Status(), S::Failed);
    EXPECT_TRUE(tls.ContextFailed());
    EXPECT_EQ(tls.ErrorCode(), tlsErrContext);
    EXPECT_NE(tls.ErrorText().find(c.text), std::string::npos);
    EXPECT_TRUE(tls.TakeForBelow().empty());
  }
  TTlsLayer none(nullptr, "h");
  none.Start();
  EXPECT_TRUE(none.ContextFailed());
  EXPECT_EQ(none.ErrorText(), "SSL requires a context object");
}

TEST(TlsContext, UnsupportedLibraryVersionText) {
  EXPECT_EQ(UnsupportedVersionText(0x10101004UL),
            "Unsupported OpenSSL version (0x10101004) !\r\nSupported versions are 0x30000000 - 0x3FFFFFFF"
            "\r\nFileName: libcrypto.so." + std::to_string(OPENSSL_VERSION_MAJOR));
}

TEST(TlsContext, OpenSslFailureTextCarriesTheErrorQueue) {
  TTlsContext ctx;
  Configure(ctx);
  ctx.SetSslPassPhrase("wrong");
  try {
    ctx.InitContext();
    FAIL();
  } catch (const ETlsContextException& e) {
    const std::string t = e.what();
    EXPECT_EQ(t.rfind("\r\nCan't load private key file", 0), 0u) << t;
    EXPECT_NE(t.find("\r\nerror:"), std::string::npos) << t;
    EXPECT_EQ(t.substr(t.size() - 2), "\r\n");
  }
  // After a failure the whole set-up is tried again.
  ctx.SetSslPassPhrase("quorvelt");
  EXPECT_NO_THROW(ctx.InitContext());
  EXPECT_TRUE(ctx.Initialized());
}

TEST(TlsContext, FilesAreReadOnceAndSessionsNotReused) {
  const fs::path dir = fs::path(testpki::Dir()) / "once";
  fs::create_directories(dir);
  for (const char* f : {"01cert.pem", "01key.pem"})
    fs::copy_file(testpki::File(f), dir / f, fs::copy_options::overwrite_existing);
  TTlsContext ctx;
  Configure(ctx);
  ctx.SetSslCertFile((dir / "01cert.pem").string());
  ctx.SetSslPrivKeyFile((dir / "01key.pem").string());
  TMemTlsServer server;
  {
    TTlsLayer first(&ctx, "h");
    first.Start();
    Pump(first, server);
    ASSERT_EQ(first.Status(), S::Established) << first.ErrorText();
  }
  fs::remove(dir / "01key.pem");
  fs::remove(dir / "01cert.pem");
  server.NewConnection();
  TTlsLayer second(&ctx, "h");
  second.Start();
  Pump(second, server);
  ASSERT_EQ(second.Status(), S::Established) << second.ErrorText();
  EXPECT_FALSE(server.Reused());
  // Changing a file name once the context exists loads the file at once.
  EXPECT_THROW(ctx.SetSslPrivKeyFile((dir / "01key.pem").string()), ETlsContextException);
}

// The OpenSSL context of a destroyed TTlsContext is taken over by the next one made from the
// same settings and files, and by no other.
TEST(TlsContext, ALeftContextServesOnlyTheSameSettings) {
  const fs::path dir = fs::path(testpki::Dir()) / "left";
  fs::create_directories(dir);
  for (const char* f : {"01cert.pem", "01key.pem"})
    fs::copy_file(testpki::File(f), dir / f, fs::copy_options::overwrite_existing);
  auto subject = [](SSL_CTX* h) {
    char name[256] = {};
    X509_NAME_oneline(X509_get_subject_name(SSL_CTX_get0_certificate(h)), name, sizeof name);
    return std::string(name);
  };
  // Leaves a context made with the worker's settings; returns its OpenSSL context.
  auto leave = [](const std::function<void(TTlsContext&)>& afterSetUp = nullptr) {
    TTlsContext ctx;
    Configure(ctx);
    SSL_CTX* h = ctx.Handle();
    if (afterSetUp) afterSetUp(ctx);
    return h;
  };
  struct Case {
    const char* name;
    std::function<void(TTlsContext&)> change;
    std::function<bool(SSL_CTX*)> holds;
  } cases[] = {
      {"highest version", [](TTlsContext& c) { c.SetSslVersionMethod(sslBestVer_CLIENT); },
       [](SSL_CTX* h) { return SSL_CTX_get_max_proto_version(h) == 0; }},
      {"fixed TLS 1.1", [](TTlsContext& c) { c.SetSslVersionMethod(sslTLS_V1_1_CLIENT); },
       [](SSL_CTX* h) { return SSL_CTX_get_max_proto_version(h) == TLS1_1_VERSION; }},
      {"security level", [](TTlsContext& c) { c.SetSslSecLevel(sslSecLevel112bits); },
       [](SSL_CTX* h) { return SSL_CTX_get_security_level(h) == 2; }},
      {"verification on", [](TTlsContext& c) { c.SetSslVerifyPeer(true); },
       [](SSL_CTX* h) { return SSL_CTX_get_verify_mode(h) == SSL_VERIFY_PEER; }},
      {"cipher list", [](TTlsContext& c) { c.SetSslCipherList("AES128-SHA"); },
       [](SSL_CTX* h) {
         STACK_OF(SSL_CIPHER)* list = SSL_CTX_get_ciphers(h);
         for (int i = 0; i < sk_SSL_CIPHER_num(list); ++i)
           if (std::string(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(list, i))) == "ECDHE-RSA-AES256-GCM-SHA384")
             return false;
         return true;
       }},
      {"CA file", [](TTlsContext& c) { c.SetSslCAFile(testpki::File("ca.pem")); },
       [](SSL_CTX* h) { return X509_STORE_get0_objects(SSL_CTX_get_cert_store(h)) != nullptr; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SSL_CTX* left = leave();
    TTlsContext other;
    Configure(other);
    c.change(other);
    SSL_CTX* h = other.Handle();
    EXPECT_NE(h, left);
    EXPECT_TRUE(c.holds(h));
  }

  // The same settings take the left context over, with a fresh set-up's properties.
  {
    SSL_CTX* left = leave();
    TTlsContext same;
    Configure(same);
    EXPECT_EQ(same.Handle(), left);
    EXPECT_EQ(SSL_CTX_get_max_proto_version(left), TLS1_2_VERSION);
    EXPECT_EQ(SSL_CTX_check_private_key(left), 1);
    // It is this context's now: a key loaded into it later asks this context's pass phrase.
    EXPECT_NO_THROW(same.SetSslPrivKeyFile((dir / "01key.pem").string()));
    EXPECT_EQ(SSL_CTX_check_private_key(same.Handle()), 1);
  }

  // A context whose files were changed after its set-up is not what its settings say: left, it
  // serves nobody, and the next context gets the worker's certificate, not the changed one.
  const std::function<void(TTlsContext&)> changes[] = {
      [](TTlsContext& c) { c.SetSslCertFile(testpki::File("server-cert.pem")); },
      [](TTlsContext& c) {
        c.SetSslCertFile(testpki::File("server-cert.pem"));
        c.SetSslPrivKeyFile(testpki::File("server-key.pem"));
      },
  };
  for (const auto& change : changes) {
    leave(change);
    TTlsContext next;
    Configure(next);
    SSL_CTX* h = next.Handle();
    EXPECT_NE(subject(h).find("CN=Harvester Client"), std::string::npos) << subject(h);
    EXPECT_EQ(SSL_CTX_check_private_key(h), 1);
  }

  // No session of a left context is offered on a connection of the next one.
  {
    TMemTlsServer server;
    auto handshake = [&server] {
      TTlsContext ctx;
      Configure(ctx);
      TTlsLayer tls(&ctx, "h");
      tls.Start();
      Pump(tls, server);
      return tls.Status() == S::Established ? std::string() : tls.ErrorText() + " ";
    };
    ASSERT_EQ(handshake(), "");
    server.NewConnection();
    ASSERT_EQ(handshake(), "");
    EXPECT_FALSE(server.Reused());
  }
  fs::remove_all(dir);
}

// A connection holds the OpenSSL context it was made on. While it outlives its TTlsContext,
// no TTlsContext with the same settings gets that context, and the connection goes on; once the
// connection is gone as well, the context is parked for the next one.
TEST(TlsContext, AConnectionOutlivingItsContextKeepsTheOpenSslContext) {
  TMemTlsServer server;
  auto owner = std::make_unique<TTlsContext>();
  Configure(*owner);
  auto tls = std::make_unique<TTlsLayer>(owner.get(), "h");
  tls->Start();
  Pump(*tls, server);
  ASSERT_EQ(tls->Status(), S::Established) << tls->ErrorText();
  SSL_CTX* inUse = owner->Handle();
  owner.reset();  // the context goes first, its connection stays

  // Alive at once, so each takes a different parked context if there are any.
  std::vector<std::unique_ptr<TTlsContext>> others;
  for (int i = 0; i < 3; ++i) {
    others.push_back(std::make_unique<TTlsContext>());
    Configure(*others.back());
    EXPECT_NE(others.back()->Handle(), inUse) << i;
  }
  TMemTlsServer otherServer;
  TTlsLayer other(others.front().get(), "other");
  other.Start();
  Pump(other, otherServer);
  ASSERT_EQ(other.Status(), S::Established) << other.ErrorText();

  tls->FromAbove("still here", 10);
  server.Send("answer");
  Pump(*tls, server);
  EXPECT_EQ(server.Received(), "still here");
  EXPECT_EQ(tls->TakeForAbove(), "answer");
  EXPECT_EQ(tls->Status(), S::Established) << tls->ErrorText();

  tls.reset();  // the last holder lets go: parked now, the most recently left
  TTlsContext next;
  Configure(next);
  EXPECT_EQ(next.Handle(), inUse);
}

TEST(TlsLayer, ManyThreadsHandshakeAtOnce) {
  constexpr int kThreads = 24;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&ok, i] {
      TTlsContext ctx;  // one per worker, as in the program
      Configure(ctx);
      TMemTlsServer server;
      for (int round = 0; round < 3; ++round) {
        server.NewConnection();
        TTlsLayer tls(&ctx, "w" + std::to_string(i));
        tls.Start();
        tls.FromAbove("ping", 4);
        Pump(tls, server);
        if (tls.Status() == S::Established && server.Received() == "ping" &&
            server.ServerName() == "w" + std::to_string(i))
          ++ok;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kThreads * 3);
}

}  // namespace
}  // namespace net
