# What `cmake --install` puts where, and the packages `cpack` makes of it: on Windows a zip of
# runel.exe with the README and the example board beside it, elsewhere a Debian package with
# the manual page.

include(GNUInstallDirs)

if(WIN32)
  # Unpacked, the zip is a folder to run from: the program, how to use it, a board to try.
  install(TARGETS runel RUNTIME DESTINATION .)
  install(FILES README.md examples/Runel_in.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS runel)
  # Debian keeps manual pages compressed, and without a time stamp so that builds repeat.
  set(manual ${CMAKE_CURRENT_BINARY_DIR}/runel.1.gz)
  add_custom_command(OUTPUT ${manual}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/docs/runel.1 > ${manual}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/runel.1 VERBATIM)
  add_custom_target(runel_manual ALL DEPENDS ${manual})
  install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_PACKAGE_NAME runel)
set(CPACK_PACKAGE_VENDOR "runel")
set(CPACK_PACKAGE_CONTACT "runel maintainers <maintainers@runel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "finds the capture paths of a king on an 8x8 draughts-style board")
set(CPACK_PACKAGE_DESCRIPTION
  "runel reads one board position from Runel_in.txt in the working directory and writes\n\
every capture path of the own king that it settles on to Runel_out.txt.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# The program needs only the C and C++ runtimes; listing them spares dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
set(CPACK_STRIP_FILES ON)
include(CPack)
