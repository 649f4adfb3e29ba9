// HTTPS GET with a new TLS connection per request against loopback nginx (client certificate
// required), side by side with the curl command doing the same with the same certificate.
// Each iteration makes kBatch requests; curl does them in one process (no session reuse, HTTP/1.0
// so every request opens a new connection), which spreads its start-up over the batch; it is
// given the small test CA so it does not parse the system trust store for every transfer.
// After the runs the ratio of the medians (client / curl) is printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "TlsRealPeers.h"
#include "net/TlsHttpClient.h"

namespace {

constexpr int kBatch = 20;
peers::TNginx* gNginx = nullptr;

std::string Url() { return "https://localhost:" + std::to_string(gNginx->Port()) + "/"; }

void BM_ClientHttpsGetNewConnection(benchmark::State& state) {
  net::TTlsContext ctx;
  ctx.SetSslCertFile(testpki::File("01cert.pem"));
  ctx.SetSslPrivKeyFile(testpki::File("01key.pem"));
  ctx.SetSslPassPhrase("quorvelt");
  ctx.SetSslVersionMethod(net::sslTLS_V1_2_CLIENT);
  net::TTlsHttpClient http;
  http.SslContext = &ctx;
  http.MultiThreaded = true;
  http.Timeout = 30;
  base::TMemoryStream body;
  http.RcvdStream = &body;
  http.URL = Url();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      body.Clear();
      http.Get();
      benchmark::DoNotOptimize(body.Size());
    }
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBatch, benchmark::Counter::kIsRate);
}

void BM_CurlHttpsGetNewConnection(benchmark::State& state) {
  std::string cmd = "curl -s -S -k --http1.0 --no-sessionid --tlsv1.2 --tls-max 1.2"
                    " --cacert " + testpki::File("ca.pem") + " --cert " + testpki::File("01cert.pem") + ":quorvelt --key " +
                    testpki::File("01key.pem");
  for (int i = 0; i < kBatch; ++i) cmd += " -o /dev/null " + Url();
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBatch, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ClientHttpsGetNewConnection)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Repetitions(7)->MinTime(1.0);
BENCHMARK(BM_CurlHttpsGetNewConnection)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Repetitions(7)->MinTime(1.0);

// Keeps the medians of the repeated runs for the ratio.
class TMedianReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> medians;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medians[r.run_name.function_name] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string pki = testpki::Dir();
  if (std::system(("bash " SH_PKI_SCRIPT " " + pki + " >/dev/null").c_str()) != 0) {
    std::fprintf(stderr, "cannot make the test PKI\n");
    return 1;
  }
  std::string body(20000, 'x');  // about the size of a supplier card
  peers::TNginx nginx("bench", "<html>" + body + "</html>\n");
  if (!nginx.Ready()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", nginx.ErrorLog().c_str());
    return 1;
  }
  gNginx = &nginx;
  benchmark::Initialize(&argc, argv);
  TMedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto client = reporter.medians.find("BM_ClientHttpsGetNewConnection");
  const auto curl = reporter.medians.find("BM_CurlHttpsGetNewConnection");
  if (client != reporter.medians.end() && curl != reporter.medians.end() && curl->second > 0)
    std::printf("median per %d requests: client %.2f ms, curl %.2f ms, ratio %.3f (goal <= 1.25)\n",
                kBatch, client->second, curl->second, client->second / curl->second);
  benchmark::Shutdown();
  return 0;
}
