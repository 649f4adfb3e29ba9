# Tests of SOCKS5 and TLS. The throwaway PKI is made by a fixture before the tests that need it.
set(SH_TEST_PKI_DIR ${CMAKE_CURRENT_BINARY_DIR}/pki)
add_test(NAME tls_make_pki COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/make-test-pki.sh ${SH_TEST_PKI_DIR})
set_tests_properties(tls_make_pki PROPERTIES FIXTURES_SETUP tls_pki)

add_executable(socks_tests ${CMAKE_CURRENT_LIST_DIR}/socks_layer_test.cpp)
target_link_libraries(socks_tests PRIVATE sh_net GTest::gtest_main)
gtest_discover_tests(socks_tests DISCOVERY_TIMEOUT 60)

add_executable(tls_tests ${CMAKE_CURRENT_LIST_DIR}/tls_layer_test.cpp)
target_compile_definitions(tls_tests PRIVATE TEST_PKI_DIR="${SH_TEST_PKI_DIR}")
target_include_directories(tls_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tls_tests PRIVATE sh_net GTest::gtest_main)
gtest_discover_tests(tls_tests DISCOVERY_TIMEOUT 60 PROPERTIES FIXTURES_REQUIRED tls_pki TIMEOUT 120)

# The whole client against real and scripted peers on loopback.
if(EXISTS ${PROJECT_SOURCE_DIR}/src/net/HttpClient.cpp)
add_executable(tls_client_tests ${CMAKE_CURRENT_LIST_DIR}/tls_client_test.cpp)
target_compile_definitions(tls_client_tests PRIVATE TEST_PKI_DIR="${SH_TEST_PKI_DIR}")
target_include_directories(tls_client_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tls_client_tests PRIVATE sh_net GTest::gtest_main)
gtest_discover_tests(tls_client_tests DISCOVERY_TIMEOUT 60
                     PROPERTIES FIXTURES_REQUIRED tls_pki TIMEOUT 120)
endif()
