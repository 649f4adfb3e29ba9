// Whole-run measurements of the harvest engine.
//
//   whole_run run [--years 2016-2025] [--pages-per-year 1] [--cards-per-page 200] [--host localhost]
//     Starts the demo portal on a free loopback port (no faults), runs one full export (all cards
//     in a row, no test export) through the real engine, the HTTPS fetcher with the client
//     certificate and the real result file, with the program's own pacing and attempt values,
//     and a headless window. Reports the wall time against the pacing bound, the engine
//     process's CPU time per card, and its resident memory over the run.
//
//   whole_run run --canned-cards ...
//     The same run with every card answered from memory (list pages still come from the portal):
//     the engine's own CPU per card, without TLS and sockets.
//
//   whole_run fetch [--count 200] [--host localhost]
//     The transport alone: N cards fetched one per launch-and-cycle period, each on a new thread
//     through a new program fetcher, as the card phase's workers do, with nothing of the engine
//     around them; then curl fetching the same cards at the same rate. CPU per card of both.
//
//   whole_run lists N
//     Fills the engine's own address lists the way a full export does (list pages of 2000 card
//     links into the found list, the card list, the pending queue of the card phase) with N card
//     addresses and reports the memory they hold. Run once per N, each in a process of its own.
//
// The pacing bound. A scheduling cycle launches at most one worker, and a cycle that launches
// sleeps the launch pause P and then the cycle sleep C. A phase that launches L workers therefore
// lasts at least L * (P + C); a fetch shorter than P is taken in its own launch cycle, so the
// bound is also what a perfect run reaches. For a full export without faults:
//   bound = (list pages + cards) * (P + C)        with P = C = 100 ms: 200 ms per launch
// where the list pages are every planned list page (first pages of the years and their further
// pages) and the cards are the entries of the card list. Nothing else in a run waits on purpose,
// so wall - bound is the program's own cost.
#include <malloc.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DemoPortal.h"
#include "engine/CardSelection.h"
#include "engine/ListCrawl.h"
#include "engine/EngineConfig.h"
#include "run/Outcome.h"

using namespace engine;
using Clock = std::chrono::steady_clock;

namespace {

// ---- process figures --------------------------------------------------------------------------

double CpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double PeakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

double RssMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double HeapMb() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- the demo portal as a child process -------------------------------------------------------


// ---- a headless window ------------------------------------------------------------------------

// Keeps only what the report needs: counts, the progress, the moments the phases change, and any
// error outcome (which it resumes at once so that a broken run still ends).
class TCountingWindow : public IRunHost {
 public:
  struct TMark {
    double wall = 0, cpu = 0, rss = 0;
  };

  explicit TCountingWindow(Clock::time_point start) : start_(start) {}

  void AppendLog(const QString& message) override {
    std::lock_guard<std::mutex> guard(lock_);
    ++logLines_;
    if (message.endsWith(QStringLiteral(": успешно"))) {
      if (IsListPageUrl(message))
        ++listPagesOk_;
      else
        ++cardsOk_;
    } else if (message.startsWith(QStringLiteral("ERROR_")) ||
               message.contains(QStringLiteral(": ERROR_"))) {
      ++errors_;
      if (firstError_.isEmpty()) firstError_ = message;
    } else if (message.startsWith(QStringLiteral("Всего карточек: "))) {
      cardsFound_ = message.mid(16).toInt();
    }
  }
  void PhaseStarted(TRunPhase phase) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (phase == TRunPhase::Card) listEnd_ = Mark();
  }
  void UpdateRunState(bool running) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!running) {
      end_ = Mark();
      ended_ = true;
      changed_.notify_all();
    }
  }
  void UpdateProgress(std::int32_t position, std::int32_t max) override {
    std::lock_guard<std::mutex> guard(lock_);
    position_ = position;
    max_ = max;
    if (listEnd_.wall > 0 && max > 0) {  // card phase: marks at each quarter
      const int quarter = static_cast<int>(4LL * position / max);
      while (static_cast<int>(quarters_.size()) < quarter) quarters_.push_back(Mark());
    }
  }
  void ReportOutcome(IRunDriver& driver, const QString& result) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!run::IsErrorOutcome(result)) return;
    ++errors_;
    if (firstError_.isEmpty()) firstError_ = result;
    (void)driver;  // no pause: the report names the error and the run goes on
  }

  void WaitForEnd() {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [&] { return ended_; });
  }

  TMark Mark() const { return {Seconds(Clock::now() - start_), CpuSeconds(), RssMb()}; }

  mutable std::mutex lock_;
  std::condition_variable changed_;
  Clock::time_point start_;
  bool ended_ = false;
  long logLines_ = 0, listPagesOk_ = 0, cardsOk_ = 0, errors_ = 0;
  int cardsFound_ = -1;
  std::int32_t position_ = 0, max_ = 0;
  QString firstError_;
  TMark listEnd_, end_;
  std::vector<TMark> quarters_;
};

