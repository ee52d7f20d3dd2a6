# Writes the share extension's desktop entry from TEMPLATE to OUTPUT, its MimeType= the list that
# the program MIME_TYPES prints. The program's own place (@KELPWORD_SHARE_PROGRAM@) is left for
# the install to fill in.
execute_process(COMMAND ${MIME_TYPES} OUTPUT_VARIABLE mimeTypes OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR mimeTypes STREQUAL "")
  message(FATAL_ERROR "${MIME_TYPES} listed no MIME types (${result})")
endif()
file(READ ${TEMPLATE} text)
string(REPLACE "@KELPWORD_SHARE_MIME_TYPES@" "${mimeTypes}" text "${text}")
file(WRITE ${OUTPUT} "${text}")
