# evt_warnings(target): the warning set every target of the project builds
# with, and its sanitizer (cmake/Sanitizers.cmake).
function(evt_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wformat=2 -Wshadow
                         -Wnon-virtual-dtor -Wcast-align -Wnull-dereference)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Which lock guards what is checked (platform/ThreadAnnotations.h).
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(EVT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  evt_sanitize(${target})
endfunction()
