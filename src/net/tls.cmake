# SOCKS5 negotiation, the TLS context and the TLS session layer of the socket.
target_sources(sh_net PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SocksLayer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TlsCache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TlsContext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TlsLayer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TlsHttpClient.cpp)
target_link_libraries(sh_net PUBLIC OpenSSL::SSL OpenSSL::Crypto)
