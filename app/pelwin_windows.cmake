# pelwin.exe: the program on the Win32 peer with its icon and version data.
enable_language(RC)

set(PELWIN_RESOURCES ${PROJECT_SOURCE_DIR}/resources)
add_executable(pelwin WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/main_windows.cpp
  ${PELWIN_RESOURCES}/pelwin.rc)
target_link_libraries(pelwin PRIVATE pelwin_core pelwin_peer_win32)
# windres finds the icon through the include path; the .rc does not name what
# it pulls in, so say it here for the rebuild.
target_include_directories(pelwin PRIVATE ${PELWIN_RESOURCES})
set_source_files_properties(${PELWIN_RESOURCES}/pelwin.rc PROPERTIES
  OBJECT_DEPENDS "${PELWIN_RESOURCES}/pelwin.ico;${PELWIN_RESOURCES}/version.h")

if(MINGW)
  # One file to hand out: no libstdc++, libgcc or libwinpthread DLLs beside it.
  # No link time in the header either: the same commit gives the same bytes,
  # so a release's checksum can be made again from its source.
  target_link_options(pelwin PRIVATE -static $<$<CONFIG:Release>:-s> -Wl,--no-insert-timestamp)
endif()

install(TARGETS pelwin RUNTIME DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pelwin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# win32 for the 32-bit build (the product), win64 for the x86-64 one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_PACKAGE_FILE_NAME pelwin-${PELWIN_RELEASE}-win64)
else()
  set(CPACK_PACKAGE_FILE_NAME pelwin-${PELWIN_RELEASE}-win32)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
