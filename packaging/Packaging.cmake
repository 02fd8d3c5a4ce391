# Installation, the macOS application bundle, the manual pages and the
# Debian package.
#
#   cmake --install <build dir> [--prefix <dir>]
#     Linux: bin/kelvane, bin/kelvane-doctor,
#            share/applications/org.kelvane.Kelvane.desktop,
#            share/icons/hicolor/scalable/apps/kelvane.svg,
#            share/metainfo/org.kelvane.Kelvane.metainfo.xml,
#            share/man/man1/kelvane.1.gz, share/man/man1/kelvane-doctor.1.gz,
#            share/doc/kelvane/copyright, share/doc/kelvane/changelog.Debian.gz
#     macOS: Kelvane.app (with a copy of adb inside when KELVANE_BUNDLED_ADB
#            names one), bin/kelvane-doctor, share/man/man1/kelvane-doctor.1.gz
#   cpack -G DEB   (in the build directory) the Debian package of the above,
#                  installed below /usr
#
# Included from the top-level CMakeLists.txt once the programs' targets exist.

include(GNUInstallDirs)

set(KELVANE_BUNDLED_ADB "" CACHE FILEPATH
  "macOS: an adb program to copy into Kelvane.app, where tool discovery looks first")

set(kelvane_packaging_dir ${CMAKE_CURRENT_LIST_DIR})
# The application's reverse-DNS id: the macOS bundle identifier, and on Linux
# the names of the desktop entry and of the software-centre metadata.
set(kelvane_app_id org.kelvane.Kelvane)
if(TARGET kelvane_window)
  # The window names its desktop entry, so that the desktop shows the
  # entry's name and icon for it (the Wayland app id).
  target_compile_definitions(kelvane_window PRIVATE KELVANE_APP_ID="${kelvane_app_id}")
endif()
set(kelvane_package_name kelvane)
# Who answers for the Debian package. The project has no mail address of its
# own yet; the reserved .invalid domain makes sure no mail reaches a stranger
# (see packaging/README.md).
set(kelvane_maintainer "Kelvane developers <kelvane@kelvane.invalid>")
# The Debian revision of this version's package.
set(kelvane_debian_revision 1)

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
  set(kelvane_bundle_identifier ${kelvane_app_id})
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
  # The desktop's launcher entry, named by the application's id, its icon,
  # and the software-centre metadata that points at the entry.
  install(FILES ${kelvane_packaging_dir}/kelvane.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications RENAME ${kelvane_app_id}.desktop)
  install(FILES ${kelvane_packaging_dir}/kelvane.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  configure_file(${kelvane_packaging_dir}/kelvane.metainfo.xml.in
    ${CMAKE_CURRENT_BINARY_DIR}/${kelvane_app_id}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${kelvane_app_id}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# ---- Manual pages and the package's documents --------------------------------

# The release date as Debian's changelog writes it ("Mon, 07 Dec 2026
# 12:00:00 +0000"), weekday included.
if(NOT KELVANE_RELEASE_DATE MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "KELVANE_RELEASE_DATE must read YYYY-MM-DD, not '${KELVANE_RELEASE_DATE}'")
endif()
set(release_year ${CMAKE_MATCH_1})
set(release_day ${CMAKE_MATCH_3})
math(EXPR release_month_index "${CMAKE_MATCH_2} - 1")
# The day of the week by Sakamoto's method; 0 is Sunday.
set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
list(GET month_offsets ${release_month_index} month_offset)
set(y ${release_year})
if(release_month_index LESS 2)
  math(EXPR y "${y} - 1")
endif()
math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${month_offset} + ${release_day}) % 7")
set(weekday_names Sun Mon Tue Wed Thu Fri Sat)
set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET weekday_names ${weekday} weekday_name)
list(GET month_names ${release_month_index} month_name)
set(kelvane_release_date_debian "${weekday_name}, ${release_day} ${month_name} ${release_year} 12:00:00 +0000")

