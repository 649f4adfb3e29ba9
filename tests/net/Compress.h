#pragma once
// Test helpers: compressed bodies made with zlib.
#include <zlib.h>

#include <stdexcept>
#include <string>

namespace nettest {

// windowBits 31: gzip, 15: zlib wrapper, -15: raw deflate.
inline std::string Deflate(const std::string& data, int windowBits, int level = 6) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&zs, data.size()) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}
inline std::string Gzip(const std::string& d) { return Deflate(d, 31); }
inline std::string ZlibWrap(const std::string& d) { return Deflate(d, 15); }
inline std::string RawDeflate(const std::string& d) { return Deflate(d, -15); }

// Text that compresses, but not to nothing.
inline std::string SampleText(std::size_t size) {
  std::string s;
  unsigned x = 12345;
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    s += "<td class=\"value\">" + std::to_string(x % 1000) + "</td>\n";
  }
  s.resize(size);
  return s;
}

}  // namespace nettest
