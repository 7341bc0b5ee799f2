# The Linux desktop program: FLTK peer, embedded version data, and what a
# package installs (program, desktop entry, icons).
if(NOT TARGET pelwin_peer_fltk)
  message(STATUS "pelwin: FLTK peer not built, no Linux desktop program")
  return()
endif()

add_executable(pelwin ${CMAKE_CURRENT_SOURCE_DIR}/main_linux.cpp)
target_link_libraries(pelwin PRIVATE pelwin_core pelwin_peer_fltk pelwin_version_data)

include(GNUInstallDirs)
install(TARGETS pelwin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The desktop entry. WM_CLASS is FLTK's: the class name with a capital.
set(PELWIN_DESKTOP_FILE ${CMAKE_CURRENT_BINARY_DIR}/pelwin.desktop)
file(WRITE ${PELWIN_DESKTOP_FILE} "[Desktop Entry]
Type=Application
Name=Corvane filter wheel configuration
GenericName=Camera filter wheel configuration
Comment=Set the number of filter positions and the wheel type of a USB astronomical camera
Exec=pelwin
Icon=pelwin
Terminal=false
Categories=Utility;Science;Astronomy;
Keywords=camera;filter;wheel;EEPROM;astronomy;
StartupWMClass=Pelwin
")
install(FILES ${PELWIN_DESKTOP_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

get_property(pelwin_icon_files GLOBAL PROPERTY PELWIN_ICON_FILES)
foreach(entry IN LISTS pelwin_icon_files)
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 size)
  list(GET pair 1 png)
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME pelwin.png)
endforeach()

# `cpack -G DEB` in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelwin)
set(CPACK_PACKAGE_VENDOR "Varnosti Instruments")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Filter wheel configuration for USB astronomical cameras")
set(CPACK_PACKAGE_DESCRIPTION
    "pelwin reads the filter wheel configuration that a USB astronomical camera
keeps in its EEPROM, shows it, and writes a new number of filter positions and
wheel type.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The release number as the Debian revision: pelwin_<release>_amd64.deb.
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PELWIN_RELEASE_NUMBER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Stripping keeps the version data: it lives in an allocated section.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Varnosti Instruments pelwin team")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The dialog face with the metrics the window's layout was made for.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
include(CPack)
