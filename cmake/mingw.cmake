# Cross-build for Windows with Debian's MinGW-w64. The toolchain file of each
# architecture names its triplet and processor, then includes this one.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++)
find_program(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
if(NOT CMAKE_CXX_COMPILER OR NOT CMAKE_RC_COMPILER)
  message(FATAL_ERROR "MinGW-w64 for ${MINGW_TRIPLET} is missing: install ${MINGW_PACKAGE}")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
