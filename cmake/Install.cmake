# The intake module for the main application: `find_package(DidedaZiv)` after `cmake --install`.
include(CMakePackageConfigHelpers)

# Headers keep their paths from the repository root beneath a folder of the project's own, so
# that "platform/Url.hpp" never meets another package's platform/ folder.
install(TARGETS DidedaZiv kelpword_platform EXPORT DidedaZivTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY DidedaZiv DESTINATION ${DIDEDAZIV_INSTALL_INCLUDEDIR} COMPONENT dev FILES_MATCHING
  PATTERN "*.hpp" PATTERN "*Internal.hpp" EXCLUDE)
install(DIRECTORY platform DESTINATION ${DIDEDAZIV_INSTALL_INCLUDEDIR} COMPONENT dev FILES_MATCHING
  PATTERN "*.hpp" PATTERN "app" EXCLUDE PATTERN "detail" EXCLUDE)

set(configDir ${CMAKE_INSTALL_LIBDIR}/cmake/DidedaZiv)
install(EXPORT DidedaZivTargets NAMESPACE DidedaZiv:: DESTINATION ${configDir} COMPONENT dev)
configure_package_config_file(cmake/DidedaZivConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfig.cmake INSTALL_DESTINATION ${configDir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfigVersion.cmake DESTINATION ${configDir} COMPONENT dev)
