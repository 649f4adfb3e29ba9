# Tests of SOCKS5 and TLS. The PKI (the demo portal's script) is made by a fixture before the tests
# that need it.
set(SH_TEST_PKI_DIR ${CMAKE_CURRENT_BINARY_DIR}/pki)
add_test(NAME tls_make_pki COMMAND bash ${PROJECT_SOURCE_DIR}/tools/demo-portal/make-certs.sh ${SH_TEST_PKI_DIR})
set_tests_properties(tls_make_pki PROPERTIES FIXTURES_SETUP tls_pki)

add_executable(tls_tests ${CMAKE_CURRENT_LIST_DIR}/TlsLayerTest.cpp)
target_compile_definitions(tls_tests PRIVATE TEST_PKI_DIR="${SH_TEST_PKI_DIR}")
target_include_directories(tls_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tls_tests PRIVATE sh_net GTest::gtest_main)
gtest_discover_tests(tls_tests DISCOVERY_TIMEOUT 60 PROPERTIES FIXTURES_REQUIRED tls_pki TIMEOUT 120)

# The whole client against real and scripted peers on loopback.
add_executable(tls_client_tests ${CMAKE_CURRENT_LIST_DIR}/TlsClientTest.cpp)
target_compile_definitions(tls_client_tests PRIVATE TEST_PKI_DIR="${SH_TEST_PKI_DIR}")
target_include_directories(tls_client_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tls_client_tests PRIVATE sh_net GTest::gtest_main)
gtest_discover_tests(tls_client_tests DISCOVERY_TIMEOUT 60
                     PROPERTIES FIXTURES_REQUIRED tls_pki TIMEOUT 120)

# The layers over a plain socket against real peers.
add_executable(tls_peers_tests ${CMAKE_CURRENT_LIST_DIR}/TlsPeersTest.cpp)
target_compile_definitions(tls_peers_tests PRIVATE TEST_PKI_DIR="${SH_TEST_PKI_DIR}")
target_include_directories(tls_peers_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tls_peers_tests PRIVATE sh_net GTest::gtest_main)
gtest_discover_tests(tls_peers_tests DISCOVERY_TIMEOUT 60
                     PROPERTIES FIXTURES_REQUIRED tls_pki TIMEOUT 120)
