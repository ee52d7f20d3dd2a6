# Applied to every target of this project, never to a consumer's.
function(kelpword_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
    # Designated initialisers that leave members at their defaults are intended.
    -Wno-missing-field-initializers
    # GCC 12 reports impossible overlaps inside std::string at -O3 (its bug 105329).
    $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
  if(KELPWORD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
