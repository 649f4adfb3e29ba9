// Name lookups run off the socket's thread and finish as events on it. The threads that run them
// are shared by every socket of the process; a lookup that hangs must hold up nobody else.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "EventLoop.h"
#include "TcpSocket.h"

namespace {

using namespace std::chrono_literals;
using net::TTcpSocket;

// A latch the hanging resolver waits on; released by the test (or at the end of the test).
struct TGate {
  std::mutex lock;
  std::condition_variable changed;
  bool open = false;
  void Open() {
    std::lock_guard<std::mutex> g(lock);
    open = true;
    changed.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> g(lock);
    changed.wait(g, [this] { return open; });
  }
};

// Runs the calling thread's loop until done() or the time is up.
template <typename F>
bool RunUntil(F done, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  auto loop = net::TEventLoop::ForCurrentThread();
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    loop->RunOnce(10);
  }
  return true;
}

TEST(NameLookup, AHangingLookupHoldsUpNoOtherLookup) {
  auto gate = std::make_shared<TGate>();
  TTcpSocket hanging;
  int hangingDone = -1;
  hanging.Resolver = [gate](const std::string&, std::string& ip) {
    gate->Wait();
    ip = "127.0.0.1";
    return 0;
  };
  hanging.OnDnsLookupDone = [&](int code) { hangingDone = code; };
  hanging.DnsLookup("hangs.test");

  // Several rounds of quick lookups, each round a few at once, while the first still hangs.
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<TTcpSocket>> quick;
    std::vector<int> done(4, -1);
    for (std::size_t i = 0; i < done.size(); ++i) {
      quick.push_back(std::make_unique<TTcpSocket>());
      quick.back()->Resolver = [i](const std::string&, std::string& ip) {
        ip = "10.0.0." + std::to_string(i + 1);
        return 0;
      };
      quick.back()->OnDnsLookupDone = [&done, i](int code) { done[i] = code; };
      quick.back()->DnsLookup("quick.test");
    }
    ASSERT_TRUE(RunUntil([&] {
      for (int d : done)
        if (d < 0) return false;
      return true;
    })) << "round " << round;
    for (std::size_t i = 0; i < done.size(); ++i) {
      EXPECT_EQ(done[i], 0);
      EXPECT_EQ(quick[i]->DnsResult(), "10.0.0." + std::to_string(i + 1));
    }
  }
  EXPECT_EQ(hangingDone, -1);
  EXPECT_TRUE(hanging.DnsLookupInProgress());

  // Cancelled while it hangs: its result, when it comes, is dropped.
  hanging.CancelDnsLookup();
  gate->Open();
  std::this_thread::sleep_for(50ms);
  net::TEventLoop::ForCurrentThread()->RunOnce(10);
  EXPECT_EQ(hangingDone, -1);
  EXPECT_FALSE(hanging.DnsLookupInProgress());
}

TEST(NameLookup, ResultsReachTheThreadOfTheirSocket) {
  // Sockets on several threads at once; each callback runs on its socket's own thread.
  constexpr int kThreads = 6;
  std::vector<std::thread> threads;
  std::vector<int> ok(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ok] {
      for (int i = 0; i < 20; ++i) {
        TTcpSocket s;
        const std::thread::id mine = std::this_thread::get_id();
        bool done = false, here = false;
        s.Resolver = [](const std::string& host, std::string& ip) {
          ip = host == "a.test" ? "192.0.2.1" : "192.0.2.2";
          return 0;
        };
        s.OnDnsLookupDone = [&](int code) {
          done = true;
          here = code == 0 && std::this_thread::get_id() == mine;
        };
        s.DnsLookup(i % 2 ? "a.test" : "b.test");
        if (!RunUntil([&] { return done; })) return;
        if (!here || s.DnsResult() != (i % 2 ? "192.0.2.1" : "192.0.2.2")) return;
      }
      ok[t] = 1;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], 1) << "thread " << t;
}

}  // namespace
