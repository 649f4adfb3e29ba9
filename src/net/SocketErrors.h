#pragma once
// Error codes of the socket and their descriptions. Operating-system errors are mapped onto the
// Windows Sockets numbering (10000-11999) so that the codes a request ends with are the same on
// every platform; the text is the operating system's own message for the error.
//
// Mapping: an errno E with a Windows Sockets counterpart becomes that code (the Berkeley numbers
// plus 10000: ECONNREFUSED -> 10061, ETIMEDOUT -> 10060, ENETUNREACH -> 10051, EHOSTUNREACH ->
// 10065, ECONNRESET -> 10054, ECONNABORTED -> 10053, EAGAIN -> 10035, ...); EPIPE, which Windows
// reports as a reset, becomes 10054; any other errno becomes 10000 + E when that is not one of
// the mapped codes, else 10022. Name-lookup failures become 11001-11004.
#include <string>

#include "NetErrors.h"

namespace net {


// Maps an errno value to its socket error code.
int SocketErrorFromErrno(int err);
// Maps a getaddrinfo result (with errno for EAI_SYSTEM) to its socket error code.
int SocketErrorFromGai(int rc, int err);

// The description that the HTTP client puts in front of " (Error #" + code + ")":
// "SOCKS - " + text for 20000-20017, "HTTP Proxy - " + text for 21000-21599, otherwise
// "Winsock - " + the operating system's text ("Not a Winsocket error" outside the table).
std::string ErrorDesc(int code);

}  // namespace net
