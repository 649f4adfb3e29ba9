#pragma once
// The transport's error codes: the request's own, the TLS layer's, the socket's (10000-11999,
// on the Windows Sockets numbering) and the SOCKS layer's (20000-20017). The enumerators, their
// names and their texts all come from the one list in NetErrors.def.
#include <cstddef>
#include <iterator>

namespace net {

enum : int {
#define NET_ERROR(kind, name, code, text, detail) name = code,
#include "NetErrors.def"
#undef NET_ERROR
};

enum class TNetErrorKind { Http, Tls, Socket, Socks };

struct TNetError {
  TNetErrorKind Kind;
  int Code;
  const char* Name;    // the enumerator
  const char* Text;    // the description; null where the operating system gives it
  const char* Detail;  // SOCKS only: the notification's text, null where it varies
};

inline constexpr TNetError kNetErrors[] = {
#define NET_ERROR(kind, name, code, text, detail) {TNetErrorKind::kind, code, #name, text, detail},
#include "NetErrors.def"
#undef NET_ERROR
};

// The row of a code of the given kind, or null.
constexpr const TNetError* FindNetError(TNetErrorKind kind, int code) {
  for (const TNetError& e : kNetErrors)
    if (e.Kind == kind && e.Code == code) return &e;
  return nullptr;
}

namespace detail {
constexpr int SocksBound(bool last) {
  int bound = last ? -1 : 1 << 30;
  for (const TNetError& e : kNetErrors)
    if (e.Kind == TNetErrorKind::Socks) bound = last ? (e.Code > bound ? e.Code : bound) : (e.Code < bound ? e.Code : bound);
  return bound;
}
constexpr int SocksCount() {
  int n = 0;
  for (const TNetError& e : kNetErrors) n += e.Kind == TNetErrorKind::Socks;
  return n;
}
}  // namespace detail

// The SOCKS range, as the list gives it.
inline constexpr int kSocksFirstError = detail::SocksBound(false);
inline constexpr int kSocksLastError = detail::SocksBound(true);
static_assert(kSocksFirstError == socksNoError && kSocksLastError - kSocksFirstError + 1 == detail::SocksCount(),
              "the SOCKS codes run from socksNoError without a gap");
constexpr bool IsSocksErrorCode(int code) { return code >= kSocksFirstError && code <= kSocksLastError; }

}  // namespace net
