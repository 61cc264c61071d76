# evt_sanitize(target): the instrumentation EVT_SANITIZE asks for, given to
# one target of this project (evt_warnings gives it to every target it
# sets up); libraries from elsewhere, GoogleTest among them, build as usual.
if(NOT EVT_SANITIZE STREQUAL "" AND NOT EVT_SANITIZE STREQUAL "address" AND NOT EVT_SANITIZE STREQUAL "thread")
  message(FATAL_ERROR "EVT_SANITIZE must be empty, 'address' or 'thread'")
endif()

function(evt_sanitize target)
  if(EVT_SANITIZE STREQUAL "address")
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=undefined
                           -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(EVT_SANITIZE STREQUAL "thread")
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()
