// supplier-harvester-cli: one harvest without a window, with the window program's engine and
// run rules. The log goes to stdout and to log-<N>.txt, the progress to stderr.
#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "cli/CliCompare.h"
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "engine/ProxySettings.h"
#include "engine/Resume.h"
#include "engine/Update.h"
#include "run/EndProcess.h"
#include "run/LogFormat.h"
#include "run/RunSettings.h"
#include "run/StartupChecks.h"

namespace {

// Encoded as the log file is, so that the terminal and the log file show the same text.
void Print(FILE* stream, const QString& text) {
  const QByteArray bytes = run::EncodeLogText(text);
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
  std::fflush(stream);
}

// Bad usage or a refusal: one line on stderr, nothing written.
int Refuse(const QString& why) {
  QString line = why;
  line.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  line.replace(u'\n', u' ');
  Print(stderr, QStringLiteral("supplier-harvester-cli: ") + line + u'\n');
  return cli::esRefused;
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: a pause or stop signal that comes while the start-up still checks its files
  // waits in the pipe until the run starts, instead of ending the process.
  cli::InstallSignalPipe();
  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("supplier-harvester-cli"));
  QCoreApplication::setApplicationVersion(QStringLiteral(SH_VERSION));

  cli::TCliOptions options;
  QString error;
  if (!cli::ParseCommandLine(QCoreApplication::arguments(), options, error))
    return Refuse(error + QStringLiteral(" (см. --help)"));
  if (options.Action == cli::TCliAction::caHelp) {
    Print(stdout, cli::HelpText());
    return 0;
  }
  if (options.Action == cli::TCliAction::caVersion) {
    Print(stdout, QStringLiteral("supplier-harvester-cli %1\n").arg(QStringLiteral(SH_VERSION)));
    return 0;
  }

  // A conversion of a finished result file runs no harvest, so it needs none of a harvest's
  // checks: it only reads the file and writes the sheet beside it.
  if (options.Action == cli::TCliAction::caToXlsx) return cli::WriteSpreadsheet(options.ToXlsxFile);
  if (options.Action == cli::TCliAction::caCompare)
    return cli::CompareResultFiles(options.CompareOld, options.CompareNew, options.CompareOutput);

  // The window program's start-up refusals, on the folder of this program.
  const QString programDir = run::ProgramFolder();
  const run::TRefusal refusal =
      run::CheckProgramFolder(programDir, run::LinkedCryptoLibraryFile());
  if (refusal != run::TRefusal::rfNone) return Refuse(run::RefusalText(refusal));

  QString outputDir = programDir;
  if (!options.OutputDir.isEmpty()) {
    const QFileInfo dir(options.OutputDir);
    if (!dir.isDir()) return Refuse(QStringLiteral("нет такой папки: %1").arg(options.OutputDir));
    if (!dir.isWritable())
      return Refuse(QStringLiteral("в папку нельзя писать: %1").arg(options.OutputDir));
    outputDir = run::FolderWithSeparator(dir.absoluteFilePath());
  }
  QString proxyFile = programDir + QStringLiteral("proxy.txt");
  if (!options.ProxyFile.isEmpty()) {
    const QFileInfo file(options.ProxyFile);
    if (!file.isFile() || !file.isReadable())
      return Refuse(QStringLiteral("файл прокси не читается: %1").arg(options.ProxyFile));
    proxyFile = file.absoluteFilePath();
  }
  // The card phase reads the proxy file only after the list phases; one that cannot be read is
  // refused now, the default one as well as a named one.
  try {
    (void)engine::ReadProxyLine(proxyFile);
  } catch (const std::exception& e) {
    return Refuse(QStringLiteral("файл прокси не читается: %1").arg(QString::fromUtf8(e.what())));
  }

  cli::TCliRunSettings settings;
  settings.Options = options.Run;
  settings.Config = run::EngineConfig(
      outputDir, options.Origin.isEmpty() ? run::CompiledPortalOrigin() : options.Origin, {});
  settings.Config.ProxyFilePath = proxyFile;
  if (!options.ResumeFile.isEmpty()) {
    // Read once and locked here, and held so until the run ends: a second harvest of the file
    // is refused at its start.
    try {
      auto taken = std::make_shared<engine::TResumeFile>(engine::OpenResumeFile(options.ResumeFile, options.Run));
      settings.Config.ResumeFile = taken->Path;
      settings.Config.ResumeTaken = std::move(taken);
    } catch (const std::exception& e) {
      return Refuse(QString::fromUtf8(e.what()));
    }
  }
  if (!options.UpdateFile.isEmpty()) {
    const QString why = engine::CheckUpdateFile(options.UpdateFile);
    if (!why.isEmpty()) return Refuse(why);
    settings.Config.UpdateFile = options.UpdateFile;
  }
  settings.OutputDir = outputDir;
  settings.Quiet = options.Quiet;
  settings.Xlsx = options.Xlsx;
  settings.CreateDriver = &engine::CreateScraper;

  auto started = std::make_unique<cli::TCliRun>(std::move(settings));
  if (!started->Start(error)) return Refuse(error);
  cli::TCliRun* harvest = started.release();  // a started run lives until the process ends
  // Said once the start can no longer refuse: a refusal stays one line.
  if (options.SeparateFellBack)
    Print(stderr, QStringLiteral(
                      "supplier-harvester-cli: --separate без --active и --inactive: выгружаем "
                      "всех подряд\n"));
  run::EndProcessNow(harvest->Exec());
}