// ---- whole run --------------------------------------------------------------------------------

struct TShape {
  int firstYear = 2016, lastYear = 2025, pagesPerYear = 1, cardsPerPage = 200;
  bool cannedCards = false;  // cards answered from memory: the engine's cost without the transport
  // The portal's host: a name, as in the program's own origin, so that every request resolves
  // it; 127.0.0.1 leaves the lookup out.
  std::string host = "localhost";
};

// Fetches list pages from the portal and answers every card with one page read at the start.
class TCannedCardFetcher : public IPageFetcher {
 public:
  explicit TCannedCardFetcher(QByteArray card) : card_(std::move(card)), real_(CreateTlsPageFetcher({})) {}
  QByteArray Fetch(const QString& url) override {
    if (IsListPageUrl(url)) return real_->Fetch(url);
    return card_;
  }
  void ProcessPendingEvents() override { real_->ProcessPendingEvents(); }

 private:
  QByteArray card_;
  std::unique_ptr<IPageFetcher> real_;
};

// The demo portal of the given shape on a free loopback port, without faults, with the demo
// certificates; the current directory becomes the certificates' folder, since the fetcher opens
// 01cert.pem and 01key.pem from there, as the program does.
struct TPortalRun {
  QTemporaryDir certs;
  QString origin;
  testsupport::TDemoPortal process;

  bool Start(const TShape& shape) {
    if (!certs.isValid()) {
      std::fprintf(stderr, "whole_run: no temporary folder\n");
      return false;
    }
    const std::string make =
        std::string("bash '") + DEMO_MAKE_CERTS + "' '" + certs.path().toStdString() + "' >/dev/null";
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "whole_run: cannot make the demo certificates\n");
      return false;
    }
    if (!QDir::setCurrent(certs.path())) return false;
    const std::vector<std::string> options{
        "--origin-host", shape.host,
        "--years", std::to_string(shape.firstYear) + "-" + std::to_string(shape.lastYear),
        "--pages-per-year", std::to_string(shape.pagesPerYear),
        "--cards-per-page", std::to_string(shape.cardsPerPage),
        "--duplicate-links", "0", "--threads", "16"};
    if (!process.Start(DEMO_PORTAL_BIN, options, certs.path().toStdString())) {
      std::fprintf(stderr, "whole_run: %s\n", process.Error().c_str());
      return false;
    }
    origin = QString::fromStdString(process.Origin());
    return true;
  }
};

