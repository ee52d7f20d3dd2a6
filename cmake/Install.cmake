# The intake module for the main application: `find_package(DidedaZiv)` after `cmake --install`.
include(CMakePackageConfigHelpers)

install(TARGETS DidedaZiv kelpword_platform EXPORT DidedaZivTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY DidedaZiv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp"
  PATTERN "*Internal.hpp" EXCLUDE)
install(DIRECTORY platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp"
  PATTERN "app" EXCLUDE PATTERN "detail" EXCLUDE)

set(configDir ${CMAKE_INSTALL_LIBDIR}/cmake/DidedaZiv)
install(EXPORT DidedaZivTargets NAMESPACE DidedaZiv:: DESTINATION ${configDir})
configure_package_config_file(cmake/DidedaZivConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfig.cmake INSTALL_DESTINATION ${configDir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/DidedaZivConfigVersion.cmake DESTINATION ${configDir})
