# Applies EVT_SANITIZE to every target configured after this point.
if(EVT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(EVT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT EVT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "EVT_SANITIZE must be empty, 'address' or 'thread'")
endif()
