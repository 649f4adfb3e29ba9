// The proxy file: arbitrary bytes (any encoding mark, any line ends) give one trimmed line,
// which splits into four parts and a log text without crashing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine/ProxySettings.h"
#include "text/uLib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("proxy.txt", 0);
  if (fd < 0) std::abort();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);

  const QString line = engine::ReadProxyLine(path);
  if (line.contains(u'\n') || line != text::Trim(line)) std::abort();
  const engine::TProxySettings proxy = engine::ParseProxyLine(line);
  const QString log = engine::ProxyLogText(proxy);
  if (!log.startsWith(QStringLiteral("Используем прокси "))) std::abort();

  // The parser on the bytes as they are, without the file's decoding.
  const engine::TProxySettings raw = engine::ParseProxyLine(
      QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  engine::ProxyLogText(raw);
  return 0;
}
