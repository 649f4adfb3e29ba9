#pragma once
// --compare OLD.csv NEW.csv [--output FILE]: what changed between two result files, written as
// a workbook or a long CSV form; runs no harvest.
#include <QString>

namespace cli {

// Compares and writes the file of changes; its last stderr line names it with the counts.
// Returns esDone (written, changes or none), esDoneWithErrors (the output could not be written:
// nothing is left under its name) or esRefused (an input is no result file or cannot be read,
// the same file twice, a bad output name: nothing is written).
int CompareResultFiles(const QString& oldPath, const QString& newPath, const QString& output);

}  // namespace cli
