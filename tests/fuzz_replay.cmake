# The fuzz targets' kept inputs replayed in the normal build (gcc, and under
# the sanitizers with -DQX_SANITIZE=ON): fuzz_replay_test runs
# fuzz/corpus/<target> and fuzz/regressions/<target> through the same target
# functions the fuzzers run, one test per target, and for the output target
# one per size class and terminal kind.  Included from tests/CMakeLists.txt,
# after QX_TERMINFO_DIR is defined there.
find_package(Threads REQUIRED)
get_filename_component(QX_FUZZ_SRC ${CMAKE_CURRENT_LIST_DIR}/../fuzz ABSOLUTE)
add_executable(fuzz_replay_test
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_replay_test.cpp
  ${QX_FUZZ_SRC}/harness.cpp
  ${QX_FUZZ_SRC}/keys_target.cpp
  ${QX_FUZZ_SRC}/output_target.cpp
  ${QX_FUZZ_SRC}/builtins_target.cpp)
target_include_directories(fuzz_replay_test PRIVATE ${QX_FUZZ_SRC})
target_compile_definitions(fuzz_replay_test PRIVATE QX_FUZZ_TERMINFO="${QX_TERMINFO_DIR}")
target_link_libraries(fuzz_replay_test PRIVATE qxcurses qxhost Threads::Threads util)
add_dependencies(fuzz_replay_test qx_terminfo)

# target, size (COLSxROWS), terminal
set(_qx_replays
  keys 80x24 xterm
  builtins 80x24 xterm
  output 80x24 xterm
  output 1x1 vt100
  output 300x100 xterm-noxenl
  output 12x5 ansi
  output 40x3 xterm-nodl)
list(LENGTH _qx_replays _n)
math(EXPR _last "${_n} - 1")
foreach(i RANGE 0 ${_last} 3)
  math(EXPR j "${i} + 1")
  math(EXPR k "${i} + 2")
  list(GET _qx_replays ${i} target)
  list(GET _qx_replays ${j} size)
  list(GET _qx_replays ${k} term)
  file(GLOB inputs CONFIGURE_DEPENDS ${QX_FUZZ_SRC}/corpus/${target}/*)
  file(GLOB kept CONFIGURE_DEPENDS ${QX_FUZZ_SRC}/regressions/${target}/*)
  set(inputs ${inputs} ${kept}) # the corpus first, each sorted
  list(FILTER inputs EXCLUDE REGEX "\\.md$")
  add_test(NAME FuzzReplay.${target}_${size}_${term}
           COMMAND fuzz_replay_test ${target} ${inputs})
  set_tests_properties(FuzzReplay.${target}_${size}_${term} PROPERTIES TIMEOUT 60
    ENVIRONMENT "LC_ALL=C.UTF-8;QX_FUZZ_SIZE=${size};QX_FUZZ_TERM=${term}")
endforeach()
