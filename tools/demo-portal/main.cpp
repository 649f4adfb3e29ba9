// demo-portal: serves a synthetic supplier register over HTTPS with a required client
// certificate, for demonstrations, tests and benchmarks of the harvester on loopback.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>

#include "Portal.h"
#include "Register.h"
#include "Server.h"

namespace {

const char kUsage[] =
    "usage: demo-portal [options]\n"
    "  --port N               port to listen on (default 8443; 0 picks a free one)\n"
    "  --bind ADDR            address to listen on (default localhost: 127.0.0.1 and ::1)\n"
    "  --origin URL           origin written into card links (default https://HOST:PORT)\n"
    "  --origin-host HOST     host of the default origin (default localhost), for --port 0\n"
    "  --cert FILE            server certificate (default server-cert.pem)\n"
    "  --key FILE             server key (default server-key.pem)\n"
    "  --ca FILE              CA that signs client certificates (default ca.pem)\n"
    "  --years FIRST-LAST     registration years (default 2016-current year)\n"
    "  --pages-per-year N     list pages per year (default 2)\n"
    "  --cards-per-page N     card links per list page (default 20)\n"
    "  --inactive-per-type N  inactive cards per year and type 8, 9, 10 (default 3)\n"
    "  --duplicate-links N    cards of a year's first page linked again on its last (default 1)\n"
    "  --seed N               generator seed (default 1)\n"
    "  --revision N           a later state of the register: cards added, removed, changed and\n"
    "                         moved into or out of the inactive lists (default 0)\n"
    "  --fault-404 RATE       share of cards answering 404 Not Found for good\n"
    "  --fault-429 RATE       share of answers that are the \"<h1>429</h1>\" page\n"
    "  --fault-cut RATE       share of answers cut short (no \"</html>\")\n"
    "  --fault-drop RATE      share of answers whose connection closes mid-body\n"
    "  --fault-slow MS        delay of every answer\n"
    "  --fault-stall RATE     share of answers held back before anything is sent\n"
    "  --stall-ms MS          how long a held-back answer waits (default 5000)\n"
    "  --faulty-attempts N    transient faults strike only the first N attempts (default 3)\n"
    "  --gzip                 gzip answers when the client offers gzip\n"
    "  --chunked              chunked answers\n"
    "  --threads N            worker threads (default 64)\n"
    "  --dump-expected FILE   write every card of the revision with its flags and expected values\n"
    "  --dump-only            write the dump and exit without serving\n"
    "  --verbose              log every request on stderr\n";

struct TOptions {
  int Port = 8443;
  std::string Bind = "localhost";
  std::string Origin;
  std::string OriginHost = "localhost";
  std::string Cert = "server-cert.pem";
  std::string Key = "server-key.pem";
  std::string Ca = "ca.pem";
  int Threads = 64;
  std::string DumpFile;
  bool DumpOnly = false;
  demo::TRegisterOptions Register;
  demo::TFaultPlan Faults;
  demo::TWireOptions Wire;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "demo-portal: " << message << "\n";
  std::exit(2);
}

long long Number(const std::string& option, const std::string& text, long long low, long long high) {
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || value < low || value > high) {
    Fail(option + ": expected a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
         ", got \"" + text + "\"");
  }
  return value;
}

double Rate(const std::string& option, const std::string& text) {
  std::size_t used = 0;
  double value = -1;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !(value >= 0.0 && value <= 1.0)) {
    Fail(option + ": expected a rate from 0 to 1, got \"" + text + "\"");
  }
  return value;
}

