# Debian packages with CPack (`cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr, as scripts/package.sh does):
#   kelpword-share    the share extension and its desktop entry; libraries found by dpkg-shlibdeps
#   libdidedaziv-dev  the intake library for the main application: static libraries, headers
#                     under include/didedaziv/, the CMake package
# The desktop entry is registered by desktop-file-utils' own trigger on
# /usr/share/applications, which runs update-desktop-database when a package adds or removes one.
set(packageMaintainer "KelpWord developers <kelpword@brenvik.com>")

# Each package carries its copyright and a compressed changelog, as Debian asks.
function(kelpword_package_documents component package)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/copyright DESTINATION ${doc}
    COMPONENT ${component})
  set(PACKAGE ${package})
  set(VERSION ${PROJECT_VERSION})
  set(MAINTAINER ${packageMaintainer})
  string(TIMESTAMP DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/package/${package}/changelog)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/package/changelog.in ${changelog} @ONLY)
  # Made when configuring, so that installing the library alone needs nothing more built.
  execute_process(COMMAND gzip -9n -c ${changelog} OUTPUT_FILE ${changelog}.gz
    COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${changelog}.gz DESTINATION ${doc} COMPONENT ${component})
endfunction()

if(KELPWORD_EXTENSION)
  kelpword_package_documents(share kelpword-share)
  set(CPACK_COMPONENTS_ALL share dev)
else()
  set(CPACK_COMPONENTS_ALL dev)
endif()
kelpword_package_documents(dev libdidedaziv-dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelpword)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KelpWord")
set(CPACK_PACKAGE_CONTACT ${packageMaintainer})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${packageMaintainer})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_SHARE_PACKAGE_NAME kelpword-share)
set(CPACK_DEBIAN_SHARE_PACKAGE_SECTION utils)
# ICU is loaded at run time, out of dpkg-shlibdeps' sight: its library of the version built with.
string(REGEX MATCH "^[0-9]+" icuMajorVersion "${ICU_VERSION}")
if(NOT icuMajorVersion)
  message(FATAL_ERROR "pkg-config gave no version of icu-uc, which the packages depend on")
endif()
set(icuRuntimePackage libicu${icuMajorVersion})
set(CPACK_DEBIAN_SHARE_PACKAGE_DEPENDS ${icuRuntimePackage})
# Descriptions: a synopsis line, then the extended text; CPack indents it for the control file.
set(CPACK_COMPONENT_SHARE_DESCRIPTION "share extension that sends recordings to KelpWord
KelpWord turns audio and video into text. Its share extension takes the
recordings that other applications and file managers share or open with it,
copies them into KelpWord's inbox under clean, unique names and asks KelpWord
to open them, or tells the user in one plain message why it could not.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libdidedaziv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static libraries leave libuuid to the program that links them and load ICU's library at run
# time, and the headers use Asio; the CMake package finds libuuid with pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${icuRuntimePackage}, uuid-dev, libasio-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "KelpWord's intake library (development files)
DidedaZiv receives shared and dropped recordings for KelpWord, which turns
audio and video into text: the user's messages, the inbox and its per-share
folders, naming and copying received files, importing shared items, reading
drops and file promises, and sweeping old entries out of the inbox.

This package holds the static libraries, their headers under
include/didedaziv/ and the CMake package for find_package(DidedaZiv).")

include(CPack)
