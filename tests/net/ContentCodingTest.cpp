// Content decoding: the chain chosen for a content-encoding field and what reaches the stream.
#include <gtest/gtest.h>

#include "Compress.h"
#include "ContentCoding.h"
#include "base/MemoryStream.h"

namespace {

using namespace nettest;
using net::EDecompressionError;
using net::ELimitExceeded;
using net::TContentDecoder;
using base::TMemoryStream;

const std::string kPlain = SampleText(50000);

struct TResult {
  std::string Stored;
  bool Known = true;
  std::string Error;
};

TResult Decode(const std::string& encoding, const std::string& body, bool enabled, std::size_t piece,
               std::size_t cap = net::kMaxDecodedBody) {
  TMemoryStream stream;
  TContentDecoder d;
  d.Enabled = enabled;
  d.MaxDecodedBytes = cap;
  d.Stream = [&] { return &stream; };
  TResult r;
  try {
    r.Known = d.Prepare(encoding);
    for (std::size_t i = 0; i < body.size(); i += piece) d.Write(body.data() + i, std::min(piece, body.size() - i));
    d.Complete();
  } catch (const EDecompressionError& e) {
    r.Error = e.what();
  } catch (const ELimitExceeded& e) {
    r.Error = e.what();
  }
  r.Stored = stream.Data();
  return r;
}

TEST(ContentDecoder, DecodesOrStoresByEncoding) {
  const std::string gz = Gzip(kPlain);
  std::string damagedTrailer = gz;
  damagedTrailer[damagedTrailer.size() - 3] ^= 0x55;
  const std::string noTrailer = gz.substr(0, gz.size() - 8);
  const std::string twoMembers = gz + Gzip("second member");
  std::string corrupt = gz;
  for (std::size_t i = 20; i < 60; ++i) corrupt[i] = static_cast<char>(0xFF);

  struct TRow {
    const char* Name;
    std::string Encoding, Body;
    bool Enabled;
    TResult Expected;
  };
  const std::vector<TRow> rows = {
      {"gzip", "gzip", gz, true, {kPlain, true, ""}},
      {"upper case name", "GZIP", gz, true, {kPlain, true, ""}},
      {"deflate, zlib wrapper", "deflate", ZlibWrap(kPlain), true, {kPlain, true, ""}},
      {"deflate, raw", "deflate", RawDeflate(kPlain), true, {kPlain, true, ""}},
      {"gzip then deflate", "gzip, deflate", ZlibWrap(gz), true, {kPlain, true, ""}},
      {"br is stored as received", "br", "\x0b\x02\x80hello\x03", true, {"\x0b\x02\x80hello\x03", false, ""}},
      {"a list with br is stored as received", "gzip, br", gz, true, {gz, false, ""}},
      {"identity", "identity", "plain", true, {"plain", true, ""}},
      {"no field", "", "plain", true, {"plain", true, ""}},
      {"decoding off", "gzip", gz, false, {gz, true, ""}},
      {"damaged trailer", "gzip", damagedTrailer, true, {kPlain, true, ""}},
      {"missing trailer", "gzip", noTrailer, true, {kPlain, true, ""}},
      {"second member ignored", "gzip", twoMembers, true, {kPlain, true, ""}},
      {"cut inside the deflate data", "gzip", gz.substr(0, gz.size() / 2), true, {"", true, "Buffer error"}},
      {"corrupt data", "gzip", corrupt, true, {"", true, "Data error"}},
      {"empty body", "gzip", "", true, {"", true, "Buffer error"}},
  };
  for (const TRow& row : rows) {
    for (std::size_t piece : {std::size_t{1} << 20, std::size_t{7}}) {
      SCOPED_TRACE(std::string(row.Name) + ", pieces of " + std::to_string(piece));
      const TResult got = Decode(row.Encoding, row.Body, row.Enabled, piece);
      EXPECT_EQ(got.Error, row.Expected.Error);
      EXPECT_EQ(got.Known, row.Expected.Known);
      if (row.Expected.Error.empty()) {
        EXPECT_TRUE(got.Stored == row.Expected.Stored) << got.Stored.size();
      }
    }
  }
}

TEST(ContentDecoder, CompressedBombStopsAtTheCap) {
  const std::string bomb = Gzip(std::string(8u << 20, '\0'));  // 8 MiB of zeros, a few KiB coded
  const TResult r = Decode("gzip", bomb, true, 4096, 1u << 20);
  EXPECT_EQ(r.Error, "Decoded body too large");
  EXPECT_LE(r.Stored.size(), 1u << 20);
  // Below the cap the same body decodes.
  EXPECT_EQ(Decode("gzip", bomb, true, 4096, 16u << 20).Stored.size(), 8u << 20);
}

TEST(ContentDecoder, AdvertisedCodings) {
  TContentDecoder d;
  EXPECT_EQ(d.HeaderText(), "");
  d.Enabled = true;
  EXPECT_EQ(d.HeaderText(), "gzip, deflate");
  EXPECT_EQ(net::SplitCodings("gzip,  deflate, \"x, y\""), (std::vector<std::string>{"gzip", "deflate", "x, y"}));
}

}  // namespace
