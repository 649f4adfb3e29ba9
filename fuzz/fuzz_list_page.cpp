// A list page from a hostile portal: card links are collected with the card prefix, and a
// first page plans only well-formed, bounded further pages, each once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "engine/ListCrawl.h"
#include "text/uLib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const QString origin = QStringLiteral("https://portal.test");
  const bool inactive = in.ConsumeBool();
  const bool testExport = in.ConsumeBool();
  const bool firstPage = in.ConsumeBool();
  const QString year = QString::number(in.ConsumeIntegralInRange(2016, 2030));
  const QString address = inactive
                              ? engine::InactivePageUrl(origin, QStringLiteral("9"), year, firstPage ? 1 : 2)
                              : engine::ListPageUrl(origin, year, firstPage ? 1 : 3);
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  const QString page = text::DecodeUtf8Text(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));

  engine::TPlannedList planned;
  planned.Append(address);
  engine::TAddressQueue pending;
  QStringList found;
  engine::TListPageContext context{origin, inactive, testExport, &planned, &pending, &found};
  engine::HandleListPage(context, address, page);

  const QString prefix = engine::CardUrlPrefix(origin);
  for (const QString& card : found)
    if (!card.startsWith(prefix)) std::abort();
  if (!firstPage && planned.Count() != 1) std::abort();
  if (testExport && !pending.empty()) std::abort();
  if (planned.Count() > 100000) std::abort();
  for (const QString& p : pending)
    if (!p.startsWith(origin + QStringLiteral("/ru/registry/supplierreg?")) || !p.contains(QStringLiteral("&page=")))
      std::abort();
  return 0;
}
