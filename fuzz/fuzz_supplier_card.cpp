// The card parser on an arbitrary page: every value is markup-free, trimmed and has no double
// quote, whatever the page holds.
#include <cstdlib>

#include "text/SupplierCard.h"
#include "text/uLib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString page = text::DecodeUtf8Text(
      QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  const text::SupplierCard card = text::ParseSupplierCard(page);
  for (const QString* v : card.Fields()) {
    if (v->contains(u'"') || v->contains(u'<') || v->contains(u'\r') || v->contains(u'\n')) std::abort();
    if (!v->isEmpty() && (v->front().unicode() <= 0x20 || v->back().unicode() <= 0x20)) std::abort();
    if (v->size() > page.size()) std::abort();
  }
  return 0;
}
