# CM_SANITIZE=address: AddressSanitizer with UndefinedBehaviorSanitizer.
# CM_SANITIZE=thread:  ThreadSanitizer.
# CM_FUZZ=ON instruments everything for libFuzzer as well (clang).
if(CM_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(CM_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT CM_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CM_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(CM_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
