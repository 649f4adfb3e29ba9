#pragma once
// The checks made when the window is first shown: where the program was started from and
// whether the crypto library file lies beside it.
#include <QString>
#include <QStringList>

namespace run {

enum class TRefusal {
  rfNone,            // all checks passed
  rfArchive,         // started from inside an archive
  rfTempFolder,      // started from a temporary folder
  rfMissingLibrary,  // the crypto library file is not in the program folder
};

// The message box title of every refusal.
QString RefusalTitle();
// The message box text of a refusal (empty for rfNone).
QString RefusalText(TRefusal refusal);

// Runs the three checks in order on the program folder (a path ending with the separator);
// the first that fails decides. `cryptoLibraryFile` is the bare file name of the crypto
// library the program runs with.
TRefusal CheckProgramFolder(const QString& programDir, const QString& cryptoLibraryFile);

// The file name of the crypto library this process has loaded (e.g. "libcrypto.so.3").
QString LinkedCryptoLibraryFile();

// The folder of the program file, with a trailing separator.
QString ProgramFolder();

// The introductory lines written into the log when the window is first shown.
QStringList IntroductionLines();

}  // namespace run
