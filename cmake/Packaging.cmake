# Debian packages with CPack (`cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr, as scripts/package.sh does):
#   kelpword-share         the share extension, its manual page and its desktop entry
#   kelpword-share-window  the plugin that draws the sheet as a window with GTK: apart, so that
#                          the extension installs without GTK and keeps its sheet in the terminal
#   kelpword-reference     the example main application, where its install component exists
#   kelpword-share-purpose "KelpWord" in KDE's Share menu: a KF5 Purpose plugin that starts
#                          kelpword-share, where the build found KF5 Purpose
#   libdidedaziv-dev       the intake library for the main application: static libraries, headers
#                          under include/didedaziv/, the CMake package
# Each package's libraries are found by dpkg-shlibdeps in its own files.
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

# Only the components that this build installs: the window plugin needs GTK, and the reference
# application's component may not be there yet.
get_cmake_property(installComponents COMPONENTS)
set(CPACK_COMPONENTS_ALL dev)
kelpword_package_documents(dev libdidedaziv-dev)
foreach(component share window reference purpose)
  if(component IN_LIST installComponents)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endif()
endforeach()
if(share IN_LIST CPACK_COMPONENTS_ALL)
  kelpword_package_documents(share kelpword-share)
endif()
if(window IN_LIST CPACK_COMPONENTS_ALL)
  kelpword_package_documents(window kelpword-share-window)
endif()
if(reference IN_LIST CPACK_COMPONENTS_ALL)
  kelpword_package_documents(reference kelpword-reference)
endif()
if(purpose IN_LIST CPACK_COMPONENTS_ALL)
  kelpword_package_documents(purpose kelpword-share-purpose)
endif()

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
# ICU is loaded at run time, out of dpkg-shlibdeps' sight: the package of the library that the
# platform loads, named beside its soname (platform/CMakeLists.txt). GIO's is the window
# package's to bring: without it the share hands off by Exec.
set(CPACK_DEBIAN_SHARE_PACKAGE_DEPENDS ${KELPWORD_ICU_PACKAGE})
if(window IN_LIST CPACK_COMPONENTS_ALL)
  set(CPACK_DEBIAN_SHARE_PACKAGE_RECOMMENDS kelpword-share-window)
endif()
# Descriptions: a synopsis line, then the extended text; CPack indents it for the control file.
set(CPACK_COMPONENT_SHARE_DESCRIPTION "share extension that sends recordings to KelpWord
KelpWord turns audio and video into text. Its share extension takes the
recordings that other applications and file managers share or open with it,
copies them into KelpWord's inbox under clean, unique names and asks KelpWord
to open them, or tells the user in one plain message why it could not.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME kelpword-share-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION utils)
# The plugin serves one version of its interface, which the program checks, falling back on the
# terminal: the two are built together, so they move together.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "kelpword-share (= ${CPACK_PACKAGE_VERSION})")
set(CPACK_COMPONENT_WINDOW_DESCRIPTION "window for KelpWord's share extension (GTK 4)
KelpWord turns audio and video into text. This plugin lets its share
extension, kelpword-share, show its sheet as a small window where a display
is available, in X11 and Wayland sessions alike. Without it the sheet stays
in the terminal, or is printed as lines of text.")

set(CPACK_DEBIAN_REFERENCE_PACKAGE_NAME kelpword-reference)
set(CPACK_DEBIAN_REFERENCE_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_REFERENCE_PACKAGE_DEPENDS ${KELPWORD_ICU_PACKAGE})
set(CPACK_COMPONENT_REFERENCE_DESCRIPTION "example main application for KelpWord's intake library
KelpWord turns audio and video into text. kelpword-reference is a small
GTK 4 application on the intake library, DidedaZiv: it receives the
recordings that KelpWord's share extension hands over on the session bus,
takes dropped recordings, lists them by share, newest first, and sweeps old
shares out of the inbox.")

set(CPACK_DEBIAN_PURPOSE_PACKAGE_NAME kelpword-share-purpose)
set(CPACK_DEBIAN_PURPOSE_PACKAGE_SECTION kde)
# The plugin starts the installed kelpword-share; Qt and KDE Frameworks come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PURPOSE_PACKAGE_DEPENDS "kelpword-share (= ${CPACK_PACKAGE_VERSION})")
set(CPACK_COMPONENT_PURPOSE_DESCRIPTION "KelpWord in the Share menu of KDE applications
KelpWord turns audio and video into text. This plugin for KDE's share
service (Purpose) offers \"KelpWord\" in the Share menu of KDE applications
for audio and video files, and hands the shared recordings to KelpWord's
share extension, kelpword-share.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libdidedaziv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static libraries leave libuuid to the program that links them and load ICU's library at run
# time, and the headers use Asio; the CMake package finds libuuid with pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${KELPWORD_ICU_PACKAGE}, uuid-dev, libasio-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "KelpWord's intake library (development files)
DidedaZiv receives shared and dropped recordings for KelpWord, which turns
audio and video into text: the user's messages, the inbox and its per-share
folders, naming and copying received files, importing shared items, reading
drops and file promises, and sweeping old entries out of the inbox.

This package holds the static libraries, their headers under
include/didedaziv/ and the CMake package for find_package(DidedaZiv).")

include(CPack)

# What the packages hold, and nothing more: scripts/package.sh builds this target rather than
# every test and benchmark of the build folder.
set(shareTargets kelpword-share kelpword-share-desktop-entry kelpword-share-manual)
set(windowTargets kelpword_window_sheet_module)
set(referenceTargets kelpword-reference)
set(purposeTargets kelpword_purpose_plugin)
set(devTargets DidedaZiv kelpword_platform)
add_custom_target(kelpword-package-contents)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  foreach(target IN LISTS ${component}Targets)
    if(TARGET ${target})
      add_dependencies(kelpword-package-contents ${target})
    endif()
  endforeach()
endforeach()
