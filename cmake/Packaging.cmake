# The release: `cmake --build build --target package` makes
# supplier-harvester-<version>-linux-<processor>.tar.gz, a portable folder
# supplier-harvester-<version>/ that the user unpacks anywhere and runs from: both programs with
# their OpenSSL copies and RUNPATH $ORIGIN, as in build/bin, the user's README, the scripts that
# install the runtime packages and the menu entry, the manual page and the bash completion of the
# command. The version is the project's.

# A sanitizer or fuzzing build is no release.
if(SH_SANITIZE OR SH_FUZZ)
  return()
endif()

set(SH_RELEASE_FOLDER "supplier-harvester-${PROJECT_VERSION}")
set(SH_RELEASE_FILE "supplier-harvester-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(SH_RELEASE_BUILD_DIR "${CMAKE_BINARY_DIR}/release")
set(SH_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")

# The manual page and the completion come from the command's option table, by a small tool that
# links the command's option code; it is a build helper, not part of the release.
add_executable(cli-docs ${SH_PACKAGING_DIR}/cli-docs.cpp ${PROJECT_SOURCE_DIR}/src/cli/CliOptions.cpp)
target_include_directories(cli-docs PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(cli-docs PRIVATE sh_run sh_engine Qt6::Core)
set_target_properties(cli-docs PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${SH_RELEASE_BUILD_DIR})

set(sh_man_page ${SH_RELEASE_BUILD_DIR}/supplier-harvester-cli.1)
set(sh_completion ${SH_RELEASE_BUILD_DIR}/supplier-harvester-cli.bash)
set(sh_user_readme ${SH_RELEASE_BUILD_DIR}/README.md)
add_custom_command(OUTPUT ${sh_man_page}
  COMMAND cli-docs man ${SH_PACKAGING_DIR}/supplier-harvester-cli.1.in ${sh_man_page} ${PROJECT_VERSION}
  DEPENDS cli-docs ${SH_PACKAGING_DIR}/supplier-harvester-cli.1.in
  COMMENT "Manual page of supplier-harvester-cli" VERBATIM)
add_custom_command(OUTPUT ${sh_completion}
  COMMAND cli-docs completion ${SH_PACKAGING_DIR}/supplier-harvester-cli.bash.in ${sh_completion}
  DEPENDS cli-docs ${SH_PACKAGING_DIR}/supplier-harvester-cli.bash.in
  COMMENT "Bash completion of supplier-harvester-cli" VERBATIM)
add_custom_command(OUTPUT ${sh_user_readme}
  COMMAND sh -c "awk -f \"$1\" \"$2\" > \"$3.part\" && mv \"$3.part\" \"$3\""
          sh ${SH_PACKAGING_DIR}/user-readme.awk ${PROJECT_SOURCE_DIR}/README.md ${sh_user_readme}
  DEPENDS ${SH_PACKAGING_DIR}/user-readme.awk ${PROJECT_SOURCE_DIR}/README.md
  COMMENT "The user's README of the release" VERBATIM)
add_custom_target(release-files ALL DEPENDS ${sh_man_page} ${sh_completion} ${sh_user_readme})

install(TARGETS supplier-harvester supplier-harvester-cli RUNTIME DESTINATION ${SH_RELEASE_FOLDER})
install(FILES ${SH_CRYPTO_REAL} ${SH_SSL_REAL} DESTINATION ${SH_RELEASE_FOLDER})
install(FILES ${sh_user_readme} DESTINATION ${SH_RELEASE_FOLDER})
install(PROGRAMS ${SH_PACKAGING_DIR}/install-runtime.sh ${SH_PACKAGING_DIR}/install-menu-entry.sh
  DESTINATION ${SH_RELEASE_FOLDER})
install(FILES ${SH_PACKAGING_DIR}/supplier-harvester.svg DESTINATION ${SH_RELEASE_FOLDER}/share/icons)
install(FILES ${sh_man_page} DESTINATION ${SH_RELEASE_FOLDER}/share/man/man1)
install(FILES ${sh_completion} DESTINATION ${SH_RELEASE_FOLDER}/share/bash-completion/completions
  RENAME supplier-harvester-cli)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME supplier-harvester)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${SH_RELEASE_FILE})
# The folder inside is named by the installed paths above, not by the archive's name.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The release checks run on the unpacked archive.
if(SH_BUILD_TESTS)
  add_subdirectory(tests/release)
endif()
