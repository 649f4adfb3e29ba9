// The demo portal must stay light while harvester benchmarks hammer it: page generation, and
// card pages fetched over fresh TLS 1.2 connections with a client certificate by many clients.
#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "Portal.h"
#include "Register.h"
#include "Server.h"

namespace {

demo::TRegisterOptions Shape(int cardsPerPage) {
  demo::TRegisterOptions o;
  o.FirstYear = 2016;
  o.LastYear = 2016;
  o.PagesPerYear = 1;
  o.CardsPerPage = cardsPerPage;
  return o;
}

void BM_ListPage(benchmark::State& state) {
  const demo::TRegister reg(Shape(static_cast<int>(state.range(0))));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string page = reg.ListPage(0, 2016, 1);
    bytes += page.size();
    benchmark::DoNotOptimize(page);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ListPage)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_CardPage(benchmark::State& state) {
  const demo::TRegister reg(Shape(2000));
  const auto cards = reg.AllCards();
  std::size_t i = 0;
  for (auto _ : state) {
    demo::TCardPage page = reg.CardPage(cards[i++ % cards.size()]);
    benchmark::DoNotOptimize(page);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CardPage)->Unit(benchmark::kMicrosecond);

void BM_GzipCardPage(benchmark::State& state) {
  const demo::TRegister reg(Shape(2000));
  const std::string html = reg.CardPage(reg.AllCards()[3]).Html;
  for (auto _ : state) benchmark::DoNotOptimize(demo::GzipCompress(html));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_GzipCardPage)->Unit(benchmark::kMicrosecond);

// One portal for the whole process, on a free loopback port, with its certificates in a
// temporary directory.
struct TLivePortal {
  std::string Dir;
  int Port = 0;
  demo::TRegister Register{Shape(2000)};
  std::unique_ptr<demo::TPortal> Portal;
  std::unique_ptr<demo::TDemoServer> Server;
  std::thread Thread;
  X509* ClientCert = nullptr;
  EVP_PKEY* ClientKey = nullptr;

  TLivePortal() {
    char dir[] = "/tmp/demo-portal-bench.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    Dir = dir;
    const std::string make = std::string("bash '") + DEMO_MAKE_CERTS + "' '" + Dir + "' >/dev/null";
    if (std::system(make.c_str()) != 0) std::abort();
    std::string error;
    Server = std::make_unique<demo::TDemoServer>([&](SSL_CTX& ctx) {
      return demo::SetUpServerTls(ctx, Dir + "/server-cert.pem", Dir + "/server-key.pem", Dir + "/ca.pem", error);
    });
    if (!Server->is_valid()) {
      std::fprintf(stderr, "TLS set-up: %s\n", error.c_str());
      std::abort();
    }
    Server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    Port = Server->bind_to_any_port("127.0.0.1");
    Server->WidenBacklog(1024);
    Portal = std::make_unique<demo::TPortal>(Register, demo::TFaultPlan{}, demo::TWireOptions{});
    Portal->Install(*Server);
    Thread = std::thread([this] { Server->listen_after_bind(); });

    FILE* f = std::fopen((Dir + "/01cert.pem").c_str(), "r");
    ClientCert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    f = std::fopen((Dir + "/01key.pem").c_str(), "r");
    ClientKey = PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>("quorvelt"));
    std::fclose(f);
    if (!ClientCert || !ClientKey) std::abort();
  }
  ~TLivePortal() {
    Server->stop();
    Thread.join();
    X509_free(ClientCert);
    EVP_PKEY_free(ClientKey);
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
};

TLivePortal& Live() {
  static TLivePortal portal;
  return portal;
}

// Each request on a fresh TLS 1.2 connection, as the harvester's HTTP/1.0 requests are.
void BM_CardsOverTls(benchmark::State& state) {
  TLivePortal& live = Live();
  const auto cards = live.Register.AllCards();
  httplib::SSLClient client("127.0.0.1", live.Port, live.ClientCert, live.ClientKey);
  client.enable_server_certificate_verification(false);
  client.set_keep_alive(false);
  SSL_CTX_set_max_proto_version(client.ssl_context(), TLS1_2_VERSION);
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  std::int64_t failed = 0;
  for (auto _ : state) {
    const auto res = client.Get(("/ru/registry/show_supplier/" + std::to_string(cards[i++ % cards.size()].Id)).c_str());
    if (!res || res->status != 200) ++failed;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["failed"] = benchmark::Counter(static_cast<double>(failed), benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_CardsOverTls)->Threads(1)->Threads(16)->Threads(64)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