# Paths as the manual pages write them: every hyphen a minus sign, so that
# what is copied from the page is the path.
string(REPLACE "-" "\\-" kelvane_man_log_path ${KELVANE_LOG_PATH})
string(REPLACE "-" "\\-" kelvane_man_bundled_adb ${KELVANE_BUNDLED_ADB_RELATIVE_PATH})

# Documents filled in from the facts above, and their compressed copies
# (gzip -9n: smallest, and no time stamp or name inside, so that the same
# sources give the same bytes).
set(kelvane_documents_dir ${CMAKE_CURRENT_BINARY_DIR}/documents)
set(kelvane_compressed_documents)
function(kelvane_compressed_document template name)
  configure_file(${template} ${kelvane_documents_dir}/${name} @ONLY)
  add_custom_command(OUTPUT ${kelvane_documents_dir}/${name}.gz
    COMMAND sh -c "gzip -9n < '${name}' > '${name}.gz'"
    DEPENDS ${kelvane_documents_dir}/${name}
    WORKING_DIRECTORY ${kelvane_documents_dir} VERBATIM)
  set(kelvane_compressed_documents ${kelvane_compressed_documents} ${kelvane_documents_dir}/${name}.gz PARENT_SCOPE)
endfunction()

kelvane_compressed_document(${PROJECT_SOURCE_DIR}/docs/kelvane-doctor.1.in kelvane-doctor.1)
install(FILES ${kelvane_documents_dir}/kelvane-doctor.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET kelvane AND NOT APPLE)
  kelvane_compressed_document(${PROJECT_SOURCE_DIR}/docs/kelvane.1.in kelvane.1)
  install(FILES ${kelvane_documents_dir}/kelvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(NOT APPLE)
  # Debian's copyright file, in its machine-readable format; the licence
  # text is LICENSE's, without its title and copyright line, with every line
  # indented and empty lines written as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
  string(FIND "${license_text}" "Permission is hereby granted" license_start)
  if(license_start LESS 0)
    message(FATAL_ERROR "LICENSE does not hold the MIT licence's text")
  endif()
  string(SUBSTRING "${license_text}" ${license_start} -1 license_text)
  string(STRIP "${license_text}" license_text)
  string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REPLACE "\n" "\n " kelvane_license_text " ${license_text}")
  set(kelvane_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${kelvane_package_name})
  configure_file(${kelvane_packaging_dir}/copyright.in ${kelvane_documents_dir}/copyright @ONLY)
  kelvane_compressed_document(${kelvane_packaging_dir}/changelog.in changelog.Debian)
  install(FILES ${kelvane_documents_dir}/copyright ${kelvane_documents_dir}/changelog.Debian.gz
    DESTINATION ${kelvane_doc_dir})
endif()

add_custom_target(kelvane_documents ALL DEPENDS ${kelvane_compressed_documents})

# What the scripts outside CMake (packaging/check-deb.sh,
# bench/window-startup.sh) need to know about this build, as shell
# assignments.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/build-facts.sh CONTENT
"# Written by CMake: facts of this build for scripts.
package='${kelvane_package_name}'
app_id='${kelvane_app_id}'
log_path='${KELVANE_LOG_PATH}'
")

# ---- The Debian package ---------------------------------------------------

set(CPACK_PACKAGE_NAME ${kelvane_package_name})
set(CPACK_PACKAGE_VENDOR "Kelvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "Kelvane shows an Android phone's screen on the computer through the
programs adb and scrcpy. Its window is a checklist of what a mirror needs
(adb, scrcpy, a phone with authorized USB debugging, the Lingguang app on
the phone) and starts scrcpy for the chosen phone. kelvane-doctor runs the
same diagnostics in a terminal, as text or JSON.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${kelvane_debian_revision})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${kelvane_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the shared libraries the programs link (Qt, the C++ runtime),
# found by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Open Log hands the log to the desktop through xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "adb, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS scrcpy)
include(CPack)
