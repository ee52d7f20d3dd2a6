# The extension's confinement, seen from outside: a build of kelpword-share that probes file
# operations from inside its sandbox (beside kelpword-share, so that it finds the demonstration
# KelpWord the same way), and a wrapper that runs a program as on a kernel without Landlock.
add_executable(kelpword-share-probe ConfinementProbe.cpp)
target_link_libraries(kelpword-share-probe PRIVATE kelpword_share_controller)
set_target_properties(kelpword-share-probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY
  ${KELPWORD_DEMO_APP}/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS)
kelpword_warnings(kelpword-share-probe)

add_executable(without-landlock WithoutLandlock.cpp)
kelpword_warnings(without-landlock)

target_sources(e2e_tests PRIVATE ConfinementTest.cpp)
target_compile_definitions(e2e_tests PRIVATE
  KELPWORD_SHARE_PROBE="$<TARGET_FILE:kelpword-share-probe>"
  WITHOUT_LANDLOCK="$<TARGET_FILE:without-landlock>")
add_dependencies(e2e_tests kelpword-share-probe without-landlock)
