# Run by `cmake --install` (component reference): writes kelpword-reference's desktop entry and
# its session bus service file with the program where it is now installed, and installs them.
# Set by the install rule: KELPWORD_REFERENCE_BINDIR and _DATADIR (relative to the prefix),
# KELPWORD_REFERENCE_DESKTOP_ENTRY and _SERVICE (the templates), KELPWORD_REFERENCE_MADE (a folder
# of the build for the written files).
set(bin "${CMAKE_INSTALL_PREFIX}/${KELPWORD_REFERENCE_BINDIR}")
set(data "${CMAKE_INSTALL_PREFIX}/${KELPWORD_REFERENCE_DATADIR}")
# Quoted for both readers: desktop entries and the bus split their Exec lines alike.
set(wholePath "\"${bin}/kelpword-reference\"")
# The desktop entry names the program as Debian's own entries do where it lies in a folder of
# every user's PATH; the bus starts only a whole path.
set(entryProgram "${wholePath}")
if(bin STREQUAL "/usr/bin" OR bin STREQUAL "/usr/local/bin")
  set(entryProgram kelpword-reference)
endif()
# One copy per destination: installs into several places may run side by side.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(made "${KELPWORD_REFERENCE_MADE}/${destination}")

function(install_with_program template program name folder)
  file(READ "${template}" text)
  string(REPLACE "@KELPWORD_REFERENCE_PROGRAM@" "${program}" text "${text}")
  file(WRITE "${made}/${name}" "${text}")
  file(INSTALL DESTINATION "${folder}" TYPE FILE FILES "${made}/${name}")
endfunction()

install_with_program("${KELPWORD_REFERENCE_DESKTOP_ENTRY}" "${entryProgram}"
  com.brenvik.kelpword.desktop "${data}/applications")
install_with_program("${KELPWORD_REFERENCE_SERVICE}" "${wholePath}"
  com.brenvik.kelpword.service "${data}/dbus-1/services")
