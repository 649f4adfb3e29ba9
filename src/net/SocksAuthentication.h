#pragma once
// Which method the SOCKS5 greeting offers.
namespace net {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

}  // namespace net
