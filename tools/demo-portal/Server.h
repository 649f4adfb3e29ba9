#pragma once
// The demo portal's HTTPS server: TLS as the harvester needs it and a wide accept queue.
#include <openssl/ssl.h>

#include <string>

#include <httplib.h>

namespace demo {

// TLS 1.2 (1.3 for other clients), the harvester's cipher list at security level 1, the server's
// certificate and key, and a client certificate signed by `caFile`, required.
bool SetUpServerTls(SSL_CTX& ctx, const std::string& certFile, const std::string& keyFile,
                    const std::string& caFile, std::string& error);

class TDemoServer : public httplib::SSLServer {
 public:
  using httplib::SSLServer::SSLServer;
  // The library listens with a tiny backlog; many clients connecting at once would then wait
  // for SYN retries, so the queue is widened once the socket listens.
  void WidenBacklog(int backlog);
  // Closes the socket a bind left listening, so that the server can be bound again.
  void CloseListener();
};

// True when a socket can be bound to the IPv6 loopback address ::1 on this machine.
bool LoopbackV6Available();

}  // namespace demo
