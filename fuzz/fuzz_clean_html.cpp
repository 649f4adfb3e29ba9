// HTML cleaning of an arbitrary fragment: no markup, no line ends, never longer than the input.
#include <cstdlib>

#include "text/uLib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString fragment = text::DecodeUtf8Text(
      QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  const QString clean = text::CleanHtmlText(fragment);
  if (clean.size() > fragment.size()) std::abort();
  if (clean.contains(u'<') || clean.contains(u'\r') || clean.contains(u'\n')) std::abort();
  return 0;
}
