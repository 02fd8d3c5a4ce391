# Installation, the macOS application bundle and the Debian package.
#
#   cmake --install <build dir> [--prefix <dir>]
#     Linux: bin/kelvane, bin/kelvane-doctor, share/applications/kelvane.desktop,
#            share/icons/hicolor/scalable/apps/kelvane.svg
#     macOS: Kelvane.app (with a copy of adb inside when KELVANE_BUNDLED_ADB
#            names one), bin/kelvane-doctor
#   cpack -G DEB   (in the build directory) the Debian package of the above,
#                  installed below /usr
#
# Included from the top-level CMakeLists.txt after all targets exist.

include(GNUInstallDirs)

set(KELVANE_BUNDLED_ADB "" CACHE FILEPATH
  "macOS: an adb program to copy into Kelvane.app, where tool discovery looks first")

set(kelvane_packaging_dir ${CMAKE_CURRENT_LIST_DIR})

# The installed programs find their libraries in the system's places, or in
# the places they were linked from (Qt outside the system, as Homebrew's):
# never relative to the executable, which Qt's project setup would add.
set(kelvane_installed_programs kelvane-doctor)
if(TARGET kelvane)
  list(APPEND kelvane_installed_programs kelvane)
endif()
set_target_properties(${kelvane_installed_programs} PROPERTIES
  INSTALL_RPATH ""
  INSTALL_RPATH_USE_LINK_PATH TRUE)

install(TARGETS kelvane-doctor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(KELVANE_BUNDLED_ADB AND NOT (APPLE AND TARGET kelvane))
  message(FATAL_ERROR "KELVANE_BUNDLED_ADB goes into the macOS application bundle; "
    "this build has none (macOS with KELVANE_WINDOW=ON only)")
endif()

if(TARGET kelvane AND APPLE)
  # Kelvane.app/Contents/MacOS/Kelvane. Tool discovery takes Kelvane.app as
  # the bundle root and looks for adb below it first.
  set(kelvane_bundle_name Kelvane)
  set(kelvane_bundle_identifier org.kelvane.Kelvane)
  # The oldest macOS the bundle claims to run on: the one it is compiled for,
  # which is the building Mac's own unless a deployment target is given.
  if(CMAKE_OSX_DEPLOYMENT_TARGET)
    set(kelvane_macos_minimum ${CMAKE_OSX_DEPLOYMENT_TARGET})
  else()
    execute_process(COMMAND sw_vers -productVersion
      OUTPUT_VARIABLE kelvane_macos_minimum OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCH "^[0-9]+\\.[0-9]+" kelvane_macos_minimum "${kelvane_macos_minimum}")
  endif()
  configure_file(${kelvane_packaging_dir}/Info.plist.in ${CMAKE_CURRENT_BINARY_DIR}/Info.plist @ONLY)
  set_target_properties(kelvane PROPERTIES
    MACOSX_BUNDLE TRUE
    OUTPUT_NAME ${kelvane_bundle_name}
    MACOSX_BUNDLE_INFO_PLIST ${CMAKE_CURRENT_BINARY_DIR}/Info.plist)

  if(KELVANE_BUNDLED_ADB)
    if(NOT EXISTS "${KELVANE_BUNDLED_ADB}" OR IS_DIRECTORY "${KELVANE_BUNDLED_ADB}")
      message(FATAL_ERROR "KELVANE_BUNDLED_ADB: no such file: ${KELVANE_BUNDLED_ADB}")
    endif()
    # The bundled adb's folder below the bundle's Contents.
    string(REGEX REPLACE "^Contents/" "" bundled_adb_in_contents ${KELVANE_BUNDLED_ADB_RELATIVE_PATH})
    get_filename_component(bundled_adb_folder ${bundled_adb_in_contents} DIRECTORY)
    # A copy named adb and executable whatever the original is called; CMake
    # copies it into the bundle's Contents/<folder> when it builds the bundle.
    set(bundled_adb_copy ${CMAKE_CURRENT_BINARY_DIR}/bundled-adb/adb)
    configure_file(${KELVANE_BUNDLED_ADB} ${bundled_adb_copy} COPYONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    target_sources(kelvane PRIVATE ${bundled_adb_copy})
    set_source_files_properties(${bundled_adb_copy} PROPERTIES MACOSX_PACKAGE_LOCATION ${bundled_adb_folder})
  endif()

  # ./kelvane.sh run starts build/kelvane on every system.
  add_custom_command(TARGET kelvane POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:kelvane> ${CMAKE_CURRENT_BINARY_DIR}/kelvane
    VERBATIM)

  install(TARGETS kelvane BUNDLE DESTINATION .)
elseif(TARGET kelvane)
  install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The desktop's launcher entry and its icon.
  install(FILES ${kelvane_packaging_dir}/kelvane.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${kelvane_packaging_dir}/kelvane.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# What packaging/check-deb.sh needs to know about this build, as shell
# assignments.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package-facts.sh CONTENT
"# Written by CMake for packaging/check-deb.sh.
package='kelvane'
log_path='${KELVANE_LOG_PATH}'
")

# ---- The Debian package ---------------------------------------------------

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Kelvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "Kelvane shows an Android phone's screen on the computer through the
programs adb and scrcpy. Its window is a checklist of what a mirror needs
(adb, scrcpy, a phone with authorized USB debugging, the Lingguang app on
the phone) and starts scrcpy for the chosen phone. kelvane-doctor runs the
same diagnostics in a terminal, as text or JSON.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kelvane developers <kelvane@kelvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the shared libraries the programs link (Qt, the C++ runtime),
# found by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS adb)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS scrcpy)
include(CPack)
