#pragma once
// A file written under a hidden name in its target's folder and renamed over the target once
// complete, so that the target is either the earlier file or the whole new one. Used by every
// file the export library writes.
#include <QString>
#include <string>

namespace exportx {

class TPendingFile {
 public:
  // Creates the hidden file beside `target`. Throws EXlsxExport naming `target` when it cannot.
  explicit TPendingFile(const QString& target);
  ~TPendingFile();  // without Commit, removes the hidden file
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  const std::string& Path() const { return path_; }

  // Makes the written file durable and puts it in the target's place. Throws EXlsxExport.
  void Commit();

 private:
  std::string target_;
  std::string path_;
};

// Whether both paths name one existing file (the same device and inode).
bool SameFile(const QString& a, const QString& b);

}  // namespace exportx
