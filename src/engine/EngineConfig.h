#pragma once
// What a run needs besides its host and the operator's options, and the factory that makes the
// engine's run driver from the three.
#include <QString>
#include <functional>
#include <memory>

#include "engine/PageFetcher.h"
#include "engine/ResultSink.h"
#include "engine/RunDriver.h"
#include "engine/RunHost.h"
#include "engine/RunOptions.h"
#include "engine/Timing.h"

namespace engine {

struct TResumeFile;

// Everything a run needs besides the window and the operator's options.
struct TEngineConfig {
  QString ProgramDir;     // folder of the program file: proxy.txt and data%d.csv live there
  QString PortalOrigin;   // scheme and host of the portal, no trailing slash
  // The desktop's "open" action for the finished result file. Tests pass a recorder.
  std::function<void(const QString& path)> OpenDocument;

  // Seams for tests. The defaults are the program's own values; the program leaves them alone.
  TEngineTiming Timing;                    // the pacing of the workers and the scheduling loop
  std::shared_ptr<IClock> Clock;           // empty: the system's tick counter and sleeps
  int CurrentYear = 0;                     // last year of the plans; 0: the local calendar's
  QString ProxyFilePath;                   // empty: ProgramDir + "/proxy.txt"
  TFetcherFactory FetcherFactory;          // empty: the HTTPS client with the client certificate
  TResultSinkFactory ResultSinkFactory;    // empty: the result CSV file data%d.csv
  // A result file of an earlier run to continue (checked with CheckResumeFile beforehand): the
  // card phase appends to it and skips the cards it already holds. Empty: a new data%d.csv.
  QString ResumeFile;
  // The same file already taken over by the front end (OpenResumeFile: locked and read once);
  // the driver takes its contents and holds its lock to the end of the run. Used instead of
  // ResumeFile when set.
  std::shared_ptr<TResumeFile> ResumeTaken;
  // Told, on the driver's thread, of every piece of work the run lost without an outcome
  // reporting it: a row the result file could not take, a failure outside the phases that
  // ended the run early. Empty: nobody counts them (the log names them all the same).
  std::function<void()> OnLostWork;
  // A result file of an earlier harvest (any mode) whose rows the card phase takes over for the
  // selected cards it holds, fetching only the others (see engine/Update.h). Empty: none.
  QString UpdateFile;
};

// Creates a run driver, suspended. The driver keeps itself alive while its thread runs and is
// released when both its thread and the last holder are done with it.
std::shared_ptr<IRunDriver> CreateScraper(std::shared_ptr<IRunHost> host,
                                          const TRunOptions& options,
                                          const TEngineConfig& config);

}  // namespace engine
