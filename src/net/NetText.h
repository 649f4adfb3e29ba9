#pragma once
// Small text helpers of the transport: ASCII lower case and port numbers.
#include <cctype>
#include <string>

namespace net {

// Lower case of ASCII letters; other bytes unchanged.
inline std::string AsciiLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A port written in decimal digits (leading zeros allowed), 0-65535; -1 when the text is empty,
// holds anything but digits or names a larger number.
inline int DecimalPort(const std::string& text) {
  if (text.empty()) return -1;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    port = port * 10 + (c - '0');
    if (port > 65535) return -1;
  }
  return port;
}

}  // namespace net
