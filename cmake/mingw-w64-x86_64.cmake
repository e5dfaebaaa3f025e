# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the posix
# thread model, which std::thread and GoogleTest need) and runs the results under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: no libstdc++, libgcc or winpthread DLLs to ship alongside.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built here (tests, test discovery) run through wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wine")

# The window: Qt 6 built for this target (static), unpacked into KORVANE_QT_MINGW_DIR; its host
# tools (moc, uic, rcc) are the build machine's own Qt of the same version, under QT_HOST_PATH.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_QT_MINGW_DIR)
if(KORVANE_QT_MINGW_DIR AND EXISTS "${KORVANE_QT_MINGW_DIR}/lib/cmake/Qt6")
  list(PREPEND CMAKE_FIND_ROOT_PATH "${KORVANE_QT_MINGW_DIR}")
  list(PREPEND CMAKE_PREFIX_PATH "${KORVANE_QT_MINGW_DIR}/lib/cmake")
  if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "The build machine's Qt, whose moc, uic and rcc are used")
  endif()
endif()
