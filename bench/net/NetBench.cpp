// Transport benchmarks: framing plus decoding of a chunked gzip body, and Get of a page from a
// loopback nginx side by side with curl fetching the same page the same number of times.
//   build/bin/net_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "Compress.h"
#include "HttpClient.h"
#include "NginxServer.h"

extern char** environ;

namespace {

using namespace nettest;

constexpr std::size_t kBodySize = 2u << 20;

const std::string& Body() {
  static const std::string body = SampleText(kBodySize);
  return body;
}

// A whole response: header, then the gzip body in chunks of 8000 bytes.
const std::string& ChunkedGzipResponse() {
  static const std::string wire = [] {
    const std::string gz = Gzip(Body());
    std::string w = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n";
    char size[32];
    for (std::size_t i = 0; i < gz.size(); i += 8000) {
      const std::size_t n = std::min<std::size_t>(8000, gz.size() - i);
      std::snprintf(size, sizeof size, "%zx\r\n", n);
      w += size;
      w.append(gz, i, n);
      w += "\r\n";
    }
    w += "0\r\n\r\n";
    return w;
  }();
  return wire;
}

// Framing and decoding, fed in pieces of 1 to 16 KiB the way the client's buffer hands them on.
void BM_FramingAndDecoding(benchmark::State& state) {
  const std::string& wire = ChunkedGzipResponse();
  const std::size_t piece = static_cast<std::size_t>(state.range(0));
  base::TMemoryStream stream;  // reused, as a worker reuses its buffer: no fresh pages per round
  for (auto _ : state) {
    stream.Clear();
    net::THttpResponse r;
    net::TResponseFramer f(r);
    net::TContentDecoder d;
    d.Enabled = true;
    d.Stream = [&] { return &stream; };
    f.Sink.OnBodyBegin = [&] { d.Prepare(r.ContentEncoding); };
    f.Sink.OnBodyData = [&](const char* p, std::size_t n) { d.Write(p, n); };
    f.Begin("1.0", false);
    std::string buf;
    for (std::size_t i = 0; i < wire.size(); i += piece) {
      buf.append(wire, i, piece);
      buf.erase(0, f.Feed(buf.data(), buf.size()));
    }
    d.Complete();
    if (stream.Size() != kBodySize) state.SkipWithError("wrong body");
    benchmark::DoNotOptimize(stream.Data().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_FramingAndDecoding)->Arg(1024)->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);

TNginxServer* Server() {
  static std::unique_ptr<TNginxServer> server = [] {
    if (!TNginxServer::Available()) return std::unique_ptr<TNginxServer>();
    return std::make_unique<TNginxServer>(std::map<std::string, std::string>{{"big.html", Body()}});
  }();
  return server && server->Running() ? server.get() : nullptr;
}

constexpr int kFetchesPerIteration = 20;

// Get of the 2 MB page, a new connection each time (HTTP/1.0), as curl does below.
void BM_GetFromNginx(benchmark::State& state) {
  TNginxServer* s = Server();
  if (!s) return state.SkipWithError("nginx not available");
  net::THttpClient c;
  c.Timeout = 30;
  base::TMemoryStream stream;
  c.RcvdStream = &stream;
  c.URL = s->Origin() + "/big.html";
  for (auto _ : state) {
    for (int i = 0; i < kFetchesPerIteration; ++i) {
      stream.Clear();
      c.Get();
      if (stream.Size() != kBodySize) state.SkipWithError("wrong body");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFetchesPerIteration * kBodySize));
}
BENCHMARK(BM_GetFromNginx)->Unit(benchmark::kMillisecond)->UseRealTime();

// curl fetching the same page the same number of times in one process, HTTP/1.0 so that each
// fetch opens its own connection.
void BM_CurlFromNginx(benchmark::State& state) {
  TNginxServer* s = Server();
  if (!s) return state.SkipWithError("nginx not available");
  std::vector<std::string> args = {"curl", "-s", "--http1.0"};
  for (int i = 0; i < kFetchesPerIteration; ++i) {
    args.push_back("-o");
    args.push_back("/dev/null");
    args.push_back(s->Origin() + "/big.html");
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0)
      return state.SkipWithError("curl not available");
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return state.SkipWithError("curl failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFetchesPerIteration * kBodySize));
}
BENCHMARK(BM_CurlFromNginx)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
