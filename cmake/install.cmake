# Install rules and the Debian package.
#
# Installed layout (under the prefix):
#   lib/vuvorozo/vuvorozo.so      the module; the program looks for it at
#                                 <program dir>/../lib/vuvorozo/
#   bin/vuvorozo                  the command-line program
#   share/man/man1/vuvorozo.1.gz  its manual page
#   include/vuvorozo/             the contract a host is written against
#   share/doc/vuvorozo/           README, host interface and the example hosts
#   share/bash-completion/completions/vuvorozo
#                                 bash completion of commands, flags and names
#
# `cpack -G DEB` in the build folder makes an i386 package of the same
# layout under /usr.

# The contract, and nothing of the module's own records and helpers.
file(GLOB VUVOROZO_HEADERS CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/include/vuvorozo/*.h)

install(TARGETS vuvorozo
        LIBRARY DESTINATION lib/vuvorozo COMPONENT runtime)
if(TARGET vuvorozo_cli)
  install(TARGETS vuvorozo_cli
          RUNTIME DESTINATION bin COMPONENT runtime)
endif()

# A host includes "vuvorozo/vuvorozo.h" (or one of its parts) with
# <prefix>/include on its include path, as the headers include each other.
install(FILES ${VUVOROZO_HEADERS}
        DESTINATION include/vuvorozo COMPONENT runtime)

# Debian wants manual pages compressed; the page itself stays plain troff
# in docs/.
find_program(GZIP_PROGRAM gzip)
set(VUVOROZO_MAN_SOURCE ${CMAKE_SOURCE_DIR}/docs/vuvorozo.1)
if(EXISTS ${VUVOROZO_MAN_SOURCE})
  if(GZIP_PROGRAM)
    set(man_gz ${CMAKE_BINARY_DIR}/man/vuvorozo.1.gz)
    add_custom_command(
      OUTPUT ${man_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${GZIP_PROGRAM} -9nc ${VUVOROZO_MAN_SOURCE} > ${man_gz}
      DEPENDS ${VUVOROZO_MAN_SOURCE}
      VERBATIM)
    add_custom_target(vuvorozo_man ALL DEPENDS ${man_gz})
    install(FILES ${man_gz} DESTINATION share/man/man1 COMPONENT runtime)
  else()
    install(FILES ${VUVOROZO_MAN_SOURCE}
            DESTINATION share/man/man1 COMPONENT runtime)
  endif()
endif()

# bash-completion loads a command's completion from here on first use.
install(FILES ${CMAKE_SOURCE_DIR}/cli/vuvorozo.bash-completion
        DESTINATION share/bash-completion/completions RENAME vuvorozo
        COMPONENT runtime)

foreach(doc README.md docs/host-interface.md docs/examples/minimal_host.cc
        docs/examples/example_host.cc docs/examples/example_host.h
        docs/examples/example_services.cc)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${doc})
    install(FILES ${CMAKE_SOURCE_DIR}/${doc}
            DESTINATION share/doc/vuvorozo COMPONENT runtime)
  endif()
endforeach()

# --- Debian package -----------------------------------------------------
set(CPACK_PACKAGE_NAME vuvorozo)
set(CPACK_PACKAGE_VENDOR "VUVOROZO developers")
set(CPACK_PACKAGE_CONTACT "VUVOROZO developers <vuvorozo@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "catalog access-method module, its headers and the vuvorozo program")
set(CPACK_PACKAGE_DESCRIPTION
    "A loadable access-method module (32-bit x86 shared object, C ABI) that \
lets a fileref stand for a catalog entry or a whole catalog, the record \
headers a host is written against, and the vuvorozo program, which drives \
the module through a reference host over a folder of catalogs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed objects lose their debug information, as Debian packages do.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The run-time dependencies come from the packaged objects themselves:
# dpkg-shlibdeps (dpkg-dev) finds the package of every library the program
# and the module need, and the version floor their symbols ask for, from
# the i386 libraries' shlibs and symbols files. Unqualified names in an
# i386 package are the i386 packages (libc6:i386 and so on).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What no symbol says: the store opens library files with
# SQLITE_OPEN_NOFOLLOW, a flag of SQLite 3.31, so that a link in a
# library's place is refused; and the program loads libpq.so.5 when a
# store on a server is first used (it is not linked: see
# refhost/store/postgres/libpq.cc). Added to what dpkg-shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.31), libpq5 (>= 14)")
set(CPACK_GENERATOR DEB)
include(CPack)

# --- Checks of what is installed and packaged ---------------------------
if(VUVOROZO_TESTS AND NOT VUVOROZO_SANITIZE)
  # The installed program finds the installed module and round-trips an
  # entry; a host compiled against the installed headers starts the module.
  add_test(NAME staged_install
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-install
                   ${CMAKE_BINARY_DIR} ${CMAKE_CXX_COMPILER})
  # The package holds the installed layout and declares its dependencies.
  add_test(NAME debian_package
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-package
                   ${CMAKE_BINARY_DIR})
  # Both install from the build folder (cpack builds what is out of date
  # first), so they run alone, never beside tests that run its programs.
  set_tests_properties(staged_install debian_package PROPERTIES RUN_SERIAL ON)
endif()
if(VUVOROZO_TESTS)
  # The host interface document covers every slot and service, and its
  # generated tables match the code.
  add_test(NAME host_interface_document
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/gen-host-interface --check
                   --cxx ${CMAKE_CXX_COMPILER})
  if(TARGET vuvorozo_cli)
    # Every command and option of `vuvorozo --help` is in the manual page.
    add_test(NAME manual_page
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-man-page
                     $<TARGET_FILE:vuvorozo_cli>
                     ${CMAKE_SOURCE_DIR}/docs/vuvorozo.1)
  endif()
endif()
