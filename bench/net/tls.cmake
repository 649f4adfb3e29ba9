# HTTPS with a new connection per request, the client against curl, on loopback nginx.
add_executable(tls_bench ${CMAKE_CURRENT_LIST_DIR}/TlsBench.cpp)
target_compile_definitions(tls_bench PRIVATE
  TEST_PKI_DIR="${CMAKE_CURRENT_BINARY_DIR}/pki"
  SH_PKI_SCRIPT="${PROJECT_SOURCE_DIR}/tools/demo-portal/make-certs.sh")
target_include_directories(tls_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/net)
target_link_libraries(tls_bench PRIVATE sh_net benchmark::benchmark)
