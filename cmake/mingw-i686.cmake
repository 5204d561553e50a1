# Cross-build for 32-bit Windows (i686-w64-mingw32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
set(MINGW_PACKAGE g++-mingw-w64-i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
