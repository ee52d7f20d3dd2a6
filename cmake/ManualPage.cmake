# kelpword_manual_page(SOURCE COMPONENT [FOR TARGET])
# Installs the manual page SOURCE (PROGRAM.1, made by the target PROGRAM-manual) in COMPONENT,
# compressed as Debian asks. With FOR, it is made whenever TARGET is, for builds that make only the
# packages' targets.
function(kelpword_manual_page source component)
  cmake_parse_arguments(PARSE_ARGV 2 page "" "FOR" "")
  get_filename_component(name ${source} NAME)
  set(manual ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${manual}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${manual}
    DEPENDS ${source} VERBATIM)
  get_filename_component(program ${source} NAME_WE)
  add_custom_target(${program}-manual ALL DEPENDS ${manual})
  if(page_FOR)
    add_dependencies(${page_FOR} ${program}-manual)
  endif()
  install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
