# The programs carry their own copies of the OpenSSL libraries and are found beside them; the
# start-up check looks for the crypto library's file there. The files' real paths and names are
# worked out here once, for the build, the start-up check and the release archive.
get_filename_component(SH_CRYPTO_REAL "${OPENSSL_CRYPTO_LIBRARY}" REALPATH)
get_filename_component(SH_SSL_REAL "${OPENSSL_SSL_LIBRARY}" REALPATH)
get_filename_component(SH_CRYPTO_FILE "${SH_CRYPTO_REAL}" NAME)
get_filename_component(SH_SSL_FILE "${SH_SSL_REAL}" NAME)

# A program of the harvester: linked to OpenSSL, found beside its own copies of the libraries.
function(sh_program_beside_openssl target)
  target_link_libraries(${target} PRIVATE OpenSSL::SSL OpenSSL::Crypto)
  set_target_properties(${target} PROPERTIES
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN"
    BUILD_WITH_INSTALL_RPATH OFF)
  target_link_options(${target} PRIVATE "-Wl,--enable-new-dtags")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${SH_CRYPTO_REAL}"
            "$<TARGET_FILE_DIR:${target}>/${SH_CRYPTO_FILE}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${SH_SSL_REAL}"
            "$<TARGET_FILE_DIR:${target}>/${SH_SSL_FILE}"
    COMMENT "Copying the OpenSSL libraries beside ${target}")
endfunction()
