# CALYRA_SANITIZE=address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; CALYRA_SANITIZE=thread with ThreadSanitizer.
set(CALYRA_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE CALYRA_SANITIZE PROPERTY STRINGS "" address thread)

if(CALYRA_SANITIZE STREQUAL "address")
  set(_calyra_san_flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
elseif(CALYRA_SANITIZE STREQUAL "thread")
  set(_calyra_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT CALYRA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CALYRA_SANITIZE must be empty, 'address' or 'thread', not '${CALYRA_SANITIZE}'")
endif()

if(_calyra_san_flags)
  add_compile_options(${_calyra_san_flags})
  add_link_options(${_calyra_san_flags})
endif()
