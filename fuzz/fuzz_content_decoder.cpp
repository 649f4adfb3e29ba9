// Content decoding of a hostile body: any coding list, any bytes, cut anywhere. It ends in
// decoded data or a decompression/limit error, and never writes more than its bound.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "net/ContentCoding.h"
#include "base/MemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kCodings[] = {"gzip", "deflate", "identity", "gzip, deflate",
                                         "x-gzip", "GZIP", "br", ""};
  FuzzedDataProvider in(data, size);
  std::string coding;
  if (in.ConsumeBool()) coding = in.ConsumeRandomLengthString(24);
  else coding = in.PickValueInArray(kCodings);

  base::TMemoryStream stream;
  net::TContentDecoder decoder;
  decoder.Enabled = true;
  decoder.MaxDecodedBytes = 1u << 20;
  decoder.Stream = [&] { return &stream; };
  std::size_t told = 0;
  decoder.OnDocumentData = [&](const char*, std::size_t n) { told += n; };
  try {
    decoder.Prepare(coding);
    while (in.remaining_bytes() > 0) {
      const std::string piece = in.ConsumeRandomLengthString(4096);
      decoder.Write(piece.data(), piece.size());
    }
    decoder.Complete();
  } catch (const net::EDecompressionError&) {
  } catch (const net::ELimitExceeded&) {
  }
  if (stream.Size() > decoder.MaxDecodedBytes) std::abort();
  if (told != stream.Size() || decoder.DecodedBytes() != stream.Size()) std::abort();
  return 0;
}
