# Fails when a file of src/ other than the two allowed includes a curses
# header: every change to curses' screen goes through src/screen/cursesio.cpp,
# which keeps curses in step with what is sent raw; src/term/termio.cpp starts
# and ends curses.  Run as: cmake -DSRC=<repository>/src -P curses_confined.cmake
file(GLOB_RECURSE files RELATIVE ${SRC} ${SRC}/*.c ${SRC}/*.cpp ${SRC}/*.h)
set(bad "")
foreach(f ${files})
  if(NOT f MATCHES "^(screen/cursesio\\.cpp|term/termio\\.cpp)$")
    file(STRINGS ${SRC}/${f} hits
         REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](ncursesw?/)?(n?curses|term)\\.h[>\"]")
    if(hits)
      list(APPEND bad ${f})
    endif()
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "curses used outside screen/cursesio.cpp and term/termio.cpp: ${bad}")
endif()
