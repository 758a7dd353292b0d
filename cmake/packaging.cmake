# What `cmake --install` puts where, and the packages CPack makes of it: a
# Debian package of the Linux program, a ZIP of the two Windows programs.
# Only the program and its documents are installed; the test fixtures
# (the preload library, WNASPI32.DLL, odflsh-defined.exe) never are.
include(GNUInstallDirs)

# A tree is installed after it was built; installing must not build the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_PACKAGE_NAME odflsh)
set(CPACK_PACKAGE_VERSION ${ODFLSH_VERSION})
set(CPACK_PACKAGE_VENDOR "odflsh")
set(CPACK_PACKAGE_CONTACT "odflsh developers <odflsh@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update utility for KESTREL BD-ROM QBC-850 optical drives")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
  install(TARGETS odflsh RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  # One ZIP holds both programs, each in a folder named by its architecture;
  # CPack installs each MinGW tree in turn, so both must have been built.
  set(ODFLSH_WINDOWS_TREES
      "${PROJECT_SOURCE_DIR}/build/mingw-i686;${PROJECT_SOURCE_DIR}/build/mingw-x86_64"
      CACHE STRING "The MinGW build trees whose programs go into the ZIP")
  set(CPACK_INSTALL_CMAKE_PROJECTS "")
  foreach(tree IN LISTS ODFLSH_WINDOWS_TREES)
    get_filename_component(folder ${tree} NAME)
    string(REGEX REPLACE "^mingw-" "" folder ${folder})
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${tree} odflsh ALL /${folder})
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME odflsh-${ODFLSH_VERSION}-windows)
else()
  configure_file(${PROJECT_SOURCE_DIR}/doc/odflsh.1.in ${PROJECT_BINARY_DIR}/odflsh.1 @ONLY)
  install(TARGETS odflsh RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/odflsh.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
         "firmware update utility for KESTREL BD-ROM QBC-850 optical drives\n"
         "odflsh finds the optical drives (/dev/sr*), lists them with what an update\n"
         "would do (--list, --list --json), and updates the matching ones to firmware\n"
         "1.04 over SG_IO, asking first or answering for a script (--yes).")
endif()

include(CPack)
