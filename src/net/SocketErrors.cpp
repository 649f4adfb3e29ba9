#include "SocketErrors.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace net {
namespace {

// errno -> Windows Sockets code, for every errno that has one.
constexpr std::pair<int, int> kErrnoCodes[] = {
    {EINTR, 10004},          {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},         {EINVAL, 10022},          {EMFILE, 10024},
    {EWOULDBLOCK, 10035},    {EINPROGRESS, 10036},     {EALREADY, 10037},
    {ENOTSOCK, 10038},       {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},     {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},     {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},   {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},       {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},   {ECONNRESET, 10054},      {ENOBUFS, 10055},
    {EISCONN, 10056},        {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},   {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
    {ELOOP, 10062},          {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},   {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},         {ESTALE, 10070},          {EREMOTE, 10071},
};

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? text : "";
}

}  // namespace

int SocketErrorFromErrno(int err) {
  if (err == 0) return 0;
  if (err == EPIPE) return 10054;
  for (const auto& [e, code] : kErrnoCodes)
    if (e == err) return code;
  const int guess = 10000 + err;
  for (const auto& [e, code] : kErrnoCodes)
    if (code == guess) return sockErrInvalidArg;
  return guess;
}

int SocketErrorFromGai(int rc, int err) {
  switch (rc) {
    case 0: return 0;
    case EAI_NONAME: return sockErrHostNotFound;
    case EAI_AGAIN: return sockErrTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA: return sockErrNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return sockErrNoData;
#endif
    case EAI_SYSTEM: return err ? SocketErrorFromErrno(err) : sockErrNoRecovery;
    default: return sockErrNoRecovery;
  }
}

std::string ErrorDesc(int code) {
  if (IsSocksErrorCode(code)) return std::string("SOCKS - ") + FindNetError(TNetErrorKind::Socks, code)->Text;
  if (code >= 21000 && code <= 21599) return "HTTP Proxy - Error #" + std::to_string(code);
  std::string text;
  if (const TNetError* e = FindNetError(TNetErrorKind::Socket, code); e && e->Text) {
    text = e->Text;
  } else {
    for (const auto& [err, c] : kErrnoCodes)
      if (c == code) {
        text = ErrnoText(err);
        break;
      }
    if (text.empty()) text = "Not a Winsocket error";
  }
  return "Winsock - " + text;
}

}  // namespace net