int WholeRun(const TShape& shape) {
  QTemporaryDir program;
  TPortalRun portal;
  if (!program.isValid() || !portal.Start(shape)) return 1;
  const QString& origin = portal.origin;

  TEngineConfig config;  // the program's own pacing, attempts and waits
  config.ProgramDir = program.path();
  config.PortalOrigin = origin;
  config.CurrentYear = shape.lastYear;
  config.OpenDocument = [](const QString&) {};
  if (shape.cannedCards) {
    auto fetcher = CreateTlsPageFetcher({});
    QStringList links;
    CollectCardLinks(QString::fromUtf8(fetcher->Fetch(ListPageUrl(origin, QString::number(shape.firstYear), 1))),
                     origin, links);
    const QByteArray card = links.isEmpty() ? QByteArray() : fetcher->Fetch(links.front());
    config.FetcherFactory = [card](const TProxySettings&) -> std::unique_ptr<IPageFetcher> {
      return std::make_unique<TCannedCardFetcher>(card);
    };
  }
  const TRunOptions options;  // full export, all cards in a row

  const double rssBefore = RssMb();
  const double cpuBefore = CpuSeconds();
  const Clock::time_point start = Clock::now();
  auto window = std::make_shared<TCountingWindow>(start);
  auto driver = CreateScraper(window, options, config);
  driver->Start();
  window->WaitForEnd();
  while (!driver->Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const double wall = Seconds(Clock::now() - start);
  const double cpu = CpuSeconds() - cpuBefore;
  driver.reset();
  portal.process.Stop();
  const double portalCpu = CpuSeconds(RUSAGE_CHILDREN);

  std::lock_guard<std::mutex> guard(window->lock_);
  const auto& w = *window;
  const long listLaunches = w.listPagesOk_;  // no faults: every list page launched succeeds once
  const long cardLaunches = w.cardsFound_ < 0 ? 0 : w.cardsFound_;
  const double pacing = (config.Timing.LaunchPauseMs + config.Timing.CycleSleepMs) / 1000.0;
  const double bound = static_cast<double>(listLaunches + cardLaunches) * pacing;
  const double listCpu = w.listEnd_.cpu - cpuBefore;
  const double cardCpu = w.end_.cpu - w.listEnd_.cpu;

  long rows = -1;
  for (const QString& f : QDir(program.path()).entryList({QStringLiteral("data*.csv")})) {
    std::ifstream in((program.path() + QLatin1Char('/') + f).toStdString(), std::ios::binary);
    rows = 0;
    std::string line;
    while (std::getline(in, line)) ++rows;
    --rows;  // header
  }

  std::printf("whole run: %d years x %d page(s) x %d cards, full export, pacing %u+%u ms, attempts %d%s\n",
              shape.lastYear - shape.firstYear + 1, shape.pagesPerYear, shape.cardsPerPage,
              config.Timing.LaunchPauseMs, config.Timing.CycleSleepMs, config.Timing.AttemptCount,
              shape.cannedCards ? ", cards answered from memory (no transport)" : "");
  std::printf("  portal                 %s\n", origin.toUtf8().constData());
  std::printf("  list pages fetched     %ld\n", listLaunches);
  std::printf("  cards found / fetched  %d / %ld   result lines %ld   errors %ld\n", w.cardsFound_,
              w.cardsOk_, rows, w.errors_);
  if (!w.firstError_.isEmpty()) std::printf("  first error: %s\n", w.firstError_.toUtf8().constData());
  std::printf("  wall                   %.2f s\n", wall);
  std::printf("  pacing bound           %.2f s = (%ld + %ld launches) x %.0f ms\n", bound, listLaunches,
              cardLaunches, pacing * 1000);
  std::printf("  wall / bound           %.4f (goal <= 1.05)\n", bound > 0 ? wall / bound : 0.0);
  std::printf("  engine CPU             %.3f s (list phase %.3f s, card phase %.3f s)\n", cpu, listCpu, cardCpu);
  std::printf("  CPU per card           %.3f ms (goal <= 2 ms; card phase only %.3f ms)\n",
              cardLaunches > 0 ? cpu * 1000 / static_cast<double>(cardLaunches) : 0.0,
              cardLaunches > 0 ? cardCpu * 1000 / static_cast<double>(cardLaunches) : 0.0);
  std::printf("  demo portal CPU        %.3f s (separate process, not counted)\n", portalCpu);
  std::printf("  resident memory        before %.1f MB, list phase end %.1f MB", rssBefore, w.listEnd_.rss);
  for (std::size_t i = 0; i < w.quarters_.size(); ++i)
    std::printf(", %zu/4 cards %.1f MB", i + 1, w.quarters_[i].rss);
  std::printf(", peak %.1f MB\n", PeakRssMb());
  if (w.quarters_.size() == 4)
    std::printf("  card phase growth      %.2f MB from 1/4 to 4/4 of the cards\n",
                w.quarters_[3].rss - w.quarters_[0].rss);
  std::printf("WHOLE_RUN wall_s=%.3f bound_s=%.3f ratio=%.4f cpu_ms_per_card=%.4f peak_rss_mb=%.1f "
              "growth_mb=%.2f cards=%ld rows=%ld errors=%ld\n",
              wall, bound, bound > 0 ? wall / bound : 0.0,
              cardLaunches > 0 ? cpu * 1000 / static_cast<double>(cardLaunches) : 0.0, PeakRssMb(),
              w.quarters_.size() == 4 ? w.quarters_[3].rss - w.quarters_[0].rss : 0.0, w.cardsOk_,
              rows, w.errors_);
  const bool complete = w.errors_ == 0 && w.cardsOk_ == cardLaunches && rows == cardLaunches;
  return complete ? 0 : 3;
}

// ---- the transport alone, under the same pacing --------------------------------------------

// What a card's fetch costs without the engine around it: each card fetched on a new thread
// through a new program fetcher (new TLS context, new connection, full handshake with the client
// certificate), one card per launch-and-cycle period, as in the card phase. Then curl fetches the
// same cards in one process at the same rate (HTTP/1.0, no session reuse, TLS 1.2, the same client
// certificate), its start-up taken out with a run of one card. The portal's CPU counts for neither.
int FetchAlone(TShape shape, int count) {
  shape.firstYear = shape.lastYear;
  shape.pagesPerYear = 1;
  shape.cardsPerPage = count + 1;
  TPortalRun portal;
  if (!portal.Start(shape)) return 1;
  const TEngineConfig config;
  const unsigned pauseMs = config.Timing.LaunchPauseMs + config.Timing.CycleSleepMs;

  QStringList links;
  try {
    auto fetcher = CreateTlsPageFetcher({}, 120);  // the first context reads the trust store
    CollectCardLinks(QString::fromUtf8(fetcher->Fetch(ListPageUrl(portal.origin, QString::number(shape.lastYear), 1))),
                     portal.origin, links);
    fetcher->Fetch(links.value(0));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "whole_run: %s\n", e.what());
    return 1;
  }
  if (links.size() < count + 1) {
    std::fprintf(stderr, "whole_run: the list page has %lld links\n", static_cast<long long>(links.size()));
    return 1;
  }

  std::vector<double> perFetch;
  int failed = 0;
  for (int i = 1; i <= count; ++i) {
    ::usleep(pauseMs * 1000);
    const double before = CpuSeconds();
    std::thread worker([&] {
      try {
        auto fetcher = CreateTlsPageFetcher({}, 120);
        if (!fetcher->Fetch(links[i]).contains("</html>")) ++failed;
      } catch (const std::exception&) {
        ++failed;
      }
    });
    worker.join();
    perFetch.push_back((CpuSeconds() - before) * 1000);
  }
  std::vector<double> sorted = perFetch;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double v : perFetch) sum += v;

  // curl: a run of one card (start-up), then all of them at one per period.
  const std::string certs = portal.certs.path().toStdString() + "/";
  std::string curl = "curl -s -S -k --http1.0 --no-sessionid --tlsv1.2 --tls-max 1.2 --cacert '" + certs +
                     "ca.pem' --cert '" + certs + "01cert.pem:quorvelt' --key '" + certs + "01key.pem'";
  auto curlCpu = [&](int cards, const std::string& rate) {
    std::string cmd = curl + rate;
    for (int i = 1; i <= cards; ++i) cmd += " -o /dev/null '" + links[i].toStdString() + "'";
    const double before = CpuSeconds(RUSAGE_CHILDREN);
    if (std::system(cmd.c_str()) != 0) return -1.0;
    return (CpuSeconds(RUSAGE_CHILDREN) - before) * 1000;
  };
  const double curlOne = curlCpu(1, "");
  const double curlAll = curlCpu(count, " --rate " + std::to_string(60000 / pauseMs) + "/m");
  const double curlPer = curlOne < 0 || curlAll < 0 || count < 2 ? -1 : (curlAll - curlOne) / (count - 1);
  portal.process.Stop();

  const double median = sorted[sorted.size() / 2];
  std::printf("transport alone: %d cards, one per %u ms, each on a new thread with a new fetcher\n", count, pauseMs);
  std::printf("  portal                 %s\n", portal.origin.toUtf8().constData());
  std::printf("  failed fetches         %d\n", failed);
  std::printf("  CPU per card           mean %.3f ms, median %.3f ms (p10 %.3f, p90 %.3f)\n", sum / count, median,
              sorted[sorted.size() / 10], sorted[sorted.size() * 9 / 10]);
  if (curlPer >= 0)
    std::printf("  curl, same cards/rate  %.3f ms per card (start-up %.1f ms left out); ratio %.2f\n", curlPer,
                curlOne, sum / count / curlPer);
  std::printf("FETCH_ALONE cpu_ms_mean=%.4f cpu_ms_median=%.4f curl_cpu_ms=%.4f failed=%d\n", sum / count, median,
              curlPer, failed);
  return failed == 0 ? 0 : 3;
}

