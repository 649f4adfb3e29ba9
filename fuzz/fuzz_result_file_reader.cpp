// Reading a result file back: arbitrary bytes are either refused with a format error or read
// as rows of 33 fields that hold no quote and no line break; a whole read accounts for every
// byte as whole lines or a tail cut short. An odd first byte puts the real byte-order mark and
// header in front of the rest, so that the rows themselves get explored.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/ResultFile.h"
#include "text/ResultFileReader.h"

namespace {

std::string Header() {
  std::string line = "\xEF\xBB\xBF";
  for (int c = 0; c < text::TResultFile::kColumnCount; ++c)
    line += (c ? ";\"" : "\"") + text::TResultFile::HeaderTitles()[c].toStdString() + '"';
  return line + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("data1.csv", 0);
  static const std::string header = Header();
  if (fd < 0) std::abort();
  std::string bytes;
  if (size > 0 && (data[0] & 1)) bytes = header;
  if (size > 0) bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);

  try {
    text::TResultFileReader reader(path);
    std::vector<std::string_view> fields;
    std::int64_t rows = 0;
    while (reader.Next(fields)) {
      ++rows;
      if (fields.size() != 33) std::abort();
      for (std::string_view f : fields)
        if (f.find_first_of("\"\r\n") != std::string_view::npos) std::abort();
    }
    if (reader.RowCount() != rows) std::abort();
    const auto whole = static_cast<std::size_t>(reader.WholeSize());
    if (whole > bytes.size() || reader.PartialTail() != (whole < bytes.size())) std::abort();
  } catch (const text::EResultFileFormat&) {
  }
  return 0;
}
