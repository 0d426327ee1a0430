# Tests of the installation and the Debian packages (tests/packaging_test.sh,
# consumer program in tests/packaging/).  Include this from
# tests/CMakeLists.txt after enable_testing(); needs the qxcurses and qxhost
# targets.  Build first: the tests install and package the built library.
#
#   packaging_install      cmake --install into a temporary prefix; file list,
#                          console.h alone as C++11; a C99 consumer built
#                          with pkg-config and with find_package(qxcurses), run
#                          (also on a pty)
#   packaging_deb          cpack -G DEB; both packages' files, the generated
#                          Depends and shlibs, files that name /usr
#   packaging_deb_install  only with -DQX_TEST_DEB_INSTALL=ON, as root:
#                          dpkg -i, the consumer against /usr, dpkg -P, and
#                          nothing left behind
#
# The packages put the library in the build's CMAKE_INSTALL_LIBDIR under /usr:
# configure with -DCMAKE_INSTALL_PREFIX=/usr for Debian's multiarch directory.
# Not registered in sanitizer builds: their library needs the sanitizer
# runtimes, which no package or plain consumer provides.
option(QX_TEST_DEB_INSTALL
       "Register packaging_deb_install: dpkg -i/-r of the packages (needs root)" OFF)

if(TARGET qxcurses AND TARGET qxhost AND NOT QX_SANITIZE)
  include(GNUInstallDirs)
  if(NOT PKG_CONFIG_EXECUTABLE)
    find_package(PkgConfig REQUIRED)
  endif()
  set(_qx_pkg_script ${CMAKE_CURRENT_LIST_DIR}/packaging_test.sh)
  set(_qx_pkg_consumer ${CMAKE_CURRENT_LIST_DIR}/packaging)
  set(_qx_pkg_env ${CMAKE_COMMAND} -E env CXX=${CMAKE_CXX_COMPILER})

  add_test(NAME packaging_install
    COMMAND ${_qx_pkg_env} bash ${_qx_pkg_script} install
      ${PROJECT_BINARY_DIR} ${_qx_pkg_consumer} ${CMAKE_INSTALL_LIBDIR}
      $<TARGET_FILE:qxhost> ${PROJECT_VERSION}
      ${CMAKE_COMMAND} ${CMAKE_C_COMPILER} ${PKG_CONFIG_EXECUTABLE} ${CMAKE_GENERATOR})
  add_test(NAME packaging_deb
    COMMAND ${_qx_pkg_env} bash ${_qx_pkg_script} deb
      ${PROJECT_BINARY_DIR} ${CMAKE_INSTALL_LIBDIR} ${PROJECT_VERSION} ${CMAKE_CPACK_COMMAND})
  set(_qx_pkg_tests packaging_install packaging_deb)

  if(QX_TEST_DEB_INSTALL)
    add_test(NAME packaging_deb_install
      COMMAND ${_qx_pkg_env} bash ${_qx_pkg_script} deb-install
        ${PROJECT_BINARY_DIR} ${_qx_pkg_consumer} $<TARGET_FILE:qxhost> ${PROJECT_VERSION}
        ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${CMAKE_C_COMPILER} ${PKG_CONFIG_EXECUTABLE}
        ${CMAKE_GENERATOR})
    list(APPEND _qx_pkg_tests packaging_deb_install)
  endif()

  # All of them install or package the same build tree (cpack also runs its
  # preinstall step there): one at a time.
  set_tests_properties(${_qx_pkg_tests} PROPERTIES
    TIMEOUT 600
    LABELS packaging
    RESOURCE_LOCK qxcurses_build_tree)
endif()
