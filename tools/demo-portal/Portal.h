#pragma once
// How the demo portal answers: routing onto the register, the fault plan, and the wire form of
// the answers (plain, gzip, chunked, cut off mid-body).
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Register.h"

namespace httplib {
class Server;
}

namespace demo {

// Faults the portal plays on its answers. Transient faults strike only the first
// `FaultyAttempts` requests for an address and are drawn per (address, attempt number), so a
// client that keeps retrying always gets through and every run of a test sees the same faults.
struct TFaultPlan {
  double TooMany = 0.0;  // share of answers that are the "<h1>429</h1>" page, status 200
  double Cut = 0.0;      // share of answers cut short: status 200, no "</html>"
  double Drop = 0.0;     // share of answers whose connection is closed mid-body
  double Stall = 0.0;    // share of answers held back StallMs before anything is sent
  int StallMs = 5000;
  int SlowMs = 0;        // every answer waits this long
  int FaultyAttempts = 3;
  std::uint64_t Seed = 1;
};

enum class EFault { None, TooMany, Cut, Drop, Stall };

const char* FaultName(EFault fault);

// The fault for the given attempt (1-based) at an address.
EFault DrawFault(const TFaultPlan& plan, const std::string& target, int attempt);

struct TWireOptions {
  bool Gzip = false;     // gzip the body when the request offers gzip
  bool Chunked = false;  // send bodies with chunked transfer coding
  bool Verbose = false;  // one line per request on stderr
};

struct TAnswer {
  int Status = 200;
  std::string Body;
  EFault Fault = EFault::None;
  int Attempt = 0;
};

class TPortal {
 public:
  TPortal(const TRegister& reg, TFaultPlan faults, TWireOptions wire);

  // The answer to a GET of `path` with the decoded query `params`; `target` is the raw request
  // target (path and query) by which attempts are counted.
  TAnswer Answer(const std::string& path, const std::multimap<std::string, std::string>& params,
                 const std::string& target);

  // Routes every GET of the server here.
  void Install(httplib::Server& server);

 private:
  int NextAttempt(const std::string& target);

  const TRegister& FRegister;
  TFaultPlan FFaults;
  TWireOptions FWire;
  std::mutex FAttemptsLock;
  std::unordered_map<std::string, int> FAttempts;
  std::mutex FLogLock;
};

// Body of the portal's "not found" page.
std::string NotFoundPage();
// Body of the page the portal serves when it refuses a request for a while.
std::string TooManyRequestsPage();

// gzip member holding `data` (for tests and the wire).
std::string GzipCompress(const std::string& data);

}  // namespace demo
