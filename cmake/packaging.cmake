# What `cmake --install` puts where, and the packages `cpack` makes of it: on Windows a zip of
# runel.exe with the README and the example board, elsewhere a Debian package with the manual
# page. `cmake --install` puts the program, its manual page and the example board on the
# system; what only a Debian package needs is in the component `debian`, which only cpack
# installs.

include(GNUInstallDirs)
# Debian's own packages have directories 0755 and files 0644 or 0755, whatever the umask of the
# build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # Unpacked, the zip is a folder to run from: the program, how to use it, a board to try, the
  # licence that must travel with the program, and the docs the README links to (the manual
  # page among them, as its source), each where the README looks for it: the board in
  # examples/, as in the sources.
  install(TARGETS runel RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  install(FILES examples/Runel_in.txt DESTINATION examples)
  install(DIRECTORY docs/ DESTINATION docs FILES_MATCHING PATTERN "*.md" PATTERN "runel.1")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS runel)
  # Debian keeps manual pages and changelogs compressed, and without a time stamp so that builds
  # repeat.
  set(manual ${CMAKE_CURRENT_BINARY_DIR}/runel.1.gz)
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${manual}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/docs/runel.1 > ${manual}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/runel.1 VERBATIM)
  add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
  add_custom_target(runel_manual ALL DEPENDS ${manual} ${changelog})
  install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # /usr/share/doc/runel: the example board that the manual page runs; for the package, the
  # licence in Debian's machine-readable form, made from LICENSE so that the text lives in one
  # place, and the changelog.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
  # The permission notice, past the title and copyright lines, one space in and blank lines as
  # " .", as the format wants it.
  string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" licence_text "${licence_text}")
  string(REGEX REPLACE "\n$" "" licence_text "${licence_text}")
  string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
  string(REPLACE "\n" "\n " licence_text " ${licence_text}\n")
  set(copyright ${CMAKE_CURRENT_BINARY_DIR}/copyright)
  file(WRITE ${copyright}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: runel\n\n"
    "Files: *\n"
    "Copyright: 2026 the runel developers\n"
    "License: Expat\n"
    "Comment: The MIT License, as in the file LICENSE of runel's sources.\n\n"
    "License: Expat\n${licence_text}")
  install(FILES examples/Runel_in.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${copyright} ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT debian EXCLUDE_FROM_ALL)

  # Debian's hardening for the packaged program: relocations made read-only after loading, and
  # the C library's checked versions of calls that write to a buffer whose size the compiler
  # knows (they need the optimizer, so not in Debug builds; -U first, where a compiler or
  # CXXFLAGS already set it).
  target_link_options(runel PRIVATE -Wl,-z,relro,-z,now)
  foreach(target runel runel_core)
    target_compile_options(${target} PRIVATE
      $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endforeach()
  # The compiler's version stamps (.comment) are of no use in an installed program: taken out on
  # install, as in Debian's own packages; cpack's strip, after it, keeps them.
  if(CMAKE_OBJCOPY AND NOT APPLE)
    install(CODE "
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:runel>\"
        RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"objcopy could not take .comment out of the installed runel\")
      endif()")
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # One package of both components: what `cmake --install` installs, and the `debian` files.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME} debian)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
endif()

set(CPACK_PACKAGE_NAME runel)
set(CPACK_PACKAGE_VENDOR "runel")
set(CPACK_PACKAGE_CONTACT "runel maintainers <maintainers@runel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "searches the captures of a king on an 8x8 draughts-style board")
# Debian shows each line of the description one space in: lines within 79 characters keep the
# package's lines within 80.
set(CPACK_PACKAGE_DESCRIPTION [[
runel reads one position of a draughts-style game on an 8x8 board from
Runel_in.txt in the working directory and searches the captures of the own king
that is to move, which moves and captures along ranks and files, like a rook.
Its search grows one text of square names as it goes; Runel_out.txt gets the
longest, one line per last rank digit, on most boards a single long line.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Section games is for packages with a game in /usr/games; runel is a solver for one position.
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# The dependencies and their lowest versions come from the binary itself (dpkg-shlibdeps, in
# dpkg-dev): the C and C++ runtimes it was linked against, so that the package will not install
# where the program could not start.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The control files (md5sums) 0644, as dpkg-deb would make them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
