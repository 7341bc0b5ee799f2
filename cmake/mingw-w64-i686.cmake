# Cross-build for 32-bit Windows (i686) with mingw-w64: the product's
# architecture, native on 32-bit Windows and through WOW64 on 64-bit Windows.
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
