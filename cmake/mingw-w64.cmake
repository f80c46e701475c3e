# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 GCC (posix threads).
# With FELDARO_QT_MINGW naming a Qt built for MinGW-w64 (scripts/qt-mingw), Qt is taken from
# there, with Debian's own host tools (moc, uic, rcc) of the same Qt version.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FELDARO_QT_MINGW)
if(FELDARO_QT_MINGW)
  list(PREPEND CMAKE_PREFIX_PATH ${FELDARO_QT_MINGW})
  list(PREPEND CMAKE_FIND_ROOT_PATH ${FELDARO_QT_MINGW})
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
  # nlohmann_json is header-only and portable, but Debian's package adds /usr/include,
  # whose C library headers break every MinGW compile: a package of its own points at the
  # json headers alone.
  set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/nlohmann_json)
endif()
