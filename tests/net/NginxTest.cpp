// The client against a real web server nobody here wrote: nginx on a loopback port.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "Compress.h"
#include "HttpClient.h"
#include "NginxServer.h"

namespace {

using namespace nettest;

const std::string kPage = SampleText(300000);
const std::string kText = "plain text page\n";

class Nginx : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TNginxServer::Available()) return;
    server_ = std::make_unique<TNginxServer>(std::map<std::string, std::string>{
        {"page.html", kPage}, {"small.txt", kText}});
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(server_) << "nginx is missing; scripts/install-deps.sh installs it (nginx-light)";
    ASSERT_TRUE(server_->Running()) << server_->ErrorLog();
  }
  static std::unique_ptr<TNginxServer> server_;
};
std::unique_ptr<TNginxServer> Nginx::server_;

struct TResult {
  std::string Error;
  int Code = 0;
  int Status = 0;
  std::string Body;
};

TResult Fetch(net::THttpClient& c, const std::string& url) {
  base::TMemoryStream stream;
  c.RcvdStream = &stream;
  c.URL = url;
  TResult r;
  try {
    c.Get();
  } catch (const net::EHttpException& e) {
    r.Error = e.what();
    r.Code = e.ErrorCode;
  }
  r.Status = c.StatusCode();
  r.Body = stream.Data();
  c.RcvdStream = nullptr;
  return r;
}

TEST_F(Nginx, ServesPagesPlainCompressedAndChunked) {
  struct TRow {
    const char* Name;
    std::string Path;
    bool Coding;
    std::string RequestVer;
    std::string Body, ContentEncoding, TransferEncoding;
  };
  const std::vector<TRow> rows = {
      {"plain", "/page.html", false, "1.0", kPage, "", ""},
      {"gzip", "/page.html", true, "1.0", kPage, "gzip", ""},
      {"gzip, chunked", "/page.html", true, "1.1", kPage, "gzip", "chunked"},
      {"text, gzip", "/small.txt", true, "1.0", kText, "gzip", ""},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    net::THttpClient c;
    c.Timeout = 10;
    if (row.Coding) c.Options = {net::httpoEnableContentCoding};
    c.RequestVer = row.RequestVer;
    const TResult r = Fetch(c, server_->Origin() + row.Path);
    EXPECT_EQ(r.Error, "");
    EXPECT_EQ(r.Status, 200);
    EXPECT_TRUE(r.Body == row.Body) << r.Body.size();
    EXPECT_EQ(c.ContentEncoding(), row.ContentEncoding);
    EXPECT_EQ(c.TransferEncoding(), row.TransferEncoding);
  }
}

TEST_F(Nginx, RedirectsAndMissingPages) {
  net::THttpClient c;
  c.Timeout = 10;
  c.Options = {net::httpoEnableContentCoding};
  for (const char* path : {"/redirect", "/absolute"}) {
    SCOPED_TRACE(path);
    const TResult r = Fetch(c, server_->Origin() + path);
    EXPECT_EQ(r.Error, "");
    EXPECT_EQ(r.Status, 200);
    EXPECT_TRUE(r.Body == kPage);
    EXPECT_EQ(c.Location().substr(c.Location().size() - 10), "/page.html");
  }
  const TResult missing = Fetch(c, server_->Origin() + "/nothing-here");
  EXPECT_EQ(missing.Error, "Not Found");
  EXPECT_EQ(missing.Code, 404);
  EXPECT_NE(missing.Body.find("404"), std::string::npos);  // nginx's error page is kept
}

TEST_F(Nginx, KeepAliveSendsTheNextRequestOnTheSameConnection) {
  net::THttpClient c;
  c.Timeout = 10;
  c.Connection = "keep-alive";
  EXPECT_EQ(Fetch(c, server_->Origin() + "/small.txt?first").Body, kText);
  EXPECT_EQ(Fetch(c, server_->Origin() + "/small.txt?second").Body, kText);
  // The access log names the connection of each request. nginx writes a request's line after
  // it has sent the answer, so the second line may still be on its way.
  std::string first, second;
  for (int wait = 0; wait < 100 && (first.empty() || second.empty()); ++wait) {
    if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::istringstream log(server_->AccessLog());
    for (std::string line; std::getline(log, line);) {
      if (line.find("?first ") != std::string::npos) first = line.substr(0, line.find(' '));
      if (line.find("?second ") != std::string::npos) second = line.substr(0, line.find(' '));
    }
  }
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);
}

TEST_F(Nginx, FiftyThreadsFetchAtOnce) {
  constexpr int kThreads = 50;
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      net::THttpClient c;
      c.Timeout = 30;
      c.MultiThreaded = true;
      c.Options = {net::httpoEnableContentCoding};
      for (int k = 0; k < 3; ++k) {
        const TResult r = Fetch(c, server_->Origin() + "/page.html?t=" + std::to_string(i));
        if (r.Error.empty() && r.Body == kPage) ++good[i];
      }
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(good[i], 3) << "thread " << i;
}

}  // namespace
