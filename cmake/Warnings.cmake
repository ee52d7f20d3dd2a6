# Applied to every target of this project, never to a consumer's.
function(kelpword_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
    # Designated initialisers that leave members at their defaults are intended.
    -Wno-missing-field-initializers)
  if(KELPWORD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
