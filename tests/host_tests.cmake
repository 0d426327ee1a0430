# The engine stand-in's own tests (tests/host_test.cpp).  Include this from
# tests/CMakeLists.txt after enable_testing(); needs the qxhost target.
if(NOT TARGET GTest::gtest_main)
  find_package(GTest REQUIRED)
endif()
add_executable(host_test ${CMAKE_CURRENT_LIST_DIR}/host_test.cpp)
target_link_libraries(host_test PRIVATE qxhost GTest::gtest_main)
add_test(NAME host_test COMMAND host_test)