int CurrentYear() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  o.Register.FirstYear = 2016;
  o.Register.LastYear = CurrentYear();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (arg == "--port") {
      o.Port = static_cast<int>(Number(arg, value(), 0, 65535));
    } else if (arg == "--bind") {
      o.Bind = value();
    } else if (arg == "--origin") {
      o.Origin = value();
      while (!o.Origin.empty() && o.Origin.back() == '/') o.Origin.pop_back();
    } else if (arg == "--origin-host") {
      o.OriginHost = value();
    } else if (arg == "--cert") {
      o.Cert = value();
    } else if (arg == "--key") {
      o.Key = value();
    } else if (arg == "--ca") {
      o.Ca = value();
    } else if (arg == "--years") {
      const std::string v = value();
      const auto dash = v.find('-');
      if (dash == std::string::npos) {
        o.Register.FirstYear = o.Register.LastYear = static_cast<int>(Number(arg, v, 1900, 9999));
      } else {
        o.Register.FirstYear = static_cast<int>(Number(arg, v.substr(0, dash), 1900, 9999));
        o.Register.LastYear = static_cast<int>(Number(arg, v.substr(dash + 1), 1900, 9999));
      }
      if (o.Register.LastYear < o.Register.FirstYear) Fail("--years: the last year is before the first");
    } else if (arg == "--pages-per-year") {
      o.Register.PagesPerYear = static_cast<int>(Number(arg, value(), 1, 100000));
    } else if (arg == "--cards-per-page") {
      o.Register.CardsPerPage = static_cast<int>(Number(arg, value(), 1, 100000));
    } else if (arg == "--inactive-per-type") {
      o.Register.InactivePerType = static_cast<int>(Number(arg, value(), 0, 1000000));
    } else if (arg == "--duplicate-links") {
      o.Register.DuplicateLinks = static_cast<int>(Number(arg, value(), 0, 100000));
    } else if (arg == "--seed") {
      o.Register.Seed = static_cast<std::uint64_t>(Number(arg, value(), 0, 0x7FFFFFFFFFFFFFFFll));
    } else if (arg == "--revision") {
      o.Register.Revision = static_cast<int>(Number(arg, value(), 0, 1000));
    } else if (arg == "--fault-404") {
      o.Register.Gone = Rate(arg, value());
    } else if (arg == "--fault-429") {
      o.Faults.TooMany = Rate(arg, value());
    } else if (arg == "--fault-cut") {
      o.Faults.Cut = Rate(arg, value());
    } else if (arg == "--fault-drop") {
      o.Faults.Drop = Rate(arg, value());
    } else if (arg == "--fault-stall") {
      o.Faults.Stall = Rate(arg, value());
    } else if (arg == "--stall-ms") {
      o.Faults.StallMs = static_cast<int>(Number(arg, value(), 0, 600000));
    } else if (arg == "--fault-slow") {
      o.Faults.SlowMs = static_cast<int>(Number(arg, value(), 0, 600000));
    } else if (arg == "--faulty-attempts") {
      o.Faults.FaultyAttempts = static_cast<int>(Number(arg, value(), 0, 1000));
    } else if (arg == "--gzip") {
      o.Wire.Gzip = true;
    } else if (arg == "--chunked") {
      o.Wire.Chunked = true;
    } else if (arg == "--threads") {
      o.Threads = static_cast<int>(Number(arg, value(), 1, 4096));
    } else if (arg == "--dump-expected") {
      o.DumpFile = value();
    } else if (arg == "--dump-only") {
      o.DumpOnly = true;
    } else if (arg == "--verbose") {
      o.Wire.Verbose = true;
    } else {
      Fail("unknown option " + arg + "\n" + kUsage);
    }
  }
  if (o.Faults.TooMany + o.Faults.Cut + o.Faults.Drop + o.Faults.Stall > 1.0) Fail("the transient fault rates add up to more than 1");
  if (o.DumpOnly && o.DumpFile.empty()) Fail("--dump-only needs --dump-expected FILE");
  o.Faults.Seed = o.Register.Seed;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o = ParseOptions(argc, argv);
  std::signal(SIGPIPE, SIG_IGN);

  // SIGINT and SIGTERM are taken by a thread of their own; every other thread blocks them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string tlsError;
  const auto makeServer = [&]() -> std::unique_ptr<demo::TDemoServer> {
    auto made = std::make_unique<demo::TDemoServer>(
        [&](SSL_CTX& ctx) { return demo::SetUpServerTls(ctx, o.Cert, o.Key, o.Ca, tlsError); });
    if (!made->is_valid()) return nullptr;
    const int threads = o.Threads;
    made->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    made->set_keep_alive_max_count(100);
    made->set_read_timeout(10);
    made->set_write_timeout(10);
    return made;
  };
  // localhost stands for both loopback addresses: many systems resolve it to ::1 as well as
  // 127.0.0.1, and a client (a SOCKS proxy among them) may take either. The second server
  // listens on ::1 at the same port.
  const bool bothLoopbacks = o.Bind == "localhost";
  const std::string bind = bothLoopbacks ? "127.0.0.1" : o.Bind;
  std::unique_ptr<demo::TDemoServer> server;
  std::unique_ptr<demo::TDemoServer> server6;
  if (!o.DumpOnly) {
    server = makeServer();
    if (server && bothLoopbacks && demo::LoopbackV6Available()) server6 = makeServer();
    if (!server || (bothLoopbacks && demo::LoopbackV6Available() && !server6)) {
      std::cerr << "demo-portal: TLS set-up failed: " << tlsError << "\n";
      return 1;
    }
    // With port 0 the port is one that is free on both addresses.
    for (int attempt = 1;; ++attempt) {
      int port = o.Port;
      if (port == 0) {
        port = server->bind_to_any_port(bind);
      } else if (!server->bind_to_port(bind, port)) {
        port = -1;
      }
      if (port <= 0) {
        std::cerr << "demo-portal: cannot listen on " << bind << (o.Port ? ":" + std::to_string(o.Port) : "") << "\n";
        return 1;
      }
      if (!server6 || server6->bind_to_port("::1", port)) {
        o.Port = port;
        break;
      }
      server->CloseListener();
      if (o.Port != 0 || attempt == 50) {
        std::cerr << "demo-portal: cannot listen on [::1]:" << port << "\n";
        return 1;
      }
    }
    server->WidenBacklog(1024);
    if (server6) server6->WidenBacklog(1024);
  }
  if (o.Origin.empty()) o.Register.Origin = "https://" + o.OriginHost + ":" + std::to_string(o.Port);
  else o.Register.Origin = o.Origin;

  const demo::TRegister reg(o.Register);
  if (!o.DumpFile.empty()) {
    std::ofstream dump(o.DumpFile, std::ios::binary | std::ios::trunc);
    if (dump) reg.DumpExpected(dump);
    dump.flush();
    if (!dump) {
      std::cerr << "demo-portal: cannot write " << o.DumpFile << "\n";
      return 1;
    }
  }
  if (o.DumpOnly) return 0;

  demo::TPortal portal(reg, o.Faults, o.Wire);
  portal.Install(*server);
  if (server6) portal.Install(*server6);

  // The stopper is detached and nothing joins it, so it reads nothing on main's stack: the
  // servers' addresses are copied into it.
  std::thread stopper([srv = server.get(), srv6 = server6.get(), stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    srv->stop();
    if (srv6) srv6->stop();
  });
  stopper.detach();

  std::thread listener6;
  bool ok6 = true;
  std::atomic<bool> done6{false};
  if (server6) {
    listener6 = std::thread([&server6, &ok6, &done6] {
      ok6 = server6->listen_after_bind();
      done6.store(true);
    });
  }
  std::cout << "demo-portal listening on " << o.Register.Origin << std::endl;
  const bool ok = server->listen_after_bind();
  if (server6) {
    // The IPv4 server has ended (a stop, or a failure of its own): the other one follows. A stop
    // before it began to listen would be lost, so it is repeated until the listener returns.
    while (!done6.load()) {
      server6->stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    listener6.join();
  }
  std::cout << "demo-portal stopped" << std::endl;
  return (ok || !server->is_running()) && (ok6 || !server6->is_running()) ? 0 : 1;
}
