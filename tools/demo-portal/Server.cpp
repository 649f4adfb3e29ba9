#include "Server.h"

#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

namespace demo {

namespace {

std::string OpenSslError() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text.empty() ? std::string("unknown error") : text;
}

}  // namespace

bool SetUpServerTls(SSL_CTX& ctx, const std::string& certFile, const std::string& keyFile,
                    const std::string& caFile, std::string& error) {
  SSL_CTX_set_security_level(&ctx, 1);
  SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
  if (SSL_CTX_set_cipher_list(&ctx, "ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH") != 1) {
    error = "cipher list: " + OpenSslError();
    return false;
  }
  if (SSL_CTX_use_certificate_chain_file(&ctx, certFile.c_str()) != 1) {
    error = "server certificate " + certFile + ": " + OpenSslError();
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(&ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(&ctx) != 1) {
    error = "server key " + keyFile + ": " + OpenSslError();
    return false;
  }
  if (SSL_CTX_load_verify_locations(&ctx, caFile.c_str(), nullptr) != 1) {
    error = "client CA " + caFile + ": " + OpenSslError();
    return false;
  }
  STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(caFile.c_str());
  if (!names) {
    error = "client CA " + caFile + ": " + OpenSslError();
    return false;
  }
  SSL_CTX_set_client_CA_list(&ctx, names);
  SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return true;
}

void TDemoServer::WidenBacklog(int backlog) { ::listen(svr_sock_, backlog); }

void TDemoServer::CloseListener() {
  const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
  if (sock != INVALID_SOCKET) ::close(sock);
}

bool LoopbackV6Available() {
  const int sock = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (sock < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(sock);
  return bound;
}

}  // namespace demo
