# Writes the Purpose plugin's metadata from TEMPLATE to OUTPUT: one constraint that any of the
# MIME types that the program MIME_TYPES prints ("a;b;…;") satisfies.
execute_process(COMMAND ${MIME_TYPES} OUTPUT_VARIABLE mimeTypes OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR mimeTypes STREQUAL "")
  message(FATAL_ERROR "${MIME_TYPES} listed no MIME types (${result})")
endif()
string(REGEX REPLACE ";$" "" mimeTypes "${mimeTypes}")
set(constraints "")
foreach(mimeType IN LISTS mimeTypes)
  if(constraints)
    string(APPEND constraints ",\n")
  endif()
  string(APPEND constraints "            \"mimeType:${mimeType}\"")
endforeach()
file(READ ${TEMPLATE} text)
string(REPLACE "@KELPWORD_MIME_TYPE_CONSTRAINTS@" "${constraints}" text "${text}")
file(WRITE ${OUTPUT} "${text}")
