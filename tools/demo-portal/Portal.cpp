#include "Portal.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include <httplib.h>

namespace demo {

namespace {

const char kListPath[] = "/ru/registry/supplierreg";
const char kCardPrefix[] = "/ru/registry/show_supplier/";
const char kHtmlType[] = "text/html; charset=utf-8";

std::uint64_t Fnv1a(const std::string& s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// A whole decimal number, or `fallback` when the text is not one.
long long ToNumber(const std::string& text, long long fallback) {
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return fallback;
  return value;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t n = std::char_traits<char>::length(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string Param(const std::multimap<std::string, std::string>& params, const char* key) {
  auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

}  // namespace

const char* FaultName(EFault fault) {
  switch (fault) {
    case EFault::None: return "none";
    case EFault::TooMany: return "429";
    case EFault::Cut: return "cut";
    case EFault::Drop: return "drop";
    case EFault::Stall: return "stall";
  }
  return "?";
}

EFault DrawFault(const TFaultPlan& plan, const std::string& target, int attempt) {
  if (attempt < 1 || attempt > plan.FaultyAttempts) return EFault::None;
  const std::uint64_t h = Mix(plan.Seed ^ Fnv1a(target) ^ (static_cast<std::uint64_t>(attempt) * 0x9E37u));
  const double u = static_cast<double>(h >> 11) / 9007199254740992.0;  // [0, 1)
  double edge = plan.Drop;
  if (u < edge) return EFault::Drop;
  edge += plan.Cut;
  if (u < edge) return EFault::Cut;
  edge += plan.TooMany;
  if (u < edge) return EFault::TooMany;
  edge += plan.Stall;
  if (u < edge) return EFault::Stall;
  return EFault::None;
}

std::string NotFoundPage() {
  return "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<title>Страница не найдена</title>\n</head>\n<body>\n<h1>404</h1>\n"
         "<p>Запрашиваемая страница не найдена.</p>\n</body>\n</html>\n";
}

std::string TooManyRequestsPage() {
  return "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<title>Слишком много запросов</title>\n</head>\n<body>\n<h1>429</h1>\n"
         "<p>Слишком много запросов. Повторите попытку позже.</p>\n</body>\n</html>\n";
}

std::string GzipCompress(const std::string& data) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out;
  out.resize(deflateBound(&zs, static_cast<uLong>(data.size())) + 32);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  const std::size_t produced = zs.total_out;
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(produced);
  return out;
}

TPortal::TPortal(const TRegister& reg, TFaultPlan faults, TWireOptions wire)
    : FRegister(reg), FFaults(faults), FWire(wire) {}

int TPortal::NextAttempt(const std::string& target) {
  std::lock_guard<std::mutex> lock(FAttemptsLock);
  return ++FAttempts[target];
}

TAnswer TPortal::Answer(const std::string& path, const std::multimap<std::string, std::string>& params,
                        const std::string& target) {
  TAnswer answer;
  answer.Attempt = NextAttempt(target);

  if (path == kListPath) {
    const int year = static_cast<int>(ToNumber(Param(params, "filter[year][0]"), 0));
    const std::string typeText = Param(params, "filter[type][]");
    const int type = typeText.empty() ? 0 : static_cast<int>(ToNumber(typeText, -1));
    const std::string pageText = Param(params, "page");
    const int page = pageText.empty() ? 1 : static_cast<int>(ToNumber(pageText, -1));
    answer.Body = FRegister.ListPage(type, year, page);
  } else if (path.rfind(kCardPrefix, 0) == 0) {
    const long long id = ToNumber(path.substr(sizeof kCardPrefix - 1), -1);
    const std::optional<TCardInfo> card = FRegister.Card(id);
    if (!card || card->Gone) {
      answer.Status = 404;
      answer.Body = NotFoundPage();
      return answer;  // a missing card stays missing: no transient fault on top
    }
    answer.Body = FRegister.CardPage(*card).Html;
  } else {
    answer.Status = 404;
    answer.Body = NotFoundPage();
    return answer;
  }

  answer.Fault = DrawFault(FFaults, target, answer.Attempt);
  if (answer.Fault == EFault::TooMany) {
    answer.Body = TooManyRequestsPage();
  } else if (answer.Fault == EFault::Cut) {
    // Somewhere between a third and nine tenths of the page: never its closing tag.
    const std::uint64_t h = Mix(FFaults.Seed ^ Fnv1a(target) ^ static_cast<std::uint64_t>(answer.Attempt));
    answer.Body.resize(answer.Body.size() * (30 + h % 60) / 100);
  }
  return answer;
}

void TPortal::Install(httplib::Server& server) {
  server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    TAnswer answer = Answer(req.path, req.params, req.target);
    if (FFaults.SlowMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(FFaults.SlowMs));
    if (answer.Fault == EFault::Stall) std::this_thread::sleep_for(std::chrono::milliseconds(FFaults.StallMs));

    const bool gzip = FWire.Gzip && req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
    // The library would compress text answers on its own, preferring codings the harvester
    // does not speak; the portal decides the coding itself.
    auto& headers = const_cast<httplib::Request&>(req).headers;
    headers.erase("Accept-Encoding");
    // An HTTP/1.0 request gets its connection closed after the answer, and says so.
    if (req.version == "HTTP/1.0" && !EqualsIgnoringCase(req.get_header_value("Connection"), "keep-alive")) {
      headers.erase("Connection");
      headers.emplace("Connection", "close");
    }

    auto body = std::make_shared<std::string>(gzip ? GzipCompress(answer.Body) : std::move(answer.Body));
    res.status = answer.Status;
    if (gzip) {
      res.set_header("Content-Encoding", "gzip");
      res.set_header("Vary", "Accept-Encoding");
    }
    const bool drop = answer.Fault == EFault::Drop;
    const std::size_t half = body->size() / 2;

    if (FWire.Chunked) {
      res.set_chunked_content_provider(kHtmlType, [body, drop, half](std::size_t offset, httplib::DataSink& sink) {
        if (drop && offset >= half) return false;  // the connection goes down mid-body
        if (offset >= body->size()) {
          sink.done();
          return true;
        }
        // Uneven chunk sizes, so chunk boundaries fall anywhere in the markup.
        std::size_t piece = 517 + (offset * 7) % 3511;
        piece = std::min(piece, body->size() - offset);
        if (drop) piece = std::min(piece, half - offset);
        return sink.write(body->data() + offset, piece);
      });
    } else if (drop) {
      res.set_content_provider(body->size(), kHtmlType,
                               [body, half](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset >= half || half == 0) return false;
                                 return sink.write(body->data() + offset, half - offset);
                               });
    } else {
      res.set_content(*body, kHtmlType);
    }

    if (FWire.Verbose) {
      std::lock_guard<std::mutex> lock(FLogLock);
      std::fprintf(stderr, "GET %s -> %d attempt %d fault %s%s%s\n", req.target.c_str(), answer.Status,
                   answer.Attempt, FaultName(answer.Fault), gzip ? " gzip" : "", FWire.Chunked ? " chunked" : "");
    }
  });
}

}  // namespace demo