// ---- the address lists alone ------------------------------------------------------------------

// A register list page of 2000 card links with identifiers of 6 to 9 digits, with the markup
// around each link kept short: only the lists are measured, not the pages.
QString ListPage(const QString& origin, std::mt19937& random, int links) {
  std::uniform_int_distribution<int> digits(6, 9);
  QString page = QStringLiteral("<html><body><table>");
  for (int i = 0; i < links; ++i) {
    long long low = 1;
    for (int d = digits(random); d > 1; --d) low *= 10;
    std::uniform_int_distribution<long long> id(low, low * 10 - 1);
    page += QStringLiteral("<tr><td><a href=\"") + CardUrlPrefix(origin) + QString::number(id(random)) +
            QStringLiteral("\">ТОО</a></td></tr>\n");
  }
  page += QStringLiteral("</table></body></html>");
  return page;
}

int ListMemory(long count) {
  const QString origin = QStringLiteral(PORTAL_ORIGIN_TEXT);
  std::mt19937 random(1);
  const double heap0 = HeapMb(), rss0 = RssMb();

  // The list phase: every list page's links go to the found list.
  TPlannedList planned;
  TAddressQueue pending;
  QStringList found, cardList, inactiveList;
  long left = count;
  int page = 1;
  while (left > 0) {
    const int links = static_cast<int>(std::min<long>(left, 2000));
    const QString address = ListPageUrl(origin, QStringLiteral("2020"), page++);
    planned.Append(address);
    HandleListPage({origin, false, false, &planned, &pending, &found}, address,
                   ListPage(origin, random, links));
    left -= links;
  }
  // The totals, then the card selection: the card list, and the card phase's pending queue.
  cardList.append(found);
  const double heapListEnd = HeapMb(), rssListEnd = RssMb();
  found.clear();
  pending.clear();
  SelectCards(TRunOptions{}, cardList, inactiveList, pending);
  TInactiveSet inactiveSet;
  inactiveSet.Assign(inactiveList);
  const double heapCards = HeapMb(), rssCards = RssMb();
  if (static_cast<long>(pending.size()) != count || cardList.size() != count) {
    std::fprintf(stderr, "lists: wrong count\n");
    return 1;
  }
  qsizetype chars = 0;
  for (const QString& a : cardList) chars += a.size();

  const double heapPeak = std::max(heapListEnd, heapCards) - heap0;
  const double rssPeak = std::max(rssListEnd, rssCards) - rss0;
  std::printf("lists of %ld card addresses (%.1f characters each on average, origin %s):\n", count,
              static_cast<double>(chars) / static_cast<double>(count), PORTAL_ORIGIN_TEXT);
  std::printf("  list phase end (found + card list)       heap %.1f MB, resident %.1f MB\n",
              heapListEnd - heap0, rssListEnd - rss0);
  std::printf("  card phase start (card list + pending)   heap %.1f MB, resident %.1f MB\n",
              heapCards - heap0, rssCards - rss0);
  std::printf("  peak heap per address                    %.0f bytes\n",
              heapPeak * 1024 * 1024 / static_cast<double>(count));
  std::printf("LISTS count=%ld heap_mb=%.1f rss_mb=%.1f bytes_per_address=%.0f\n", count, heapPeak,
              rssPeak, heapPeak * 1024 * 1024 / static_cast<double>(count));
  // The lists live until here, so that the figures above are what they held.
  return cardList.isEmpty() || pending.empty() || !inactiveSet.Empty() ? 1 : 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: whole_run run [--canned-cards] [--years FIRST-LAST] [--pages-per-year N]\n"
               "                     [--cards-per-page N] [--host localhost|127.0.0.1]\n"
               "       whole_run fetch [--count N] [--host localhost|127.0.0.1]\n"
               "       whole_run lists N\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc >= 2 && std::strcmp(argv[1], "lists") == 0) {
    if (argc != 3) return Usage();
    const long n = std::atol(argv[2]);
    return n > 0 ? ListMemory(n) : Usage();
  }
  if (argc >= 2 && std::strcmp(argv[1], "fetch") == 0) {
    TShape shape;
    int count = 200;
    for (int i = 2; i + 1 < argc; i += 2) {
      const std::string key = argv[i], value = argv[i + 1];
      if (key == "--count" && std::atoi(value.c_str()) >= 10) { count = std::atoi(value.c_str()); continue; }
      if (key == "--host" && (value == "localhost" || value == "127.0.0.1")) { shape.host = value; continue; }
      return Usage();
    }
    if (argc % 2 != 0) return Usage();
    return FetchAlone(shape, count);
  }
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
    TShape shape;
    int i = 2;
    if (argc > 2 && std::strcmp(argv[2], "--canned-cards") == 0) {
      shape.cannedCards = true;
      ++i;
    }
    for (; i + 1 < argc; i += 2) {
      const std::string key = argv[i], value = argv[i + 1];
      if (key == "--years" && std::sscanf(value.c_str(), "%d-%d", &shape.firstYear, &shape.lastYear) == 2) continue;
      if (key == "--pages-per-year") { shape.pagesPerYear = std::atoi(value.c_str()); continue; }
      if (key == "--cards-per-page") { shape.cardsPerPage = std::atoi(value.c_str()); continue; }
      if (key == "--host" && (value == "localhost" || value == "127.0.0.1")) { shape.host = value; continue; }
      return Usage();
    }
    if (i != argc || shape.firstYear > shape.lastYear || shape.pagesPerYear < 1 ||
        shape.cardsPerPage < 1)
      return Usage();
    return WholeRun(shape);
  }
  return Usage();
}
