# The export check of the module (tests/exports_test.sh): the dynamic symbol
# table of libqxcurses holds exactly the exported names, its SONAME is
# libqxcurses.so.1, and the engine's names are left undefined.  Include this
# from tests/CMakeLists.txt after enable_testing(); it needs the qxcurses
# target and registers nothing without it.
if(TARGET qxcurses)
  set(QX_EXPORTS_TOOLS "")
  if(CMAKE_NM)
    list(APPEND QX_EXPORTS_TOOLS "NM=${CMAKE_NM}")
  endif()
  if(CMAKE_READELF)
    list(APPEND QX_EXPORTS_TOOLS "READELF=${CMAKE_READELF}")
  endif()
  add_test(NAME exports_test
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/exports_test.sh
                   $<TARGET_FILE:qxcurses>)
  set_tests_properties(exports_test PROPERTIES TIMEOUT 60)
  if(QX_EXPORTS_TOOLS)
    set_tests_properties(exports_test PROPERTIES ENVIRONMENT "${QX_EXPORTS_TOOLS}")
  endif()
endif()
