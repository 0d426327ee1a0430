# End-to-end tests of qxtop (tests/qxtop_e2e_test.cpp): qxtop runs in a
# private tmux server, which serves as the terminal.  Include this from
# tests/CMakeLists.txt after enable_testing(); needs the qxtop and qxcurses
# targets.  Without tmux the tests report themselves skipped.
if(NOT TARGET GTest::gtest_main)
  find_package(GTest REQUIRED)
endif()
find_program(QX_TMUX_PROGRAM tmux)
if(NOT QX_TMUX_PROGRAM)
  set(QX_TMUX_PROGRAM "")
endif()

add_executable(qxtop_e2e_test ${CMAKE_CURRENT_LIST_DIR}/qxtop_e2e_test.cpp)
target_link_libraries(qxtop_e2e_test PRIVATE GTest::gtest_main)
target_compile_definitions(qxtop_e2e_test PRIVATE
  QXTOP_BINARY="$<TARGET_FILE:qxtop>"
  QX_TMUX="${QX_TMUX_PROGRAM}")
add_dependencies(qxtop_e2e_test qxtop qxcurses)
add_test(NAME qxtop_e2e_test COMMAND qxtop_e2e_test)
set_tests_properties(qxtop_e2e_test PROPERTIES TIMEOUT 600)
