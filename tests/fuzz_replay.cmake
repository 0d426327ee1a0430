# The fuzz targets' kept inputs replayed in the normal build (gcc, and under
# the sanitizers with -DQX_SANITIZE=ON): the test fuzz_replay_test runs
# fuzz/corpus/<target> and fuzz/regressions/<target> through the same target
# functions the fuzzers run.  Included from tests/CMakeLists.txt, after
# qx_add_test and QX_TERMINFO_DIR are defined there.
find_package(Threads REQUIRED)
get_filename_component(QX_FUZZ_SRC ${CMAKE_CURRENT_LIST_DIR}/../fuzz ABSOLUTE)
qx_add_test(fuzz_replay_test
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_replay_test.cpp
  ${QX_FUZZ_SRC}/harness.cpp
  ${QX_FUZZ_SRC}/keys_target.cpp
  ${QX_FUZZ_SRC}/output_target.cpp
  ${QX_FUZZ_SRC}/builtins_target.cpp)
target_include_directories(fuzz_replay_test PRIVATE ${QX_FUZZ_SRC})
target_compile_definitions(fuzz_replay_test PRIVATE
  QX_FUZZ_DIR="${QX_FUZZ_SRC}" QX_FUZZ_TERMINFO="${QX_TERMINFO_DIR}")
target_link_libraries(fuzz_replay_test PRIVATE Threads::Threads util)
