#pragma once
// The command line of supplier-harvester-cli.
#include <QString>
#include <QStringList>

#include <span>

#include "engine/RunOptions.h"

namespace cli {

// What the command is asked to do.
enum class TCliAction {
  caHarvest,  // one harvest run
  caToXlsx,   // --to-xlsx FILE.csv: a finished result file made into a spreadsheet beside it
  caCompare,  // --compare OLD.csv NEW.csv [--output FILE]: what changed between two result files
  caHelp,     // --help: the option list on stdout
  caVersion,  // --version
};

struct TCliOptions {
  TCliAction Action = TCliAction::caHarvest;
  engine::TRunOptions Run;  // the mode, as the window's option controls give it
  bool SeparateFellBack = false;  // --separate with neither box: all in one pass
  QString ResumeFile;       // --resume FILE
  QString UpdateFile;       // --update PREVIOUS.csv
  QString Origin;           // --origin URL; empty: the compiled-in origin
  QString OutputDir;        // --output-dir DIR; empty: the program's folder
  QString ProxyFile;        // --proxy-file FILE; empty: proxy.txt beside the program
  bool Quiet = false;       // --quiet
  bool Xlsx = false;        // --xlsx: the result file also as a spreadsheet when the run ends
  QString ToXlsxFile;       // --to-xlsx FILE.csv
  QString CompareOld;       // --compare OLD.csv NEW.csv
  QString CompareNew;
  QString CompareOutput;    // --output FILE; empty: NEW's name with -changes.xlsx
};

// Parses the arguments (argv[0] first). On bad usage returns false with one line in `error`.
bool ParseCommandLine(const QStringList& arguments, TCliOptions& options, QString& error);

// The text of --help.
QString HelpText();

// One option of the command: its name without the dashes, the name of its value (null for a
// switch) and its one line of help. The manual page and the shell completion are made from
// these rows, so they name what --help names.
struct TOptionRow {
  const char* Name;
  const char* ValueName;
  const char* Help;
};
std::span<const TOptionRow> OptionRows();

// What a shell offers after an option: file names, folder names, or nothing it can guess.
enum class TValueKind { vkNone, vkFile, vkFolder, vkOther };
TValueKind ValueKind(const TOptionRow& row);

}  // namespace cli
