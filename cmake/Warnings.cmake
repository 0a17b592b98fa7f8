# Every target of ours compiles with the same strict warning set. Warnings
# are errors only where VELMORA_WERROR is on (the project's own test builds):
# a user's `pip install` must not fail because a newer compiler found a new
# warning.
function(velmora_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wconversion -Wsign-conversion -Wnon-virtual-dtor -Wold-style-cast)
  if(VELMORA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # GCC's sanitizer instrumentation makes its flow-sensitive warnings
    # report storage that is always written (GCC's manual advises against
    # -Werror with sanitizers for this reason): seen as variant moves in the
    # AddressSanitizer and ThreadSanitizer builds on GCC 12.
    if(VELMORA_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-error=maybe-uninitialized)
    endif()
  endif()
endfunction()
